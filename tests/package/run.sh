#!/usr/bin/env bash
# The release packages as people get them (`make test-package`, or by hand
# after `make package`):
#   - the Debian package: its control fields and contents as dpkg-deb shows
#     them, lintian without errors (its whole output shown); then, as root on
#     a machine without mendrake, installed with dpkg -i, its programs run
#     from /usr/bin on a generated base, its manual pages found by man, and
#     removed with dpkg -r leaving nothing behind;
#   - the Windows zip: its files, its texts in plain ASCII with CR LF line
#     ends, and its three programs run under Wine on a generated base, their
#     files compared with the Linux build's.
# BUILD (default build/) holds the .deb and the Linux build; WINDOWS_BUILD
# (default build-win32/) the zip.
source "$(dirname "$0")/../e2e/lib.sh"
BUILD=${BUILD:-$ROOT/build}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
WIN32_DIR=${WINDOWS_BUILD:-$ROOT/build-win32}
TBBGEN=$BUILD/tbbgen
PROGRAMS="mendrake mendrake-check mendrake-export"
DEB=$BUILD/mendrake_${VERSION}_$(dpkg --print-architecture).deb
ZIP=$WIN32_DIR/mendrake-$VERSION-win32.zip
for f in "$DEB" "$ZIP" "$TBBGEN"; do
  [ -f "$f" ] || { echo "missing $f: run 'make package' first"; exit 1; }
done
echo "$(basename "$DEB"): $(stat -c %s "$DEB") bytes; $(basename "$ZIP"): $(stat -c %s "$ZIP") bytes"

