#!/usr/bin/env bash
# make demo: generates a damaged message base, recovers it, and shows what
# the tool printed. The files stay in BUILD/demo for a look afterwards.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
DEMO=$BUILD/demo
mkdir -p "$DEMO"
rm -f "$DEMO/recovered.tbb" "$DEMO/recovered.log"

# Forty mail messages; some lengths broken, some deleted, junk between a few,
# a few headers across the tool's 64 KiB read boundaries.
"$BUILD/tbbgen" --out "$DEMO/damaged.tbb" --seed 2026 --messages 40 --min 200 --max 9000 \
  --leading 64 --wrong 15 --deleted 10 --garbage 10 --boundary 10 --nul 5

echo "== Recovering $DEMO/damaged.tbb into $DEMO/recovered.tbb"
echo "\$ mendrake $DEMO/damaged.tbb $DEMO/recovered.tbb"
set +e
"$BUILD/mendrake" "$DEMO/damaged.tbb" "$DEMO/recovered.tbb"
code=$?
set -e
echo
echo "== Exit code: $code"
echo
echo "== Recovering again with deleted messages brought back (-d+), list to a log"
echo "\$ mendrake -d+ -L $DEMO/recovered.log $DEMO/damaged.tbb $DEMO/undeleted.tbb"
"$BUILD/mendrake" -d+ -L "$DEMO/recovered.log" "$DEMO/damaged.tbb" "$DEMO/undeleted.tbb" >/dev/null || true
echo "(first lines of $DEMO/recovered.log)"
head -n 8 "$DEMO/recovered.log"
echo
ls -l "$DEMO"/*.tbb
