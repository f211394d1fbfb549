#!/usr/bin/env bash
# Times mendrake against the machine's own limit: cat over the same file,
# with the files in the page cache. Prints one table and writes it, with a
# description of the machine, to bench/RESULTS.md.
#
#   bash bench/run.sh [BUILD_DIR]          (make bench does this)
#
# BUILD_DIR holds mendrake and tbbgen (default: build). Knobs, for trying the
# script out on small sizes:
#   BENCH_SIZES   e-mail bases to time              (default "64M 256M 1G")
#   BENCH_BANG    size of the every-other-byte-"!" base, empty to skip (256M)
#   BENCH_SPARSE  size of the sparse source, empty to skip            (10G)
#   BENCH_RUNS    rounds per comparison, at least 5                    (5)
#   BENCH_RESULTS where the table goes               (bench/RESULTS.md)
#
# Generated bases stay in bench/data (ignored by git) and are reused by later
# runs; copies are made in a temporary directory beside them (the same file
# system as the repository) and removed after every run.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
MENDRAKE=$BUILD/mendrake
TBBGEN=$BUILD/tbbgen
DATA=$ROOT/bench/data
SIZES=${BENCH_SIZES-64M 256M 1G}
BANG=${BENCH_BANG-256M}
SPARSE=${BENCH_SPARSE-10G}
RUNS=${BENCH_RUNS:-5}
RESULTS=${BENCH_RESULTS:-$ROOT/bench/RESULTS.md}
(( RUNS >= 5 )) || RUNS=5

for tool in "$MENDRAKE" "$TBBGEN"; do
  [[ -x $tool ]] || { echo "bench: $tool not built (run make first)" >&2; exit 1; }
done
mkdir -p "$DATA"

# The process timer: wall time, peak resident memory and exit status of one
# child, from getrusage. Rebuilt when its source changes.
MEASURE=$BUILD/bench-measure
if [[ ! -x $MEASURE || $ROOT/bench/measure.cpp -nt $MEASURE ]]; then
  CXX=${CXX:-$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null)}
  ${CXX:-c++} -O2 -o "$MEASURE" "$ROOT/bench/measure.cpp"
fi

COPIES=$(mktemp -d "$DATA/copies.XXXXXX")
SAMPLES=$(mktemp "$DATA/samples.XXXXXX")
trap 'rm -rf "$COPIES" "$SAMPLES"' EXIT

bytes_of() {  # 64M -> 67108864
  local n=${1%[kKMG]}
  case "$1" in
    *k|*K) echo $(( n << 10 )) ;; *M) echo $(( n << 20 )) ;; *G) echo $(( n << 30 )) ;; *) echo "$n" ;;
  esac
}

# Realistic mail: texts of 1 KiB to 1 MiB with CR LF lines, base64 and HTML,
# a few deleted messages, wrong lengths and junk between messages.
EMAIL_OPTS=(--style email --min 1k --max 1M --deleted 3 --wrong 2 --garbage 1 --seed 6)
BANG_OPTS=(--style bang --min 1k --max 1M --deleted 3 --wrong 2 --seed 6)

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

# The largest message (header and text) of a base, in bytes.
largest_message() {
  awk 'BEGIN { m = 0 } { if ($3 + 48 > m) m = $3 + 48 } END { print m }' "$DATA/$1.manifest"
}

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
  printf '%s\t%s\t%s\t%s\n' "$label" "$1" "$2" "$3" >>"$SAMPLES"
}

