#!/usr/bin/env bash
# The Windows build under Wine, in both profiles.
#
# One Wine prefix is made for the run, in a temporary folder. The wide
# profile runs as Wine starts (a Windows of the NT family); the legacy profile
# runs after the prefix's Windows version is set to Windows 98, whose version
# word has the 9x family's top bit. In each profile:
#   - the shared end-to-end scripts (tests/e2e/test_*.sh) run against the
#     .exe through console_filter.sh, which checks that every line ends with
#     CR LF and, in the legacy profile, that the 9x warning follows the
#     banner, and hands the scripts the text the Linux build prints. A script that
#     needs what only Linux has (loop devices, /dev/full, strace) is skipped
#     with its reason; a script can also name its own reason with a line
#     "# windows-skip: REASON".
#   - test_windows.sh compares the .exe with the Linux build run for run: exact
#     console bytes with CR LF, exit codes, every file written.
#
# The release is the 32-bit build-win32/mendrake.exe. Where this machine
# cannot run 32-bit programs (a kernel without 32-bit support: Wine's 32-bit
# loader fails with "Exec format error"), the same sources are built for
# x86-64 (build-win64/mendrake.exe) and that executable is run with Wine's
# 64-bit loader instead; the closing lines say which one ran.
#
# Needs: wine (or wine64), the MinGW-w64 compilers, and the native build
# (BUILD, default build/) for tbbgen and the Linux reference.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
EXE32=$ROOT/build-win32/mendrake.exe
export TBBGEN=$BUILD/tbbgen
export LINUX_MENDRAKE=$BUILD/mendrake
export MENDRAKE_FAULTS_BIN=$BUILD/tests/mendrake-faults
# The filter has turned CR LF into LF already (MENDRAKE_CRLF=1 would strip
# every CR, and with them the trailing line feeds of the captured text).
export MENDRAKE_CRLF=0
export WINEDEBUG=-all

PASSED=0
FAILED=0
SKIPPED=0
note() { echo "== $*"; }
bad() {
  FAILED=$((FAILED + 1))
  echo "FAIL: $*"
}

for f in "$TBBGEN" "$LINUX_MENDRAKE" "$EXE32"; do
  [ -x "$f" ] || { echo "missing $f: run 'make build windows' first"; exit 1; }
done

# The release executable: 32-bit, nothing needed beyond the system's DLLs.
if objdump -f "$EXE32" 2>/dev/null | grep -q 'file format pei-i386' ||
  i686-w64-mingw32-objdump -f "$EXE32" | grep -q 'file format pei-i386'; then
  PASSED=$((PASSED + 1))
else
  bad "$EXE32 is not a 32-bit Windows executable"
