#!/usr/bin/env bash
# Hostile inputs through the real binary: a 300 MiB message and 1 GiB sparse
# images in copy runs (no message is held whole: the peak resident size,
# measured with /usr/bin/time from the Debian package "time", stays small
# whatever the sizes), a header claiming 2 GiB in a small file, 10,000
# arguments, and paths with spaces and non-ASCII letters.
source "$(dirname "$0")/lib.sh"

# header LENGTH: a 48-byte message header claiming LENGTH bytes of text.
header() {
  local l=$1
  printf '!\tp\x19\x30\x00\x00\x00'
  head -c 12 /dev/zero
  head -c 16 /dev/zero
  printf "\\x$(printf %02x $((l & 255)))\\x$(printf %02x $((l >> 8 & 255)))"
  printf "\\x$(printf %02x $((l >> 16 & 255)))\\x$(printf %02x $((l >> 24 & 255)))"
  head -c 8 /dev/zero
}

# peak_kib ARGS...: runs the tool under /usr/bin/time; sets KIB to the peak
# resident size in KiB and RC to the exit code.
peak_kib() {
  /usr/bin/time -f '%M' -o "$WORK/.rss" "$MENDRAKE" "$@" >"$WORK/.out" 2>/dev/null
  RC=$?
  KIB=$(tail -1 "$WORK/.rss")
}

if [ -x /usr/bin/time ]; then
  # 300 MiB of text behind one header (a hole in the file), then a second one.
  { header $((300 << 20)); } >big.tbb
  truncate -s $((48 + (300 << 20))) big.tbb
  { header 5; printf 'tail\n'; } >>big.tbb
  peak_kib big.tbb big.out
  expect_rc "300 MiB message" 0
  expect_same_file "300 MiB message copied whole" big.tbb big.out
  # The message streams through the output block (a sanitizer build adds
  # its own overhead): far under its size.
  if [ "$KIB" -lt $((100 * 1024)) ]; then pass; else fail "300 MiB message: peak $KIB KiB"; fi
  rm -f big.tbb big.out

  # A claim of 0x7FFFFFFF bytes in a 2 KiB file costs nothing extra; the
  # claim runs past the end of the source, so the copy carries the length
  # the file holds.
  { header 2147483647; head -c 2000 /dev/urandom | tr -d '!'; } >claim.tbb
  peak_kib claim.tbb claim.out
  expect_rc "claimed 2 GiB" 0
  { head -c 36 claim.tbb; header $(($(stat -c %s claim.tbb) - 48)) | tail -c +37 | head -c 4
    tail -c +41 claim.tbb; } >claim.expected
  expect_same_file "claimed 2 GiB copied, its length set" claim.expected claim.out
  if [ "$KIB" -lt $((64 * 1024)) ]; then pass; else fail "claimed 2 GiB: peak $KIB KiB"; fi

  # 1 GiB sparse images copied whole (to /dev/null, to spare the disk): a
  # small base at the start, so its last message runs 1 GiB to the end; and
  # a base near the end, behind 1 GiB of leading bytes.
  while IFS='|' read -r name placement; do
    gen --out img.bin --seed 6 --messages 40 $placement
    peak_kib img.bin /dev/null
    expect_rc "1 GiB image, $name" 0
    expect_eq "1 GiB image, $name: messages" " 40 messages found
 40 messages extracted " "$(tail -2 "$WORK/.out")"
    if [ "$KIB" -lt $((100 * 1024)) ]; then pass; else fail "1 GiB image, $name: peak $KIB KiB"; fi
  done <<TABLE
base at the start|--size 1G
base near the end|--at $(((1 << 30) - 200000)) --size 1G
TABLE
  rm -f img.bin
else
  echo "SKIP: /usr/bin/time missing (Debian package time)"
fi

# 10,000 arguments: switches that all parse, then the paths.
{ header 2; printf 'hi'; } >small.tbb
args=()
for ((k = 0; k < 9998; k++)); do args+=(-d+); done
run "${args[@]}" small.tbb small.out
expect_rc "10,000 arguments" 0
expect_same_file "10,000 arguments copy" small.tbb small.out
run "${args[@]}" small.tbb small.out third
expect_eq "10,000 arguments with a third path" "Usage:" "$(printf '%s\n' "$OUT" | sed -n 3p)"

# Paths with spaces and non-ASCII letters, in both syntaxes and for the log.
mkdir -p "dir with spaces/Grüße ü"
src="dir with spaces/Grüße ü/Posteingang Ärger.tbb"
gen --out "$src" --seed 9 --messages 20 --wrong 20
run -L "dir with spaces/Grüße ü/lög file.txt" "$src" "dir with spaces/Ausgabe ß.tbb"
expect_rc "non-ASCII paths" 0
expect_eq "non-ASCII names printed" "$src -> dir with spaces/Ausgabe ß.tbb" "$(printf '%s\n' "$OUT" | sed -n 3p)"
[ -s "dir with spaces/Grüße ü/lög file.txt" ] && pass || fail "log with non-ASCII name"
run "if=$src" "of=dir with spaces/dd ß.tbb"
expect_same_file "both syntaxes, same target" "dir with spaces/Ausgabe ß.tbb" "dir with spaces/dd ß.tbb"
finish
