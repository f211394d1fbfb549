#!/usr/bin/env bash
# mendrake-export end to end: bases with known texts (tests/e2e/export_check.py)
# and a damaged tbbgen mail base, exported in every format with and without
# deleted messages and from an offset, read back by Python's mailbox module,
# counted by formail, compared byte for byte (a base, which mendrake-check
# must judge clean); gaps, disk images, standard output; names, line ends,
# From lines, file times and the summary; outputs that exist, links, failed
# writes and reads, small file systems, unread areas; bad command lines; the
# source unchanged.
source "$(dirname "$0")/lib.sh"
MENDRAKE_EXPORT=${MENDRAKE_EXPORT:-$ROOT/build/mendrake-export}
MENDRAKE_CHECK=${MENDRAKE_CHECK:-$ROOT/build/mendrake-check}
FAULTS=${MENDRAKE_EXPORT_FAULTS_BIN:-}
USAGE="usage: mendrake-export (--mbox FILE | --eml DIR | --tbb FILE) [-d+|-d-] [-o OFFSET] [--mapfile FILE] [--force] [-q] [--] SOURCE"

# export ARGS...: runs the export; OUT, RC as run sets them, ERR its stderr.
export_run() {
  MENDRAKE=$MENDRAKE_EXPORT run "$@"
  ERR=$(cat "$WORK/.stderr")
}
# export_faults FAULTS ARGS...: the same through the fault build.
export_faults() {
  MENDRAKE_FAULTS_BIN=$FAULTS run_faults "$@"
  ERR=$(cat "$WORK/.stderr")
}
# The verdict line mendrake-check gives a file.
verdict() { $MENDRAKE_WRAP "$MENDRAKE_CHECK" "$1" 2>&1 | tr -d '\r' | tail -n 1; }
# expect_clean NAME COMMAND...: the checker's command reports no problem.
expect_clean() {
  local name=$1
  shift
  expect_eq "$name" "" "$("$@" 2>&1)"
}

if ! command -v python3 >/dev/null; then
  echo "SKIP: python3 is needed to build the bases and read the exports back"
  exit 0
fi
# The interpreter itself, not a version manager's wrapper: it runs often.
CHECK="$(python3 -c 'import sys; print(sys.executable)') $ROOT/tests/e2e/export_check.py"
HAVE_FORMAIL=1
command -v formail >/dev/null || { HAVE_FORMAIL=0; echo "SKIP: formail (procmail) missing: no second mbox reader"; }

for c in mail damaged overrun deleted_last big gaps image; do $CHECK build $c . || exit 1; done
gen --out gen.tbb --seed 11 --messages 300 --style mail --min 1500 --max 6000 --wrong 10 --deleted 10 \
  --garbage 10 --negative 3 --decoys 5 --boundary 20 --leading 77 --truncate 100 --manifest gen.manifest
$CHECK manifest gen.tbb gen.manifest gen.json