# outcome COMMAND...: sets OUT (stdout, CR LF read as LF, without the last
# line end) and RC.
outcome() {
  OUT=$("$@" 2>"$WORK/.stderr"; echo "rc=$?")
  RC=${OUT##*rc=}
  OUT=${OUT%rc=*}
  OUT=${OUT//$'\r'/}
  OUT=${OUT%$'\n'}
}

# The damaged base every program below works on, and what the Linux build
# makes of it.
gen --out base.tbb --seed 17 --style mail --messages 40 --min 1500 --max 6000 --leading 300 \
  --wrong 6 --deleted 4 --garbage 3 --truncate 500
"$BUILD/mendrake" base.tbb linux.tbb >/dev/null
"$BUILD/mendrake-export" -q --mbox linux.mbox linux.tbb

# repairs WHERE CHECK MENDRAKE EXPORT: the three programs repair base.tbb
# into WHERE.tbb and export it to WHERE.mbox, as the Linux build does.
repairs() {
  local where=$1 check=$2 mendrake=$3 export=$4
  outcome $check base.tbb
  expect_eq "$where: $check on the damaged base" \
    "4|verdict: damaged; repair with: mendrake base.tbb base-repaired.tbb" "$RC|$(tail -1 <<<"$OUT")"
  outcome $mendrake base.tbb "$where.tbb"
  expect_eq "$where: $mendrake's exit code" 0 "$RC"
  expect_same_file "$where: the repaired base" linux.tbb "$where.tbb"
  outcome $check "$where.tbb"
  expect_eq "$where: $check on the repaired base" "0|verdict: clean" "$RC|$(tail -1 <<<"$OUT")"
  outcome $export -q --mbox "$where.mbox" "$where.tbb"
  expect_eq "$where: $export's exit code" 0 "$RC"
  expect_same_file "$where: the exported mbox" linux.mbox "$where.mbox"
}

# ---- The Debian package.
field() { dpkg-deb --field "$DEB" "$1"; }
expect_eq "control fields" "mendrake|$VERSION|$(dpkg --print-architecture)|utils|optional" \
  "$(field Package)|$(field Version)|$(field Architecture)|$(field Section)|$(field Priority)"
[[ "$(field Depends)" =~ ^libc6\ \(\>=\ 2\.[0-9]+\)$ ]] && pass || fail "Depends: $(field Depends)"
[[ "$(field Maintainer)" =~ ^.+\ \<.+@.+\>$ ]] && pass || fail "Maintainer: $(field Maintainer)"
expect_eq "description: a synopsis and one paragraph" "1 0" \
  "$(field Description | head -1 | grep -c .) $(field Description | tail -n +2 | grep -c -x ' *\.')"
dpkg-deb --info "$DEB" >info.txt
expect_eq "dpkg-deb --info shows the fields" "" \
  "$(for f in Package Version Depends Section Maintainer Description; do grep -q "^ $f: ." info.txt || echo "$f"; done)"

FILES="755 usr/bin/mendrake
755 usr/bin/mendrake-check
755 usr/bin/mendrake-export
644 usr/share/doc/mendrake/README.md
644 usr/share/doc/mendrake/changelog.gz
644 usr/share/doc/mendrake/copyright
644 usr/share/man/man1/mendrake-check.1.gz
644 usr/share/man/man1/mendrake-export.1.gz
644 usr/share/man/man1/mendrake.1.gz"
dpkg-deb --contents "$DEB" >contents.txt
expect_eq "dpkg-deb --contents: the files, their modes, owned by root" "$FILES" \
  "$(awk '$1 ~ /^-/ && $2 == "root/root" {
    m = 0; for (i = 2; i <= 10; i++) m = m * 2 + (substr($1, i, 1) != "-")
    sub(/^\.\//, "", $6); printf "%o %s\n", m, $6 }' contents.txt | sort -k2)"
dpkg-deb --fsys-tarfile "$DEB" | tar -x -C "$WORK" ./usr/share/doc/mendrake ./usr/share/man/man1
expect_same_file "the copyright is the LICENSE" "$ROOT/LICENSE" usr/share/doc/mendrake/copyright
expect_same_file "the README" "$ROOT/README.md" usr/share/doc/mendrake/README.md
for program in $PROGRAMS; do
  expect_eq "$program.1.gz is the manual page" "" \
    "$(gzip -dc "usr/share/man/man1/$program.1.gz" | cmp - "$ROOT/man/$program.1" 2>&1)"
done

if command -v lintian >/dev/null; then
  echo "lintian's output (all tags, pedantic ones too):"
  lintian --display-level '>=pedantic' --display-experimental --show-overrides "$DEB" >lintian.txt 2>&1
  grep -v '^running with root privileges' lintian.txt | sed 's/^/   /' | grep . || echo "   (no tags)"
  expect_eq "lintian: no errors" "0" "$(grep -c '^E:' lintian.txt)"
else
  echo "SKIP: lintian missing (Debian package lintian): the .deb is not checked by it"
fi

# Installed with dpkg only as root and on a machine without mendrake, so
# that its removal takes nothing away that was there before.
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: not root: the package is not installed (run as root to do so)"
elif dpkg-query -W mendrake >/dev/null 2>&1 || ls /usr/bin/mendrake* >/dev/null 2>&1; then
  echo "SKIP: mendrake is on this machine already: the package is not installed over it"
else
  outcome dpkg -i "$DEB"
  expect_eq "dpkg -i: exit code and errors" "0|" "$RC|$(cat "$WORK/.stderr")"
  expect_eq "dpkg: installed" "ii " "$(dpkg-query -W -f '${db:Status-Abbrev}' mendrake)"
  for program in mendrake-check mendrake-export; do
    outcome "/usr/bin/$program" --version
    expect_eq "/usr/bin/$program --version" "$program $VERSION" "$OUT"
  done
  if command -v man >/dev/null; then
    for program in $PROGRAMS; do
      expect_eq "man -w $program" "/usr/share/man/man1/$program.1.gz" "$(man -w "$program" 2>&1)"
    done
  else
    echo "SKIP: man missing (Debian package man-db): the manual pages are not looked up"
  fi
  repairs installed /usr/bin/mendrake-check /usr/bin/mendrake /usr/bin/mendrake-export
  outcome dpkg -r mendrake
  expect_eq "dpkg -r: exit code" 0 "$RC"
  expect_eq "dpkg: nothing left of the package" "" \
    "$(dpkg-query -W -f '${db:Status-Abbrev}' mendrake 2>/dev/null | grep -v '^un')"
  expect_eq "dpkg -r: no file left" "" \
    "$(cd / && ls -d $(cut -d' ' -f2 <<<"$FILES") usr/share/doc/mendrake 2>/dev/null)"
fi

# ---- The Windows zip.
mkdir zip
unzip -q "$ZIP" -d zip || fail "unzip $ZIP"
expect_eq "the zip's files" \
  "LICENSE.txt README.txt mendrake-check.exe mendrake-check.txt mendrake-export.exe mendrake-export.txt mendrake.exe mendrake.txt" \
  "$(unzip -Z1 "$ZIP" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
for text in zip/*.txt; do
  name=$(basename "$text")
  expect_eq "$name: plain ASCII, every line ending with CR LF" "0 0 0d0a" \
    "$(LC_ALL=C grep -c $'[^\r]$\|^$' "$text") $(LC_ALL=C grep -c -P '[^\x00-\x7f]' "$text") $(tail -c 2 "$text" | od -An -tx1 | tr -d ' ')"
done
expect_eq "README.txt begins with the Windows part" "On Windows" "$(head -1 zip/README.txt | tr -d '\r')"
expect_eq "LICENSE.txt" "MIT License" "$(head -1 zip/LICENSE.txt | tr -d '\r')"
for program in $PROGRAMS; do
  expect_eq "$program.txt: the rendered page and its footer" "1 1" \
    "$(grep -c "^       $program - " "zip/$program.txt") $(grep -c "^mendrake $VERSION " "zip/$program.txt")"
done

# Its programs under Wine, in a Wine prefix of their own, where this
# machine starts 32-bit programs.
if ! command -v wine >/dev/null; then
  echo "SKIP: Wine missing (Debian: wine, wine32:i386): the zip's programs are not run"
elif ! why=$(/usr/lib/wine/wine --version 2>&1); then
  echo "WARNING: this machine cannot start 32-bit programs ($(head -1 <<<"$why")): the zip's programs were NOT run"
else
  export WINEPREFIX=$WORK/wine WINEDEBUG=-all
  trap 'wineserver -k >/dev/null 2>&1; rm -rf "$WORK"' EXIT
  wine wineboot -i >wineboot.log 2>&1 || { cat wineboot.log; fail "a Wine prefix could not be made"; }
  repairs wine "wine zip/mendrake-check.exe" "wine zip/mendrake.exe" "wine zip/mendrake-export.exe"
fi
finish
