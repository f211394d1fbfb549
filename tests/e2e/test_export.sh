#!/usr/bin/env bash
# mendrake-export end to end: bases with known texts (tests/e2e/export_check.py)
# and a damaged tbbgen mail base, exported in both formats with and without
# deleted messages and from an offset, read back by Python's mailbox module
# and counted by formail; names, line ends, From lines, file times and the
# summary; refusals, failures and bad command lines; the source unchanged.
source "$(dirname "$0")/lib.sh"
MENDRAKE_EXPORT=${MENDRAKE_EXPORT:-$ROOT/build/mendrake-export}
USAGE="usage: mendrake-export (--mbox FILE | --eml DIR) [-d+|-d-] [-o OFFSET] [-q] SOURCE"

# export ARGS...: runs the export; OUT, RC as run sets them, ERR its stderr.
export_run() {
  MENDRAKE=$MENDRAKE_EXPORT run "$@"
  ERR=$(cat "$WORK/.stderr")
}
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

for c in mail damaged overrun deleted_last big; do $CHECK build $c . || exit 1; done
gen --out gen.tbb --seed 11 --messages 300 --style mail --min 1500 --max 6000 --wrong 10 --deleted 10 \
  --garbage 10 --negative 3 --decoys 5 --boundary 20 --leading 77 --truncate 100 --manifest gen.manifest
$CHECK manifest gen.tbb gen.manifest gen.json

# case, export options, checker options (commas for spaces, - for none)
while read -r case options flags; do
  options=${options//,/ }; flags=${flags//,/ }
  [ "$options" = - ] && options=""; [ "$flags" = - ] && flags=""
  name="$case $options"
  before=$(sha256sum <"$case.tbb")
  for format in mbox eml; do
    rm -rf "out.$format"
    export_run $options "--$format" "out.$format" "$case.tbb"
    expect_rc "$name --$format" 0
    expect_eq "$name --$format: nothing on stdout" "" "$OUT"
    expect_clean "$name --$format read back" $CHECK "$format" "$case.json" "out.$format" "$WORK/.stderr" $flags
  done
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
TABLE
# -q: the summary is gone, the export the same.
export_run -q --mbox q.mbox damaged.tbb
expect_eq "-q: no summary" "" "$ERR"
expect_clean "-q: the export" $CHECK mbox damaged.json q.mbox -

# An existing .eml of the same name is replaced; other files stay.
rm -rf out.eml && mkdir out.eml
echo stale >out.eml/00001-0-Invoice_for_March.eml
echo mine >out.eml/keep.txt
export_run --eml out.eml mail.tbb
expect_eq "other file kept" "mine" "$(cat out.eml/keep.txt)"
rm out.eml/keep.txt
expect_clean "same name replaced" $CHECK eml mail.json out.eml -

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

# Operational errors: exit 8 with the reason; no output made when the run
# cannot start.
# A full device's error number: 28 on Linux, 112 under Wine (the .exe).
full=28
[ -n "${MENDRAKE_WINDOWS:-}" ] && full=112
while IFS='|' read -r expected args; do
  expected=${expected//@FULL@/$full}
  rm -f none.mbox
  export_run $args
  expect_rc "$args" 8
  expect_eq "$args: the line" "$expected" "$(printf '%s\n' "$ERR" | grep -o "$expected")"
done <<'TABLE'
missing.tbb: cannot open|--mbox none.mbox missing.tbb
/dev/full: write failed (error @FULL@)|--mbox /dev/full big.tbb
no/such/dir: cannot create the directory|--eml no/such/dir mail.tbb
lies beyond the end|--mbox none.mbox -o 1M mail.tbb
TABLE
expect_eq "beyond the end: no mbox" "" "$(ls none.mbox 2>/dev/null)"

# A read failure: what was read before it is exported, the offset named, 8.
if [ -x "${MENDRAKE_EXPORT_FAULTS_BIN:-}" ]; then
  OUT=$(MENDRAKE_FAULTS=read_fail=131072 "$MENDRAKE_EXPORT_FAULTS_BIN" --mbox rf.mbox gen.tbb 2>"$WORK/.stderr"; echo "rc=$?")
  RC=${OUT##*rc=}
  expect_rc "read failure" 8
  expect_eq "read failure: where" "mendrake-export: gen.tbb: read failed at offset 131072 (65536 bytes, error 5)" \
    "$(grep 'read failed' "$WORK/.stderr")"
  head -c 131072 gen.tbb >gen_part.tbb
  awk '$1 + 48 <= 131072' gen.manifest >part.manifest
  $CHECK manifest gen_part.tbb part.manifest part.json
  expect_clean "read failure: what was read" $CHECK mbox part.json rf.mbox -
else
  echo "SKIP: read failure: MENDRAKE_EXPORT_FAULTS_BIN (the export through the fault seam) is not built"
fi

# Bad command lines: the usage line alone on stderr, 16. Help and version: 0.
while read -r args; do
  args=${args//,/ }
  [ "$args" = - ] && args=""
  export_run $args
  expect_rc "usage: '$args'" 16
  expect_eq "usage: '$args' line" "$USAGE" "$ERR"
done <<'TABLE'
-
mail.tbb
--mbox,x.mbox
--mbox,x.mbox,--eml,x,mail.tbb
--mbox,x.mbox,mail.tbb,other.tbb
--mbox,x.mbox,-x,mail.tbb
--mbox,x.mbox,-o,abc,mail.tbb
--mbox,x.mbox,-o,-5,mail.tbb
--mbox,x.mbox,-o,9000000000G,mail.tbb
--mbox,x.mbox,-o
--eml
TABLE
export_run --help
expect_rc "--help" 0
expect_eq "--help: usage first" "$USAGE" "$(printf '%s\n' "$OUT" | head -1)"
export_run -V
expect_eq "-V" "mendrake-export $VERSION"$'\n' "$OUT"
finish
