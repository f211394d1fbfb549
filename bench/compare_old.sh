#!/usr/bin/env bash
# Run by hand, not in CI: checks that the streaming writer loses nothing.
# Builds mendrake as it was before the writer stopped holding whole messages
# (commit 88ba708, in a temporary git worktree that is removed afterwards)
# and runs it and the current build on the same sources, in the same modes:
# the targets must be byte-identical and the console output and logs the
# same, but for what the new decisions change on purpose:
#
# - a last message whose stored length runs past the end of the source is
#   now reported ("Achtung! broken MsgLength A, should be B" and its blank
#   line, B < A) and its length is repaired in the target: the only bytes
#   that may differ are then that header's 4-byte length, and they must
#   hold B;
# - the old writer's "Achtung! no memory to hold message" warnings are gone.
#
#   bash bench/compare_old.sh [BUILD_DIR]       (BUILD_DIR: default build)
#
# MENDRAKE_OLD=path skips the old build and uses that program instead. The
# sources are a few hundred MiB, which the old writer held in memory whole;
# they and the copies live in a temporary directory beside bench/data.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
NEW=$BUILD/mendrake
TBBGEN=$BUILD/tbbgen
OLD_COMMIT=88ba708
for tool in "$NEW" "$TBBGEN"; do
  [[ -x $tool ]] || { echo "compare_old: $tool not built" >&2; exit 1; }
done

