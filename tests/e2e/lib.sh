# Shared helpers of the end-to-end tests. Each test script sources this file,
# runs the built binaries on generated files and compares exact output.
#
# Environment (set by CTest, or by hand):
#   MENDRAKE            the tool under test (default build/mendrake)
#   MENDRAKE_FAULTS_BIN the fault-injecting build (default build/tests/mendrake-faults)
#   TBBGEN              the generator (default build/tbbgen)
#   MENDRAKE_WRAP       a command put before every tool run (for example wine)
#   MENDRAKE_CRLF=1     the console ends lines with CR LF (Windows): read them as LF
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
MENDRAKE=${MENDRAKE:-$ROOT/build/mendrake}
MENDRAKE_FAULTS_BIN=${MENDRAKE_FAULTS_BIN:-$ROOT/build/tests/mendrake-faults}
TBBGEN=${TBBGEN:-$ROOT/build/tbbgen}
MENDRAKE_WRAP=${MENDRAKE_WRAP:-}
MENDRAKE_CRLF=${MENDRAKE_CRLF:-0}
# The release's version as CMakeLists.txt names it: the companions' --version
# and the manual pages' footers carry it.
VERSION=$(sed -n 's/^project(mendrake VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt")

WORK=$(mktemp -d "${TMPDIR:-/tmp}/mendrake-e2e.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

PASSED=0
FAILED=0

BANNER="Quillbase recovery utility v1.0
Home site https://mendrake.example.org/"

# run ARGS...: runs the tool; sets OUT (stdout, CRs stripped when asked) and RC.
run() {
  OUT=$($MENDRAKE_WRAP "$MENDRAKE" "$@" 2>"$WORK/.stderr"; echo "rc=$?")
  RC=${OUT##*rc=}
  OUT=${OUT%rc=*}
  [ "$MENDRAKE_CRLF" = 1 ] && OUT=${OUT//$'\r\n'/$'\n'}
  return 0
}

# run_faults FAULTS ARGS...: runs the fault-injecting build with MENDRAKE_FAULTS=FAULTS.
run_faults() {
  local faults=$1
  shift
  OUT=$(MENDRAKE_FAULTS=$faults "$MENDRAKE_FAULTS_BIN" "$@" 2>"$WORK/.stderr"; echo "rc=$?")
  RC=${OUT##*rc=}
  OUT=${OUT%rc=*}
  return 0
}

gen() { "$TBBGEN" "$@" || { echo "tbbgen failed: $*"; exit 1; }; }

pass() { PASSED=$((PASSED + 1)); }
fail() {
  FAILED=$((FAILED + 1))
  echo "FAIL: $*"
}

# expect_eq NAME EXPECTED ACTUAL
expect_eq() {
  if [ "$2" == "$3" ]; then
    pass
  else
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | head -20
  fi
}

# expect_rc NAME CODE: the last run's exit code (negative codes arrive mod 256).
expect_rc() { expect_eq "$1 (exit code)" "$(( ($2 + 256) % 256 ))" "$RC"; }

# expect_same_file NAME A B
expect_same_file() {
  if cmp -s "$2" "$3"; then pass; else fail "$1: $2 and $3 differ"; fi
}

# finish: prints the closing line and sets the script's exit status.
finish() {
  echo "$PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ]
}

# tbb_message TEXT: one message as a base holds it, on standard output: its
# 48-byte header (signature, header length 48, the text's length at offset
# 36), then TEXT byte for byte.
tbb_message() {
  local LC_ALL=C n
  n=${#1}
  printf '!\t\x70\x19\x30\0\0\0'
  head -c 28 /dev/zero
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((n & 255)) $((n >> 8 & 255)) $((n >> 16 & 255)) $((n >> 24)))"
  head -c 8 /dev/zero
  printf '%s' "$1"
}
