// The .eml output: one file per message in the chosen directory, its text
// as stored but with CR LF line ends (a bare LF gets its CR), no From line,
// no quoting, no line end added; its modification time is the message's
// date when it has one. Names are deterministic and unique:
// NNNNN-OFFSETHEX[-Subject_slug].eml, the number as in mendrake's list.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/platform.h"
#include "core/report.h"
#include "core/run_state.h"
#include "export/export.h"

namespace {

char* FilePath = nullptr;
size_t DirectoryLength = 0;
// A file of the directory could not be created or written: the disk is
// full or failing, so no later file is tried (one error line, not one per
// message).
bool GivenUp = false;

void Put(const uint8_t* bytes, uint32_t n) {
  if (n) OutputPut(bytes, n);
}

void EmlText(const uint8_t* b, uint32_t n) {
  uint32_t i = 0;
  while (i < n) {
    const uint8_t* lf = (const uint8_t*)memchr(b + i, '\n', n - i);
    if (!lf) {
      Put(b + i, n - i);
      Line.prev_cr = b[n - 1] == '\r';
      return;
    }
    uint32_t e = (uint32_t)(lf - b);
    bool cr = e > i ? b[e - 1] == '\r' : Line.prev_cr;
    if (cr) {
      Put(b + i, e + 1 - i);
    } else {
      Put(b + i, e - i);
      Put((const uint8_t*)"\r\n", 2);
    }
    Line.prev_cr = false;
    i = e + 1;
  }
}

int EmlPrepare(void) {
  const char* dir = ExportSettings.Output;
  if (!Platform.MakeDirectory(dir)) {
    ErrorPrint("%s: %s: cannot create the directory (error %d)\n", ExportProgramName, dir, Platform.LastError());
    return 0;
  }
  DirectoryLength = strlen(dir);
  // The directory, a separator, and the longest name: 10 digits, 16 hex
  // digits, the slug, the dashes and ".eml".
  FilePath = (char*)Platform.Allocate(DirectoryLength + 2 + 10 + 1 + 16 + 1 + SlugLimit + 4 + 1, 1);
  if (!FilePath) {
    ErrorPrint("%s: out of memory\n", ExportProgramName);
    return 0;
  }
  memcpy(FilePath, dir, DirectoryLength);
  char last = DirectoryLength ? dir[DirectoryLength - 1] : '/';
  if (last != '/' && last != '\\') FilePath[DirectoryLength++] = '/';
  return 1;
}

int EmlBegin(int64_t at, uint32_t number, const MessageFields& fields) {
  Line = LineState();
  if (GivenUp) return 0;
  char* name = FilePath + DirectoryLength;
  int n = snprintf(name, 10 + 1 + 16 + 1, "%05" PRIu32 "-%" PRIx64, number, (uint64_t)at);
  if (fields.slug[0]) n += snprintf(name + n, SlugLimit + 2, "-%s", fields.slug);
  memcpy(name + n, ".eml", 5);
  if (Platform.SamePath(FilePath, RunState.SourcePath)) {
    ErrorPrint("%s: %s: refused: it is the source\n", ExportProgramName, FilePath);
    OutputFailed = true;
    return 0;
  }
  if (!OutputCreate(FilePath)) {
    GivenUp = true;
    return 0;
  }
  return 1;
}

void EmlEnd(const MessageFields& fields, bool* line_end_added) {
  *line_end_added = false;
  if (!OutputClose(fields.dated, fields.date)) GivenUp = true;
}

int EmlClose(void) { return !OutputFailed; }

}  // namespace

const FormatOps EmlFormat = {EmlPrepare, EmlBegin, EmlText, EmlEnd, EmlClose};
