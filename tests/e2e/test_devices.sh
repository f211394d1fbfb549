#!/usr/bin/env bash
# Large sources and block devices with the real tool: sparse sources at the
# size where access turns unbuffered, read close to their end, must list and
# copy exactly what a buffered run of the same bytes gives; loop devices are
# refused as source and as target.
source "$(dirname "$0")/lib.sh"
export LC_ALL=C

GIB=1073741824
LIMIT=$((100 * GIB))
# Start 4 MiB + 6,144 bytes before the limit: 64 whole passes, three passes
# of 2,048 bytes, then a final pass of S - LIMIT bytes.
START=$((LIMIT - 4 * 1048576 - 6144))
NOTICE="Force using NO_CACHE on large file"

LOOPS=()
MOUNTS=()
DIRS=()
cleanup() {
  local m l
  for m in "${MOUNTS[@]}"; do umount "$m" 2>/dev/null; done
  for l in "${LOOPS[@]}"; do losetup -d "$l" 2>/dev/null; done
  rm -rf "${DIRS[@]}" "$WORK"
}
trap cleanup EXIT

# shift_log FILE SHIFT: the log with every list offset moved down by SHIFT.
shift_log() {
  local line
  while IFS= read -r line; do
    if [[ $line =~ ^((msg|del)\[[0-9]+\]\ at\ )([0-9a-f]+)(:.*)$ ]]; then
      printf '%s%x%s\n' "${BASH_REMATCH[1]}" $((16#${BASH_REMATCH[3]} - $2)) "${BASH_REMATCH[4]}"
    else
      printf '%s\n' "$line"
    fi
  done <"$1"
}

# direct_ok DIR: whether the file system of DIR takes O_DIRECT.
direct_ok() {
  dd if=/dev/zero of="$1/.probe" bs=4096 count=1 oflag=direct 2>/dev/null
  local rc=$?
  rm -f "$1/.probe"
  return $rc
}

# The messages at the end of every large source: the same bytes from START + 1,000
# on, cut off at the file's end.
make_source() { gen --out "$1" --seed 11 --total 5M --at $((START + 1000)) --size "$2" --deleted 10 --wrong 10 --boundary 10; }

# The buffered reference: the bytes from START on, as a small file read from
# its start. Same passes, same bytes; the list is shifted by START.
for size in $LIMIT $((LIMIT + 1000)) $((LIMIT - 1)); do
  make_source ref.big "$size"
  dd if=ref.big of="ref-$size.tbb" bs=1M skip="$START" iflag=skip_bytes status=none
  rm -f ref.big
  (( $(stat -c %s "ref-$size.tbb") == size - START )) || fail "reference of $size has the wrong size"
  run if="ref-$size.tbb" of="ref-$size.out" log="ref-$size.log"
  expect_rc "buffered reference $size" 0
  # What the passes printed (data warnings; no dots) and the summary.
  REF_SUMMARY[$size]=${OUT#*$'\n'Processed}
  middle=${OUT#*$'\n'Starting from offset 0 bytes$'\n'}
  middle=${middle%%Processed*}
  REF_PASSES[$size]=${middle//./}
  grep -q '^msg\[1\] at 3e8:' "ref-$size.log" || fail "reference $size lists no messages"
done

# big_runs DIR LABEL: the large sources in DIR, run from START.
big_runs() {
  local dir=$1 label=$2 size notice expected
  for size in $LIMIT $((LIMIT + 1000)) $((LIMIT - 1)); do
    make_source "$dir/big.tbb" "$size"
    (
      cd "$dir" || exit 1
      run if=big.tbb of=out.tbb log=big.log "seek=${START}o"
      notice=""
      ((size >= LIMIT)) && notice="$NOTICE"$'\n'
      # One dot: every pass lies in the last fiftieth of the source.
      expected="$BANNER"$'\n'"${notice}big.tbb -> out.tbb"$'\n'"$size bytes"$'\n'
      expected+="Starting from offset $START bytes"$'\n'."${REF_PASSES[$size]}Processed${REF_SUMMARY[$size]}"
      expect_eq "$label $size: console" "$expected" "$OUT"
      expect_rc "$label $size" 0
      expect_same_file "$label $size: target" "$WORK/ref-$size.out" out.tbb
      shift_log big.log "$START" >big.shifted
      expect_same_file "$label $size: list" "$WORK/ref-$size.log" big.shifted
      echo "$PASSED $FAILED" >"$WORK/.counts"
    )
    read -r PASSED FAILED <"$WORK/.counts"
    # The sparse file held a few MB only; it goes at once.
    local used
    used=$(du -k "$dir/big.tbb" | cut -f1)
    ((used < 65536)) || fail "$label $size: source not sparse ($used KiB)"
    rm -f "$dir/big.tbb" "$dir/out.tbb" "$dir/big.log" "$dir/big.shifted"
  done
}

# trace_opens DIR: with strace at hand, shows how the source was opened and
# whether the kernel refused transfers (a buffered companion opened).
trace_opens() {
  TRACE=""
  command -v strace >/dev/null || { echo "note: no strace, I/O path in $1 not traced"; return; }
  make_source "$1/big.tbb" "$LIMIT"
  (cd "$1" && strace -f -o "$WORK/trace" -e trace=openat,pread64 "$MENDRAKE" big.tbb out.tbb \
    "-o" "$START" >/dev/null) || true
  rm -f "$1/big.tbb" "$1/out.tbb"
  [ -s "$WORK/trace" ] || { echo "note: strace cannot trace here"; return; }
  # The source's opens, and reads of 2,048 bytes near its end through a
  # second descriptor (the loader's own preads are not among them).
  TRACE=$(grep -E 'openat\(.*"big\.tbb"|pread64\(.*, 2048, [0-9]{12}\)' "$WORK/trace" | sed -E 's/^[0-9]+ +//')
}

echo "files in $WORK: $(stat -f -c %T "$WORK")"
if direct_ok "$WORK"; then
  echo "O_DIRECT accepted in $WORK: the unbuffered passes run O_DIRECT"
  trace_opens "$WORK"
  if [ -n "$TRACE" ]; then
    grep -qE 'O_DIRECT.*= [0-9]+$' <<<"$TRACE" || fail "no O_DIRECT open of the source: $TRACE"
    [[ $(grep openat <<<"$TRACE" | tail -1) != *O_DIRECT* ]] || fail "final pass not buffered: $TRACE"
    # Opens: buffered, unbuffered, buffered again for the final pass; a
    # fourth would be the companion that takes refused transfers.
    [ "$(grep -c openat <<<"$TRACE")" -eq 3 ] || fail "transfers refused on 512-byte sectors: $TRACE"
  fi
else
  echo "O_DIRECT refused in $WORK: the buffered fallback runs"
fi
big_runs "$WORK" "$(stat -f -c %T "$WORK")"

# A file system that refuses O_DIRECT: the same runs through the buffered
# fallback. A tmpfs does so on older kernels; ramfs does on all.
FALLBACK=""
if [ -d /dev/shm ] && [ "$(stat -f -c %T /dev/shm)" = tmpfs ] && SHM=$(mktemp -d /dev/shm/mendrake.XXXXXX); then
  DIRS+=("$SHM")
  direct_ok "$SHM" || FALLBACK=$SHM
fi
if [ -z "$FALLBACK" ] && mkdir ram && mount -t ramfs none ram 2>/dev/null; then
  MOUNTS+=("$WORK/ram")
  direct_ok ram || FALLBACK=ram
fi
if [ -n "$FALLBACK" ]; then
  echo "$(stat -f -c %T "$FALLBACK") at $FALLBACK: O_DIRECT refused, the buffered fallback runs"
  big_runs "$FALLBACK" "$(stat -f -c %T "$FALLBACK")"
else
  echo "SKIP: no file system here refuses O_DIRECT (tmpfs takes it, ramfs cannot be mounted); fallback not run"
fi

# Loop devices: a small base behind /dev/loopN.
gen --out small.tbb --seed 3 --messages 40
SMALL=$(stat -c %s small.tbb)
gen --out disk.img --seed 4 --total 900k --size 1M
cp disk.img disk.before
if LOOP=$(losetup -f --show disk.img 2>/dev/null) && [ -b "$LOOP" ]; then
  LOOPS+=("$LOOP")
  REFUSAL="Block device $LOOP too small: 1048576 bytes, required"
  run "$LOOP" out.tbb
  expect_eq "device source" "$BANNER"$'\n'"Force using NO_CACHE on block devices"$'\n'"$REFUSAL 1048576"$'\n'exiting...$'\n' "$OUT"
  expect_rc "device source" -5
  run -l "$LOOP"
  expect_eq "device source, list only" "$BANNER"$'\n'"Force using NO_CACHE on block devices"$'\n'"$REFUSAL 1048576"$'\n'exiting...$'\n' "$OUT"
  expect_rc "device source, list only" -5
  run small.tbb "$LOOP"
  expect_eq "device target" "$BANNER"$'\n'"$REFUSAL $SMALL"$'\n'exiting...$'\n' "$OUT"
  expect_rc "device target" -5
  sync
  expect_same_file "device target untouched" disk.before disk.img

  # A file system whose disk has 4,096-byte sectors: the 2,048-byte passes
  # are refused by the kernel when done directly and must come through the
  # buffered companion.
  truncate -s 64M fs4k.img
  mkdir mnt
  if L4=$(losetup -f --show -b 4096 fs4k.img 2>/dev/null); then
    LOOPS+=("$L4")
    if mkfs.ext4 -q -b 4096 "$L4" 2>/dev/null && mount "$L4" mnt 2>/dev/null; then
      MOUNTS+=("$WORK/mnt")
      if direct_ok mnt; then
        echo "4k-sector ext4: O_DIRECT accepted, 2,048-byte passes go through the companion"
        trace_opens mnt
        [ -z "$TRACE" ] || [ "$(grep -c openat <<<"$TRACE")" -ge 4 ] || fail "no companion read on 4k sectors: $TRACE"
        big_runs mnt ext4-4k
      else
        echo "SKIP: the 4k-sector file system refuses O_DIRECT"
      fi
    else
      echo "SKIP: cannot make or mount a file system on a loop device here"
    fi
  else
    echo "SKIP: no loop device with 4,096-byte sectors here; companion reads not run"
  fi
else
  echo "SKIP: loop devices cannot be set up here (losetup failed); no real block-device runs"
fi
finish
