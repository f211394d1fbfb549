#!/usr/bin/env python3
"""Bases with known texts for the mendrake-export tests, and the checks of
what the export made of them, read back with Python's mailbox module.

  export_check.py build CASE DIR            DIR/CASE.tbb and DIR/CASE.json
  export_check.py manifest BASE MANIFEST JSON   a tbbgen base: its headers from
                                            the manifest; senders, dates and
                                            subjects unchecked
  export_check.py mbox JSON MBOX STDERR [OPTIONS]  the mbox holds the expected
                                            messages, STDERR (- none) the summary
  export_check.py eml JSON DIR STDERR [OPTIONS]    the same for .eml files
  export_check.py tbb JSON BASE STDERR [OPTIONS]   the same for a base, byte
                                            for byte
  export_check.py formail JSON [OPTIONS]    the count formail -s should find
OPTIONS: --deleted (the run took deleted messages), --start N (its offset),
--end N (its reading ended at offset N).

A message's expected text comes from how the base was laid out, not from
any scan: the bytes after its header up to the next header, but up to its
stored length when the bytes from there to the next header hold a NUL (a
gap), and for the last header up to its stored length when that lies
inside the file. Prints one line per disagreement and exits 1 when there
is any."""
import calendar
import datetime
import json
import mailbox
import os
import re
import struct
import sys

D = datetime.datetime


def header(length, deleted):
    return (b"!\tp\x19" + struct.pack("<I", 48) + bytes(12) + struct.pack("<I", 1 if deleted else 0) +
            bytes(12) + struct.pack("<I", length & 0xFFFFFFFF) + bytes(8))


