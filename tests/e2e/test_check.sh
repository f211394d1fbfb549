#!/usr/bin/env bash
# mendrake-check: verdicts and exit codes on clean, damaged and repaired
# bases and on disk images; its findings agree with the recovery's own
# warnings; every repair it suggests gives a base it judges clean; commands
# safe to paste; ddrescue mapfiles; JSON for scripts; the base is never
# written; a report that cannot be written is a failure.
source "$(dirname "$0")/lib.sh"
CHECK=${MENDRAKE_CHECK:-$ROOT/build/mendrake-check}
EXPORT=${MENDRAKE_EXPORT:-$ROOT/build/mendrake-export}
USAGE="usage: mendrake-check [-o OFFSET] [--mapfile FILE] [--json] [--] BASE"
WINDOWS=${MENDRAKE_WINDOWS:-}

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
json() { python3 -c "import json,sys; d=json.load(sys.stdin); print($1)" <<<"$OUT"; }
# The "broken MsgLength A, should be B" pairs of the recovery's warnings
# (dots stripped), in order.
lengths() { grep -oE 'broken MsgLength -?[0-9]+, should be -?[0-9]+' | sort; }
# The same pairs from the checker's JSON: each length that does not lead,
# a gap's too, with the right length's low 32 bits as the recovery stores it.
check_lengths() {
  json '"\n".join(sorted("broken MsgLength %d, should be %d" % (p["stored_length"] - (p["stored_length"] >> 31 << 32),
      (lambda r: r - (r >> 31 << 32))((p["next_header"] - p["header"] - 48 if p["kind"] == "gap" else p["right_length"]) & 0xffffffff))
      for p in d["problems"] if p["kind"] in ("broken_length", "gap", "cut_off")))'
}
# repair ARGS...: runs the repair that the checker suggests for the base,
# with the programs under test; prints "clean" when the checker judges the
# result so, else what went wrong.
repair() {
  check --json "$@"
  local command out
  command=$(json 'd["repair"] or ""')
  out=$(json '(d["repair"] or "").split()[-1 if (d["repair"] or "").startswith("mendrake ") else 2]' 2>/dev/null)
  rm -f "$out"
  case $command in
    "mendrake "*) $MENDRAKE_WRAP "$MENDRAKE" ${command#mendrake } >/dev/null 2>&1 ;;
    "mendrake-export --tbb "*) $MENDRAKE_WRAP "$EXPORT" ${command#mendrake-export } >/dev/null 2>&1 ;;
    *) echo "no repair suggested"; return ;;
  esac
  check "$out"
  [ "$RC $(verdict)" = "0 verdict: clean" ] && echo clean || echo "$command: $(verdict)"
}
expect_repaired() { expect_eq "$1: the suggested repair gives a clean base" clean "$(repair "${@:2}")"; }

# Writes a base from a list of "STORED_LENGTH TEXT_LENGTH [d]" messages (d:
# deleted); "inner" is a message whose text is a whole base, "zeros N" N
# NUL bytes between messages, "junk N" N bytes with no NUL, "zerotext N" a
# message whose text is N NUL bytes behind a line of text.
make_base() {
  python3 - "$@" <<'PY'
import struct, sys
out, messages = sys.argv[1], sys.argv[2:]
def header(stored, deleted=False):
    return (b"!\tp\x19" + struct.pack("<I", 48) + bytes(12) + struct.pack("<I", 1 if deleted else 0)
            + bytes(12) + struct.pack("<I", stored & 0xffffffff) + bytes(4) + struct.pack("<I", 0))
data = b""
for message in messages:
    word = message.split()
    if word[0] == "inner":
        inner = header(10) + b"inner text" + header(5) + b"inner"
        data += header(len(inner)) + inner
    elif word[0] == "zeros":
        data += bytes(int(word[1]))
    elif word[0] == "junk":
        data += b"j" * int(word[1])
    elif word[0] == "zerotext":
        text = b"Subject: z\r\n" + bytes(int(word[1]))
        data += header(len(text)) + text
    else:
        data += header(int(word[0]), len(word) > 2) + (b"Subject: x\r\n" * 100)[: int(word[1])]
open(out, "wb").write(data)
PY
}

