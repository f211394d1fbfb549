// The mbox output (mboxrd, as mutt, Python's mailbox module and the desktop
// clients read it): each message behind a "From <sender> <asctime>" line,
// every line of its text that matches ^>*From  quoted with one more ">",
// CR LF turned into LF (a lone CR stays), a final line end where the text
// has none, and an empty line after it. The text streams through in spans
// found with memchr; only a line's first few bytes are looked at one by one.
// The file may be standard output ("-"): nothing is ever taken back.
#include <cstring>

#include "core/platform.h"
#include "core/report.h"
#include "core/run_state.h"
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

// Bytes go out in spans as they stand; a span ends only where a CR before a
// LF is dropped or a line may begin with "From ". (The line state lives in
// a local here: the copies may touch any byte, so a global would be
// reloaded at every line.)
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
  uint32_t span = i;
  bool line_start = Line.line_start;
  while (i < n) {
    if (line_start) {
      if (b[i] == 'F' || b[i] == '>' || Line.matched) {
        Put(b + span, i - span);
        Line.line_start = true;
        i = span = LineStart(b, i, n);
        if (i == n) return;
      }
      line_start = false;
    }
    const uint8_t* lf = (const uint8_t*)memchr(b + i, '\n', n - i);
    if (!lf) break;
    uint32_t e = (uint32_t)(lf - b);
    if (e > span && b[e - 1] == '\r') {
      Put(b + span, e - 1 - span);
      span = e;
    }
    i = e + 1;
    line_start = true;
  }
  Line.line_start = line_start;
  // A CR at the piece's end waits for the next piece's first byte.
  if (span < n && b[n - 1] == '\r') {
    Put(b + span, n - 1 - span);
    Line.held_cr = true;
    return;
  }
  Put(b + span, n - span);
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
