#!/usr/bin/env bash
# The Windows build under Wine, in both profiles.
#
# Two Wine prefixes are made for the run, in a temporary folder, one for each
# profile, and the two profiles run side by side (each start of Wine mostly
# waits, so two at a time take little longer than one). The wide profile runs
# as Wine starts (a Windows of the NT family); the legacy profile's prefix
# has its Windows version set to Windows 98, whose version word has the 9x
# family's top bit. In each profile:
#   - the shared end-to-end scripts (tests/e2e/test_*.sh) run against the
#     .exe through console_filter.sh, which checks that every line ends with
#     CR LF and, in the legacy profile, that the 9x warning follows the
#     banner, and hands the scripts the text the Linux build prints. A script that
#     needs what only Linux has (loop devices, strace) is skipped with its
#     reason; a script can also name its own reason with a line
#     "# windows-skip: REASON". MENDRAKE_WINDOWS (the profile) tells a script
#     that it runs here: one that uses /dev/full runs only when it reads it
#     (Windows has its own error code for a full disk).
#   - test_windows.sh compares the .exe with the Linux build run for run: exact
#     console bytes with CR LF, exit codes, every file written.
#   - the companions' scripts (e2e/test_check.sh, e2e/test_export.sh) run
#     against mendrake-check.exe and mendrake-export.exe (MENDRAKE_CHECK,
#     MENDRAKE_EXPORT), their cases of a failing read against the companions
#     built through the fault seam for Windows (MENDRAKE_CHECK_FAULTS_BIN,
#     MENDRAKE_EXPORT_FAULTS_BIN, through the console filter).
# Before the profiles, test_runner.sh runs this runner on a release that
# cannot start, which must fail.
#
# The release is the 32-bit build-win32/*.exe. Where this machine cannot run
# 32-bit programs (a kernel without 32-bit support: Wine's 32-bit loader fails
# with "Exec format error"), the same sources are built for x86-64
# (build-win64/*.exe) and those are run with Wine's 64-bit loader instead: a
# line starting with "WARNING:" says so where it happens and again in the
# closing lines. What decides is a trivial 32-bit program of the runner's
# own: only when it cannot start either is the machine taken to lack 32-bit
# support. A release that does not start where that program does is broken,
# and the run fails.
#
# Needs: wine and wine32:i386 (or wine64 alone), the MinGW-w64 compilers, and
# the native build (BUILD, default build/) for tbbgen and the Linux reference.
# WINDOWS_BUILD and WINDOWS_BUILD64 name other folders for the .exe files.
# For test_runner.sh: WINDOWS_PREFIXES names a folder that holds the two Wine
# prefixes already made (with their servers running), and WINDOWS_DECIDE_ONLY=1
# ends the run once it knows which build it would run.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
WIN32_DIR=${WINDOWS_BUILD:-$ROOT/build-win32}
WIN64_DIR=${WINDOWS_BUILD64:-$ROOT/build-win64}
PROGRAMS="mendrake mendrake-check mendrake-export"
EXE32=$WIN32_DIR/mendrake.exe
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

for f in "$TBBGEN" "$LINUX_MENDRAKE"; do
  [ -x "$f" ] || { echo "missing $f: run 'make build windows' first"; exit 1; }
done

# The release executables: 32-bit, large-address-aware (a 64-bit Windows
# gives them 4 GB of address space instead of 2), nothing needed beyond the
# system's DLLs.
for program in $PROGRAMS; do
  exe=$WIN32_DIR/$program.exe
  if [ ! -f "$exe" ]; then
    bad "missing $exe: run 'make windows' first"
    continue
  fi
  headers=$(i686-w64-mingw32-objdump -p -f "$exe")
  if grep -q 'file format pei-i386' <<<"$headers"; then
    PASSED=$((PASSED + 1))
  else
    bad "$exe is not a 32-bit Windows executable"
  fi
  if grep -qx $'\tlarge address aware' <<<"$headers"; then
    PASSED=$((PASSED + 1))
  else
    bad "$exe is not large address aware"
  fi
  DLLS=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
  if [ "$DLLS" = "kernel32.dll msvcrt.dll " ]; then
    PASSED=$((PASSED + 1))
  else
    bad "$exe imports $DLLS(expected kernel32.dll and msvcrt.dll alone)"
  fi
  # The manifest: resource type 24 (a manifest), number 1 (a program's own),
  # asking for the user's own rights and for long paths.
  if grep -A2 'Entry: ID: 0x000018,' <<<"$headers" | grep -q 'Entry: ID: 0x000001,' &&
    grep -aq 'level="asInvoker"' "$exe" && grep -aq 'longPathAware[^>]*>true<' "$exe"; then
    PASSED=$((PASSED + 1))
  else
    bad "$exe carries no manifest with longPathAware and asInvoker"
  fi
