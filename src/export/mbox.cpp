// The mbox output (mboxrd, as mutt, Python's mailbox module and the desktop
// clients read it): each message behind a "From <sender> <asctime>" line,
// every line of its text that matches ^>*From  quoted with one more ">",
// CR LF turned into LF (a lone CR stays), a final line end where the text
// has none, and an empty line after it. The text streams through sixteen
// bytes at a time where the processor allows; only the first few bytes of a
// line that begins with "F" or ">" are looked at one by one.
// The file may be standard output ("-"): nothing is ever taken back.
#include <cstring>

#include "core/platform.h"
#include "core/report.h"
#include "core/run_state.h"
#include "engine/text_scan.h"
#include "export/export.h"

namespace {

const uint8_t FromWord[] = {'F', 'r', 'o', 'm', ' '};

inline void Put(const uint8_t* bytes, uint32_t n) { OutputPut(bytes, n); }

void PutText(const char* text) { Put((const uint8_t*)text, (uint32_t)strlen(text)); }

// At a line's start: its ">" run goes out as it comes; "From " is held while
// it matches, and goes out as ">From " once whole (one ">" more anywhere in
// the run is the same bytes). Returns where the rest of the line begins, or
// n when the piece ended with the test still open.
uint32_t LineStart(const uint8_t* b, uint32_t i, uint32_t n) {
  while (i < n) {
    uint8_t c = b[i];
    if (Line.matched == 0 && c == '>') {
      uint32_t j = i + 1;
      while (j < n && b[j] == '>') j++;
      Put(b + i, j - i);
      i = j;
      continue;
    }
    if (c == FromWord[Line.matched]) {
      i++;
      if (++Line.matched == sizeof FromWord) {
        PutText(">From ");
        Line.matched = 0;
        Line.line_start = false;
        return i;
      }
      continue;
    }
    Put(FromWord, Line.matched);
    Line.matched = 0;
    Line.line_start = false;
    return i;
  }
  return n;
}

// One line through Put (which writes the buffer out when it is full): from
// i to its LF, a CR before the LF left out, or to the piece's end, where a
// CR waits for the next piece. Returns where the next line begins.
uint32_t PutLine(const uint8_t* b, uint32_t i, uint32_t n) {
  const uint8_t* lf = FindByte(b + i, '\n', n - i);
  if (!lf) {
    Line.held_cr = b[n - 1] == '\r';
    Put(b + i, n - i - (Line.held_cr ? 1 : 0));
    return n;
  }
  uint32_t e = (uint32_t)(lf - b);
  if (e > i && b[e - 1] == '\r') {
    Put(b + i, e - 1 - i);
    PutText("\n");
  } else {
    Put(b + i, e + 1 - i);
  }
  return e + 1;
}

// The text goes straight into the output buffer, a line at a time or
// sixteen bytes at a time (CopyLinesWithoutCr), CR LF turned into LF; the
// copy stops only before a line that needs one ">" more (and near the
// piece's end, before one that may) and where the buffer is nearly full.
void MboxText(const uint8_t* b, uint32_t n) {
  if (n == 0) return;
  // A LF always goes out at once; any other last byte is written or held.
  Line.last_lf = b[n - 1] == '\n';
  uint32_t i = 0;
  if (Line.held_cr) {
    // The CR that ended the last piece: half of a CR LF, or a lone CR.
    Line.held_cr = false;
    if (b[0] == '\n') {
      PutText("\n");
      Line.line_start = true;
      i = 1;
    } else {
      PutText("\r");
    }
  }
  bool line_start = Line.line_start;
  while (i < n) {
    if (line_start) {
      if (b[i] == 'F' || b[i] == '>' || Line.matched) {
        Line.line_start = true;
        i = LineStart(b, i, n);
        if (i == n) return;
      }
      line_start = false;
    }
    uint32_t room = (uint32_t)(OutputRoom.end - OutputRoom.at);
    uint32_t next = i;
    if (room >= 64) {
      LineCopy copied = CopyLinesWithoutCr(b + i, n - i, OutputRoom.at, room, "From ", '>');
      OutputRoom.at += copied.written;
      next = i + copied.read;
      // A CR that ends the piece waits for the next piece's first byte.
      if (next == n - 1 && b[next] == '\r') {
        Line.held_cr = true;
        Line.line_start = false;
        return;
      }
    }
    if (next == i) next = PutLine(b, i, n);
    if (Line.held_cr) {
      Line.line_start = false;
      return;
    }
    line_start = b[next - 1] == '\n';
    i = next;
  }
  Line.line_start = line_start;
}

int MboxPrepare(void) { return OutputCreateNamed(ExportSettings.Output); }

int MboxBegin(int64_t, uint32_t, const uint8_t*, const MessageFields& fields) {
  char date[25];
  FormatAsctime(fields.dated ? fields.date : 0, date);
  PutText("From ");
  PutText(fields.sender);
  PutText(" ");
  PutText(date);
  PutText("\n");
  Line = LineState();
  Line.line_start = true;
  return OutputOpen();
}

void MboxEnd(const MessageFields&, uint8_t marks) {
  // What the text's end left held goes out as it stands.
  if (Line.matched) Put(FromWord, Line.matched);
  if (Line.held_cr) PutText("\r");
  if (!Line.last_lf) {
    PutText("\n");
    marks |= MarkLineEndAdded;
  }
  PutText("\n");
  OutputMessageEnds(marks);
}

int MboxClose(void) { return OutputClose(false, 0); }

}  // namespace

extern const FormatOps MboxFormat = {
    "--mbox", "FILE",
    "  --mbox FILE    one mbox file (mboxrd: \"From \" lines quoted with \">\", LF line ends);\n"
    "                 - is standard output\n",
    MboxPrepare, MboxBegin, MboxText, MboxEnd, MboxClose};
