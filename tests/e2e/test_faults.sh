#!/usr/bin/env bash
# Failing disks end to end (mendrake-faults): read failures at each kind of
# pass (what was read before the failure is all kept, the bytes held back
# from the pass before scanned last), short reads, a source cut short between passes, failing and short
# writes at the first block, a middle block and the final flush, and
# /dev/full as the target. Exact console, log line, exit code, and a target
# that is the gap-free prefix of the recovery.
source "$(dirname "$0")/lib.sh"

# 200,000 bytes: passes at 0, 65536, 131072, a block pass at 196608 and a
# final pass of 1,344 bytes at 198656.
gen --out src.orig --seed 77 --total 200000 --min 100 --manifest src.manifest
cp src.orig src.tbb
HEAD="$BANNER
src.tbb -> out.tbb
200000 bytes
Starting from offset 0 bytes
"
summary() {  # summary PROCESSED FOUND
  printf 'Processed %d bytes (%d blocks)\n %d messages found\n %d messages extracted ' "$1" $(($1 / 2048)) "$2" "$2"
}
headers_before() { awk -v end="$1" '$1 < end' src.manifest | wc -l; }
# Headers whose 48 bytes lie wholly before END.
headers_within() { headers_before $(($1 - 47)); }
prefix_of() { head -c "$1" src.orig >expected.tbb; expect_same_file "$2: target is the first $1 bytes" expected.tbb out.tbb; }

# name, fault, offset, size, dots, final, error, kept bytes
while read -r name fault offset size dots final error kept; do
  rm -f out.tbb log.txt
  cp src.orig src.tbb  # the shrink cases cut it
  run_faults "$fault,no_sleep" -L log.txt src.tbb out.tbb
  found=$(headers_within "$offset")
  nl=""; [ "$final" = 1 ] && nl=$'\n'
  expect_eq "$name console" "$HEAD$(printf '%*s' "$dots" '' | tr ' ' .)${nl}Can't read block ($size bytes) at offset $offset (LBA $((offset / 2048))) error $error
Stop on output error
$(summary "$offset" "$found")" "$OUT"
  expect_rc "$name" -9
  expect_eq "$name log line" "bad at $offset (LBA $((offset / 2048))) size $size ($((size / 2048)) blocks)" "$(tail -1 log.txt)"
  prefix_of "$kept" "$name"
done <<'TABLE'
read_first   read_fail=0               0      65536 1 0 5 0
read_middle  read_fail=65536           65536  65536 2 0 5 65536
read_block   read_fail=196608          196608 2048  4 0 5 196608
read_final   read_fail=198656          198656 1344  4 1 5 198656
short_read   short_read=131072         131072 65536 3 0 0 131072
shrunk_pass  shrink=131072:100000      131072 65536 3 0 0 131072
shrunk_later shrink=65536:150000       131072 65536 3 0 0 131072
shrunk_final shrink=198656:199000      198656 1344  4 1 0 198656
TABLE

# A header at 131,021, among the 61 bytes held back before the read at
# 131,072 fails: it is listed (its first line cut where the read stopped)
# and the target holds every byte read.
gen --out held.tbb --seed 3 --messages 3 --min 70000 --max 80000 --at 131021
rm -f out.tbb
run_faults read_fail=131072,no_sleep held.tbb out.tbb
expect_rc "held back before a failed read" -9
expect_eq "held back before a failed read: list and failure" "msg[1] at 1ffcd: Sub
Can't read block (65536 bytes) at offset 131072 (LBA 64) error 5
Stop on output error
Processed 131072 bytes (64 blocks)
 1 messages found
 1 messages extracted " "$(printf '%s' "$OUT" | sed -n '6,$p' | sed -E 's/^\.+//')"
head -c 131072 held.tbb >expected.tbb
expect_same_file "held back before a failed read: target" expected.tbb out.tbb

# name, fault, failing offset, lines reported, target bytes (all = complete)
all=$(headers_before 200000)
cp src.orig src.tbb
while read -r name fault offset lines kept; do
  rm -f out.tbb
  run_faults "$fault" src.tbb out.tbb
  expected=$(for _ in $(seq "$lines"); do echo "Can't write block at offset $offset error 28"; done)
  expect_eq "$name write lines" "$expected" "$(printf '%s\n' "$OUT" | grep -o "Can't write block.*")"
  expect_eq "$name summary" "$(summary 200000 "$all")" "$(printf '%s' "$OUT" | tail -3)"
  expect_rc "$name" -8
  [ "$kept" = all ] && kept=200000
  prefix_of "$kept" "$name"
done <<'TABLE'
write_first_once   write_fail=0,write_times=1                   0      1 all
write_first        write_fail=0                                 0      2 0
write_first_short  write_fail=0,short_write=1                   0      2 32768
write_middle_once  write_fail=65536,write_times=1               65536  1 all
write_middle       write_fail=65536                             65536  2 65536
write_middle_short write_fail=65536,short_write=1               65536  2 98304
write_final        write_fail=196608                            196608 1 196608
write_final_short  write_fail=196608,short_write=1              196608 1 198304
TABLE

# A full device: the first block and its retry fail, then writing stops.
run src.tbb /dev/full
expect_eq "/dev/full lines" "Can't write block at offset 0 error 28
Can't write block at offset 0 error 28" "$(printf '%s\n' "$OUT" | grep -o "Can't write block.*")"
expect_eq "/dev/full summary" "$(summary 200000 "$all")" "$(printf '%s' "$OUT" | tail -3)"
expect_rc "/dev/full" -8
finish
