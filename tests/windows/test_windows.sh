#!/usr/bin/env bash
# The Windows executable under Wine against the Linux build, run for run: the
# same arguments on the same generated bases in two fresh folders, then the
# exact console bytes (the Linux text with CR LF line ends, plus the legacy
# profile's own lines), the exit code, and every file left in the folder
# (targets, logs, untouched inputs) compared byte for byte.
#
# Environment: MENDRAKE (the .exe), MENDRAKE_WRAP (the Wine loader),
# LINUX_MENDRAKE (the Linux build), TBBGEN, PROFILE (wide or legacy: the
# Wine prefix's Windows version must already match).
source "$(dirname "$0")/../e2e/lib.sh"
PROFILE=${PROFILE:-wide}
LINUX_MENDRAKE=${LINUX_MENDRAKE:-$ROOT/build/mendrake}

gen --out damaged.tbb --seed 11 --messages 400 --deleted 15 --wrong 10 --negative 5 --garbage 10 \
  --nul 5 --long 3 --decoys 5 --boundary 5 --leading 777
gen --out mail.tbb --seed 12 --total 300000 --style email --deleted 20 --wrong 20 --truncate 500
gen --out bang.tbb --seed 13 --messages 150 --style bang --garbage 30 --decoys 20
truncate -s 10000 small.tbb
gen --out old.tbb --seed 14 --total 2000000

# The files every case starts from, copied whole (hard link kept) per case.
mkdir base && cd base || exit 1
cp ../damaged.tbb ../mail.tbb ../bang.tbb ../small.tbb .
cp ../damaged.tbb "my base.tbb"
cp ../old.tbb old.tbb
ln damaged.tbb link.tbb
: >empty.tbb
mkdir sub "long folder name"
if [ "$PROFILE" = wide ]; then cp ../mail.tbb "bäse ☃.tbb"; fi
# A folder link to the folder itself, and a folder 408 characters deep.
ln -s . here
DEEP=$(printf 'folder-%043d/' 1 2 3 4 5 6 7 8)
mkdir -p "$DEEP" && cp damaged.tbb "$DEEP"
# The 8.3 short name the system gives "long folder name".
SHORT=$($MENDRAKE_WRAP cmd /c dir /x 2>/dev/null | tr -d '\r' | sed -n 's/.*<DIR> *\([^ ]*\) *long folder name$/\1/p')
cd ..
setup() { cp -a base "$1"; }

# expected OUT NOCACHE: the console bytes the .exe should give for the Linux
# build's text: the 9x warning after the banner in the legacy profile, the
# unbuffered notice when NOCACHE is 1, every LF as CR LF.
expected() {
  local extra=""
  [ "$PROFILE" = legacy ] && extra+=$'Warning: running under Windows 9x family\n  You may experience 2Gb or 4Gb limitation.\n'
  [ "$2" = 1 ] && extra+=$'Force using NO_CACHE on large file\n'
  EXTRA="$extra" perl -0777 -pe 's/\A([^\n]*\n[^\n]*\n)/$1$ENV{EXTRA}/; s/\n/\r\n/g' "$1"
}