done
[ -f "$EXE32" ] || { echo "$PASSED passed, $FAILED failed"; exit 1; }

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
PROFILES="wide legacy"
# The Wine prefixes: PREFIXES/wide and PREFIXES/legacy.
PREFIXES=${WINDOWS_PREFIXES:-$TMP}
cleanup() {
  for p in $PROFILES; do
    [ -n "$SERVER" ] && [ -z "${WINDOWS_PREFIXES:-}" ] && WINEPREFIX=$PREFIXES/$p "$SERVER" -k >/dev/null 2>&1
  done
  rm -rf "$TMP"
}
trap cleanup EXIT

if [ -z "${WINDOWS_PREFIXES:-}" ]; then
  note "making a Wine prefix for each profile with $RUNNER"
  for p in $PROFILES; do
    WINEPREFIX=$PREFIXES/$p "$RUNNER" wineboot -i >"$TMP/wineboot-$p.log" 2>&1 &
  done
  for p in $PROFILES; do
    wait -n || {
      cat "$TMP"/wineboot-*.log
      echo "a Wine prefix could not be made"
      echo "0 passed, 1 failed"
      exit 1
    }
  done
  # One server for each prefix for the whole run: every start of the tool
  # is then quick.
  for p in $PROFILES; do
    [ -n "$SERVER" ] && WINEPREFIX=$PREFIXES/$p "$SERVER" -p
  done
  WINEPREFIX=$PREFIXES/legacy "$RUNNER" reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null 2>&1
  note "prefixes ready after $SECONDS s"
fi
export WINEPREFIX=$PREFIXES/wide

# starts_up EXE RUNNER: 0 when the executable prints the banner under Wine;
# what it printed stays in STARTED.
starts_up() {
  STARTED=$("$2" "$1" 2>&1)
  grep -q '^Quillbase recovery utility' <<<"$STARTED"
}

# runs_32_bit: 0 when a trivial 32-bit program of the runner's own, built
# here, starts under RUNNER and ends with its own exit code.
runs_32_bit() {
  printf 'int main(void) { return 42; }\n' >"$TMP/trivial.c"
  i686-w64-mingw32-gcc -s -o "$TMP/trivial.exe" "$TMP/trivial.c" || {
    bad "the trivial 32-bit program could not be built: nothing tells whether the release should start"
    echo "$PASSED passed, $FAILED failed"
    exit 1
  }
  STARTED=$("$RUNNER" "$TMP/trivial.exe" 2>&1)
  [ $? = 42 ]
}

DIR=$WIN32_DIR
FALLBACK=
if starts_up "$EXE32" "$RUNNER"; then
  note "running the 32-bit $EXE32"
elif RELEASE_STARTED=$STARTED && runs_32_bit; then
  bad "the 32-bit release does not start, though a trivial 32-bit program does: $(head -2 <<<"$RELEASE_STARTED" | tr '\n' ' ')"
  echo "$PASSED passed, $FAILED failed"
  exit 1
else
  why=$(head -2 <<<"$STARTED" | tr '\n' ' ')
  [ -x /usr/lib/wine/wine ] && why="$why; Wine's 32-bit loader: $(/usr/lib/wine/wine --version 2>&1 | head -1)"
  FALLBACK="WARNING: the 32-bit release was NOT run: this machine cannot start 32-bit programs, not even a trivial one ($why); the same sources ran as a 64-bit build instead"
  echo "$FALLBACK"
  if [ -n "${WINDOWS_DECIDE_ONLY:-}" ]; then
    echo "$PASSED passed, $FAILED failed"
    exit $((FAILED > 0))
  fi
  if [ -z "$LOADER64" ]; then
    bad "no 64-bit Wine to fall back to (Debian: wine64)"
    echo "$PASSED passed, $FAILED failed"
    exit 1
  fi
  note "building the same sources for x86-64 and running that under $LOADER64"
  WINDOWS_BUILD=$WIN64_DIR bash "$ROOT/tools/windows/build.sh" x86_64 >"$TMP/build64.log" 2>&1 || {
    cat "$TMP/build64.log"
    bad "the x86-64 build failed"
    echo "$PASSED passed, $FAILED failed"
    exit 1
  }
  DIR=$WIN64_DIR
  RUNNER=$LOADER64
  starts_up "$DIR/mendrake.exe" "$RUNNER" || bad "$DIR/mendrake.exe does not start under $RUNNER either"
fi
if [ -n "${WINDOWS_DECIDE_ONLY:-}" ]; then
  echo "$PASSED passed, $FAILED failed"
  exit $((FAILED > 0))
fi
EXE=$DIR/mendrake.exe
export MENDRAKE=$EXE MENDRAKE_CHECK=$DIR/mendrake-check.exe MENDRAKE_EXPORT=$DIR/mendrake-export.exe