# --- Usage and operational errors ------------------------------------------
: >empty.map
printf '# only\n# comments\n' >comments.map
head -c 100 /dev/zero >short.tbb
# name | arguments | exit | last line on stderr (- none; * the system's words)
while IFS='|' read -r name args code line; do
  eval "check $args"
  expect_eq "$name: exit" "$code" "$RC"
  got=$(tail -n 1 <<<"$ERR")
  # shellcheck disable=SC2053
  [[ "$got" == $line ]] && line=$got
  [ "$line" = - ] || expect_eq "$name: stderr" "$line" "$got"
done <<EOF_USAGE
no base|                  |16|$USAGE
unknown option|--frobnicate x |16|$USAGE
two bases|a b                |16|$USAGE
no value after -o|x -o       |16|$USAGE
no mapfile name|--mapfile= x |16|$USAGE
no value after --mapfile|x --mapfile|16|$USAGE
missing base|missing.tbb     |8|mendrake-check: missing.tbb: cannot open: ?* (error 2)
missing mapfile|--mapfile missing.map missing.tbb|8|-
an empty mapfile|--mapfile empty.map missing.tbb|16|mendrake-check: empty.map: an empty mapfile: not a ddrescue mapfile
a mapfile of comments|--mapfile comments.map missing.tbb|16|mendrake-check: comments.map: line 2: no status line: not a ddrescue mapfile
a start offset past the end|-o 3000 short.tbb|8|mendrake-check: start offset 3000 (rounded down: 2048) lies beyond the end of short.tbb (100 bytes)
EOF_USAGE
for value in 1e3 10X 1k2 "5 bytes" 1.5M -5 0x ""; do
  check -o "$value" x
  expect_eq "-o '$value' refused" "16 mendrake-check: bad offset '$value': a decimal number with an optional unit (o bytes, b blocks of 2048, k, M or m, G or g), or a hexadecimal number with 0x
$USAGE" "$RC $ERR"
done
check --help
expect_eq "help: the usage line, and /? named as the export's help names it" "0 $USAGE 1" \
  "$RC $(head -n 1 <<<"$OUT") $(grep -c '^  -h, --help .*(/? too on Windows)$' <<<"$OUT")"
check --version
expect_eq "version" "0 mendrake-check $VERSION" "$RC $OUT"

# --- Generated damage: the checker's findings are the recovery's warnings;
# the repair it suggests (mendrake's own copy, or a clean base from
# mendrake-export --tbb where the copy would keep bytes that are no mail)
# gives a base it judges clean.
for damage in "--wrong 20" "--garbage 15 --deleted 10" "--negative 5 --wrong 5 --boundary 20" \
  "--truncate 300" "--decoys 30 --wrong 10" "--garbage 100" "--wrong 20 --deleted 30 --nul 20"; do
  # shellcheck disable=SC2086
  gen --out d.tbb --seed 7 --messages 120 --max 4000 --leading 100 $damage
  sum=$(md5sum <d.tbb)
  check --json d.tbb
  expect_eq "$damage: damaged" "4" "$RC"
  expect_eq "$damage: the base is not written" "$sum" "$(md5sum <d.tbb)"
  found=$(check_lengths)
  run -l -d+ d.tbb
  expect_eq "$damage: the same wrong lengths as the recovery" "$(lengths <<<"$OUT")" "$found"
  expect_repaired "$damage" d.tbb
done

# --- Hand-made bases, one kind of finding each -----------------------------
# Every header found counts, as mendrake's list numbers them.
# name | messages | exit | verdict start | findings (^at) | warnings | walk messages
while IFS='|' read -r name messages code want count warned walked; do
  eval make_base b.tbb $messages
  check b.tbb
  expect_eq "$name: exit" "$code" "$RC"
  expect_eq "$name: verdict" "$want" "$(verdict | cut -c1-${#want})"
  expect_eq "$name: findings" "$count $warned" "$(grep -c '^at ' <<<"$OUT") $(grep -c '^warning: ' <<<"$OUT")"
  check --json b.tbb
  expect_eq "$name: json" "$walked $count $warned" "$(json 'd["walk"]["messages"], len(d["problems"]), len(d["warnings"])')"
  found=$(json 'd["messages"]')
  run -l -d+ b.tbb
  expect_eq "$name: the messages of mendrake's list" "$(grep -cE '(msg|del)\[' <<<"$OUT")" "$found"
  [ "$code" = 4 ] && expect_repaired "$name" b.tbb
