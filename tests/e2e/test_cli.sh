#!/usr/bin/env bash
# The command line of the real binary: the exact usage text (exit 0, nothing
# opened) on malformed command lines, and both syntaxes recovering alike.
source "$(dirname "$0")/lib.sh"

USAGE='Usage:
  mendrake.exe [-<switches>] <source file> <target file>
      or
  mendrake.exe <dd-style options>
Switches:
  -o[b|k|m|g] <offset>  offset in bytes (or optionally in blocks, KBytes, MBytes or GBytes)
                      to start recovery from
  -L <logfile>        log errors to <logfile>
  -l                  just dump e-mail list
  -d[+|-]             include (+) or exclude(-) deleted messages
  -m <num>            start from message <num>
  -M <num>            process not more than <num>
  -?                  display this help
dd-style options:
  if=<source file>
  of=<target file>
  seek=<offset>[units]    default unit '"'b'"'
                            set SRC positions
Units:
  o - bytes (octets)      b - blocks
  k - KBytes)             M - MBytes             G - GBytes
Note:
  1 KByte = 1024 bytes
  1 MByte = 1024 KBytes = 1024*1024 bytes
  if byte offset or byte count is specified, it will be rounded to blocksize
Examples:
  mendrake.exe -o 10M X:\mail\messages.tbb E:\Temp\Restored.tbb
    will extract messages starting from byte offset 10Mb to end of file
'

gen --out src.tbb --seed 11 --messages 40 --min 1
cp src.tbb pristine.tbb

# Each line is one malformed command line (words split on spaces).
while IFS= read -r line; do
  read -ra args <<<"$line"
  run "${args[@]}"
  expect_eq "usage for [$line]" "$BANNER"$'\n'"$USAGE" "$OUT"
  expect_rc "usage for [$line]" 0
  expect_eq "stderr for [$line]" "" "$(cat "$WORK/.stderr")"
done <<'EOF'

src.tbb
-? src.tbb out.tbb
-h src.tbb out.tbb
src.tbb out.tbb -L
src.tbb out.tbb -m
src.tbb out.tbb -M
src.tbb out.tbb -o
src.tbb out.tbb third.tbb
-l of=out.tbb
-l -x src.tbb
seek=-2048 src.tbb out.tbb
-o -1 src.tbb out.tbb
-m 2147483648 src.tbb out.tbb
-M 4294967296 src.tbb out.tbb
seek=9223372036854775808 src.tbb out.tbb
seek=9007199254740992k src.tbb out.tbb
-L log.txt src.tbb out.tbb extra
EOF
expect_eq "a malformed command line creates nothing" "" "$(ls out.tbb third.tbb log.txt 2>/dev/null)"
expect_same_file "a malformed command line leaves the source" pristine.tbb src.tbb

# The same recovery through either syntax, in any order.
head_of() { printf '%s\n' "$1" | sed -n 3,5p; }
run src.tbb a.tbb
expect_rc "positional paths" 0
expect_eq "positional paths" "src.tbb -> a.tbb
$(stat -c %s src.tbb) bytes
Starting from offset 0 bytes" "$(head_of "$OUT")"
FIRST=${OUT#*bytes$'\n'Starting from offset 0 bytes$'\n'}
for form in "if=src.tbb of=b.tbb" "of=b.tbb src.tbb" "of=b.tbb if=src.tbb" "if=src.tbb b.tbb"; do
  rm -f b.tbb
  read -ra args <<<"$form"
  run "${args[@]}"
  expect_rc "$form" 0
  expect_eq "$form: header lines" "src.tbb -> b.tbb" "$(head_of "$OUT" | head -1)"
  expect_eq "$form: same run as positional paths" "$FIRST" "${OUT#*bytes$'\n'Starting from offset 0 bytes$'\n'}"
  expect_same_file "$form: same target" a.tbb b.tbb
done

# Paths with spaces arrive whole; units on the offset.
cp src.tbb "my base.tbb"
run -L "my log.txt" -ok 4 "my base.tbb" "my copy.tbb"
expect_rc "paths with spaces" 0
expect_eq "paths with spaces" "my base.tbb -> my copy.tbb
$(stat -c %s src.tbb) bytes
Starting from offset 4096 bytes" "$(head_of "$OUT")"
[ -f "my log.txt" ] && pass || fail "log with a space in its name"
finish