def junk(n, seed):
    # Text with "From " lines but never a header signature.
    line = b"From junk %d\r\n>From there\n" % seed
    return (line * (n // len(line) + 1))[:n]


def msg(text, date=None, sender="MAILER-DAEMON", slug="", deleted=False, stored=0):
    """A message: its text, the date and sender its From line should carry,
    its name's slug, and `stored`: the stored length's difference from the
    text's (or an absolute length when a string "=N")."""
    return dict(kind="msg", text=text, date=date, sender=sender, slug=slug, deleted=deleted, stored=stored)


def plain(n, tag, slug=None, **kw):
    body = b"".join(b"%s line %d\n" % (tag, k) for k in range(n))
    return msg(b"Subject: " + tag + b"\n\n" + body, slug=slug or tag.decode(), **kw)


CASES = {
    # Dates, senders, subjects, quoting and line ends of whole messages.
    "mail": [
        msg(b"Return-Path: <bounce@example.org>\r\nFrom: Otto <otto@example.de>\r\n"
            b"Date: Tue, 03 Mar 2026 14:05:09 +0100\r\nSubject: Invoice for March\r\n\r\n"
            b"From here on\r\n>From there\r\n>>From everywhere\r\nFrom\r\nFrom:x\r\n",
            D(2026, 3, 3, 13, 5, 9), "bounce@example.org", "Invoice_for_March"),
        msg(b"From someone@else Sat Jan 1\nreturn-path: <>\nFROM: \"Smith, <J>\" <john@example.com>\n"
            b"date: 1 Jan 60 00:30 EST\nSubject: ../../etc/passwd\n\nbody line\nlast line without end",
            D(1960, 1, 1, 5, 30), "john@example.com", ".._.._etc_passwd"),
        msg(b"From: jane@example.net (Jane Doe)\r\nDate: Mon,\r\n 7 Feb 1994\r\n\t21:52:25 (comment) -0800 (PST)\r\n"
            b"Subject: Long\r\n subject\r\n\r\nline\rwith lone CR\r\n",
            D(1994, 2, 8, 5, 52, 25), "jane@example.net", "Long_subject"),
        msg(b"Received: from a by b; Wed, 1 Apr 2020 10:00:00 +0000\nReceived: from c by d; Thu, 2 Apr 2020 "
            b"10:00:00 +0000\nDate: yesterday\nSubject: CON\n\nx\n", D(2020, 4, 1, 10), slug="CON_"),
        msg(b"Subject: nul.txt\n\nFrom the start\n", slug="nul_.txt"),
        msg(b"Subject: a\x01\x02b\x7fc/d\\e:f*g?h\"i<j>k|l\n\n", slug="a_b_c_d_e_f_g_h_i_j_k_l"),
        msg(b"Subject: " + b"x" * 200 + b"\nDate: Thu, 13 Feb 1969 23:32:54 GMT\n\n>From the past",
            D(1969, 2, 13, 23, 32, 54), slug="x" * 48),
        msg(b"Subject: ???\nDate: Fri, 31 Dec 49 23:30:00 -0130\n\n", D(2050, 1, 1, 1)),
        msg(b""),
        msg(b"Subject: Re: dots...\nSubject: second\nDate: Sat, 29 Feb 2020 12:00:00 +0000\n\nline\n",
            D(2020, 2, 29, 12), slug="Re_dots"),
        msg(b"Subject: lpt9\nDate: Thu, 30 Feb 2020 12:00:00 +0000\nReceived: by x; Sun, 1 Mar 2020 00:00:00 +0000"
            b"\n\n\n", D(2020, 3, 1), slug="lpt9_"),
        msg("Subject: Grüße COM10\nFrom: <a b@c>\n\nFrom \n".encode(), sender="ab@c", slug="Grusse_COM10"),
    ],
    # Wrong lengths, junk, deleted messages, leading and trailing bytes; the
    # last message's stored length ends inside the file, on a CR whose LF
    # is junk.
    "damaged": [
        ("junk", 300),
        plain(30, b"alpha", stored=+50),
        plain(20, b"bravo", deleted=True),
        ("junk", 200),
        plain(40, b"charlie", stored=-10),
        plain(25, b"delta", deleted=True),
        msg(b"Subject: echo\n\nlast line\r", slug="echo"),
        ("raw", b"\n"),
        ("junk", 500),
    ],
    # Gaps: a length that ends before the next header where the bytes up to
    # it hold a NUL, after a message taken or a deleted one left out; a
    # length over real text with no NUL after it (the text runs on, read
    # again across several passes, from inside the header section); lengths
    # that end inside the header section with a NUL after them; the last
    # message's length ends before junk that holds a NUL.
    "gaps": [
        ("junk", 100),
        plain(5, b"alpha"),
        ("zeros", 5000),
        plain(5, b"bravo", stored=-20),
        plain(5, b"charlie", stored=-30),
        ("raw", b"junk\0junk"),
        plain(5, b"delta", deleted=True),
        ("zeros", 3000),
        plain(5, b"echo", stored=+100),
        plain(9000, b"foxtrot", stored="=10"),
        plain(5, b"golf", stored="=12", slug="gol"),
        ("raw", b"\0"),
        plain(5, b"hotel"),
        ("raw", b"tail\0tail"),
    ],
    # A disk image: zeros before the base, a second base 2 MB after the
    # first, zeros and junk after it.
    "image": [
        ("zeros", 1000000),
        plain(20, b"one"),
        plain(20, b"two", deleted=True),
        plain(20, b"three"),
        ("zeros", 2000000),
        plain(20, b"four"),
        plain(20, b"five"),
        ("zeros", 500000),
        ("junk", 1000),
    ],
    # The last message's stored length runs past the end of the file.
    "overrun": [plain(10, b"one"), plain(10, b"two", stored="=900000")],
    # The last header is a deleted message with junk after its text.
    "deleted_last": [plain(10, b"one"), plain(10, b"two", deleted=True), ("junk", 700)],
    # Pieces across the passes: a header section longer than what is held
    # for it, "From " and CR LF cut at the passes' edges, and a last message
    # whose stored length ends inside "From" with 300 KB of junk after it.
    "big": [
        msg(b"Subject: long header\nDate: Sun, 1 Mar 2020 00:00:00 +0000\n" +
            b"".join(b"X-Filler-%05d: %s\n" % (k, b"f" * 60) for k in range(1100)) + b"\nbody\n",
            D(2020, 3, 1), slug="long_header"),
        ("straddle", 0),
        ("raw", b"m junk\n"),
        ("junk", 300000),
    ],
}


def layout(parts):
    """Lays the parts out. Returns the base and the records of its headers."""
    out = bytearray()
    records = []
    for part in parts:
        if isinstance(part, tuple) and part[0] in ("junk", "raw", "zeros"):
            out += dict(junk=lambda: junk(part[1], len(out)), raw=lambda: part[1], zeros=lambda: bytes(part[1]))[part[0]]()
            continue
        if isinstance(part, tuple) and part[0] == "straddle":
            part = straddle(len(out))
        text = part["text"]
        stored = part["stored"]
        length = int(stored[1:]) if isinstance(stored, str) else len(text) + stored
        records.append(dict(part, offset=len(out), length=length))
        out += header(length, part["deleted"]) + text
    return bytes(out), records


def straddle(at):
    """A message at offset `at` whose body puts "From " across a scan
    window's edge (131,011: 61 bytes before the pass's end), CR | LF across
    the next (196,547) and ">>Fr" | "om " across the one after (262,083);
    its stored length ends after "\\nFro" at 300,000, and the junk after it
    goes on "m ...": a "From " line that is no part of the message."""
    text = bytearray(b"Subject: straddle\n\n")
    def fill_to(offset):
        while at + 48 + len(text) < offset - 80:
            text.extend(b"filler %d\n" % len(text))
        text.extend(b"z" * (offset - (at + 48 + len(text)) - 1) + b"\n")
    fill_to(131011 - 2)
    text += b"From the edge\n"
    fill_to(196547 - 1)
    text += b"\r\nnext\n"
    fill_to(262083 - 4)
    text += b">>From the third\n"
    fill_to(300000 - 4)
    text += b"\nFro"
    return msg(bytes(text), slug="straddle")


def expected(case, deleted, start, end=None):
    """The messages the export should give, in order, each with its text,
    and the sizes of the gaps between the headers found."""
    base = open(case["base"], "rb").read()[:end]
    found = [r for r in case["records"] if r["offset"] >= start and r["offset"] + 48 <= len(base)]
    out, gaps = [], []
    for k, r in enumerate(found):
        text_at = r["offset"] + 48
        stored_end = text_at + (r["length"] & 0xFFFFFFFF)
        if k + 1 < len(found):
            end = found[k + 1]["offset"]
            if stored_end < end and 0 in base[stored_end:end]:
                gaps.append(end - stored_end)
                end = stored_end
        else:
            end = min(len(base), stored_end)
        if r["deleted"] and not deleted:
            continue
        out.append(dict(r, number=k + 1, body=base[text_at:end]))
    return base, found, out, gaps


def load(path):
    case = json.load(open(path))
    for r in case["records"]:
        r["text"] = r["text"].encode("latin-1")
        r["date"] = D(*r["date"]) if r["date"] else None
    return case


def from_line(r):
    d = r["date"] or D(1970, 1, 1)
    return "%s %s %2d %s" % (r["sender"], d.strftime("%a %b"), d.day, d.strftime("%H:%M:%S %Y"))


def lf_text(body):
    body = body.replace(b"\r\n", b"\n")
    return body if body.endswith(b"\n") else body + b"\n"


def check_mbox(case, path, deleted, start):
    _, _, want, _ = expected(case, deleted, start, END)
    box = mailbox.mbox(path, create=False)
    problems = []
    if len(box) != len(want):
        return ["mbox holds %d messages, expected %d" % (len(box), len(want))]
    for key, r in zip(box.keys(), want):
        got = re.sub(rb"(?m)^>(>*From )", rb"\1", box.get_bytes(key))
        if got != lf_text(r["body"]):
            problems.append("message %d: text differs: %r ... %r" % (r["number"], got[:60], got[-60:]))
        if r["sender"] is not None and box.get_message(key).get_from() != from_line(r):
            problems.append("message %d: From line %r, expected %r" %
                            (r["number"], box.get_message(key).get_from(), from_line(r)))
    return problems


def check_eml(case, directory, deleted, start):
    _, _, want, _ = expected(case, deleted, start, END)
    present = sorted(os.listdir(directory))
    if len(present) != len(want):
        return ["%d files, expected %d" % (len(present), len(want))]
    problems = []
    for name, r in zip(present, want):
        # Unknown subjects: any slug.
        slug = r"(-[A-Za-z0-9._-]{1,48})?" if r["slug"] is None else re.escape("-" + r["slug"] if r["slug"] else "")
        if not re.fullmatch("%05d-%x%s[.]eml" % (r["number"], r["offset"], slug), name):
            problems.append("file %s, expected message %d at %x, slug %r" % (name, r["number"], r["offset"], r["slug"]))
            continue
        path = os.path.join(directory, name)
        crlf = re.sub(rb"(?<!\r)\n", b"\r\n", r["body"])
        if open(path, "rb").read() != crlf:
            problems.append("%s: text differs" % name)
        if r["date"] and os.stat(path).st_mtime != calendar.timegm(r["date"].timetuple()):
            problems.append("%s: modified %s, expected %s" % (name, os.stat(path).st_mtime, r["date"]))
    return problems


def check_tbb(case, path, deleted, start):
    """The base holds exactly the messages: each header as found (deleted
    mark cleared when deleted ones were taken) with its text's length."""
    base, _, want, _ = expected(case, deleted, start, END)
    good = bytearray()
    for r in want:
        head = bytearray(base[r["offset"]:r["offset"] + 48])
        if deleted:
            head[20] &= 0xFE
        head[36:40] = struct.pack("<I", len(r["body"]))
        good += head + r["body"]
    got = open(path, "rb").read()
    if got == good:
        return []
    at = next((k for k in range(min(len(got), len(good))) if got[k] != good[k]), min(len(got), len(good)))
    return ["base of %d bytes, expected %d; first difference at %d" % (len(got), len(good), at)]


def check_summary(case, fmt, stderr, deleted, start):
    base, found, want, gaps = expected(case, deleted, start, END)
    leading = (found[0]["offset"] if found else len(base)) - start
    trailing = 0
    if found:
        last = found[-1]
        trailing = max(0, len(base) - (last["offset"] + 48 + (last["length"] & 0xFFFFFFFF)))
    added = sum(1 for r in want if not r["body"].replace(b"\r\n", b"\n").endswith(b"\n")) if fmt == "mbox" else 0
    # A tbbgen base's dates are not known here.
    undated = r"\d+" if any(r["sender"] is None for r in want) else str(sum(r["date"] is None for r in want))
    pattern = ("mendrake-export: %d messages exported [(]%d of them deleted[)], %s without a date, %d given a final "
               "line end\nmendrake-export: left out: %d bytes before the first message, %d after the last\n"
               "mendrake-export: %d gaps, %d bytes left out between messages\n" %
               (len(want), sum(r["deleted"] for r in want), undated, added, leading, trailing, len(gaps), sum(gaps)))
    got = open(stderr).read()
    return [] if re.fullmatch(pattern, got) else ["summary %r, expected %r" % (got, pattern)]


END = None


def main(argv):
    global END
    END = int(argv[argv.index("--end") + 1]) if "--end" in argv else None
    deleted = "--deleted" in argv
    start = int(argv[argv.index("--start") + 1]) if "--start" in argv else 0
    if argv[1] == "build":
        name, directory = argv[2], argv[3]
        base, records = layout(CASES[name])
        path = os.path.join(directory, name + ".tbb")
        open(path, "wb").write(base)
        for r in records:
            r["text"] = r["text"].decode("latin-1")
            r["date"] = list(r["date"].timetuple()[:6]) if r["date"] else None
        json.dump(dict(base=path, records=records), open(os.path.join(directory, name + ".json"), "w"))
        return 0
    if argv[1] == "manifest":
        records = []
        for line in open(argv[3]):
            offset, length, _, _, deleted = map(int, line.split())
            records.append(dict(offset=offset, length=length, deleted=deleted == 1, text="", date=None,
                                sender=None, slug=None))
        json.dump(dict(base=argv[2], records=records), open(argv[4], "w"))
        return 0
    case = load(argv[2])
    if argv[1] == "formail":
        # formail takes a From line followed by an empty line for a body
        # line: a message without header fields joins the one before it.
        _, _, want, _ = expected(case, deleted, start, END)
        print(sum(1 for r in want if not lf_text(r["body"]).startswith(b"\n")))
        return 0
    problems = dict(mbox=check_mbox, eml=check_eml, tbb=check_tbb)[argv[1]](case, argv[3], deleted, start)
    if argv[4] != "-":
        problems += check_summary(case, argv[1], argv[4], deleted, start)
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