done <<'EOF_CASES'
clean|"5 5" "0 0" "300 300"|0|verdict: clean|0|0|3
deleted messages are no problem|"5 5 d" "7 7 d"|0|verdict: clean|0|0|2
a base inside a message is text|"5 5" inner "3 3"|0|verdict: clean|0|0|3
a base inside a message, then a broken length|inner "5 5" "9 5" "3 3"|4|verdict: damaged; repair with: mendrake b.tbb b-repaired.tbb|1|0|3
every message deleted, bytes after them|"5 5 d" "7 7 d" "zeros 1" "junk 4"|4|verdict: damaged; repair with: mendrake-export --tbb b-repaired.tbb -d+ b.tbb|1|0|2
every message deleted, a broken length|"5 5 d" "9 7 d" "3 3 d"|4|verdict: damaged; repair with: mendrake -d+ b.tbb b-repaired.tbb|1|0|2
too long a length|"5 5" "9 5" "3 3"|4|verdict: damaged; repair with: mendrake b.tbb b-repaired.tbb|1|0|2
too short over text|"5 5" "3 9" "3 3"|4|verdict: damaged; repair with: mendrake b.tbb b-repaired.tbb|1|0|2
too short over bytes with no NUL|"5 5" "junk 40" "3 3"|4|verdict: damaged; repair with: mendrake b.tbb|1|0|1
a gap: NUL bytes between|"5 5" "zeros 40" "3 3"|4|verdict: damaged; repair with: mendrake-export --tbb b-repaired.tbb b.tbb|1|0|1
a short length over text then NUL|"5 12" "zeros 3" "3 3"|4|verdict: damaged; repair with: mendrake-export --tbb|1|0|1
a gap after a deleted message|"5 5 d" "zeros 9" "3 3"|4|verdict: damaged; repair with: mendrake-export --tbb|1|0|1
cut off at the end|"5 5" "900 300"|4|verdict: damaged; repair with: mendrake b.tbb|1|0|2
negative length|"5 5" "-5 5" "3 3"|4|verdict: damaged; repair with: mendrake b.tbb|2|0|2
trailing bytes|"5 5" "5 30"|4|verdict: damaged; repair with: mendrake-export --tbb b-repaired.tbb b.tbb|1|0|2
a run of NUL bytes in a text|"5 5" "zerotext 600" "3 3"|0|verdict: clean|0|1|3
a shorter run is none|"5 5" "zerotext 511" "3 3"|0|verdict: clean|0|0|3
EOF_CASES
make_base b.tbb inner "5 5" "9 5" "3 3"
check --json b.tbb
numbers=$(json 'd["messages"], d["inside_text"], d["problems"][0]["message"]')
check b.tbb
line=$(grep '^messages' <<<"$OUT")
run -l -d+ b.tbb
expect_eq "headers inside a text: numbered as mendrake's list, the ones read as text said apart" \
  "messages: 6 found, 0 of them deleted; 2 of them inside another message's text, as a mail client reads it
6 2 5 msg[5] at d4" "$line
$numbers $(grep -o 'msg\[5\] at d4' <<<"$OUT")"
make_base b.tbb "5 5 d" "7 7 d" "zeros 1" "junk 4"
check b.tbb
expect_eq "every message deleted: the repair says why it takes them" \
  "repair: mendrake's own copy would keep the bytes after the last message; mendrake-export --tbb writes the messages alone; every message found is deleted: -d+ takes them (without it the repaired base would hold none)" \
  "$(grep '^repair:' <<<"$OUT")"
