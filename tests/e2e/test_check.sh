#!/usr/bin/env bash
# mendrake-check: verdicts and exit codes on clean, damaged and repaired
# bases and on a disk image; its findings agree with the recovery's own
# warnings; JSON for scripts; the base is never written.
source "$(dirname "$0")/lib.sh"
CHECK=${MENDRAKE_CHECK:-$ROOT/build/mendrake-check}

# check ARGS...: runs the checker; sets OUT, ERR and RC.
check() {
  OUT=$($MENDRAKE_WRAP "$CHECK" "$@" 2>"$WORK/.stderr"; echo "rc=$?")
  RC=${OUT##*rc=}
  OUT=${OUT%rc=*}
  OUT=${OUT//$'\r'/}
  OUT=${OUT%$'\n'}
  ERR=$(tr -d '\r' <"$WORK/.stderr")
}
verdict() { tail -n 1 <<<"$OUT"; }
# The "broken MsgLength A, should be B" pairs of a checker report or of the
# recovery's warnings (dots stripped), in order.
lengths() { grep -oE 'broken MsgLength -?[0-9]+, should be -?[0-9]+' | sort; }
json() { python3 -c "import json,sys; d=json.load(sys.stdin); print($1)" <<<"$OUT"; }

# Writes a base from a list of "STORED_LENGTH TEXT_LENGTH [deleted]" messages
# (and the text of an inner base with "inner": a whole base inside a text).
make_base() {
  python3 - "$@" <<'PY'
import struct, sys
out, messages = sys.argv[1], sys.argv[2:]
def header(stored, deleted=False):
    return (b"!\tp\x19" + struct.pack("<I", 48) + bytes(12) + struct.pack("<I", 1 if deleted else 0)
            + bytes(12) + struct.pack("<I", stored & 0xffffffff) + bytes(4) + struct.pack("<I", 0))
data = b""
for message in messages:
    if message == "inner":
        inner = header(10) + b"inner text" + header(5) + b"inner"
        data += header(len(inner)) + inner
        continue
    stored, text, *rest = message.split()
    data += header(int(stored), bool(rest)) + (b"Subject: x\r\n" * 100)[: int(text)]
open(out, "wb").write(data)
PY
}

# --- Usage and operational errors ------------------------------------------
check
expect_eq "no base: usage error" "16" "$RC"
expect_eq "no base: usage on stderr" "usage: mendrake-check [--json] BASE" "$(tail -n 1 <<<"$ERR")"
check --frobnicate x
expect_eq "unknown option" "16" "$RC"
check --help
expect_eq "help" "0 usage: mendrake-check [--json] BASE" "$RC $(head -n 1 <<<"$OUT")"
check --version
expect_eq "version" "0 mendrake-check $VERSION" "$RC $OUT"
check missing.tbb
expect_eq "missing base" "8" "$RC"

# --- Generated damage: the checker's findings are the recovery's warnings;
# the repaired copy is clean, or has only the bytes after its last message.
for damage in "--wrong 20" "--garbage 15 --deleted 10" "--negative 5 --wrong 5 --boundary 20" \
  "--truncate 300" "--decoys 30 --wrong 10" "--garbage 100"; do
  # shellcheck disable=SC2086
  gen --out d.tbb --seed 7 --messages 120 --max 4000 --leading 100 $damage --manifest m.txt
  sum=$(md5sum <d.tbb)
  check d.tbb
  expect_eq "$damage: damaged" "4" "$RC"
  expect_eq "$damage: the base is not written" "$sum" "$(md5sum <d.tbb)"
  run -l -d+ d.tbb
  expect_eq "$damage: the same wrong lengths as the recovery" "$(lengths <<<"$OUT")" "$(check d.tbb; lengths <<<"$OUT")"
  rm -f r.tbb
  run d.tbb r.tbb
  check r.tbb
  if [ "$(tail -n 1 m.txt | cut -d' ' -f4)" -gt 0 ]; then
    expect_eq "$damage: repaired, only trailing bytes" "4 1" "$RC $(grep -c '^at ' <<<"$OUT")"
    expect_eq "$damage: trailing bytes named" "1" "$(grep -c 'trailing bytes after the last message' <<<"$OUT")"
  else
    expect_eq "$damage: repaired copy is clean" "0 verdict: clean" "$RC $(verdict)"
  fi
done

# --- Hand-made bases, one kind of finding each -----------------------------
# name | messages | exit | verdict start | findings (grep -c '^at ') | walk messages
while IFS='|' read -r name messages code want count walked; do
  # shellcheck disable=SC2086
  eval make_base b.tbb $messages
  check b.tbb
  expect_eq "$name: exit" "$code" "$RC"
  expect_eq "$name: verdict" "$want" "$(verdict | cut -c1-${#want})"
  expect_eq "$name: findings" "$count" "$(grep -c '^at ' <<<"$OUT")"
  check --json b.tbb
  expect_eq "$name: json" "$walked $count" "$(json 'd["walk"]["messages"], len(d["problems"])')"
done <<'EOF_CASES'
clean|"5 5" "0 0" "300 300"|0|verdict: clean|0|3
deleted messages are no problem|"5 5 d" "7 7 d"|0|verdict: clean|0|2
a base inside a message is text|"5 5" inner "3 3"|0|verdict: clean|0|3
too long a length|"5 5" "9 5" "3 3"|4|verdict: damaged; repair with: mendrake b.tbb b-repaired.tbb|1|2
cut off at the end|"5 5" "900 300"|4|verdict: damaged; repair with:|1|2
negative length|"5 5" "-5 5" "3 3"|4|verdict: damaged; repair with:|2|2
trailing bytes|"5 5" "5 30"|4|verdict: damaged; the messages end at offset 106|1|2
EOF_CASES

printf 'no mail here' >plain.txt
check plain.txt
expect_eq "no base" "4 verdict: no message base found" "$RC $(verdict)"
: >empty.tbb
check empty.tbb
expect_eq "empty file" "4 verdict: no message base found" "$RC $(verdict)"

# --- A base inside a disk image: where it begins and ends --------------------
gen --out image.bin --seed 3 --messages 30 --at 1048576 --size 4194304 --manifest im.txt
end=$(awk '{ e = $1 + 48 + $3 + $4 } END { print e }' im.txt)
check --json image.bin
expect_eq "image: leading bytes, end, trailing" "1048576 $end $((4194304 - end)) damaged" \
  "$(json 'd["leading_bytes"], d["base_end"], d["trailing_bytes"], d["verdict"]')"
check image.bin
expect_eq "image: the base's end in hex and decimal" "base ends at $(printf %x "$end") ($end); $((4194304 - end)) bytes follow" \
  "$(grep '^base ends' <<<"$OUT")"

# --- A read failure: exit 8, where, and no verdict ----------------------------
if [ -x "${MENDRAKE_CHECK_FAULTS_BIN:-}" ]; then
  gen --out big.tbb --seed 9 --messages 100 --max 6000
  OUT=$(MENDRAKE_FAULTS=read_fail=131072 "$MENDRAKE_CHECK_FAULTS_BIN" big.tbb 2>"$WORK/.stderr"; echo "rc=$?")
  expect_eq "read failure: exit, where, verdict" "rc=8 1 verdict: unknown; the reading failed at offset 131072" \
    "${OUT##*$'\n'} $(grep -c 'read failed at offset 131072' "$WORK/.stderr") $(tail -n 2 <<<"$OUT" | head -n 1)"
fi

finish
