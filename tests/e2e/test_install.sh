#!/usr/bin/env bash
# What comes with the programs: `make install-built` into a scratch DESTDIR
# and `make uninstall` (the files, their modes, manual pages that render
# without warnings and agree with the exit codes and the version), a build
# without googletest, and the generator's mail texts that the demo shows to
# people.
# windows-skip: installs the Linux build and reads its manual pages
source "$(dirname "$0")/lib.sh"
BUILD_DIR=$(dirname "$MENDRAKE")
PROGRAMS="mendrake mendrake-check mendrake-export"

# ---- tbbgen: help and bad options; the mail style.
OUT=$("$TBBGEN" --help 2>"$WORK/.stderr"; echo "rc=$?")
expect_eq "tbbgen --help: usage on stdout, exit 0, stderr empty" "usage: tbbgen|rc=0|" \
  "${OUT:0:13}|${OUT##*$'\n'}|$(cat "$WORK/.stderr")"
OUT=$("$TBBGEN" --out x --style pretty 2>"$WORK/.stderr"; echo "rc=$?")
expect_eq "tbbgen bad style: usage on stderr, exit 2" "rc=2|usage: tbbgen" "$OUT|$(head -c 13 "$WORK/.stderr")"

N=150
gen --out mail.tbb --seed 31 --messages $N --min 1500 --max 4000 --style mail --manifest mail.man
gen --out again.tbb --seed 31 --messages $N --min 1500 --max 4000 --style mail
gen --out other.tbb --seed 32 --messages $N --min 1500 --max 4000 --style mail
expect_same_file "mail style: same seed, same bytes" mail.tbb again.tbb
if cmp -s mail.tbb other.tbb; then fail "mail style: another seed gave the same bytes"; else pass; fi

count() { LC_ALL=C grep -a -c -E "$1" mail.tbb; }
# Each message has exactly one From: and one Message-ID: field (the first
# field follows a binary header: no line start to anchor to); Date: and
# Subject: are missing from some; body lines begin with "From " quoted 0 to 2
# times; lines end with CR LF and with LF alone.
occurrences() { LC_ALL=C grep -a -o -F "$1" mail.tbb | wc -l; }
expect_eq "one From: field a message" "$N" "$(occurrences 'From: ')"
expect_eq "one Message-ID: field a message" "$N" "$(occurrences 'Message-ID: <')"
dates=$(count '^Date: ')
subjects=$(count '^Subject:')
(( dates > N / 2 && dates < N )) && pass || fail "Date: in $dates of $N messages"
(( subjects > N / 2 && subjects < N )) && pass || fail "Subject: in $subjects of $N messages"
for kind in '^From [a-z]' '^>From ' '^>>From ' $'^Subject: ?\r?$' '^Received: ' $'\r$' $'[^\r]$'; do
  (( $(count "$kind") > 0 )) && pass || fail "no line matching [$kind]"
done
# Subjects carry every byte a file name cannot take.
missing=""
for byte in / '\\' : '\*' '\?' '"' '<' '>' '\|' $'\x01' $'\x1b' $'\x7f'; do
  (( $(count "^Subject: .*$byte") > 0 )) || missing+="[$byte]"
done
expect_eq "unsafe bytes in subjects" "" "$missing"

# Every date, in Date: and after the ";" of Received:, is an RFC 5322 date
# whose day of the week is the calendar's.
LC_ALL=C grep -a -o -E $'(^Date: |; )[A-Z][a-z]{2}, [0-9]{1,2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} ([+-][0-9]{4}|GMT|EST)\r?$' \
  mail.tbb | sed $'s/^Date: //; s/^; //; s/\r$//' >dates.txt
expect_eq "every date is well-formed" "$(count $'^Date: |^\tfor <.*>; ')" "$(wc -l <dates.txt)"
cut -d' ' -f1 dates.txt >weekdays.txt
cut -d' ' -f2-4 dates.txt | LC_ALL=C date -u -f - +%a, >calendar.txt
expect_eq "days of the week" "" "$(diff weekdays.txt calendar.txt)"