make_base b.tbb "5 5" "zerotext 600" "3 3"
check b.tbb
expect_eq "the run of NUL bytes: where, how long, which message" \
  "warning: at 71: 600 NUL bytes in a row in the text of message 2 (header at 35): an area an imaging tool filled with zeros? --mapfile tells" \
  "$(grep '^warning' <<<"$OUT")"

printf 'no mail here' >plain.txt
check plain.txt
expect_eq "no base" "4 verdict: no message base found" "$RC $(verdict)"
: >empty.tbb
check empty.tbb
expect_eq "empty file" "4 verdict: no message base found" "$RC $(verdict)"

# --- Disk images: a base inside one, two bases 80 MB apart ------------------
gen --out image.bin --seed 3 --messages 30 --at 1048576 --size 4194304 --manifest im.txt
end=$(awk '{ e = $1 + 48 + $3 + $4 } END { print e }' im.txt)
check --json image.bin
expect_eq "image: leading bytes, end, trailing" "1048576 $end $((4194304 - end)) damaged" \
  "$(json 'd["leading_bytes"], d["base_end"], d["trailing_bytes"], d["verdict"]')"
check image.bin
expect_eq "image: the base's end in hex and decimal" "base ends at $(printf %x "$end") ($end); $((4194304 - end)) bytes follow" \
  "$(grep '^base ends' <<<"$OUT")"
expect_eq "image: a clean base from the export" \
  "verdict: damaged; repair with: mendrake-export --tbb image.bin-repaired.tbb -o 1048576 image.bin" "$(verdict)"
expect_repaired "image" image.bin

# Two bases with zeros between and random bytes after; each judged on its
# own from its offset, and both together.
second=$((80 * 1048576 + 1024))
gen --out two.img --seed 4 --messages 200 --max 3000 --at 40960512 --size $second
gen --out b2.tbb --seed 5 --messages 115 --max 3000 --wrong 5 --manifest b2.txt
cat b2.tbb >>two.img
head -c 100000 /dev/urandom | tr -d '!' >>two.img
truncate -s 200M two.img
check two.img
expect_eq "two bases: two runs" 1 \
  "$(grep -cE "^runs: messages 1-200 at 2710200-[0-9a-f]+; messages 201-315 at $(printf %x $second)-[0-9a-f]+$" <<<"$OUT")"
expect_eq "two bases: one gap between" "1" "$(grep -c ': a gap of ' <<<"$OUT")"
expect_repaired "two bases together" two.img
check -o $((second / 2048 * 2048)) two.img
expect_eq "the second base from its offset: leading bytes, messages" \
  "leading bytes: 1024, from the start offset $((second / 2048 * 2048)) to the first message header at $(printf %x $second)
messages: 115 found, 0 of them deleted" "$(grep -E '^(leading|messages)' <<<"$OUT")"
expect_repaired "the second base" -o "0x$(printf %x $second)" two.img
check --json -o 40960000 two.img
expect_eq "offsets stay offsets in the file" "40960512 512 $second" \
  "$(json 'd["first_header"], d["leading_bytes"], [p for p in d["problems"] if p["kind"] == "gap"][0]["next_header"]')"

# --- Headers inside an over-long walked message: none is dropped -----------
python3 - <<'PY'
import struct
def header(stored):
    return b"!\tp\x19" + struct.pack("<I", 48) + bytes(28) + struct.pack("<I", stored) + bytes(8)
with open("long.tbb", "wb") as f:
    f.write(header(0x7FFFFFFF) + b"Subject: first\r\n\r\nbody\r\n")
    for k in range(20000):
        t = b"Subject: m%d\r\n\r\nbody\r\n" % k
        f.write(header(len(t)) + t)
PY
check long.tbb
run -l long.tbb
expect_eq "20,000 headers inside one message: the recovery's count, one broken length" \
  "at 0: broken MsgLength 2147483647, should be 24
messages: $(grep -c 'msg\[' <<<"$OUT") found, 0 of them deleted
verdict: damaged; repair with: mendrake long.tbb long-repaired.tbb" \
  "$(check long.tbb; grep -E '^(messages|at|verdict)' <<<"$OUT")"
expect_repaired "20,000 headers inside one message" long.tbb

