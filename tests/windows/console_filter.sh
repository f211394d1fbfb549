#!/usr/bin/env bash
# console_filter.sh wide|legacy COMMAND...: runs the tool under Wine and
# passes its console text on as the Linux build would print it, so that the
# shared end-to-end scripts check everything else unchanged:
#   - every line must end with CR LF (a line feed alone would be a fault):
#     each CR LF becomes LF, and any other CR stays where it is; the same
#     holds for the error stream, where the companions write;
#   - in the legacy profile the 9x warning must stand right after the
#     banner's two lines, and is taken out.
# A broken rule puts a line that no test expects in front of the text. The
# exit code is passed on.
PROFILE_KIND=$1
shift
OUT=$(mktemp "${TMPDIR:-/tmp}/mendrake-console.XXXXXX")
ERR=$OUT.err
"$@" >"$OUT" 2>"$ERR"
rc=$?
# filter STREAM FILE: STREAM is out (the banner and the 9x warning) or err.
filter() {
  STREAM=$1 PROFILE_KIND=$PROFILE_KIND perl -0777 -pe '
    my $bare = /(?<!\r)\n/;
    s/\r\n/\n/g;
    if ($ENV{STREAM} eq "out" && $ENV{PROFILE_KIND} eq "legacy") {
      s/\A([^\n]*\n[^\n]*\n)Warning: running under Windows 9x family\n  You may experience 2Gb or 4Gb limitation\.\n/$1/
        or $_ = "NO 9x WARNING AFTER THE BANNER\n" . $_;
    }
    $_ = "A LINE FEED WITHOUT CR\n" . $_ if $bare;
  ' "$2"
}
filter err "$ERR" >&2
filter out "$OUT"
rm -f "$OUT" "$ERR"
exit $rc