# case, export options, checker options (commas for spaces, - for none)
while read -r case options flags; do
  options=${options//,/ }; flags=${flags//,/ }
  [ "$options" = - ] && options=""; [ "$flags" = - ] && flags=""
  name="$case $options"
  before=$(sha256sum <"$case.tbb")
  for format in mbox eml tbb; do
    rm -rf "out.$format"
    export_run $options "--$format" "out.$format" "$case.tbb"
    expect_rc "$name --$format" 0
    expect_eq "$name --$format: nothing on stdout" "" "$OUT"
    expect_clean "$name --$format read back" $CHECK "$format" "$case.json" "out.$format" "$WORK/.stderr" $flags
  done
  expect_eq "$name --tbb: judged" "verdict: clean" "$(verdict out.tbb)"
  if [ "$HAVE_FORMAIL" = 1 ]; then
    expect_eq "$name: formail's count" "$($CHECK formail "$case.json" $flags)" "$(formail -s wc -c <out.mbox | wc -l)"
  fi
  expect_eq "$name: source unchanged" "$before" "$(sha256sum <"$case.tbb")"
done <<'TABLE'
mail         -         -
damaged      -         -
damaged      -d+       --deleted
damaged      -d+,-o,3k --deleted,--start,2048
overrun      -         -
deleted_last -         -
deleted_last -d+       --deleted
big          -         -
gen          -         -
gen          -d+       --deleted
gaps         -         -
gaps         -d+       --deleted
image        -         -
image        -d+,-o,0xf4000 --deleted,--start,999424
TABLE
# -q: the summary is gone, the export the same.
export_run -q --mbox q.mbox damaged.tbb
expect_eq "-q: no summary" "" "$ERR"
expect_clean "-q: the export" $CHECK mbox damaged.json q.mbox -

# Standard output: a reader of the pipe gets exactly what a file gets, never
# bytes taken back later. (Under Wine the console filter checks text, not an
# mbox: its last word, Wine itself, runs the program.)
raw=$MENDRAKE_WRAP
outputs="- /dev/stdout"
[ -n "${MENDRAKE_WINDOWS:-}" ] && raw=${MENDRAKE_WRAP##* } && outputs=-
for output in $outputs; do
  for case in big gaps image; do
    rm -f file.mbox
    $raw "$MENDRAKE_EXPORT" -q --mbox file.mbox "$case.tbb"
    $raw "$MENDRAKE_EXPORT" -q --mbox "$output" "$case.tbb" | cat >pipe.mbox
    expect_same_file "$case: --mbox $output through a pipe" file.mbox pipe.mbox
  done
done

# An output file with bytes in it is refused and left as it was; --force
# writes over it, through a link as the shell's ">" does (the link stays);
# an empty one is taken. A base never goes to a pipe: its lengths are set in place.
# (Under Wine a Unix symbolic link is no Windows link: Wine's DeleteFile
# removes what it leads to. Those rows run on Linux.)
echo victim >victim.txt
symlinks=1
[ -n "${MENDRAKE_WINDOWS:-}" ] && symlinks=0 && echo "SKIP: symbolic links under Wine (Linux only)"
for format in mbox tbb; do
  echo precious >"kept.$format"
  export_run "--$format" "kept.$format" mail.tbb
  expect_rc "existing --$format" 8
  expect_eq "existing --$format: the line" "mendrake-export: kept.$format: exists; give --force to replace it" "$ERR"
  expect_eq "existing --$format: untouched" precious "$(cat "kept.$format")"
  ln -sf victim.txt "lnk.$format"
  : >"empty.$format"
  outputs="kept.$format empty.$format"
  [ $symlinks = 1 ] && outputs="$outputs lnk.$format"
  for output in $outputs; do
    force=--force
    [ "$output" = "empty.$format" ] && force=
    export_run $force -q "--$format" "$output" mail.tbb
    expect_rc "$force --$format $output" 0
    expect_clean "$force --$format $output: the export" $CHECK "$format" mail.json "$output" -
  done
  if [ $symlinks = 1 ]; then
    expect_eq "--force --$format: the link stays a link" "victim.txt" "$(readlink "lnk.$format")"
    expect_clean "--force --$format: written through it" $CHECK "$format" mail.json victim.txt -
    echo victim >victim.txt
  fi
done
export_run --tbb - mail.tbb
expect_rc "--tbb -" 8
expect_eq "--tbb -: the line" "mendrake-export: standard output: refused: a base is written only to a file that \
can be moved in, not to a pipe (each message's length is set once the message ends)" "$ERR"
if [ -z "${MENDRAKE_WINDOWS:-}" ]; then
  OUT=$("$MENDRAKE_EXPORT" --tbb /dev/stdout mail.tbb 2>"$WORK/.stderr" | wc -c; echo "rc=${PIPESTATUS[0]}")
  RC=${OUT##*rc=}
  expect_rc "--tbb /dev/stdout, a pipe" 8
  expect_eq "--tbb /dev/stdout, a pipe: nothing in it" 0 "${OUT%%$'\n'*}"
fi

# --eml: an existing file of a message's name is replaced, other files stay;
# a name that is a link, symbolic or hard, is replaced by a new file and
# what it leads to stays as it was.
rm -rf out.eml && mkdir out.eml
export_run --eml out.eml mail.tbb
names=($(ls out.eml))
echo stale >"out.eml/${names[0]}"
echo mine >out.eml/keep.txt
echo victim2 >victim2.txt
[ $symlinks = 1 ] && ln -sf ../victim.txt "out.eml/${names[1]}"
rm "out.eml/${names[2]}" && ln victim2.txt "out.eml/${names[2]}"
export_run --eml out.eml mail.tbb
expect_rc "--eml over a file and links" 0
expect_eq "other file kept" "mine" "$(cat out.eml/keep.txt)"
rm out.eml/keep.txt
expect_clean "same names replaced" $CHECK eml mail.json out.eml -
expect_eq "what the links led to, untouched" "victim victim2" "$(echo $(cat victim.txt victim2.txt))"

# A .eml that cannot be made (a directory has its name) or written fails
# alone: nothing of it is left, the other messages are written and counted,
# the file is named once, the run ends with 8. failed_eml DIR K: the run into DIR failed with message K+1's file alone.
failed_eml() {
  expect_rc "--eml $1" 8
  expect_eq "--eml $1: the failed file named once" 1 "$(grep -cF "$1/${names[$2]}: " <<<"$ERR")"
  expect_eq "--eml $1: no file of it" "" "$(find "$1/${names[$2]}" -type f 2>/dev/null)"
  expect_eq "--eml $1: the others written" 11 "$(find "$1" -type f | wc -l)"
  expect_eq "--eml $1: counted" "mendrake-export: 11 messages exported" "$(grep -o '^.*messages exported' <<<"$ERR")"
}
rm -rf dirs && mkdir -p "dirs/${names[1]}"
export_run --eml dirs mail.tbb
failed_eml dirs 1
if [ -x "$FAULTS" ]; then
  export_faults "output_fail=${names[2]}" --eml fails mail.tbb
  failed_eml fails 2
else
  echo "SKIP: a failed .eml write: the export's fault build is not built"
fi

# The output is refused when it is the source (also through a link, and an
# .eml name that is the source's): exit 8, the source untouched.
mkdir -p refuse && cp mail.tbb refuse/00001-0-Invoice_for_March.eml && ln -sf mail.tbb link.tbb
before=$(sha256sum <mail.tbb)
while read -r format output source refused; do
  export_run "--$format" "$output" "$source"
  expect_rc "refused $output" 8
  expect_eq "refused $output: the line" "mendrake-export: $refused: refused: it is the source" \
    "$(printf '%s\n' "$ERR" | grep refused)"
done <<'TABLE'
mbox mail.tbb  mail.tbb                              mail.tbb
mbox link.tbb  mail.tbb                              link.tbb
eml  refuse    refuse/00001-0-Invoice_for_March.eml  refuse/00001-0-Invoice_for_March.eml
TABLE
expect_eq "refused: source unchanged" "$before" "$(sha256sum <mail.tbb)"
expect_eq "refused .eml: source unchanged" "$before" "$(sha256sum <refuse/00001-0-Invoice_for_March.eml)"
expect_eq "refused .eml: the other messages written" 12 "$(ls refuse | wc -l)"

# Operational errors: exit 8 with the reason in the system's words; no
# output made when the run cannot start; nothing counted that is not on disk.
# A full device's error number: 28 on Linux, 112 under Wine (the .exe).
full=28
[ -n "${MENDRAKE_WINDOWS:-}" ] && full=112
while IFS='|' read -r expected args; do
  expected=${expected//@FULL@/$full}
  rm -f none.mbox
  export_run $args
  expect_rc "$args" 8
  expect_eq "$args: the line" "1" "$(grep -cE "$expected" <<<"$ERR")"
done <<'TABLE'
missing.tbb: cannot open|--mbox none.mbox missing.tbb
^mendrake-export: /dev/full: write failed: .+ [(]error @FULL@[)]$|--mbox /dev/full big.tbb
^mendrake-export: 0 messages exported|--mbox /dev/full big.tbb
^mendrake-export: no/such/dir: cannot create the directory: .+ [(]error [0-9]+[)]$|--eml no/such/dir mail.tbb
lies beyond the end|--mbox none.mbox -o 1M mail.tbb
TABLE
expect_eq "beyond the end: no mbox" "" "$(ls none.mbox 2>/dev/null)"

# Failures and limits that the fault build puts in: what was read before a
# read failure is exported; a failing read of bytes read again is a read
# failure too, and what was written before it stays right; a small base at
# the start of a large image fits a file system of 1 MiB (no byte is written
# that is taken back); a text longer than any length field can hold goes
# into a base as several messages, said on the error stream, nothing lost.
if [ -x "$FAULTS" ]; then
  export_faults read_fail=131072 --mbox rf.mbox gen.tbb
  expect_rc "read failure" 8
  # The system's words for the error: Linux's, or Windows' for its code 5.
  words="Input/output error"
  [ -n "${MENDRAKE_WINDOWS:-}" ] && words="Access denied"
  expect_eq "read failure: where" "mendrake-export: gen.tbb: read failed at offset 131072 (65536 bytes): $words (error 5)" \
    "$(grep 'read failed' <<<"$ERR")"
  head -c 131072 gen.tbb >gen_part.tbb
  awk '$1 + 48 <= 131072' gen.manifest >part.manifest
  $CHECK manifest gen_part.tbb part.manifest part.json
  expect_clean "read failure: what was read" $CHECK mbox part.json rf.mbox -

  again=$(python3 -c 'import json; print([r["offset"] + 58 for r in json.load(open("gaps.json"))["records"]
    if r["slug"] == "foxtrot"][0])')
  export_faults "read_call_fail=$again" --mbox again.mbox gaps.tbb
  expect_rc "read again fails" 8
  expect_eq "read again fails: where" 1 "$(grep -c "^mendrake-export: gaps.tbb: read failed at offset $again (" <<<"$ERR")"
  expect_clean "read again fails: what was written" $CHECK mbox gaps.json again.mbox - --end "$again"

  gen --out img.tbb --seed 5 --messages 40 --style mail --min 1500 --size 64M --manifest img.manifest
  $CHECK manifest img.tbb img.manifest img.json
  for format in mbox tbb; do
    export_faults output_capacity=1048576 "--$format" "small.$format" img.tbb
    expect_rc "--$format from an image into 1 MiB" 0
    expect_clean "--$format from an image into 1 MiB: the export" $CHECK $format img.json "small.$format" "$WORK/.stderr"
  done

  python3 - <<'PY'
import struct
def header(n):
    return b"!\tp\x19" + struct.pack("<I", 48) + bytes(28) + struct.pack("<I", n) + bytes(8)
last = b"Subject: after\n\nlast\n"
with open("long.tbb", "wb") as f:
    f.write(header(2**31 + 1000) + b"Subject: long\n\n")
    f.seek(48 + 2**31 + 1000)
    f.write(header(len(last)) + last)
PY
  export_faults output_holes=1 --tbb long.out long.tbb
  expect_rc "a text over 2 GiB" 0
  expect_eq "a text over 2 GiB: said" "mendrake-export: message 1 at 0: its text of 2147484648 bytes is longer \
than a message can be (2147483647 bytes): written as 2 messages" "$(grep longer <<<"$ERR")"
  expect_eq "a text over 2 GiB: the base" "2147483647 1001 21 2147484813 clean" "$(python3 - <<'PY'
import struct
f = open("long.out", "rb")
def length(at):
    f.seek(at)
    head = f.read(48)
    return struct.unpack("<I", head[36:40])[0] if head[:4] == b"!\tp\x19" else -1
first = length(0)
second = length(48 + first)
third = length(96 + first + second)
f.seek(48)
start = f.read(15)
f.seek(0, 2)
print(first, second, third, f.tell(), "clean" if start == b"Subject: long\n\n" else "text differs")
PY
)"
  expect_eq "a text over 2 GiB: judged" "verdict: clean" "$(verdict long.out)"
  rm -f long.tbb long.out
else
  echo "SKIP: read failures, a small file system, a text over 2 GiB: the export's fault build is not built"
fi

# --mapfile: each message that lies partly in an area the ddrescue mapfile
# does not mark finished is listed with the bytes affected (its header's and
# text's) and exported all the same; such bytes outside every message
# (before the first, in a gap, after the last) are counted apart, since a
# message may have stood there; every status letter, numbers in hex and
# decimal.
expect_eq "--mapfile: the hit messages" "$(python3 - <<'PY'
import json, os
r = {x["slug"]: x for x in json.load(open("image.json"))["records"]}
five_end = r["five"]["offset"] + 48 + r["five"]["length"]
three_end = r["three"]["offset"] + 48 + r["three"]["length"]
areas = [(1000, 24, "-"), (r["one"]["offset"] + 4, 6, "-"), (three_end + 100, 512, "/"),
         (r["four"]["offset"] + 100, 50, "*"), (five_end - 10, 100, "?"), (five_end + 1000, 30, "-")]
with open("image.map", "w") as m:
    m.write("# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n"
            "0x00000000     +               1\n#      pos        size  status\n")
    at = 0
    for k, (pos, size, status) in enumerate(areas):
        m.write("0x%08X  0x%08X  +\n" % (at, pos - at) if k % 2 else "%d %d +\n" % (at, pos - at))
        m.write("0x%X 0x%X %s\n" % (pos, size, status) if k % 2 else "%d %d %s\n" % (pos, size, status))
        at = pos + size
    m.write("0x%08X  0x%08X  +\n" % (at, 8000000 - at))
for slug, number, hit in (("one", 1, 6), ("four", 4, 50), ("five", 5, 10)):
    print("mendrake-export: unreadable: message %d at %x, %d bytes affected" % (number, r[slug]["offset"], hit))
def unread(a, b):
    return sum(max(0, min(b, pos + size) - max(a, pos)) for pos, size, _ in areas)
outside = (unread(0, r["one"]["offset"]), unread(three_end, r["four"]["offset"]),
           unread(five_end, os.path.getsize("image.tbb")))
print("mendrake-export: unreadable: %d bytes outside any message (%d before the first, %d in gaps, %d after the last): "
      "a message may have stood there" % ((sum(outside),) + outside))
print("mendrake-export: 3 messages hit by unreadable areas, 66 bytes affected")
PY
)" "$(export_run --mapfile image.map --mbox mapped.mbox image.tbb; grep unreadable <<<"$ERR")"
expect_clean "--mapfile: exported all the same" $CHECK mbox image.json mapped.mbox -

# Bad command lines: a line saying what is wrong (exactly so for a bad
# offset), then the usage line on stderr; 16. Help and version: 0.
while read -r args; do
  args=${args//,/ }
  [ "$args" = - ] && args=""
  export_run $args
  expect_rc "usage: '$args'" 16
  offset=$(sed -n 's/.*-o \([^ ]*\).*/\1/p' <<<"$args")
  [ -n "$offset" ] && offset="mendrake-export: bad offset '$offset': a decimal number with an optional unit (o bytes, \
b blocks of 2048, k, M or m, G or g), or a hexadecimal number with 0x"$'\n'
  [ -z "$offset" ] && offset=$(head -n 1 <<<"$ERR" | grep '^mendrake-export: ..*')$'\n'
  expect_eq "usage: '$args' line" "$offset$USAGE" "$ERR"
done <<'TABLE'
-
mail.tbb
--mbox,x.mbox
--mbox,x.mbox,--eml,x,mail.tbb
--mbox,x.mbox,--tbb,x,mail.tbb
--mbox,x.mbox,mail.tbb,other.tbb
--mbox,x.mbox,-x,mail.tbb
--mbox,x.mbox,-o,abc,mail.tbb
--mbox,x.mbox,-o,-5,mail.tbb
--mbox,x.mbox,-o,9000000000G,mail.tbb
--mbox,x.mbox,-o,10X,mail.tbb
--mbox,x.mbox,-o,1e3,mail.tbb
--mbox,x.mbox,-o,1.5M,mail.tbb
--mbox,x.mbox,-o,1k2,mail.tbb
--mbox,x.mbox,-o,0x,mail.tbb
--mbox,x.mbox,-o
--mbox=,mail.tbb
--tbb=,mail.tbb
--mbox,x.mbox,--mapfile=,mail.tbb
--mbox,x.mbox,--mapfile,a,--mapfile,b,mail.tbb
--mbox,x.mbox,--mapfile
--eml
--tbb
TABLE
# The help and the manual page name every option and form.
export_run --help
expect_rc "--help" 0
expect_eq "--help: usage first" "$USAGE" "$(printf '%s\n' "$OUT" | head -1)"
page=$(LC_ALL=C MANWIDTH=200 man -l "$ROOT/man/mendrake-export.1" 2>/dev/null | col -bx)
[ -n "$page" ] || echo "SKIP: man is missing: the manual page is not read"
for option in --mbox --mbox=FILE --eml --eml=DIR --tbb --tbb=FILE --force --mapfile -d+ -d- -o -q --quiet -h --help \
  --mapfile=FILE -V --version -- 0x1f3a0; do
  word="(^| )${option//+/[+]}( |,|[.]|$)"
  expect_eq "--help names $option" 1 "$(grep -cE -m1 -e "$word" <<<"$OUT")"
  [ -n "$page" ] && expect_eq "the manual page names $option" 1 "$(grep -ciE -m1 -e "$word" <<<"$page")"
done
export_run -V
expect_eq "-V" "mendrake-export $VERSION"$'\n' "$OUT"
finish
