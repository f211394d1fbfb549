#!/usr/bin/env bash
# Times mendrake against the machine's own limit: cat over the same file,
# with the files in the page cache. Prints one table and writes it, with a
# description of the machine, to bench/RESULTS.md.
#
#   bash bench/run.sh [BUILD_DIR]          (make bench does this)
#
# BUILD_DIR holds mendrake and tbbgen (default: build); mendrake-check and
# mendrake-export get rows of their own once they answer --version. Knobs,
# for trying the script out on small sizes:
#   BENCH_SIZES   e-mail bases to time              (default "64M 256M 1G")
#   BENCH_BANG    size of the every-other-byte-"!" base, empty to skip (256M)
#   BENCH_SMALL   size of the base of small messages, empty to skip     (1G)
#   BENCH_SPARSE  size of the two sparse disk images, empty to skip    (10G)
#   BENCH_MAIL    size of the mail base with CR LF line ends, empty to skip (1G)
#   BENCH_EML     messages of the base exported with --eml, empty to skip (25000)
#   BENCH_WINE    empty to skip the Windows programs under Wine          (1)
#   BENCH_RUNS    rounds per comparison, at least 5                    (5)
#   BENCH_IMAGE_RUNS rounds of the copies of the disk images, at least 3 (3)
#   BENCH_RESULTS where the table goes               (bench/RESULTS.md)
#
# Generated bases stay in bench/data (ignored by git) and are reused by later
# runs; copies are made in a temporary directory beside them (the same file
# system as the repository) and removed after every run. A copy of a disk
# image is as big as the image (cat and mendrake write its holes as zeros):
# the images shrink, and the results say so, when the file system has less
# than twice that room free.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
MENDRAKE=$BUILD/mendrake
TBBGEN=$BUILD/tbbgen
DATA=$ROOT/bench/data
SIZES=${BENCH_SIZES-64M 256M 1G}
BANG=${BENCH_BANG-256M}
SMALL=${BENCH_SMALL-1G}
SPARSE=${BENCH_SPARSE-10G}
MAIL=${BENCH_MAIL-1G}
EML=${BENCH_EML-25000}
WINE_RUNS=${BENCH_WINE-1}
RUNS=${BENCH_RUNS:-5}
RESULTS=${BENCH_RESULTS:-$ROOT/bench/RESULTS.md}
(( RUNS >= 5 )) || RUNS=5
# Each copy of a disk image writes the whole image; at 10 GiB the disk sets
# the pace (10 to 50 s a copy here), so these comparisons get fewer rounds
# to keep the bench near ten minutes.
IMAGE_RUNS=${BENCH_IMAGE_RUNS:-3}
(( IMAGE_RUNS >= 3 )) || IMAGE_RUNS=3

for tool in "$MENDRAKE" "$TBBGEN"; do
  [[ -x $tool ]] || { echo "bench: $tool not built (run make first)" >&2; exit 1; }
done
mkdir -p "$DATA"

# The process timer: wall time, peak resident memory, exit status and
# processor time of one child, from getrusage. Rebuilt when its source
# changes.
MEASURE=$BUILD/bench-measure
if [[ ! -x $MEASURE || $ROOT/bench/measure.cpp -nt $MEASURE ]]; then
  CXX=${CXX:-$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null)}
  ${CXX:-c++} -O2 -o "$MEASURE" "$ROOT/bench/measure.cpp"
fi

COPIES=$(mktemp -d "$DATA/copies.XXXXXX")
SAMPLES=$(mktemp "$DATA/samples.XXXXXX")
# A copy of a 10 GiB image must not outlive an interrupted run.
trap 'declare -F wine_stop >/dev/null && wine_stop; rm -rf "$COPIES" "$SAMPLES"' EXIT
trap 'exit 130' INT TERM

NOTES=()
note() { NOTES+=("$*"); echo "bench: $*" >&2; }

bytes_of() {  # 64M -> 67108864
  local n=${1%[kKMG]}
  case "$1" in
    *k|*K) echo $(( n << 10 )) ;; *M) echo $(( n << 20 )) ;; *G) echo $(( n << 30 )) ;; *) echo "$n" ;;
  esac
}

label_of() {  # 67108864 -> 64M
  local b=$1
  if (( b % (1 << 30) == 0 )); then echo "$(( b >> 30 ))G"; else echo "$(( b >> 20 ))M"; fi
}

