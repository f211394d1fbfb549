#!/usr/bin/env bash
# Failing disks end to end (mendrake-faults): read failures at each kind of
# pass (what was read before the failure is all kept, the bytes held back
# from the pass before scanned last), short reads, a source cut short between passes, failing and short
# writes at the first block, a middle block and the final flush, and
# /dev/full as the target. Exact console, log line, exit code, and a target
# that is the gap-free prefix of the recovery. Passes are read four to a
# call and blocks written four to a call, so most of these failures lie
# inside such a read or write; on a larger damaged base, failures there are
# compared byte for byte with the same run reading and writing one at a time.
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

# A base of 1.3 MB with damage, the list on the console among the failure
# lines: every fault inside a four-pass read or a four-block write gives
# what the one-pass, one-block run gives, console, log, target and code.
gen --out big.orig --seed 5 --total 1300000 --min 100 --max 90000 --wrong 20 --deleted 20 --garbage 10
one_by_one() {  # one_by_one NAME FAULTS ARGS...
  local name=$1 faults=$2
  shift 2
  rm -f out.tbb log.txt
  cp big.orig big.tbb  # a shrink cuts it
  run_faults "$faults,no_sleep,one_at_a_time" "$@"
  local out=$OUT rc=$RC
  mv out.tbb one.tbb 2>/dev/null; mv log.txt one.log 2>/dev/null
  cp big.orig big.tbb
  run_faults "$faults,no_sleep" "$@"
  expect_eq "$name: console as one at a time" "$out" "$OUT"
  expect_eq "$name: code as one at a time" "$rc" "$RC"
  [ -e one.tbb ] && expect_same_file "$name: target as one at a time" one.tbb out.tbb
  [ -e one.log ] && expect_same_file "$name: log as one at a time" one.log log.txt
  rm -f one.tbb one.log
}
for fault in read_fail=196608 short_read=327680 shrink=393216:300000 read_fail=1296384 \
  write_fail=131072 write_fail=196608,write_times=1 write_fail=262144,short_write=1 write_fail=393216,write_times=2 \
  write_fail=1245184,short_write=1; do
  one_by_one "$fault" "$fault" big.tbb out.tbb
  one_by_one "$fault -d+ -L" "$fault" -d+ -L log.txt big.tbb out.tbb
done

# A full device: the first block and its retry fail, then writing stops.
run src.tbb /dev/full
expect_eq "/dev/full lines" "Can't write block at offset 0 error 28
Can't write block at offset 0 error 28" "$(printf '%s\n' "$OUT" | grep -o "Can't write block.*")"
expect_eq "/dev/full summary" "$(summary 200000 "$all")" "$(printf '%s' "$OUT" | tail -3)"
expect_rc "/dev/full" -8
finish
