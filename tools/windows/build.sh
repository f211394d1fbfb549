#!/usr/bin/env bash
# Builds the Windows executables -- mendrake.exe and its companions
# mendrake-check.exe and mendrake-export.exe -- with the MinGW-w64 cross
# compilers, linked statically so that they run on a bare Windows with
# nothing but the system's own DLLs. Installs nothing: the compilers come from
# the packages g++-mingw-w64-i686 (and g++-mingw-w64-x86-64 for the 64-bit
# test build).
#
#   tools/windows/build.sh           -> build-win32/*.exe (32-bit, the release)
#   tools/windows/build.sh x86_64    -> build-win64/*.exe (64-bit, for a Wine
#                                       that cannot run 32-bit programs)
#
# WINDOWS_BUILD=DIR puts the build in DIR instead.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
ARCH=${1:-i686}
case "$ARCH" in
  i686) OUT=$ROOT/build-win32 ;;
  x86_64) OUT=$ROOT/build-win64 ;;
  *) echo "usage: $0 [i686|x86_64]" >&2; exit 2 ;;
esac
OUT=${WINDOWS_BUILD:-$OUT}
PREFIX=$ARCH-w64-mingw32
if ! command -v "$PREFIX-g++" >/dev/null; then
  echo "$PREFIX-g++ not found: install the Debian package g++-mingw-w64-${ARCH/_/-}" >&2
  exit 1
fi
cmake -S "$ROOT" -B "$OUT" -DCMAKE_BUILD_TYPE=Release -DMENDRAKE_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/tools/windows/mingw-i686.cmake" \
  -DMENDRAKE_MINGW_PREFIX="$PREFIX" -DCMAKE_SYSTEM_PROCESSOR="$ARCH" >/dev/null
PROGRAMS="mendrake mendrake-check mendrake-export"
# shellcheck disable=SC2086
cmake --build "$OUT" -j2 --target $PROGRAMS -- --no-print-directory
for program in $PROGRAMS; do
  EXE=$OUT/$program.exe
  # Nothing beyond the system's DLLs may be needed at run time.
  BAD=$("$PREFIX-objdump" -p "$EXE" | sed -n 's/^\s*DLL Name: //p' |
    grep -viE '^(kernel32|user32|shell32|advapi32|msvcrt|ntdll)\.dll$' || true)
  if [ -n "$BAD" ]; then
    echo "$EXE needs DLLs that Windows does not ship: $BAD" >&2
    exit 1
  fi
  echo "built $EXE"
done