# Realistic mail: texts of 1 KiB to 1 MiB with CR LF lines, base64 and HTML,
# a few deleted messages, wrong lengths and junk between messages.
EMAIL_OPTS=(--style email --min 1k --max 1M --deleted 3 --wrong 2 --garbage 1 --seed 6)
BANG_OPTS=(--style bang --min 1k --max 1M --deleted 3 --wrong 2 --seed 6)
# The same damage, with the texts of an ordinary folder.
DAMAGE_OPTS=(--style email --deleted 3 --wrong 2 --garbage 1)
# Mail as a Windows mail client stores it: every line ends with CR LF;
# varied headers, "From " body lines to quote.
MAIL_OPTS=(--style mail --line-ends crlf --min 1k --max 256k --deleted 3 --wrong 2 --garbage 1 --seed 6)

# generate NAME ARGS...: makes bench/data/NAME.tbb (and its manifest) once.
generate() {
  local name=$1
  shift
  local base=$DATA/$name.tbb
  if [[ ! -f $base || ! -f $DATA/$name.manifest ]]; then
    echo "bench: generating $name" >&2
    "$TBBGEN" --out "$base.part" --manifest "$DATA/$name.manifest" "$@"
    mv "$base.part" "$base"
  fi
}

# generate_small NAME BYTES: a base as a real folder holds it, mostly small
# messages: by count about 40% of 1 to 8 KiB, 59% of 8 to 64 KiB and 1% of
# 64 KiB to 1 MiB, about 36,000 messages per GiB. tbbgen draws lengths evenly
# between --min and --max, so the base is a chain of 4 MiB runs of tbbgen,
# each with one of the three ranges, in a repeating pattern of sixteen: one
# run of the smallest, twelve of the middle, three of the largest.
generate_small() {
  local name=$1 total=$2
  local base=$DATA/$name.tbb manifest=$DATA/$name.manifest
  [[ -f $base && -f $manifest ]] && return
  echo "bench: generating $name" >&2
  local segment=$(( 4 << 20 )) k=0 at=0 range part=$DATA/$name.segment
  : >"$base.part"
  : >"$manifest.part"
  while (( at < total )); do
    case $(( k % 16 )) in
      0) range=(--min 1k --max 8k) ;;
      5|10|15) range=(--min 64k --max 1M) ;;
      *) range=(--min 8k --max 64k) ;;
    esac
    "$TBBGEN" --out "$part" --manifest "$part.manifest" "${DAMAGE_OPTS[@]}" "${range[@]}" \
      --seed $(( 1000 + k )) --total "$segment"
    cat "$part" >>"$base.part"
    awk -v at="$at" '{ $1 += at; print }' "$part.manifest" >>"$manifest.part"
    at=$(( at + $(stat -c %s "$part") ))
    k=$(( k + 1 ))
  done
  rm -f "$part" "$part.manifest"
  mv "$manifest.part" "$manifest"
  mv "$base.part" "$base"
}

# A companion program is timed once it runs: the placeholders end at once
# with status 8, --version included.
companion_runs() {
  [[ -x $BUILD/$1 ]] && "$BUILD/$1" --version </dev/null >/dev/null 2>&1
}

# mendrake-export writes a base (--tbb FILE) once its help offers it.
export_writes_tbb() { [[ -n $EXPORT ]] && "$EXPORT" --help 2>&1 | grep -q -- '--tbb'; }

# sample LABEL OUT command...: one timed run, appended to the samples.
sample() {
  local label=$1 out=$2
  shift 2
  local line
  line=$("$MEASURE" "$out" "$@")
  set -- $line
  if [[ $3 != 0 ]]; then
    echo "bench: $label ended with status $3" >&2
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$1" "$2" "$3" "$4" "$5" >>"$SAMPLES"
}

# The table: one row per command, rows of a group against its reference
# (the first row of the group). Ratios are the medians of the per-round
# ratios, each round running the commands one after another.
ROWS=()
add_row() { ROWS+=("$*"); }

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

column() { awk -F'\t' -v l="$1" -v c="$2" '$1 == l { print $c }' "$SAMPLES"; }