# Some texts end with a line end, some stop in the middle of a line.
line_ends=$(od -An -v -tx1 -w1 mail.tbb | awk -v N=$N '
  NR == FNR { last[$1 + 48 + $3 + 0] = 1; next }
  (FNR in last) && $1 == "0a" { n++ }
  END { print n + 0 }' mail.man -)
(( line_ends > 0 && line_ends < N )) && pass || fail "$line_ends of $N texts end with a line end"
# --line-ends crlf: no LF without a CR before it in any text (the headers'
# binary bytes do not count).
gen --out crlf.tbb --seed 31 --messages $N --min 1500 --max 4000 --style mail --line-ends crlf --manifest crlf.man
if command -v python3 >/dev/null; then
  expect_eq "mail style with --line-ends crlf: CR LF everywhere" "0 $N" "$(python3 -c '
import re, sys
data = open("crlf.tbb", "rb").read()
texts = [data[int(f[0]) + 48:int(f[0]) + 48 + int(f[2])] for f in (l.split() for l in open("crlf.man"))]
print(sum(len(re.findall(rb"(?<!\r)\n", t)) for t in texts), sum(b"\r\n" in t for t in texts))')"
fi

# ---- make install-built / uninstall into a scratch DESTDIR.
DEST=$WORK/dest
make_quiet() { env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS make -s -C "$ROOT" "$@" DESTDIR="$DEST" PREFIX=/usr >/dev/null; }
make_quiet install-built BUILD="$BUILD_DIR" || fail "make install-built"
for program in $PROGRAMS; do
  expect_eq "$program modes" "755 644" \
    "$(stat -c %a "$DEST/usr/bin/$program") $(stat -c %a "$DEST/usr/share/man/man1/$program.1")"
  expect_same_file "$program installed" "$BUILD_DIR/$program" "$DEST/usr/bin/$program"
  expect_same_file "$program.1 installed" "$ROOT/man/$program.1" "$DEST/usr/share/man/man1/$program.1"
  # The footer names the release that the companions' --version prints.
  expect_eq "$program.1 footer" "mendrake $VERSION" \
    "$(sed -n 's/^\.TH [^ ]* 1 "[^"]*" "\([^"]*\)".*/\1/p' "$ROOT/man/$program.1")"
done

# The exit codes in mendrake(1) are those of the run state, as a shell shows them.
codes=$(sed -n 's/^constexpr int Exit[A-Za-z]* = \(-*[0-9]*\);.*/\1/p' "$ROOT/src/core/run_state.h")
listed=""
for code in $codes; do
  grep -q -x "\.BR* $(((code + 256) % 256))\( .*\)*" "$ROOT/man/mendrake.1" && listed+="$code "
done
expect_eq "exit codes in mendrake(1)" "$(echo $codes) " "$listed"

if command -v man >/dev/null && command -v groff >/dev/null; then
  for program in $PROGRAMS; do
    expect_eq "$program.1: groff warnings" "" "$(groff -ww -man -z "$DEST/usr/share/man/man1/$program.1" 2>&1)"
    # Found by name under the installed tree, as `man` will find it there.
    page=$(LC_ALL=C MANWIDTH=80 man -P cat -M "$DEST/usr/share/man" "$program" 2>"$WORK/.stderr")
    expect_eq "$program.1: NAME line, no warnings" "       $program - |" \
      "$(sed -n '/^NAME/{n;p;q}' <<<"$page" | cut -c1-$((10 + ${#program})))|$(cat "$WORK/.stderr")"
  done
else
  echo "SKIP: man or groff missing, the manual pages are not rendered"
fi

make_quiet uninstall || fail "make uninstall"
expect_eq "uninstall leaves no file" "" "$(find "$DEST" -type f)"

# ---- Without googletest the build leaves the tests out, saying so in one
# line, and `make test` names the package to install before building anything.
OUT=$(env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS make -s -C "$ROOT" test BUILD="$WORK/bare" \
  CMAKE_FLAGS=-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON 2>&1; echo "rc=$?")
expect_eq "without googletest: the notice, make test's word, a failure, nothing built" \
  "mendrake: googletest not found, the tests are left out (Debian: apt-get install libgtest-dev)|1|rc=2|" \
  "$(head -1 <<<"$OUT")|$(grep -c '^make test: .* apt-get install libgtest-dev' <<<"$OUT")|$(tail -1 <<<"$OUT")|$(ls "$WORK/bare" | grep mendrake)"
finish