mkdir -p "$ROOT/bench/data"
WORK=$(mktemp -d "$ROOT/bench/data/compare.XXXXXX")
TREE=""
cleanup() {
  if [[ -n $TREE ]]; then git -C "$ROOT" worktree remove --force "$TREE" || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

OLD=${MENDRAKE_OLD:-}
if [[ -z $OLD ]]; then
  TREE=$WORK/old-tree
  git -C "$ROOT" worktree add --detach "$TREE" "$OLD_COMMIT" >/dev/null
  echo "compare_old: building $OLD_COMMIT" >&2
  cmake -S "$TREE" -B "$TREE/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$TREE/build" --target mendrake -j2 >/dev/null
  cp "$TREE/build/mendrake" "$WORK/mendrake-old"
  git -C "$ROOT" worktree remove --force "$TREE"
  TREE=""
  OLD=$WORK/mendrake-old
fi

DAMAGE=(--deleted 5 --wrong 10 --garbage 5 --boundary 5 --negative 1 --decoys 5)
echo "compare_old: generating the sources" >&2
# Mail with every kind of damage the generator makes.
"$TBBGEN" --out "$WORK/email.tbb" --style email --min 1k --max 1M --total 256M --seed 11 "${DAMAGE[@]}"
# Big messages, many wrong lengths, the last one cut short by the end.
"$TBBGEN" --out "$WORK/big.tbb" --style email --min 5M --max 60M --total 300M --seed 12 --wrong 40 \
  --deleted 10 --truncate 1M
# A disk image: a small base at its start, then zeros; the last message
# takes in the rest of the image.
"$TBBGEN" --out "$WORK/image.img" --style email --min 1k --max 64k --total 200k --size 500M --seed 13 \
  --deleted 5 --wrong 10 --garbage 5

# The process timer of the benchmark: exit status and peak resident memory.
MEASURE=$WORK/measure
${CXX:-c++} -O2 -o "$MEASURE" "$ROOT/bench/measure.cpp"

FAILED=0
fail() { echo "DIFFERS: $*"; FAILED=1; }

# The bytes of the target that may differ: the length of the last message's
# header, repaired to `should`. Prints nothing when that holds, else why not.
check_patch() {
  local old=$1 new=$2 should=$3
  if [[ $(stat -c %s "$old") != $(stat -c %s "$new") ]]; then
    echo "sizes $(stat -c %s "$old") and $(stat -c %s "$new")"
    return
  fi
  # cmp -l: one line per differing byte, its 1-based offset first.
  { cmp -l "$old" "$new" || true; } | head -n 5 | python3 -c '
import sys
new, should = sys.argv[1], int(sys.argv[2])
diff = [int(line.split()[0]) - 1 for line in sys.stdin]
with open(new, "rb") as f:
    # The header whose length field holds every differing byte.
    for header in range(max(0, diff[-1] - 39), diff[0] - 35):
        f.seek(header)
        head = f.read(40)
        if len(diff) <= 4 and head[:4] == b"!\tp\x19" and all(header + 36 <= k < header + 40 for k in diff):
            value = int.from_bytes(head[36:40], "little")
            if value != should:
                print("header at %d carries %d, not %d" % (header, value, should))
            sys.exit(0)
print("bytes differ outside a header length, first at %d" % diff[0])
' "$new" "$should" || true
}

# compare NAME SOURCE ARGS...: one run of each program, same directory
# layout and relative paths, so every printed path is the same text.
compare() {
  local name=$1 source=$2
  shift 2
  local side figures=()
  for side in old new; do
    local dir=$WORK/run-$side
    rm -rf "$dir"
    mkdir -p "$dir"
    local program=$OLD
    [[ $side == new ]] && program=$NEW
    # measure prints: seconds, peak RSS KiB, exit status, user s, sys s.
    set -- $(cd "$dir" && "$MEASURE" console "$program" "$@") "$@"
    echo "$3" >"$dir/code"
    figures+=("$(awk -v s="$1" -v r="$2" 'BEGIN { printf "%.2f s, %.1f MiB", s, r / 1024 }')")
    shift 5
  done
  local a=$WORK/run-old b=$WORK/run-new
  [[ $(cat "$a/code") == $(cat "$b/code") ]] || fail "$name: exit codes $(cat "$a/code") and $(cat "$b/code")"
  local should="" removed added
  for what in console log; do
    [[ -f $a/$what || -f $b/$what ]] || continue
    [[ -f $a/$what && -f $b/$what ]] || { fail "$name: $what written by one side only"; continue; }
    removed=$(diff "$a/$what" "$b/$what" | sed -n 's/^< //p' | grep -v '^Achtung! no memory to hold message at ' || true)
    added=$(diff "$a/$what" "$b/$what" | sed -n 's/^> //p' | grep -v '^$' || true)
    [[ -z $removed ]] || fail "$name: $what: lines only the old run printed: $(head -c 300 <<<"$removed")"
    if [[ -n $added ]]; then
      if [[ $(wc -l <<<"$added") == 1 && $added =~ ^Achtung!\ broken\ MsgLength\ (-?[0-9]+),\ should\ be\ (-?[0-9]+)$ ]] &&
         (( BASH_REMATCH[2] < BASH_REMATCH[1] )) &&
         [[ $(grep -n '' "$b/$what" | grep -F "$added" | tail -n1 | cut -d: -f1) -gt \
            $(grep -n '^\(msg\|del\)\[' "$b/$what" | tail -n1 | cut -d: -f1) ]]; then
        should=${BASH_REMATCH[2]}
        echo "  $name: $what: the new run adds the end-of-source line: $added"
      else
        fail "$name: $what: lines only the new run printed: $(head -c 300 <<<"$added")"
      fi
    fi
  done
  if [[ -f $a/out.tbb || -f $b/out.tbb ]]; then
    if cmp -s "$a/out.tbb" "$b/out.tbb"; then
      echo "  $name: targets identical ($(stat -c %s "$b/out.tbb") bytes)"
    elif [[ -n $should ]]; then
      local why
      why=$(check_patch "$a/out.tbb" "$b/out.tbb" "$should")
      if [[ -z $why ]]; then
        echo "  $name: targets identical but for the last message's length, now $should"
      else
        fail "$name: targets: $why"
      fi
    else
      fail "$name: targets differ: $(cmp "$a/out.tbb" "$b/out.tbb" 2>&1 | head -n1)"
    fi
  fi
  echo "  $name: exit code $(cat "$b/code"); old ${figures[0]}, new ${figures[1]} (time, peak RSS)"
}

for source in email.tbb big.tbb image.img; do
  src=$WORK/$source
  echo "== $source ($(stat -c %s "$src") bytes)"
  compare "$source copy" "$src" "$src" out.tbb
  compare "$source -d+ with log" "$src" -d+ -L log "$src" out.tbb
  compare "$source -l" "$src" -l "$src"
  compare "$source -d+ -l" "$src" -d+ -l "$src"
  compare "$source -M 3" "$src" -M 3 "$src" out.tbb
  compare "$source -d+ -M 3" "$src" -d+ -M 3 "$src" out.tbb
done

if (( FAILED )); then
  echo "compare_old: the new writer's output differs from the old one's"
  exit 1
fi
echo "compare_old: every target and log as the old writer had them (but for the lines named above)"
