#!/usr/bin/env bash
# make test-sanitize: builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-sanitize and runs every CTest test
# there. Any finding stops the test that met it (no recovery). The only
# suppression, in lsan.supp, carries its reason.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${SANITIZE_BUILD:-$ROOT/build-sanitize}
FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"

cmake -S "$ROOT" -B "$OUT" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$OUT" -j2 -- --no-print-directory
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/tests/sanitize/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The sanitized binaries are slower: give each test more time.
cd "$OUT" && ctest --output-on-failure -j2 --timeout 1800 "$@"