# same NAME NOCACHE ARGS...: one run of each build, compared in full. When
# the array WINDOWS_ARGS is set, the .exe gets those arguments instead (the
# same files named the Windows way), and the array is emptied.
WINDOWS_ARGS=()
same() {
  local name=$1 nocache=$2
  shift 2
  local win_args=("$@")
  [ ${#WINDOWS_ARGS[@]} -gt 0 ] && win_args=("${WINDOWS_ARGS[@]}")
  WINDOWS_ARGS=()
  rm -rf lin win
  setup lin
  setup win
  (cd lin && "$LINUX_MENDRAKE" "$@" >../lin.out 2>/dev/null)
  local lrc=$?
  (cd win && $MENDRAKE_WRAP "$MENDRAKE" "${win_args[@]}" >../win.out 2>/dev/null)
  local wrc=$?
  expected lin.out "$nocache" >want.out
  if cmp -s want.out win.out; then
    pass
  else
    fail "$name: console"
    diff <(tr -d '\r' <want.out) <(tr -d '\r' <win.out) | head -10
    cmp want.out win.out | head -2
  fi
  expect_eq "$name: exit code" "$lrc" "$wrc"
  if diff -r --no-dereference lin win >/dev/null; then pass; else fail "$name: files differ: $(diff -rq --no-dereference lin win | head -3)"; fi
}

# Recovery: copies, lists, deleted messages, limits, logs, both syntaxes.
same "copy" 0 damaged.tbb out.tbb
same "list only" 0 -l damaged.tbb
same "deleted included" 0 -d+ damaged.tbb out.tbb
same "limit" 0 -M 5 damaged.tbb out.tbb
same "start message" 0 -m 40 -d+ mail.tbb out.tbb
same "log" 0 -L run.log damaged.tbb out.tbb
same "list to a log" 0 -l -d+ -L list.log mail.tbb
same "dd-style" 0 if=bang.tbb of=out.tbb seek=3k log=dd.log
same "offset switch" 0 seek=100 -ok bang.tbb out.tbb
same "existing target written over, cut to the copy" 0 damaged.tbb old.tbb
same "paths with spaces" 0 -d+ "my base.tbb" "new copy.tbb"
same "list of a path with spaces" 0 -l "my base.tbb"
if [ "$PROFILE" = wide ]; then
  same "non-ASCII paths" 0 -L "jöurnal ✓.log" "bäse ☃.tbb" "ziel ü.tbb"
fi

# Every way a run ends early.
same "usage" 0 damaged.tbb
same "usage: -?" 0 "-?" damaged.tbb out.tbb
same "missing source" 0 missing.tbb out.tbb
same "directory as source" 0 sub out.tbb
same "directory as target" 0 damaged.tbb sub
same "target in a missing folder" 0 damaged.tbb nowhere/out.tbb
same "log in a missing folder" 0 -L nowhere/run.log damaged.tbb out.tbb
same "empty source" 0 empty.tbb out.tbb
same "start beyond the end" 0 seek=1M small.tbb out.tbb
same "target is the source" 0 damaged.tbb ./damaged.tbb
same "target is a hard link to the source" 0 damaged.tbb link.tbb
same "log is the target" 0 -L out.tbb damaged.tbb out.tbb
same "log is the source" 0 -L damaged.tbb -l damaged.tbb
# A name that does not exist yet names the same file in another case,
# through "..", with "\" for "/": refused before the log is created.
WINDOWS_ARGS=(-L 'sub\..\NEW.Log' damaged.tbb new.log)
same "log is the target, named in other case" 0 -L sub/../new.log damaged.tbb new.log
# Names not there yet, in one folder reached two ways: through a folder link
# (the log is the target; the log is the source that is missing), by the
# folder's 8.3 short name. Refused before anything is created.
same "log is the target, through a folder link" 0 log=here/t.tbb if=damaged.tbb of=t.tbb
same "log is the missing source, through a folder link" 0 -L here/nx.tbb nx.tbb o.tbb
if [ -n "$SHORT" ]; then
  WINDOWS_ARGS=(-L "long folder name/nx.tbb" "$SHORT/nx.tbb" o.tbb)
  same "log is the missing source, by the folder's short name" 0 -L "long folder name/nx.tbb" "long folder name/nx.tbb" o.tbb
else
  fail "no 8.3 short name for \"long folder name\" in 'dir /x'"
fi

# A path of over 400 characters: the wide profile reaches it as Linux does,
# giving the system its verbatim form (\\?\) on every call that names it
# (Wine's trace of the file calls shows what they were given), the folders
# the export makes included; the legacy profile keeps the 9x limit and
# refuses it cleanly, creating nothing.
if [ "$PROFILE" = wide ]; then
  same "a path of 408 characters" 0 -d+ -L "${DEEP}run.log" "${DEEP}damaged.tbb" "${DEEP}out.tbb"
  rm -rf lin win
  setup lin
  setup win
  (cd lin && "$(dirname "$LINUX_MENDRAKE")/mendrake-export" --eml "${DEEP}eml" "${DEEP}damaged.tbb" 2>/dev/null)
  (cd win && WINEDEBUG=trace+file $MENDRAKE_WRAP "$MENDRAKE" -L "${DEEP}run.log" "${DEEP}damaged.tbb" "${DEEP}out.tbb" &&
    WINEDEBUG=trace+file $MENDRAKE_WRAP "$MENDRAKE_EXPORT" --eml "${DEEP}eml" "${DEEP}damaged.tbb") >/dev/null 2>trace.txt
  calls=$(grep -aE 'trace:file:(CreateFileW|CreateDirectoryW|DeleteFileW|GetFileAttributesW) L".*folder-0' trace.txt)
  expect_eq "a path of 408 characters: calls in verbatim form, the export's folder among them" \
    "0 1" "$(grep -cvF 'L"\\\\?\\' <<<"$calls") $(grep -c -m1 '^[^ ]*CreateDirectoryW' <<<"$calls")"
  rm -f win/"${DEEP}run.log" win/"${DEEP}out.tbb"
  if diff -r --no-dereference lin win >/dev/null; then pass; else fail "a path of 408 characters: the export differs"; fi
else
  rm -rf win
  setup win
  OUT=$(cd win && $MENDRAKE_WRAP "$MENDRAKE" -L "${DEEP}run.log" "${DEEP}damaged.tbb" "${DEEP}out.tbb" 2>&1)
  rc=$?
  expect_eq "a path of 408 characters: refused, nothing made" "250|Can't create log file ${DEEP}run.log|" \
    "$rc|$(tr -d '\r' <<<"$OUT" | grep "^Can't")|$(diff -rq --no-dereference base win)"
fi

# On a console (a terminal that Wine's console serves) the text goes out
# through the console calls, WriteConsoleW in the wide profile. The
# terminal's control sequences and CRs are taken out, and spaces at line
# ends, which the console draws as cursor moves.
if command -v script >/dev/null; then
  name="my base.tbb"
  [ "$PROFILE" = wide ] && name="bäse ☃.tbb"
  rm -rf lin win
  setup lin
  setup win
  (cd lin && "$LINUX_MENDRAKE" -d+ -L console.log "$name" out.tbb >../lin.out)
  lrc=$?
  (cd win && script -qec "$MENDRAKE_WRAP $MENDRAKE -d+ -L console.log '$name' out.tbb" /dev/null >../win.tty)
  wrc=$?
  plain() { perl -pe 's/\e\[[?0-9;]*[A-Za-z]//g; s/\r//g; s/ +$//'; }
  expect_eq "console: text" "$(expected lin.out 0 | plain)" "$(plain <win.tty)"
  expect_eq "console: exit code" "$lrc" "$wrc"
  if diff -r --no-dereference lin win >/dev/null; then pass; else fail "console: files differ"; fi
  # The list itself on the console: first lines with control bytes (an
  # escape sequence among them) show them as dots, as on a Linux terminal;
  # redirected, the runs above keep the bytes.
  { tbb_message $'Subject: bell\a esc\e[7m del\x7f\r\n'; tbb_message $'From: nul\x01\x02\x1f end\r\n'; } >ctl.tbb
  (script -qec "$LINUX_MENDRAKE -l ctl.tbb" /dev/null >lin.tty)
  (script -qec "$MENDRAKE_WRAP $MENDRAKE -l ctl.tbb" /dev/null >win.tty)
  plain <lin.tty >lin.out
  expect_eq "console: list with control bytes" "$(expected lin.out 0 | plain)" "$(plain <win.tty)"
  grep -q 'bell. esc.\[7m del.$' lin.out && pass || fail "console: the Linux build shows no dots on a terminal"
  # A companion alone in its console window (Wine shows a terminal to the
  # program it starts as such a window, as a double-click would make it)
  # asks for Enter and waits for it, with its exit code kept; with its output
  # in a file, under cmd.exe, or for mendrake itself, it ends without asking.
  # (Wine's Windows 98 knows the count of the console's processes, which the
  # 9x family lacks: the wide profile alone.)
  if [ "$PROFILE" = wide ]; then
    CHECK_EXE=${MENDRAKE_CHECK:-$(dirname "$MENDRAKE")/mendrake-check.exe}
    while IFS='|' read -r name command want; do
      rm -f enter.fifo && mkfifo enter.fifo
      script -qec "$command" /dev/null <enter.fifo >win.tty 2>&1 &
      pid=$!
      exec 7>enter.fifo
      for _ in $(seq 300); do
        grep -q 'Press Enter to close this window\.' win.tty && break
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
      done
      sleep 1
      waited=0
      kill -0 $pid 2>/dev/null && waited=1
      (printf '\r' >&7) 2>/dev/null  # the reader may be gone
      exec 7>&-
      wait $pid
      rc=$?
      expect_eq "console window: $name: asks, waits, exit code" "$want" \
        "$(grep -c 'Press Enter to close this window\.' win.tty) $waited $rc"
    done <<TABLE
a window of its own|$MENDRAKE_WRAP $CHECK_EXE damaged.tbb|1 1 4
a window of its own, the export|$MENDRAKE_WRAP $MENDRAKE_EXPORT --mbox out.mbox mail.tbb|1 1 0
output to a file|$MENDRAKE_WRAP $CHECK_EXE damaged.tbb >check.out|0 0 4
typed at cmd.exe|$MENDRAKE_WRAP cmd /c $CHECK_EXE damaged.tbb|0 0 4
mendrake itself|$MENDRAKE_WRAP $MENDRAKE -l damaged.tbb|0 0 0
TABLE
  fi
else
  echo "SKIP: no 'script' command to give Wine a terminal: console output not checked"
fi

# Large sparse sources, read only near their end: 3 GiB is read unbuffered in
# the legacy profile (2 GiB limit) and buffered in the wide one (100 GiB).
GiB=1073741824
for size in $((3 * GiB)) $((3 * GiB + 1000)); do
  gen --out big.tbb --seed 15 --total 3000000 --deleted 10 --wrong 10 --at $((3 * GiB - 4000000)) --size $size
  nocache=0
  [ "$PROFILE" = legacy ] && nocache=1
  same "sparse source of $size bytes" $nocache -L big.log seek=$((3 * GiB - 3500000)) ../big.tbb out.tbb
  same "sparse source of $size bytes, listed" $nocache -l -d+ seek=$((3 * GiB - 2000000)) ../big.tbb
  rm -f big.tbb
done

# Two messages 1 GiB apart (a sparse gap): the first one's length is
# repaired in the target after the whole gap has been written, so the
# repair seeks back over 1 GiB, from a 32-bit process in the release.
gen --out gap.tbb --seed 16 --messages 30 --wrong 10 --deleted 10 --manifest gap.txt
gen --out after.tbb --seed 17 --messages 30 --wrong 10 --at $(($(stat -c %s gap.tbb) + GiB + 4321))
dd if=gap.tbb of=after.tbb conv=notrunc status=none
mv after.tbb gap.tbb
same "a 1 GiB gap between two messages" 0 -d+ -L gap.log ../gap.tbb out.tbb
read -r at _ text garbage _ < <(tail -1 gap.txt)
expect_eq "the gap: length repaired in the target" "$((text + garbage + GiB + 4321))" \
  "$(od -An -t u4 -j $((at + 36)) -N 4 win/out.tbb | tr -d ' ')"
rm -rf gap.tbb lin win

finish
