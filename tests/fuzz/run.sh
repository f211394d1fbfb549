#!/usr/bin/env bash
# make fuzz: builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) in build-fuzz, seeds their corpora from the
# generator, and runs each for its share of FUZZ_SECONDS seconds (default 60):
# the whole for the whole run and the mail transforms, less for the small
# parsers, which saturate sooner. A crashing input is kept under
# build-fuzz/artifacts/; copy it to tests/fuzz/regressions/<target>/, where a
# unit test replays it (Hostile.FuzzRegressions for run/ and cli/,
# Check.FuzzRegressions for check/).
# FUZZ_TARGETS="date fields" builds and runs only those.
# Needs clang and its fuzzer runtime (Debian: clang, libclang-rt-14-dev).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${FUZZ_BUILD:-$ROOT/build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
CXX=${FUZZ_CXX:-clang++}
SAN="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

cmake -S "$ROOT" -B "$OUT" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMENDRAKE_TESTS=OFF -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_CXX_FLAGS="$SAN -fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$OUT" -j2 --target mendrake_core mendrake_export mendrake_check tbbgen_lib -- --no-print-directory >/dev/null

INC="-I$ROOT/src -I$ROOT/tools -I$ROOT/tests/support -I$ROOT/tests/fuzz"
LIBS="$OUT/libmendrake_export.a $OUT/libmendrake_check.a $OUT/libmendrake_core.a $OUT/libtbbgen_lib.a"
TARGETS="${FUZZ_TARGETS:-run cli date fields transform check}"
# The checks and the memory platform go without coverage instrumentation.
for part in checks:tests/fuzz/checks.cpp platform:tests/support/test_platform.cpp; do
  "$CXX" -std=c++17 -O2 -g $SAN $INC -c "$ROOT/${part#*:}" -o "$OUT/fuzz-${part%%:*}.o"
done
CHECKS="$OUT/fuzz-checks.o $OUT/fuzz-platform.o"
for target in $TARGETS; do
  "$CXX" -std=c++17 -O1 -g $SAN -fsanitize=fuzzer $INC "$ROOT/tests/fuzz/fuzz_$target.cpp" $CHECKS $LIBS \
    -o "$OUT/fuzz-$target"
done
"$CXX" -std=c++17 -O1 -g $SAN $INC "$ROOT/tests/fuzz/seeds.cpp" $CHECKS $LIBS -o "$OUT/fuzz-seeds"

mkdir -p "$OUT/artifacts"
for target in $TARGETS; do mkdir -p "$OUT/corpus/$target"; done
"$OUT/fuzz-seeds" "$OUT/corpus"
# The check reads the run target's inputs the same way.
[ -d "$OUT/corpus/check" ] && cp -f "$OUT"/corpus/run/* "$OUT/corpus/check/" 2>/dev/null || true
for target in $TARGETS; do
  cp -f "$ROOT"/tests/fuzz/regressions/$target/* "$OUT/corpus/$target/" 2>/dev/null || true
done

# A smaller quarantine lets freed pass buffers be reused instead of mapped
# afresh each run (page faults dominated); use-after-free of recent frees is
# still caught.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
status=0
for target in $TARGETS; do
  # Each target's input limit and its share of FUZZ_SECONDS in percent.
  case $target in
    run) limits="-max_len=24000" share=100 ;;
    cli) limits="-max_len=4096" share=50 ;;
    date) limits="-max_len=256" share=25 ;;
    fields) limits="-max_len=8192" share=50 ;;
    transform) limits="-max_len=16384" share=100 ;;
    check) limits="-max_len=24000" share=100 ;;
  esac
  seconds=$((SECONDS_EACH * share / 100))
  [ "$seconds" -ge 1 ] || seconds=1
  log="$OUT/fuzz-$target.log"
  echo "fuzz-$target: ${seconds}s"
  if ! "$OUT/fuzz-$target" "$OUT/corpus/$target" -max_total_time="$seconds" $limits \
      -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$OUT/artifacts/$target-" >"$log" 2>&1; then
    status=1
    echo "fuzz-$target FAILED; the input is under $OUT/artifacts/:"
    grep -E "^(==|SUMMARY|[a-z].*: expected|listed|recover|list-only|a |the |more |asctime |accepted |slug |sender |folded |plain |mbox |[.]eml )" \
      "$log" | head -30 || true
    tail -5 "$log"
  fi
  grep -E "^#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb" "$log" | sed "s/^/  /" || true
done
exit $status
