#!/bin/sh
# The text files of the Windows zip: plain ASCII with CR LF line ends, as
# Notepad and the console of every Windows show them.
#
#   windows_text.sh man PAGE.1 OUT     the manual page rendered by groff
#   windows_text.sh readme README.md OUT
#                                      the README as plain text, its
#                                      "On Windows" section first
#   windows_text.sh plain FILE OUT     the file itself
set -eu
KIND=$1 IN=$2 OUT=$3
export LC_ALL=C

# The README's Markdown as plain text: headings underlined, code blocks
# indented, tables in aligned columns, no backticks.
markdown_to_text() {
  awk '
    function flush(   r, c, n, cells, line) {
      for (r = 1; r <= rows; r++) {
        n = split(row[r], cells, / \| /)
        line = ""
        for (c = 1; c < n; c++) line = line sprintf("%-" width[c] "s  ", cells[c])
        print line cells[n]
      }
      rows = 0
      split("", width)
    }
    /^```/ { code = !code; next }
    code { print ($0 == "" ? "" : "    " $0); next }
    /^\|/ {
      if ($0 ~ /^\|[-| :]+\|$/) next
      line = $0
      gsub(/`/, "", line)
      sub(/^\| /, "", line)
      sub(/ \|$/, "", line)
      row[++rows] = line
      n = split(line, cells, / \| /)
      for (c = 1; c <= n; c++) if (length(cells[c]) > width[c]) width[c] = length(cells[c])
      next
    }
    rows { flush() }
    { gsub(/`/, "") }
    /^#+ / {
      title = $0
      sub(/^#+ /, "", title)
      print title
      mark = /^# / ? "=" : /^## / ? "-" : ""
      if (mark != "") { rule = title; gsub(/./, mark, rule); print rule }
      next
    }
    { print }
    END { if (rows) flush() }'
}

# The few Unicode punctuation marks the sources use, spelled in ASCII.
ascii() { sed -e 's/\xe2\x80\x94/--/g' -e 's/\xe2\x88\x92/-/g' -e 's/\xe2\x80\xa6/.../g'; }

# A Windows text file: runs of blank lines squeezed, no blanks at line ends,
# CR LF line ends.
to_windows() {
  awk '/^[ \t]*$/ { if (blank++) next; print "\r"; next }
       { blank = 0; sub(/[ \t]+$/, ""); print $0 "\r" }'
}

case "$KIND" in
  man) groff -man -Tascii -P-c -P-b -P-u "$IN" | to_windows >"$OUT.tmp" ;;
  readme)
    {
      awk '/^## / { on = ($0 == "## On Windows") } on' "$IN"
      echo
      awk '/^## / { on = ($0 == "## On Windows") } !on' "$IN"
    } | ascii | markdown_to_text | to_windows >"$OUT.tmp" ;;
  plain) ascii <"$IN" | to_windows >"$OUT.tmp" ;;
  *) echo "usage: $0 man|readme|plain IN OUT" >&2; exit 2 ;;
esac
# Anything else beyond ASCII would show as junk in an old console.
if grep -q -P '[^\x00-\x7f]' "$OUT.tmp"; then
  echo "$0: $IN: characters beyond ASCII left in $OUT:" >&2
  grep -n -P '[^\x00-\x7f]' "$OUT.tmp" | head -3 >&2
  exit 1
fi
mv "$OUT.tmp" "$OUT"
