#!/usr/bin/env bash
# make demo: generates a damaged mail base, judges it, lists it, repairs it
# as the judgement says, judges the repaired copy and takes its mail out as
# an mbox file. Builds only the four programs it runs, without the tests, in
# a build directory of its own (DEMO_BUILD, default build-demo), so it runs
# where googletest is missing.
# The files stay in DEMO_BUILD/demo for a look afterwards.
set -eu
BUILD=${1:-build-demo}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
echo "Building mendrake, mendrake-check, mendrake-export and tbbgen in $BUILD ..."
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DMENDRAKE_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target mendrake mendrake-check mendrake-export tbbgen -- --no-print-directory >/dev/null
DEMO=$BUILD/demo
mkdir -p "$DEMO"
rm -rf "$DEMO"/*
DAMAGED=$DEMO/Inbox.tbb
REPAIRED=$DEMO/Inbox-repaired.tbb

# Sixty mail messages with damage of every kind, the end cut off as when a
# copy broke off.
"$BUILD/tbbgen" --out "$DAMAGED" --manifest "$DEMO/manifest.txt" --style mail --seed 2026 \
  --messages 60 --min 1500 --max 9000 --leading 300 --wrong 12 --deleted 10 --garbage 8 --boundary 8 \
  --truncate 700

# What the manifest says was done (offset, stored length, text length, junk
# after, deleted): a header lies across a read boundary when its 48 bytes
# reach into the next 64 KiB.
read -r first messages wrong deleted junk across end < <(awk '
  NR == 1 { f = $1 }
  { n++; if ($2 != $3) w++; if ($5) d++; if ($4) j++
    if (int($1 / 65536) != int(($1 + 47) / 65536)) a++
    e = $1 + 48 + $3; last_junk = $4 }
  END { print f, n, w + 0, d + 0, j - (last_junk > 0), a + 0, e }' "$DEMO/manifest.txt")
size=$(stat -c %s "$DAMAGED")
if [ "$size" -lt "$end" ]; then
  tail_damage="the last message cut short by $((end - size)) bytes"
else
  tail_damage="$((size - end)) bytes of junk after the last message"
fi
echo
{
  echo "The demo base $DAMAGED holds $messages mail messages ($size bytes)."
  echo "Its damage: $first bytes of junk before the first message, $wrong wrong stored lengths,"
  echo "junk between $junk pairs of messages (a mail client stops at the first of these),"
  echo "$deleted messages marked deleted, $across headers across the tools' 64 KiB read"
  echo "boundaries, and $tail_damage."
} | tr '\n' ' ' | fold -s -w 78
echo

# show LINES...: a program's output, indented, its middle left out when long.
show() {
  local total
  total=$(printf '%s\n' "$1" | wc -l)
  if [ "$total" -le 16 ]; then
    printf '%s\n' "$1" | sed 's/^/    /'
  else
    printf '%s\n' "$1" | head -n 9 | sed 's/^/    /'
    echo "    [... $((total - 14)) more lines ...]"
    printf '%s\n' "$1" | tail -n 5 | sed 's/^/    /'
  fi
}

# step MEANINGS COMMAND...: prints the command, its output and its exit code.
step() {
  local meanings=$1 out code
  shift
  echo
  echo "\$ $(basename "$1") ${*:2}"
  set +e
  out=$("$@" 2>&1)
  code=$?
  set -e
  show "$out"
  LAST_OUT=$out
  meaning=$(tr ';' '\n' <<<"$meanings" | sed -n "s/^$code=//p")
  echo "  exit code $code${meaning:+: $meaning}"
}
CHECK_CODES="0=clean;4=problems found;8=operational error;16=usage error"

echo
echo "1. mendrake-check judges the base as a mail client would read it, and names"
echo "   the command that repairs it:"
step "$CHECK_CODES" "$BUILD/mendrake-check" "$DAMAGED"
verdict=$(sed -n 's/^verdict: damaged; repair with: //p' <<<"$LAST_OUT")
echo
echo "2. mendrake lists every message it finds, with its header's offset in hex,"
echo "   and every wrong length (-l: nothing is written):"
step "0=done" "$BUILD/mendrake" -l "$DAMAGED"
echo
if [ -z "$verdict" ]; then
  echo "3. The check named no repair: the demo stops here."
  exit 1
fi
echo "3. The repair the verdict names: mendrake's own copy keeps every byte, so"
echo "   where junk that is no mail lies between the messages (a gap) the check"
echo "   names mendrake-export --tbb, which writes the messages alone; deleted"
echo "   messages stay out (-d+ would bring them back):"
# The command as the verdict prints it, quoted for the shell: its words are
# the arguments, the program is the one built here.
eval "set -- $verdict"
step "0=done;8=operational error;16=usage error" "$BUILD/$1" "${@:2}"
echo
echo "4. mendrake-check on the repaired copy:"
step "$CHECK_CODES" "$BUILD/mendrake-check" "$REPAIRED"
echo
echo "5. mendrake-export takes the mail out as an mbox file:"
step "0=done;8=operational error;16=usage error" "$BUILD/mendrake-export" --mbox "$DEMO/Inbox.mbox" "$REPAIRED"
echo
if command -v python3 >/dev/null; then
  count=$(python3 -c 'import mailbox, sys; print(len(mailbox.mbox(sys.argv[1], create=False)))' "$DEMO/Inbox.mbox" 2>&1) ||
    count="none: $count"
  echo "6. Python's mailbox module reads $count messages from $DEMO/Inbox.mbox"
  echo "   ($((messages - deleted)) messages are not deleted in the generated base)."
else
  echo "6. python3 is missing: the mbox file is not read back."
fi