fi
DLLS=$(i686-w64-mingw32-objdump -p "$EXE32" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
if [ "$DLLS" = "kernel32.dll msvcrt.dll " ]; then
  PASSED=$((PASSED + 1))
else
  bad "$EXE32 imports $DLLS(expected kernel32.dll and msvcrt.dll alone)"
fi

# Wine's loaders: the wrapper (32-bit where it can) and the 64-bit one.
WINE=$(command -v wine || true)
LOADER64=
for w in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
  [ -n "$w" ] && [ -x "$w" ] && LOADER64=$w && break
done
SERVER=
for s in /usr/lib/wine/wineserver "$(command -v wineserver || true)"; do
  [ -n "$s" ] && [ -x "$s" ] && SERVER=$s && break
done
RUNNER=
if [ -n "$WINE" ] && "$WINE" --version >/dev/null 2>&1; then
  RUNNER=$WINE
elif [ -n "$LOADER64" ]; then
  RUNNER=$LOADER64
else
  echo "Wine is not installed (Debian: wine64, or wine and wine32:i386): nothing can run"
  echo "0 passed, 1 failed"
  exit 1
fi

TMP=$(mktemp -d "${TMPDIR:-/tmp}/mendrake-wine.XXXXXX")
export WINEPREFIX=$TMP/prefix
cleanup() {
  [ -n "$SERVER" ] && "$SERVER" -k >/dev/null 2>&1
  rm -rf "$TMP"
}
trap cleanup EXIT

note "making a Wine prefix with $RUNNER"
"$RUNNER" wineboot -i >"$TMP/wineboot.log" 2>&1 || {
  cat "$TMP/wineboot.log"
  echo "the Wine prefix could not be made"
  echo "0 passed, 1 failed"
  exit 1
}
# One server for the whole run: every start of the tool is then quick.
[ -n "$SERVER" ] && "$SERVER" -p

# starts_up EXE RUNNER: 0 when the executable prints the banner under Wine.
starts_up() { "$2" "$1" 2>&1 | grep -q '^Quillbase recovery utility'; }

EXE=$EXE32
if starts_up "$EXE32" "$RUNNER"; then
  note "running the 32-bit $EXE32"
else
  why=$("$RUNNER" "$EXE32" 2>&1 | head -2 | tr '\n' ' ')
  [ -x /usr/lib/wine/wine ] && why="$why; Wine's 32-bit loader: $(/usr/lib/wine/wine --version 2>&1 | head -1)"
  note "the 32-bit executable cannot run here ($why)"
  if [ -z "$LOADER64" ]; then
    bad "no 64-bit Wine to fall back to (Debian: wine64)"
    echo "$PASSED passed, $FAILED failed"
    exit 1
  fi
  note "building the same sources for x86-64 and running that under $LOADER64"
  bash "$ROOT/tools/windows/build.sh" x86_64 >"$TMP/build64.log" 2>&1 || {
    cat "$TMP/build64.log"
    bad "the x86-64 build failed"
    echo "$PASSED passed, $FAILED failed"
    exit 1
  }
  EXE=$ROOT/build-win64/mendrake.exe
  RUNNER=$LOADER64
  starts_up "$EXE" "$RUNNER" || bad "$EXE does not start under $RUNNER either"
fi
export MENDRAKE=$EXE

# run_script NAME SCRIPT: runs one script, adds its closing line's counts.
run_script() {
  local out=$TMP/script.out
  PROFILE=$PROFILE bash "$2" >"$out" 2>&1
  local rc=$?
  local line
  line=$(grep -a -E '^[0-9]+ passed, [0-9]+ failed' "$out" | tail -1)
  grep -a -v -E '^[0-9]+ passed, [0-9]+ failed' "$out" | sed 's/^/   /'
  if [ -z "$line" ]; then
    bad "$1 ($PROFILE): no closing line (exit $rc)"
    return
  fi
  local p=${line%% passed*} f=${line#*passed, }
  f=${f%% failed*}
  PASSED=$((PASSED + p))
  FAILED=$((FAILED + f))
  echo "   $1 ($PROFILE): $line"
  if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then bad "$1 ($PROFILE): exit $rc"; fi
}

# Shared scripts that cannot run against the .exe, and why.
declare -A KNOWN_SKIPS=(
  [test_hostile.sh]="measures the Linux process's memory with /usr/bin/time (without MENDRAKE_WRAP) and passes 10,000 arguments, about 40,000 characters, over the 32,767 of a Windows command line; its paths with spaces and non-ASCII names run in windows/test_windows.sh"
)

# skip_reason SCRIPT: why a shared script cannot run under Wine, if it can't.
skip_reason() {
  local own
  own=$(sed -n 's/^# windows-skip: *//p' "$1" | head -1)
  if [ -n "$own" ]; then
    echo "$own"
  elif [ -n "${KNOWN_SKIPS[$(basename "$1")]:-}" ]; then
    echo "${KNOWN_SKIPS[$(basename "$1")]}"
  elif grep -qE 'losetup|/dev/full|strace' "$1"; then
    echo "uses what only Linux has (loop devices, /dev/full, strace)"
  fi
}

for PROFILE in wide legacy; do
  if [ "$PROFILE" = legacy ]; then
    "$RUNNER" reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null 2>&1
  fi
  export MENDRAKE_WRAP="bash $ROOT/tests/windows/console_filter.sh $PROFILE $RUNNER"
  # The profile must be the one asked for: the 9x warning tells.
  warned=$("$RUNNER" "$EXE" 2>/dev/null | grep -c '^Warning: running under Windows 9x family')
  if { [ "$PROFILE" = legacy ] && [ "$warned" = 1 ]; } || { [ "$PROFILE" = wide ] && [ "$warned" = 0 ]; }; then
    PASSED=$((PASSED + 1))
  else
    bad "the $PROFILE profile did not start as such ($warned 9x warnings)"
    continue
  fi
  note "$PROFILE profile"
  for script in "$ROOT"/tests/e2e/test_*.sh; do
    name=e2e/$(basename "$script")
    why=$(skip_reason "$script")
    if [ -n "$why" ]; then
      echo "   SKIP $name ($PROFILE): $why"
      SKIPPED=$((SKIPPED + 1))
      continue
    fi
    run_script "$name" "$script"
  done
  MENDRAKE_WRAP=$RUNNER run_script windows/test_windows.sh "$ROOT/tests/windows/test_windows.sh"
done

note "ran $EXE under $RUNNER"
echo "$PASSED passed, $FAILED failed, $SKIPPED skipped"
[ "$FAILED" -eq 0 ]