# --- A distance no message length can span --------------------------------
# The next header lies 2 GiB and 100 bytes on, over a stored length that
# reaches further still: mendrake would store a negative length.
python3 - <<'PY'
import struct
def header(stored):
    return b"!\tp\x19" + struct.pack("<I", 48) + bytes(28) + struct.pack("<I", stored & 0xffffffff) + bytes(8)
with open("far.tbb", "wb") as f:
    f.write(header(2**31 + 4096) + b"Subject: a\r\n\r\n" + b"x" * 86)
    f.seek(2**31 + 148)
    f.write(header(5) + b"hello")
PY
check far.tbb
expect_eq "over 2 GiB: named as such, and the export suggested" \
  "at 0: broken MsgLength -2147479552; no message length can span the 2147483748 bytes to the next header
verdict: damaged; repair with: mendrake-export --tbb far-repaired.tbb far.tbb" \
  "$(grep -E '^(at 0: broken|verdict)' <<<"$OUT")"
rm -f far.tbb

# --- Commands safe to paste ------------------------------------------------
# Names that a shell would read otherwise: the suggested command, run by
# sh, repairs the base and nothing else happens.
if [ -z "$WINDOWS" ]; then
  mkdir -p bin paste
  ln -sf "$MENDRAKE" bin/mendrake
  ln -sf "$EXPORT" bin/mendrake-export
  while IFS= read -r name; do
    stem=${name%.tbb}
    for kind in broken trailing; do
      rm -rf paste/* paste/.[!.]*
      if [ $kind = broken ]; then
        (cd paste && make_base "./$name" "5 5" "9 5" "3 3")
      else
        (cd paste && make_base "./$name" "5 5" "3 9")
      fi
      command=$(cd paste && $CHECK -- "$name" | tail -n 1)
      command=${command#verdict: damaged; repair with: }
      (cd paste && PATH=$WORK/bin:$PATH sh -c "$command" >/dev/null 2>&1)
      expect_eq "'$name' ($kind): the pasted command repairs it and does nothing else" \
        "$(printf '%s\n' "$name" "$stem-repaired.tbb" | LC_ALL=C sort)" "$(cd paste && LC_ALL=C ls -1A)"
      expect_eq "'$name' ($kind): the repaired base is clean" "verdict: clean" \
        "$(cd paste && $CHECK -- "$stem-repaired.tbb" | tail -n 1)"
    done
  done <<'EOF_NAMES'
mail $(touch PWNED).tbb
a\b.tbb
-l.tbb
it's here.tbb
of=x.tbb
EOF_NAMES
else
  # Under Wine: the command as cmd.exe runs it (from a batch file, where a
  # "%" would need doubling: no name here holds one), the programs found
  # on the path.
  runner=${MENDRAKE_WRAP##* }
  mkdir -p paste
  while IFS= read -r name; do
    rm -rf paste/*
    (cd paste && make_base "./$name" "5 5" "9 5" "3 3")
    command=$(cd paste && $MENDRAKE_WRAP "$CHECK" -- "$name" | tr -d '\r' | tail -n 1)
    printf '@%s\r\n' "${command#verdict: damaged; repair with: }" >paste/paste.bat
    (cd paste && WINEPATH=$(winepath -w "$(dirname "$MENDRAKE")" 2>/dev/null) "$runner" cmd /c paste.bat >/dev/null 2>&1)
    expect_eq "'$name': the command, run by cmd.exe, repairs it" "verdict: clean" \
      "$(cd paste && $MENDRAKE_WRAP "$CHECK" -- "${name%.tbb}-repaired.tbb" | tr -d '\r' | tail -n 1)"
  done <<'EOF_NAMES'
it's here & (now) ^!;,=.tbb
-l.tbb
EOF_NAMES
fi

# --- ddrescue mapfiles: the messages that areas not read hit ---------------
# Three messages of 148, 77 and 211 bytes: headers at 0, 0x94 (148) and
# 0xe1 (225); the base ends at 0x1b4 (436).
make_base m.tbb "100 100" "29 29" "163 163"
mapfile() {
  printf '# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n0x00000000     +               1\n'
  printf '%s\n' "$@"
}
# Bytes not read outside every message (before the first, in a gap, after
# the last, or where no header is at all) are findings too: a message may
# have stood there. Those rows judge o.tbb, made of their own messages.
# name | mapfile's block lines (; between) | unreadable messages:bytes | verdict start | o.tbb's messages
while IFS='|' read -r name blocks hits want messages; do
  IFS=';' read -ra lines <<<"$blocks"
  mapfile "${lines[@]}" >m.map
  base=m.tbb
  [ -n "$messages" ] && base=o.tbb && eval make_base o.tbb "$messages"
  check --mapfile m.map $base
  got="$RC $(verdict)"
  expect_eq "$name: exit and verdict" "$want" "${got:0:${#want}}"
  check --json --mapfile m.map $base
  expect_eq "$name: unreadable findings" "$hits" "$(json '" ".join(("%d" % p["message"] if "message" in p else p["place"])
    + ":%d" % p["bytes"] for p in d["problems"] if p["kind"] == "unreadable") or "-"')"
done <<'EOF_MAPS'
all read, hex|0x0 0x1B4 +|-|0 verdict: clean
all read, decimal|0 436 +|-|0 verdict: clean
bad sector in a text|0 20 +;20 10 -;30 406 +|1:10|4 verdict: damaged; 1 message lies partly in areas not read from the disk, which no repair mends: retry those areas with ddrescue: ddrescue -d -r3 DEVICE m.tbb m.map
a header not tried|0 0x94 +;0x94 8 ?;0x9c 0x118 +|2:8|4 verdict: damaged; 1 message lies
non-trimmed over two|0 140 +;140 20 *;160 276 +|1:8 2:12|4 verdict: damaged; 2 messages lie
non-scraped at the end|0 400 +;400 36 /|3:36|4 verdict: damaged; 1 message
past the mapfile's end|0 300 +|3:136|4 verdict: damaged; 1 message
an area beside the base|0 436 +;436 100 -|-|0 verdict: clean
bytes before the first message|0 0x100 -;0x100 0x1000 +|leading_bytes:256|4 verdict: damaged; 256 bytes outside the messages lie in areas not read from the disk, which no repair mends: retry those areas with ddrescue: ddrescue -d -r3 DEVICE o.tbb m.map|"zeros 512" "100 100" "29 29"
a gap|0 0x94 +;0x94 0x10 -;0xa4 0x1000 +|gap:16|4 verdict: damaged; repair with: mendrake-export --tbb o-repaired.tbb o.tbb|"100 100" "zeros 40" "29 29"
a gap and a message|0 0x90 +;0x90 0x10 -;0xa0 0x1000 +|1:4 gap:12|4 verdict: damaged; repair with: mendrake-export --tbb|"100 100" "zeros 40" "29 29"
after the last message|0 0xf0 +;0xf0 0x1000 -|trailing_bytes:85|4 verdict: damaged; repair with: mendrake-export --tbb o-repaired.tbb o.tbb|"100 100" "29 29" "zeros 100"
no message header at all|0 0x400 -;0x400 0x400 +|leading_bytes:1024|4 verdict: no message base found; 1024 bytes lie in areas not read from the disk, where one may lie: retry those areas with ddrescue: ddrescue -d -r3 DEVICE o.tbb m.map|"zeros 2048"
EOF_MAPS
make_base m.tbb "100 100" "40 29" "163 163"
mapfile "0 20 +" "20 10 -" "30 406 +" >m.map
check --mapfile m.map m.tbb
expect_eq "areas not read and a broken length: retry first, then the repair" \
  "1 message lies partly in areas not read from the disk: retry those areas with ddrescue first: ddrescue -d -r3 DEVICE m.tbb m.map
verdict: damaged; repair with: mendrake m.tbb m-repaired.tbb" "$(tail -n 2 <<<"$OUT")"
make_base z.tbb "5 5" "zerotext 600"
mapfile "0 0x1000 +" >m.map
check --mapfile m.map z.tbb
expect_eq "with a mapfile, no warning of NUL bytes" "0 0 verdict: clean" "$RC $(grep -c '^warning' <<<"$OUT") $(verdict)"
printf 'not a mapfile\n' >bad.map
check --mapfile bad.map z.tbb
expect_eq "a malformed mapfile: usage error naming the line" "16 mendrake-check: bad.map: line 1: not a status line (position, status character, pass)" \
  "$RC $ERR"
# A real one: ddrescue, told that an area of the base is bad (its test
# mode), leaves it unread and says so in its mapfile.
if command -v ddrescue >/dev/null; then
  gen --out r.tbb --seed 8 --messages 50 --max 3000 --manifest r.txt
  mapfile "0 0x3000 +" "0x3000 0x400 -" "0x3400 0x100000 +" >bad-area.map
  ddrescue -q -H bad-area.map r.tbb r.img r.map
  check --json --mapfile r.map r.img
  expected=$(awk '$1 + 48 + $3 + $4 > 12288 && $1 < 13312 { from = $1 < 12288 ? 12288 : $1;
    to = $1 + 48 + $3 + $4 > 13312 ? 13312 : $1 + 48 + $3 + $4; printf "%s%d:%d", sep, NR, to - from; sep = " " }' r.txt)
  expect_eq "ddrescue's own mapfile: the messages in the area it left" "$expected" \
    "$(json '" ".join("%d:%d" % (p["message"], p["bytes"]) for p in d["problems"] if p["kind"] == "unreadable")')"
  expect_eq "ddrescue's own mapfile: retry, no repair" "None ddrescue -d -r3 DEVICE r.img r.map" "$(json 'd["repair"], d["retry"]')"
  check --json r.img
  expect_eq "without it: the zeros it left are a warning" "clean zero_run 1024" \
    "$(json 'd["verdict"], d["warnings"][0]["kind"], d["warnings"][0]["size"]')"
  # The fixed point through bad sectors: an image whose area FROM+SIZE was
  # not read (zeros), judged with its mapfile; the retry the check names,
  # the intact base standing in for the disk; judged again: clean. The
  # first two headers lost (bytes before the first message found); the
  # middle one of three messages lost whole (a gap).
  # name | messages | area not read | the lines about it
  while IFS='|' read -r name messages area lines; do
    eval make_base disk.tbb $messages
    from=${area%+*} size=${area#*+} total=$(wc -c <disk.tbb)
    cp disk.tbb bad.img
    dd if=/dev/zero of=bad.img bs=1 seek="$from" count="$size" conv=notrunc 2>/dev/null
    mapfile "0 $from +" "$from $size -" "$((from + size)) $((total - from - size)) +" >bad.map
    check --mapfile bad.map bad.img
    expect_eq "$name: said" "$(printf '%b' "$lines")" "$(grep -E 'unreadable|not read from the disk' <<<"$OUT")"
    command=$(grep -o 'ddrescue -d -r3 DEVICE .*' <<<"$OUT")
    # Direct access where the file system has it, else through the cache.
    cached=${command/ -d / }
    sh -c "${command/DEVICE/disk.tbb}" >/dev/null 2>&1 || sh -c "${cached/DEVICE/disk.tbb}" >/dev/null 2>&1
    check --mapfile bad.map bad.img
    expect_eq "$name: retried as the check says, then clean" "0 verdict: clean" "$RC $(verdict)"
  done <<'EOF_RETRY'
headers lost|"600 600" "600 600" "600 600"|0+1024|at 0: unreadable: 1024 of the 1296 bytes before the first message lie in areas the mapfile marks not read: a message may have stood there\nverdict: damaged; 1024 bytes outside the messages lie in areas not read from the disk, which no repair mends: retry those areas with ddrescue: ddrescue -d -r3 DEVICE bad.img bad.map
a message lost whole|"464 464" "464 464" "464 464"|512+512|at 200: unreadable: 512 of the gap's 512 bytes lie in areas the mapfile marks not read: a message may have stood there\n512 bytes outside the messages lie in areas not read from the disk: retry those areas with ddrescue first: ddrescue -d -r3 DEVICE bad.img bad.map
EOF_RETRY
else
  echo "SKIP: ddrescue's own mapfile: no ddrescue"
fi

# --- JSON for any path, a report that cannot be written ---------------------
if [ -z "$WINDOWS" ]; then
  cp b.tbb "bad$(printf '\xff')name.tbb"
  check --json "bad$(printf '\xff')name.tbb"
  expect_eq "a path that is not UTF-8: valid JSON, its bytes as Latin-1, said so" \
    "bad\xffname.tbb False" "$(json 'd["base"].encode("unicode_escape").decode(), d["base_utf8"]')"
  if command -v jq >/dev/null; then
    expect_eq "... jq reads it too" "false" "$(jq -r .base_utf8 <<<"$OUT")"
  else
    echo "SKIP: jq missing"
  fi
  for args in "--json b.tbb" "b.tbb" "--help"; do
    # shellcheck disable=SC2086
    "$CHECK" $args >/dev/full 2>"$WORK/.stderr"
    expect_eq "$args > /dev/full: a failure, said" "8 mendrake-check: the report could not be written: No space left on device (error 28)" \
      "$? $(cat "$WORK/.stderr")"
  done
  expect_eq "a closed pipe: a failure" "8 mendrake-check: the report could not be written: Broken pipe (error 32)" \
    "$(python3 -c 'import os, subprocess, sys
r, w = os.pipe()
os.close(r)
p = subprocess.run(sys.argv[1:], stdout=w, stderr=subprocess.PIPE)
print(p.returncode, p.stderr.decode().strip())' "$CHECK" long.tbb)"
else
  echo "SKIP: non-UTF-8 names, /dev/full and closed pipes as standard output (Linux)"
fi

# --- Progress on a terminal never runs into the findings --------------------
if [ -z "$WINDOWS" ] && command -v script >/dev/null; then
  gen --out p.tbb --seed 12 --messages 3000 --max 3000 --wrong 2 --garbage 1
  script -qc "$(printf '%q ' "$CHECK" p.tbb)" /dev/null >tty.txt
  # What the terminal shows: each carriage return goes back to the line's start.
  shown=$(python3 -c '
import sys
for line in open("tty.txt", "rb").read().decode("latin-1").split("\n"):
    screen = ""
    for part in line.split("\r"):
        screen = part + screen[len(part):]
    print(screen.rstrip())' | grep -v '^$')
  expect_eq "terminal: the report's lines stand alone" "$($CHECK p.tbb)" "$(grep -v '^mendrake-check: *[0-9]*%$' <<<"$shown")"
  expect_eq "terminal: the progress showed" "1" "$(grep -c -m1 '%' tty.txt)"
else
  echo "SKIP: progress on a terminal (needs script, Linux)"
fi

# --- A read failure: exit 8, where, and no verdict ----------------------------
# Also where the source fails to give again the headers inside a walked
# message beyond the 4,096 kept: the reading stops there, nothing judged
# twice or after it.
if [ -x "${MENDRAKE_CHECK_FAULTS_BIN:-}" ]; then
  gen --out big.tbb --seed 9 --messages 100 --max 6000
  readarray -t inner < <(yes '5 5' | head -n 6000)
  make_base inside.tbb "300000 5" "${inner[@]}" "9 5" "3 3"
  # name | base | fault | failing offset | the error line's words for it | findings (^at)
  while IFS='|' read -r name base fault at how count; do
    OUT=$(MENDRAKE_FAULTS=$fault "$MENDRAKE_CHECK_FAULTS_BIN" "$base" 2>"$WORK/.stderr"; echo "rc=$?")
    expect_eq "$name: exit, where, verdict" "rc=8 1 verdict: unknown; the reading failed at offset $at" \
      "${OUT##*$'\n'} $(grep -c "read failed at offset $at ($how): [^(]* (error 5)" "$WORK/.stderr") $(tail -n 2 <<<"$OUT" | head -n 1)"
    expect_eq "$name: findings" "$count" "$(grep -c '^at ' <<<"$OUT")"
  done <<'EOF_FAILURES'
read failure|big.tbb|read_fail=131072|131072|65536 bytes|0
reading again fails|inside.tbb|read_call_fail=282625|282625|reading it again|1
EOF_FAILURES
fi

finish
