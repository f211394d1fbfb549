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
mkdir sub
if [ "$PROFILE" = wide ]; then cp ../mail.tbb "bäse ☃.tbb"; fi
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
  if diff -r lin win >/dev/null; then pass; else fail "$name: files differ: $(diff -rq lin win | head -3)"; fi
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
  if diff -r lin win >/dev/null; then pass; else fail "console: files differ"; fi
  # The list itself on the console: first lines with control bytes (an
  # escape sequence among them) show them as dots, as on a Linux terminal;
  # redirected, the runs above keep the bytes.
  { tbb_message $'Subject: bell\a esc\e[7m del\x7f\r\n'; tbb_message $'From: nul\x01\x02\x1f end\r\n'; } >ctl.tbb
  (script -qec "$LINUX_MENDRAKE -l ctl.tbb" /dev/null >lin.tty)
  (script -qec "$MENDRAKE_WRAP $MENDRAKE -l ctl.tbb" /dev/null >win.tty)
  plain <lin.tty >lin.out
  expect_eq "console: list with control bytes" "$(expected lin.out 0 | plain)" "$(plain <win.tty)"
  grep -q 'bell. esc.\[7m del.$' lin.out && pass || fail "console: the Linux build shows no dots on a terminal"
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