# stats LABEL REFERENCE: "median_s peak_rss_kib ratio ratio_of_medians
# user_s sys_s" of LABEL's samples against REFERENCE's, round by round.
stats() {
  local label=$1 ref=$2
  local med rss ratio refmed user sys
  med=$(column "$label" 2 | median)
  rss=$(awk -F'\t' -v l="$label" '$1 == l && $3 > m { m = $3 } END { print m + 0 }' "$SAMPLES")
  ratio=$(awk -F'\t' -v l="$label" -v r="$ref" '
    $1 == l { a[++na] = $2 } $1 == r { b[++nb] = $2 }
    END { for (k = 1; k <= na && k <= nb; k++) print a[k] / b[k] }' "$SAMPLES" | median)
  refmed=$(column "$ref" 2 | median)
  user=$(column "$label" 5 | median)
  sys=$(column "$label" 6 | median)
  echo "$med $rss $ratio $(awk -v a="$med" -v b="$refmed" 'BEGIN { print (b > 0) ? a / b : 0 }') $user $sys"
}

# compare GROUP BYTES NAME::COMMAND...: runs the commands in turn, ROUNDS
# rounds (default RUNS; A B A B ...). The first is the reference. A command whose stdout
# is "> copy", or that names $COPIES/copy, writes a new file: it starts with
# no dirty pages left from the one before, and its file is removed at once.
compare() {
  local group=$1 size=$2
  shift 2
  local entries=("$@") entry name cmd out
  for ((r = 1; r <= ${ROUNDS:-$RUNS}; r++)); do
    for entry in "${entries[@]}"; do
      name=${entry%%::*}
      cmd=${entry#*::}
      out=/dev/null
      if [[ $cmd == *" > copy" ]]; then
        out=$COPIES/copy
        cmd=${cmd% > copy}
      fi
      rm -rf "$COPIES/copy"
      [[ $out == /dev/null && $cmd != *"$COPIES/copy"* ]] || sync
      # shellcheck disable=SC2086
      sample "$group|$name" "$out" $cmd
      rm -rf "$COPIES/copy"
    done
  done
  local ref=${entries[0]%%::*}
  for entry in "${entries[@]}"; do
    name=${entry%%::*}
    add_row "$group|$name|$size|$(stats "$group|$name" "$group|$ref")"
  done
}

warm() { cat "$1" >/dev/null; }

# Reading an image fills the page cache with its holes, as zeros: 10 GiB of
# them would crowd out everything else the machine holds (and make every
# later write pay for reclaiming memory), so they are let go after use.
release() { dd if="$1" iflag=nocache count=0 status=none || true; }

# time_base NAME [companions]: the list-only and copy comparisons of one
# base against cat; with "companions", rows for check and export as well.
time_base() {
  local name=$1 with=${2:-}
  local base=$DATA/$name.tbb
  local bytes
  bytes=$(stat -c %s "$base")
  local list=("cat base > /dev/null::cat $base" "mendrake -l base::$MENDRAKE -l $base")
  local copy=("cat base > copy::cat $base > copy" "mendrake base copy::$MENDRAKE $base $COPIES/copy")
  if [[ $name == email-* || $name == small-* ]]; then
    copy+=("mendrake -d+ base copy::$MENDRAKE -d+ $base $COPIES/copy")
  fi
  if [[ $name == email-* ]]; then
    copy+=("dd bs=64k (read/write copy)::dd if=$base of=$COPIES/copy bs=64k status=none")
  fi
  if [[ $with == companions && -n $CHECK ]]; then list+=("mendrake-check base::$CHECK $base"); fi
  if [[ $with == companions && -n $EXPORT ]]; then
    # --force: the copy before it left the file there, with bytes in it.
    copy+=("mendrake-export --mbox copy base::$EXPORT -q --force --mbox $COPIES/copy $base")
    if export_writes_tbb; then copy+=("mendrake-export --tbb copy base::$EXPORT -q --force --tbb $COPIES/copy $base"); fi
  fi
  warm "$base"
  echo "bench: timing $name" >&2
  compare "$name list" "$bytes" "${list[@]}"
  local rounds=$RUNS
  [[ $name == image-* ]] && rounds=$IMAGE_RUNS
  ROUNDS=$rounds compare "$name copy" "$bytes" "${copy[@]}"
}

started=$(date -u '+%Y-%m-%d %H:%M UTC')
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
SECONDS=0
CHECK="" EXPORT=""
for program in mendrake-check mendrake-export; do
  if companion_runs $program; then
    [[ $program == mendrake-check ]] && CHECK=$BUILD/$program || EXPORT=$BUILD/$program
  else
    note "$program: no rows (not built, or --version fails: not written yet)"
  fi
done
if [[ -n $EXPORT ]] && ! export_writes_tbb; then
  note "mendrake-export --tbb: no row (mendrake-export does not write a base yet)"
fi
COMPANION_BASE=""
for size in $SIZES; do COMPANION_BASE=email-$size; done

for size in $SIZES; do
  name=email-$size
  generate "$name" "${EMAIL_OPTS[@]}" --total "$size"
  time_base "$name" "$([[ $name == "$COMPANION_BASE" ]] && echo companions)"
done

if [[ -n $BANG ]]; then
  name=bang-$BANG
  generate "$name" "${BANG_OPTS[@]}" --total "$BANG"
  base=$DATA/$name.tbb
  warm "$base"
  echo "bench: timing $name" >&2
  compare "$name list" "$(stat -c %s "$base")" \
    "cat base > /dev/null::cat $base" \
    "mendrake -l base::$MENDRAKE -l $base"
fi

if [[ -n $SMALL ]]; then
  name=small-$SMALL
  generate_small "$name" "$(bytes_of "$SMALL")"
  time_base "$name" companions
fi

if [[ -n $MAIL ]]; then
  name=mail-crlf-$MAIL
  generate "$name" "${MAIL_OPTS[@]}" --total "$MAIL"
  time_base "$name" companions
fi

# One .eml file per message against a plain loop that writes the same files:
# csplit cutting the base's mbox at its "From " lines.
EML_BASE=""
if [[ -n $EML && -n $EXPORT ]] && command -v csplit >/dev/null; then
  EML_BASE=mail-$EML
  generate "$EML_BASE" --style mail --line-ends crlf --min 1500 --max 8k --seed 7 --messages "$EML"
  base=$DATA/$EML_BASE.tbb
  mbox=$DATA/$EML_BASE.mbox
  [[ -f $mbox ]] || "$EXPORT" -q --mbox "$mbox" "$base"
  warm "$base"
  warm "$mbox"
  split=$COPIES/split-mbox
  printf '#!/bin/sh\nmkdir "$1" && exec csplit -z -s -n 5 -f "$1/m" "$2" "/^From /" "{*}"\n' >"$split"
  chmod +x "$split"
  echo "bench: timing $EML_BASE" >&2
  compare "$EML_BASE eml" "$(stat -c %s "$base")" \
    "csplit mbox into files::$split $COPIES/copy $mbox" \
    "mendrake-export --eml copy base::$EXPORT -q --eml $COPIES/copy $base"
fi

IMAGE_START="" IMAGE_END=""
if [[ -n $SPARSE ]]; then
  total=$(bytes_of "$SPARSE")
  free=$(df -PB1 "$DATA" | awk 'NR == 2 { print $4 }')
  # Room for the copy, and as much again to spare for everyone else.
  while (( total > (1 << 30) && 2 * total > free )); do total=$(( total / 2 )); done
  if (( total != $(bytes_of "$SPARSE") )); then
    note "the file system has $(( free >> 30 )) GiB free: the disk images are $(label_of "$total"), not $SPARSE"
  fi
  label=$(label_of "$total")
  # A small base at the start of the image: its last message takes in the
  # rest of the image, so every byte of the image is copied.
  IMAGE_START=image-start-$label
  generate "$IMAGE_START" "${DAMAGE_OPTS[@]}" --min 1k --max 64k --seed 6 --total 200k --size "$total"
  time_base "$IMAGE_START" companions
  # A ddrescue mapfile of 100,000 lines over the image: 50,000 bad areas of
  # 512 bytes spread evenly, the rest finished (positions in decimal: awk
  # writes hexadecimal in 32 bits only).
  if [[ -n $CHECK && -n $EXPORT ]]; then
    map=$DATA/$IMAGE_START.map
    [[ -f $map ]] || awk -v total="$total" 'BEGIN {
      print "# Mapfile. 100,000 lines for the bench"; print "0x00000000     +               1"
      n = 50000; step = int(total / n / 512) * 512; at = 0
      for (k = 0; k < n; k++) {
        good = (k == n - 1) ? total - at - 512 : step - 512
        printf "%.0f  %.0f  +\n", at, good; at += good
        printf "%.0f  512  -\n", at; at += 512
      } }' >"$map"
    base=$DATA/$IMAGE_START.tbb
    echo "bench: timing $IMAGE_START with its mapfile" >&2
    ROUNDS=$IMAGE_RUNS compare "$IMAGE_START mapfile" "$(stat -c %s "$base")" \
      "cat base > /dev/null::cat $base" \
      "mendrake-check --mapfile map base::$CHECK --mapfile $map $base" \
      "mendrake-export --mapfile map --mbox copy base::$EXPORT -q --force --mapfile $map --mbox $COPIES/copy $base"
  fi
  release "$DATA/$IMAGE_START.tbb"
  # The first header 64 MiB before the end: a hole to cross, then a base.
  tail=$(( 64 << 20 ))
  (( tail < total / 2 )) || tail=$(( total / 2 ))
  IMAGE_END=image-end-$label
  generate "$IMAGE_END" "${EMAIL_OPTS[@]}" --total "$tail" --at $(( total - tail )) --size "$total"
  time_base "$IMAGE_END"
  release "$DATA/$IMAGE_END.tbb"
fi

# ---- the Windows programs under Wine ---------------------------------------
# The 32-bit .exe files (make windows) on the largest e-mail base, in the
# same rounds as the Linux build. Each .exe time is taken less the time Wine
# needs to start and end a trivial 32-bit program of the bench's own
# (bench/nothing.c), also timed in every round.
WINE_BASE="" WINE_SAME=""
WIN_DIR=${BENCH_WIN_BUILD:-$ROOT/build-win32}
WINE_LOADER="" WINE_SERVER=""
wine_stop() { [[ -n ${WINE_SERVER:-} ]] && WINEPREFIX=$DATA/wine "$WINE_SERVER" -k >/dev/null 2>&1 || true; }

wine_section() {
  local p
  WINE_LOADER=/usr/lib/wine/wine
  [[ -x $WINE_LOADER ]] || WINE_LOADER=$(command -v wine || true)
  WINE_SERVER=/usr/lib/wine/wineserver
  [[ -x $WINE_SERVER ]] || WINE_SERVER=$(command -v wineserver || true)
  [[ -n $WINE_LOADER ]] || { note "no Windows rows: Wine is not installed"; return; }
  for p in mendrake mendrake-check mendrake-export; do
    [[ -f $WIN_DIR/$p.exe ]] || { note "no Windows rows: $WIN_DIR/$p.exe is missing (make windows)"; return; }
  done
  local nothing=$DATA/nothing.exe
  if [[ ! -f $nothing || $ROOT/bench/nothing.c -nt $nothing ]]; then
    i686-w64-mingw32-gcc -O2 -s -o "$nothing" "$ROOT/bench/nothing.c" ||
      { note "no Windows rows: no i686-w64-mingw32-gcc for the trivial program"; return; }
  fi
  export WINEPREFIX=$DATA/wine WINEDEBUG=-all
  [[ -d $WINEPREFIX ]] || "$WINE_LOADER" wineboot -i >/dev/null 2>&1 || true
  # One server for the whole section: each start of a program is then quick.
  [[ -n $WINE_SERVER ]] && "$WINE_SERVER" -p
  if ! "$WINE_LOADER" "$nothing" >/dev/null 2>&1; then
    note "no Windows rows: Wine cannot start 32-bit programs here"
    wine_stop
    return
  fi
  WINE_BASE=$COMPANION_BASE
  local base=$DATA/$WINE_BASE.tbb bytes
  bytes=$(stat -c %s "$base")
  warm "$base"
  # The same results first: console text (CR LF read as LF), copies, mbox.
  local out=$COPIES/same
  WINE_SAME=yes
  with_code() { "$@" 2>&1 && echo "exit 0" || echo "exit $?"; }
  same() { cmp -s "$1" "$2" || { WINE_SAME="no ($3)"; note "Windows and Linux programs differ: $3"; }; }
  # (Exit codes are those of the base: compared in the text, not checked.)
  "$MENDRAKE" -l "$base" >"$out.linux" 2>&1 || true
  { "$WINE_LOADER" "$WIN_DIR/mendrake.exe" -l "$base" 2>&1 || true; } | tr -d '\r' >"$out.exe"
  same "$out.linux" "$out.exe" "mendrake -l"
  "$MENDRAKE" "$base" "$out.linux.tbb" >/dev/null 2>&1 || true
  "$WINE_LOADER" "$WIN_DIR/mendrake.exe" "$base" "$out.exe.tbb" >/dev/null 2>&1 || true
  same "$out.linux.tbb" "$out.exe.tbb" "the copy"
  if [[ -n $CHECK ]]; then
    with_code "$CHECK" "$base" >"$out.linux"
    with_code "$WINE_LOADER" "$WIN_DIR/mendrake-check.exe" "$base" | tr -d '\r' >"$out.exe"
    same "$out.linux" "$out.exe" "mendrake-check"
  fi
  if [[ -n $EXPORT ]]; then
    "$EXPORT" -q --mbox "$out.linux.mbox" "$base" || true
    "$WINE_LOADER" "$WIN_DIR/mendrake-export.exe" -q --mbox "$out.exe.mbox" "$base" >/dev/null 2>&1 || true
    same "$out.linux.mbox" "$out.exe.mbox" "the mbox"
  fi
  rm -f "$out".*
  echo "bench: timing the Windows programs on $WINE_BASE" >&2
  local list=("wine nothing.exe::$WINE_LOADER $nothing" "mendrake -l base::$MENDRAKE -l $base"
              "mendrake.exe -l base::$WINE_LOADER $WIN_DIR/mendrake.exe -l $base")
  if [[ -n $CHECK ]]; then
    list+=("mendrake-check base::$CHECK $base" "mendrake-check.exe base::$WINE_LOADER $WIN_DIR/mendrake-check.exe $base")
  fi
  local copy=("wine nothing.exe::$WINE_LOADER $nothing" "mendrake base copy::$MENDRAKE $base $COPIES/copy"
              "mendrake.exe base copy::$WINE_LOADER $WIN_DIR/mendrake.exe $base $COPIES/copy")
  if [[ -n $EXPORT ]]; then
    copy+=("mendrake-export --mbox copy base::$EXPORT -q --force --mbox $COPIES/copy $base"
           "mendrake-export.exe --mbox copy base::$WINE_LOADER $WIN_DIR/mendrake-export.exe -q --force --mbox $COPIES/copy $base")
  fi
  compare "wine $WINE_BASE list" "$bytes" "${list[@]}"
  compare "wine $WINE_BASE copy" "$bytes" "${copy[@]}"
  wine_stop
}

if [[ -n $WINE_RUNS && -n $COMPANION_BASE ]]; then wine_section; fi

# ---- the table --------------------------------------------------------------
fmt_size() { awk -v b="$1" 'BEGIN { if (b >= 2^30) printf "%g GiB", b / 2^30; else printf "%g MiB", b / 2^20 }'; }

table() {
  echo "| base | command | median s | s per GiB | x reference | x ref (medians) | user s | sys s | peak RSS MiB |"
  echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
  local row group name bytes med rss ratio of_medians user sys
  for row in "${ROWS[@]}"; do
    IFS='|' read -r group name bytes med <<<"$row"
    read -r med rss ratio of_medians user sys <<<"$med"
    group=${group% list}
    group=${group% copy}
    awk -v g="$group ($(fmt_size "$bytes"))" -v n="$name" -v b="$bytes" -v m="$med" -v r="$rss" -v x="$ratio" \
      -v y="$of_medians" -v u="$user" -v s="$sys" \
      'BEGIN { printf "| %s | %s | %.3f | %.3f | %.2f | %.2f | %.3f | %.3f | %.1f |\n", g, n, m, m / (b / 2^30), x, y, u, s, r / 1024 }'
  done
}

# have GROUP NAME: the row exists.
have() {
  local row
  for row in "${ROWS[@]}"; do [[ $row == "$1|$2|"* ]] && return 0; done
  return 1
}

# against GROUP NAME REF_NAME: "NN.NNx" per-round ratio of two rows' times.
against() { awk -v f="$(stats "$1|$2" "$1|$3")" 'BEGIN { split(f, a, " "); printf "%.2fx", a[3] }'; }

# rss GROUP NAME: peak resident MiB of a row.
rss() { awk -v f="$(stats "$1|$2" "$1|$2")" 'BEGIN { split(f, a, " "); printf "%.1f MiB", a[2] / 1024 }'; }

# less GROUP NAME REF SUB: "N.NNx", the median of the per-round ratios of
# (NAME - SUB) to REF: a Windows program's time less Wine's own, against the
# Linux build's.
less() {
  awk -F'\t' -v n="$1|$2" -v r="$1|$3" -v z="$1|$4" '
    $1 == n { a[++na] = $2 } $1 == r { b[++nb] = $2 } $1 == z { c[++nc] = $2 }
    END { for (k = 1; k <= na && k <= nb && k <= nc; k++) print (a[k] - c[k]) / b[k] }' "$SAMPLES" |
    median | awk '{ printf "%.2fx", $1 }'
}

headlines() {
  local big=${SIZES##* } name
  if [[ -n $big ]]; then
    name=email-$big
    echo "- $name, list-only run: $(against "$name list" "mendrake -l base" "cat base > /dev/null") the time of cat base > /dev/null (goal 1.08x)"
    echo "- $name, copy run: $(against "$name copy" "mendrake base copy" "cat base > copy") (with -d+: $(against "$name copy" "mendrake -d+ base copy" "cat base > copy")) the time of cat base > copy (goal 1.25x); dd bs=64k takes $(against "$name copy" "dd bs=64k (read/write copy)" "cat base > copy")"
  fi
  if [[ -n $SMALL ]]; then
    name=small-$SMALL
    echo "- $name ($(wc -l <"$DATA/$name.manifest") messages), list-only run: $(against "$name list" "mendrake -l base" "cat base > /dev/null") the time of cat base > /dev/null (goal 1.08x); copy run: $(against "$name copy" "mendrake base copy" "cat base > copy") (with -d+: $(against "$name copy" "mendrake -d+ base copy" "cat base > copy")) the time of cat base > copy (goal 1.25x)"
  fi
  for name in $IMAGE_START $IMAGE_END; do
    echo "- $name, copy run: $(against "$name copy" "mendrake base copy" "cat base > copy") the time of cat image > copy (goal 1.5x), peak RSS $(rss "$name copy" "mendrake base copy"); list-only run: $(against "$name list" "mendrake -l base" "cat base > /dev/null") the time of cat image > /dev/null, peak RSS $(rss "$name list" "mendrake -l base") (goal: under 100 MiB)"
  done
  local mail=""
  [[ -n $MAIL ]] && mail=mail-crlf-$MAIL
  for name in $COMPANION_BASE ${SMALL:+small-$SMALL} $mail $IMAGE_START; do
    if have "$name list" "mendrake-check base"; then
      echo "- $name, mendrake-check: $(against "$name list" "mendrake-check base" "cat base > /dev/null") the time of cat base > /dev/null (goal 1.1x), peak RSS $(rss "$name list" "mendrake-check base") (goal: under 100 MiB)"
    fi
    if have "$name copy" "mendrake-export --mbox copy base"; then
      echo "- $name, mendrake-export --mbox: $(against "$name copy" "mendrake-export --mbox copy base" "mendrake base copy") the time of mendrake's copy run (goal 1.5x), peak RSS $(rss "$name copy" "mendrake-export --mbox copy base") (goal: under 100 MiB)"
    fi
    if have "$name copy" "mendrake-export --tbb copy base"; then
      echo "- $name, mendrake-export --tbb: $(against "$name copy" "mendrake-export --tbb copy base" "mendrake base copy") the time of mendrake's copy run (goal 1.2x), peak RSS $(rss "$name copy" "mendrake-export --tbb copy base") (goal: under 100 MiB)"
    fi
  done
  if [[ -n $EML_BASE ]] && have "$EML_BASE eml" "mendrake-export --eml copy base"; then
    local files=$EML n_export n_split
    n_export=$(column "$EML_BASE eml|mendrake-export --eml copy base" 2 | median)
    n_split=$(column "$EML_BASE eml|csplit mbox into files" 2 | median)
    awk -v f="$files" -v e="$n_export" -v c="$n_split" -v r="$(rss "$EML_BASE eml" "mendrake-export --eml copy base")" -v n="$EML_BASE" \
      'BEGIN { printf "- %s, mendrake-export --eml: %.0f files/s (%.2f s for %d files); csplit cutting its mbox into the same files: %.0f files/s; peak RSS %s (goal: under 16 MiB)\n", n, f / e, e, f, f / c, r }'
  fi
  if [[ -n $WINE_BASE ]]; then
    local g="wine $WINE_BASE" line
    line="- Windows programs under Wine, $WINE_BASE, each .exe time less Wine's start and end ($(column "$g list|wine nothing.exe" 2 | median | awk '{ printf "%.3f", $1 }') s) against the Linux build: list-only $(less "$g list" "mendrake.exe -l base" "mendrake -l base" "wine nothing.exe") (goal 2x)"
    have "$g list" "mendrake-check.exe base" && line+=", check $(less "$g list" "mendrake-check.exe base" "mendrake-check base" "wine nothing.exe") (goal 2x)"
    line+=", copy $(less "$g copy" "mendrake.exe base copy" "mendrake base copy" "wine nothing.exe") (goal 1.5x)"
    have "$g copy" "mendrake-export.exe --mbox copy base" && line+=", mendrake-export --mbox $(less "$g copy" "mendrake-export.exe --mbox copy base" "mendrake-export --mbox copy base" "wine nothing.exe")"
    echo "$line; results identical: $WINE_SAME"
  fi
  # The largest peak of any mendrake program on any source.
  local row peak=0 where="" group cmd r
  for row in "${ROWS[@]}"; do
    IFS='|' read -r group cmd _ row <<<"$row"
    [[ $cmd == mendrake* && $cmd != *.exe* ]] || continue
    read -r _ r _ <<<"$row"
    if (( r > peak )); then peak=$r; where="$cmd on ${group% *}"; fi
  done
  awk -v p="$peak" -v w="$where" 'BEGIN { printf "- largest peak resident memory of any mendrake program: %.1f MiB (%s; goal: under 100 MiB on any source)\n", p / 1024, w }'
  if [[ -n $BANG ]]; then
    echo "- bang-$BANG, list-only run: $(against "bang-$BANG list" "mendrake -l base" "cat base > /dev/null") the time of cat base > /dev/null (goal 4x)"
  fi
  local note
  for note in "${NOTES[@]}"; do echo "- $note"; done
}

machine() {
  local cpu mem fs
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
  mem=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 2^20 }' /proc/meminfo)
  fs=$(df -PT "$DATA" | awk 'NR == 2 { print $2 }')
  echo "- date: $started; bench took ${SECONDS} s"
  echo "- machine: $(nproc) CPUs, ${cpu:-unknown CPU}, $mem memory, $(uname -sr)"
  echo "- file system of the bases and copies: $fs"
  echo "- mendrake: $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown) $(git -C "$ROOT" status --porcelain -- src 2>/dev/null | grep -q . && echo '(with uncommitted changes in src/)'), $BUILD"
  echo "- $(cat --version | head -n1); load average $load_before at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
}

report() {
  echo "# Benchmark results"
  echo
  echo "Written by \`make bench\` (bench/run.sh). Whole processes, files in the page cache,"
  echo "standard output to /dev/null; $RUNS rounds per comparison ($IMAGE_RUNS for the copies of"
  echo "the disk images), the commands of a comparison run one after another in each round."
  echo "\"median s\" is the median wall time, \"x reference\" the median of the per-round ratios to the first command of the"
  echo "same comparison, \"x ref (medians)\" the ratio of the two medians (the two differ"
  echo "when the machine is noisy), \"user s\" and \"sys s\" the median processor time in"
  echo "user space and in the kernel, \"peak RSS\" the largest resident size seen (getrusage)."
  echo "GNU cat copies a file to a file inside the kernel (copy_file_range); the dd row"
  echo "shows a copy through user space with 64 KiB reads and writes for comparison."
  echo "small-*: mostly small messages as a real folder holds them (1 to 64 KiB, 1% up to"
  echo "1 MiB). image-start-*: a sparse disk image with a 200 KiB base at its start, whose"
  echo "last message takes in the rest of the image; image-end-*: a sparse image whose first"
  echo "header lies 64 MiB before its end (a run from offset 0 copies the bytes before the"
  echo "first header too). Copies of an image are written in full (holes as zeros) by cat"
  echo "and mendrake alike; beyond a few GiB of dirty pages the kernel holds both writers"
  echo "to the disk's pace, which other work on the machine shares. mail-crlf-*: mail as a"
  echo "Windows client stores it, every line ending in CR LF. mail-N: N messages of 1.5 to"
  echo "8 KiB, exported one .eml file each, against csplit cutting the base's mbox into"
  echo "the same number of files. wine *: the 32-bit .exe files under Wine beside the Linux"
  echo "build; their \"x reference\" is against a trivial 32-bit program (Wine's own start"
  echo "and end), which the headlines take off each .exe time."
  echo
  machine
  echo
  table
  echo
  headlines
}

report | tee "$RESULTS"
