#!/usr/bin/env bash
# The run driver of the real binary: a whole run's exact console text, the
# opening failures on real files (links and directories included), the start
# offset's rounding and tail, and a failed read through the fault build.
source "$(dirname "$0")/lib.sh"

summary() { printf 'Processed %s bytes (%s blocks)\n %s messages found\n %s messages extracted ' "$1" $(($1 / 2048)) "$2" "$2"; }

# A whole copy run: list and warnings go to the log, so the console holds the
# driver's text alone, ending with the summary's space and no line feed.
gen --out base.tbb --seed 7 --total 200000 --min 20 --style email --manifest manifest.txt
N=$(wc -l <manifest.txt)
run -L run.log base.tbb copy.tbb
expect_rc "whole run" 0
expect_eq "whole run: console" "$BANNER
base.tbb -> copy.tbb
200000 bytes
Starting from offset 0 bytes
....
$(summary 200000 "$N")" "$OUT"
expect_same_file "whole run: target" base.tbb copy.tbb
expect_eq "whole run: one list line per message" "$N" "$(wc -l <run.log)"

# Runs on zero-filled files: no message, so the console text is the driver's.
truncate -s 10000 small.tbb
run seek=5000 small.tbb out1.tbb
expect_rc "seek rounding" 0
expect_eq "seek rounding" "$BANNER
small.tbb -> out1.tbb
10000 bytes
Starting from offset 4096 bytes
..
$(summary 5904 0)" "$OUT"
run -l small.tbb listed.tbb
expect_eq "list-only with a target path" "$BANNER
small.tbb -> listed.tbb
10000 bytes
Starting from offset 0 bytes
....
$(summary 10000 0)" "$OUT"
expect_eq "list-only creates no target" "" "$(ls listed.tbb 2>/dev/null)"
run -l small.tbb -d+
expect_eq "list-only without a target path" "small.tbb -> (null)" "$(printf '%s\n' "$OUT" | sed -n 3p)"
run -o 1M small.tbb out2.tbb
expect_rc "start beyond the end" -7
expect_eq "start beyond the end" "$BANNER
small.tbb -> out2.tbb
10000 bytes
Starting from offset 1048576 bytes

Can't copy file tail (-1038576 bytes)
" "$OUT"

# Opening failures: NAME CODE MESSAGE ARGS...
fails() {
  local name=$1 code=$2 message=$3
  shift 3
  run "$@"
  expect_rc "$name" "$code"
  expect_eq "$name" "$BANNER"$'\n'"$message"$'\n'"exiting..."$'\n' "$OUT"
}
mkdir dir
touch empty.tbb
cp base.tbb pristine.tbb
ln -s base.tbb soft.tbb
ln base.tbb hard.tbb
printf 'earlier log\n' >old.log
fails "missing source" -1 "Can't open source file nosuch.tbb" nosuch.tbb x1.tbb
fails "directory as source" -1 "Can't open source file dir" dir x2.tbb
fails "directory as target" -3 "Can't open or create target file dir" base.tbb dir
fails "target in a missing directory" -3 "Can't open or create target file nodir/x.tbb" base.tbb nodir/x.tbb
fails "directory as log" -6 "Can't create log file dir" -L dir base.tbb x3.tbb
fails "empty source" -4 "Empty source file empty.tbb" empty.tbb out4.tbb
fails "log is the source" -6 "Can't create log file base.tbb" -L base.tbb base.tbb x5.tbb
fails "log is the source by symlink" -6 "Can't create log file soft.tbb" -L soft.tbb base.tbb x6.tbb
fails "log is the source by hard link" -6 "Can't create log file hard.tbb" log=hard.tbb if=base.tbb of=x7.tbb
fails "target is the source by symlink" -3 "Can't open or create target file soft.tbb" base.tbb soft.tbb
fails "target is the source by hard link" -3 "Can't open or create target file base.tbb" hard.tbb base.tbb
fails "target is the log" -3 "Can't open or create target file old.log" -L old.log base.tbb old.log
fails "target is a new log" -3 "Can't open or create target file new.log" -L new.log base.tbb new.log
fails "log is a missing source" -6 "Can't create log file gone.tbb" -L gone.tbb gone.tbb x8.tbb
expect_same_file "refused runs leave the source" pristine.tbb base.tbb
expect_eq "refused runs leave an earlier log" "earlier log" "$(cat old.log)"
expect_eq "refused runs create nothing" "" "$(ls x?.tbb new.log gone.tbb 2>/dev/null)"
if [ "$(id -u)" != 0 ]; then
  mkdir locked && chmod 555 locked
  fails "unwritable target directory" -3 "Can't open or create target file locked/x.tbb" base.tbb locked/x.tbb
fi

# A read failing at the third pass of a 10,000,000-byte source.
truncate -s 10000000 big.tbb
run_faults read_fail=131072,no_sleep=1 -L bad.log big.tbb big-out.tbb
expect_rc "failed read" -9
expect_eq "failed read: console" "$BANNER
big.tbb -> big-out.tbb
10000000 bytes
Starting from offset 0 bytes
.Can't read block (65536 bytes) at offset 131072 (LBA 64) error 5
Stop on output error
$(summary 131072 0)" "$OUT"
expect_eq "failed read: log" "bad at 131072 (LBA 64) size 65536 (32 blocks)" "$(cat bad.log)"
expect_eq "failed read: log ends with a line feed" "0a" "$(tail -c 1 bad.log | od -An -tx1 | tr -d ' ')"
finish