# The table: one row per command, rows of a group against its reference
# (the first row of the group). Ratios are the medians of the per-round
# ratios, each round running the commands one after another.
ROWS=()
add_row() { ROWS+=("$*"); }

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# stats LABEL REFERENCE: "median_s peak_rss_kib ratio" of LABEL's samples.
stats() {
  local label=$1 ref=$2
  local med rss ratio
  med=$(awk -F'\t' -v l="$label" '$1 == l { print $2 }' "$SAMPLES" | median)
  rss=$(awk -F'\t' -v l="$label" '$1 == l && $3 > m { m = $3 } END { print m + 0 }' "$SAMPLES")
  ratio=$(awk -F'\t' -v l="$label" -v r="$ref" '
    $1 == l { a[++na] = $2 } $1 == r { b[++nb] = $2 }
    END { for (k = 1; k <= na && k <= nb; k++) print a[k] / b[k] }' "$SAMPLES" | median)
  local refmed
  refmed=$(awk -F'\t' -v l="$ref" '$1 == l { print $2 }' "$SAMPLES" | median)
  echo "$med $rss $ratio $(awk -v a="$med" -v b="$refmed" 'BEGIN { print (b > 0) ? a / b : 0 }')"
}

# compare GROUP BYTES NAME::COMMAND...: warms the cache, then runs the
# commands in turn, RUNS rounds (A B A B ...). The first is the reference.
# A command whose stdout is "copy" writes into a new file, removed after.
compare() {
  local group=$1 size=$2
  shift 2
  local entries=("$@") k entry name cmd out
  for ((r = 1; r <= RUNS; r++)); do
    for entry in "${entries[@]}"; do
      name=${entry%%::*}
      cmd=${entry#*::}
      out=/dev/null
      if [[ $cmd == *" > copy" ]]; then
        out=$COPIES/copy
        cmd=${cmd% > copy}
      fi
      rm -f "$COPIES/copy"
      # Each copy starts with no dirty pages left from the one before.
      [[ $out == /dev/null ]] || sync
      # shellcheck disable=SC2086
      sample "$group|$name" "$out" $cmd
      rm -f "$COPIES/copy"
    done
  done
  local ref=${entries[0]%%::*}
  for entry in "${entries[@]}"; do
    name=${entry%%::*}
    add_row "$group|$name|$size|$(stats "$group|$name" "$group|$ref")"
  done
}

warm() { cat "$1" >/dev/null; }

started=$(date -u '+%Y-%m-%d %H:%M UTC')
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
SECONDS=0
declare -A LARGEST

for size in $SIZES; do
  name=email-$size
  generate "$name" "${EMAIL_OPTS[@]}" --total "$size"
  LARGEST[$name]=$(largest_message "$name")
  base=$DATA/$name.tbb
  bytes=$(stat -c %s "$base")
  warm "$base"
  echo "bench: timing $name" >&2
  compare "$name list" "$bytes" \
    "cat base > /dev/null::cat $base" \
    "mendrake -l base::$MENDRAKE -l $base"
  compare "$name copy" "$bytes" \
    "cat base > copy::cat $base > copy" \
    "mendrake base copy::$MENDRAKE $base $COPIES/copy" \
    "mendrake -d+ base copy::$MENDRAKE -d+ $base $COPIES/copy" \
    "dd bs=64k (read/write copy)::dd if=$base of=$COPIES/copy bs=64k status=none"
done

if [[ -n $BANG ]]; then
  name=bang-$BANG
  generate "$name" "${BANG_OPTS[@]}" --total "$BANG"
  LARGEST[$name]=$(largest_message "$name")
  base=$DATA/$name.tbb
  warm "$base"
  echo "bench: timing $name" >&2
  compare "$name list" "$(stat -c %s "$base")" \
    "cat base > /dev/null::cat $base" \
    "mendrake -l base::$MENDRAKE -l $base"
fi

if [[ -n $SPARSE ]]; then
  # A hole of all but 64 MiB, then an e-mail base to the end of the file.
  total=$(bytes_of "$SPARSE")
  tail=$(( 64 << 20 ))
  (( tail < total / 2 )) || tail=$(( total / 2 ))
  name=sparse-$SPARSE
  generate "$name" "${EMAIL_OPTS[@]}" --total "$tail" --at $(( total - tail )) --size "$total"
  LARGEST[$name]=$(largest_message "$name")
  base=$DATA/$name.tbb
  warm "$base"
  echo "bench: timing $name" >&2
  compare "$name list" "$total" \
    "cat base > /dev/null::cat $base" \
    "mendrake -l base::$MENDRAKE -l $base"
fi

# ---- the table --------------------------------------------------------------
fmt_size() { awk -v b="$1" 'BEGIN { if (b >= 2^30) printf "%g GiB", b / 2^30; else printf "%g MiB", b / 2^20 }'; }

table() {
  echo "| base | command | median s | s per GiB | x reference | x ref (medians) | peak RSS MiB |"
  echo "|---|---|---:|---:|---:|---:|---:|"
  local row group name bytes med rss ratio of_medians
  for row in "${ROWS[@]}"; do
    IFS='|' read -r group name bytes med <<<"$row"
    read -r med rss ratio of_medians <<<"$med"
    group=${group% list}
    group=${group% copy}
    awk -v g="$group ($(fmt_size "$bytes"))" -v n="$name" -v b="$bytes" -v m="$med" -v r="$rss" -v x="$ratio" -v y="$of_medians" \
      'BEGIN { printf "| %s | %s | %.3f | %.3f | %.2f | %.2f | %.1f |\n", g, n, m, m / (b / 2^30), x, y, r / 1024 }'
  done
}

# Looks up one row's "median rss ratio" by group and command name.
figure() {
  local row
  for row in "${ROWS[@]}"; do
    if [[ $row == "$1|$2|"* ]]; then
      IFS='|' read -r _ _ _ row <<<"$row"
      echo "$row"
      return
    fi
  done
}

headlines() {
  local big=${SIZES##* } f
  if [[ -n $big ]]; then
    f=$(figure "email-$big list" "mendrake -l base")
    echo "- list-only run on the $big base: $(awk -v f="$f" 'BEGIN { split(f, a, " "); printf "%.2fx", a[3] }') the time of cat base > /dev/null (target 1.3x)"
    f=$(figure "email-$big copy" "mendrake base copy")
    echo -n "- copy run on the $big base: $(awk -v f="$f" 'BEGIN { split(f, a, " "); printf "%.2fx", a[3] }')"
    f=$(figure "email-$big copy" "mendrake -d+ base copy")
    echo -n " (with -d+: $(awk -v f="$f" 'BEGIN { split(f, a, " "); printf "%.2fx", a[3] }'))"
    f=$(figure "email-$big copy" "dd bs=64k (read/write copy)")
    echo " the time of cat base > copy (target 1.3x); dd bs=64k takes $(awk -v f="$f" 'BEGIN { split(f, a, " "); printf "%.2fx", a[3] }')"
  fi
  local size name limit peak row
  for name in "${!LARGEST[@]}"; do
    limit=$(( 8 * 1024 * 1024 + LARGEST[$name] ))
    peak=0
    for row in "${ROWS[@]}"; do
      [[ $row == "$name "* && $row == *"|mendrake"* ]] || continue
      IFS='|' read -r _ _ _ row <<<"$row"
      read -r _ row _ <<<"$row"
      (( row > peak )) && peak=$row
    done
    awk -v n="$name" -v p="$peak" -v l="$limit" -v m="${LARGEST[$name]}" \
      'BEGIN { printf "- peak resident memory of mendrake on %s: %.1f MiB; 8 MiB + largest message (%.2f MiB) = %.1f MiB\n", n, p / 1024, m / 2^20, l / 2^20 }'
  done | sort -V
  if [[ -n $BANG ]]; then
    f=$(figure "bang-$BANG list" "mendrake -l base")
    echo "- list-only run on the every-other-byte-\"!\" base: $(awk -v f="$f" 'BEGIN { split(f, a, " "); printf "%.2fx", a[3] }') the time of cat base > /dev/null (target 4x)"
  fi
  if [[ -n $SPARSE && -n $big ]]; then
    local fs fb
    fs=$(figure "sparse-$SPARSE list" "mendrake -l base")
    fb=$(figure "email-$big list" "mendrake -l base")
    awk -v s="$fs" -v b="$fb" -v ts="$(bytes_of "$SPARSE")" -v tb="$(stat -c %s "$DATA/email-$big.tbb")" \
      -v nb="$big" -v ns="$SPARSE" 'BEGIN {
        split(s, x, " "); split(b, y, " ");
        ps = x[1] / (ts / 2^30); pb = y[1] / (tb / 2^30);
        printf "- list-only run over the %s sparse source: %.3f s per GiB against %.3f s per GiB on the %s base (%.2fx); %.2fx the time of cat over the same sparse file\n", ns, ps, pb, nb, ps / pb, x[3] }'
  fi
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
  echo "standard output to /dev/null; $RUNS rounds per comparison, the commands of a"
  echo "comparison run one after another in each round. \"median s\" is the median wall time,"
  echo "\"x reference\" the median of the per-round ratios to the first command of the"
  echo "same comparison, \"x ref (medians)\" the ratio of the two medians (the two differ"
  echo "when the machine is noisy), \"peak RSS\" the largest resident size seen (getrusage)."
  echo "GNU cat copies a file to a file inside the kernel (copy_file_range); the dd row"
  echo "shows a copy through user space with 64 KiB reads and writes for comparison."
  echo
  machine
  echo
  table
  echo
  headlines
}

report | tee "$RESULTS"
