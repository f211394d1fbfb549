#!/usr/bin/env bash
# The Windows runner (run.sh) itself, on a release whose three programs fault
# as they start: large-address-aware, with the manifest and the imports of the
# real ones, so that only starting tells them apart. The runner may test a
# 64-bit build in place of the 32-bit release only where 32-bit programs
# cannot start at all:
#   - on this machine's Wine: where it starts 32-bit programs (RUNS_32_BIT=1)
#     the runner fails on the broken release and falls back to nothing;
#     elsewhere it falls back with its warning;
#   - on a Wine whose loader refuses every 32-bit program as a kernel without
#     32-bit support does (a stand-in for `wine` first on the PATH): it falls
#     back with its warning.
# Each run ends once the runner knows what it would run (WINDOWS_DECIDE_ONLY)
# and uses the Wine prefixes of the run that started this one
# (WINDOWS_PREFIXES).
source "$(dirname "$0")/../e2e/lib.sh"

mkdir broken fake
printf 'int main(void) { return *(volatile int*)0; }\n' >crash.c
(cd "$ROOT/tools/windows" && i686-w64-mingw32-windres mendrake.rc -O coff -o "$WORK/manifest.res")
for p in mendrake mendrake-check mendrake-export; do
  i686-w64-mingw32-gcc -O0 -s -Wl,--large-address-aware -o "broken/$p.exe" crash.c manifest.res
done

# runner: runs the runner on the broken release; sets OUT and RC.
runner() {
  OUT=$(WINDOWS_BUILD=$WORK/broken WINDOWS_DECIDE_ONLY=1 bash "$ROOT/tests/windows/run.sh" 2>&1)
  RC=$?
}
fallback='WARNING: the 32-bit release was NOT run: this machine cannot start 32-bit programs'

runner
if [ "${RUNS_32_BIT:-}" = 1 ]; then
  expect_eq "broken release: exit, the failure, no fallback, only that failure" "1 1 0 1 failed" \
    "$RC $(grep -c '^FAIL: the 32-bit release does not start, though a trivial 32-bit program does' <<<"$OUT") \
$(grep -c '^WARNING' <<<"$OUT") $(tail -1 <<<"$OUT" | grep -o '[0-9]* failed')"
else
  expect_eq "broken release, no 32-bit programs here: the fallback" "0 1" "$RC $(grep -c "^$fallback" <<<"$OUT")"
fi

# Wine as a machine without 32-bit support runs it.
cat >fake/wine <<FAKE
#!/bin/sh
for a in "\$@"; do
  if i686-w64-mingw32-objdump -f "\$a" 2>/dev/null | grep -q 'file format pei-i386'; then
    echo "wine: could not exec the wine loader: Exec format error" >&2
    exit 1
  fi
done
exec "$(command -v wine)" "\$@"
FAKE
chmod +x fake/wine
PATH=$WORK/fake:$PATH runner
expect_eq "no 32-bit programs: the fallback, with its reason" "0 1" \
  "$RC $(grep -c "^$fallback, not even a trivial one (wine: could not exec the wine loader: Exec format error" <<<"$OUT")"
[ "$FAILED" = 0 ] || printf '%s\n' "$OUT" | tail -5

finish