# The companions through the fault seam, built for Windows (never part of
# the release), for the scripts' cases of a failing read; run through the
# console filter of the profile at hand, like every other .exe.
if cmake --build "$DIR" --target mendrake-check-faults mendrake-export-faults >"$TMP/faults.log" 2>&1; then
  mkdir -p "$TMP/bin"
  for c in check export; do
    printf '#!/bin/sh\nexec bash "%s" "$MENDRAKE_WINDOWS" "%s" "%s" "$@"\n' \
      "$ROOT/tests/windows/console_filter.sh" "$RUNNER" "$DIR/mendrake-$c-faults.exe" >"$TMP/bin/mendrake-$c-faults"
    chmod +x "$TMP/bin/mendrake-$c-faults"
  done
  export MENDRAKE_CHECK_FAULTS_BIN=$TMP/bin/mendrake-check-faults MENDRAKE_EXPORT_FAULTS_BIN=$TMP/bin/mendrake-export-faults
else
  cat "$TMP/faults.log"
  bad "the companions could not be built through the fault seam in $DIR"
fi

# run_script NAME SCRIPT: runs one script, adds its closing line's counts.
run_script() {
  local out=$TMP/$PROFILE.script.out start=$SECONDS
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
  echo "   $1 ($PROFILE): $line ($((SECONDS - start)) s)"
  if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then bad "$1 ($PROFILE): exit $rc"; fi
}

# Shared scripts that cannot run against the .exe, and why.
declare -A KNOWN_SKIPS=(
  [test_hostile.sh]="measures the Linux process's memory with /usr/bin/time (without MENDRAKE_WRAP) and passes 10,000 arguments, about 40,000 characters, over the 32,767 of a Windows command line; its paths with spaces and non-ASCII names run in windows/test_windows.sh"
)

# The companions' scripts: run in the wide profile against the companions'
# .exe files, whatever they use, so that a Windows difference shows as a
# failure until the script names it (MENDRAKE_WINDOWS) or skips it.
COMPANION_SCRIPTS=" test_check.sh test_export.sh "

# skip_reason SCRIPT: why a shared script cannot run under Wine, if it can't.
# A script that reads MENDRAKE_WINDOWS (the profile, set for every script run
# here) tells its Windows differences itself, /dev/full's error code among
# them.
skip_reason() {
  local own name
  name=$(basename "$1")
  own=$(sed -n 's/^# windows-skip: *//p' "$1" | head -1)
  if [ -n "$own" ]; then
    echo "$own"
  elif [[ "$COMPANION_SCRIPTS" == *" $name "* ]]; then
    [ "$PROFILE" = legacy ] && echo "the companions are tested in the wide profile"
  elif [ -n "${KNOWN_SKIPS[$name]:-}" ]; then
    echo "${KNOWN_SKIPS[$name]}"
  elif grep -qE 'losetup|strace' "$1"; then
    echo "uses what only Linux has (loop devices, strace)"
  elif grep -q '/dev/full' "$1" && ! grep -q 'MENDRAKE_WINDOWS' "$1"; then
    echo "expects Linux's error code for /dev/full"
  fi
}

# run_profile PROFILE: every script in one profile, in its own prefix; the
# text goes to TMP/PROFILE.log and the counts to TMP/PROFILE.counts.
run_profile() {
  PROFILE=$1
  PASSED=0 FAILED=0 SKIPPED=0
  export WINEPREFIX=$PREFIXES/$PROFILE
  export MENDRAKE_WRAP="bash $ROOT/tests/windows/console_filter.sh $PROFILE $RUNNER"
  export MENDRAKE_WINDOWS=$PROFILE
  # The profile must be the one asked for: the 9x warning tells.
  warned=$("$RUNNER" "$EXE" 2>/dev/null | grep -c '^Warning: running under Windows 9x family')
  note "$PROFILE profile"
  if { [ "$PROFILE" = legacy ] && [ "$warned" = 1 ]; } || { [ "$PROFILE" = wide ] && [ "$warned" = 0 ]; }; then
    PASSED=$((PASSED + 1))
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
  else
    bad "the $PROFILE profile did not start as such ($warned 9x warnings)"
  fi
  echo "$PASSED $FAILED $SKIPPED" >"$TMP/$PROFILE.counts"
}

# The runner itself, on releases that do not start.
PROFILE=wide RUNS_32_BIT=$([ -z "$FALLBACK" ] && echo 1) WINDOWS_PREFIXES=$PREFIXES \
  run_script windows/test_runner.sh "$ROOT/tests/windows/test_runner.sh"

for p in $PROFILES; do
  (run_profile "$p" >"$TMP/$p.log" 2>&1) &
done
wait
for p in $PROFILES; do
  cat "$TMP/$p.log"
  read -r p_passed p_failed p_skipped <"$TMP/$p.counts" || {
    bad "the $p profile ended early"
    continue
  }
  PASSED=$((PASSED + p_passed))
  FAILED=$((FAILED + p_failed))
  SKIPPED=$((SKIPPED + p_skipped))
done

note "ran $DIR/{$(echo $PROGRAMS | tr ' ' ',')}.exe under $RUNNER in $SECONDS s"
[ -n "$FALLBACK" ] && echo "$FALLBACK"
echo "$PASSED passed, $FAILED failed, $SKIPPED skipped"
[ "$FAILED" -eq 0 ]
