// The .eml output: one file per message in the chosen directory, its text
// as stored but with CR LF line ends (a bare LF gets its CR), no From line,
// no quoting, no line end added; its modification time is the message's
// date when it has one. Names are deterministic and unique:
// NNNNN-OFFSETHEX[-Subject_slug].eml, the number as in mendrake's list.
// Each file is new: whatever the name held (a file, a link of either kind)
// is replaced, never written through. A file that cannot be written is
// removed, never left half there, and the next message tries its own.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/platform.h"
#include "core/report.h"
#include "core/run_state.h"
#include "engine/text_scan.h"
#include "export/export.h"

namespace {

char* FilePath = nullptr;
size_t DirectoryLength = 0;
void Put(const uint8_t* bytes, uint32_t n) {
  if (n) OutputPut(bytes, n);
}

void EmlText(const uint8_t* b, uint32_t n) {
  uint32_t i = 0;
  while (i < n) {
    const uint8_t* lf = FindByte(b + i, '\n', n - i);
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
    OutputError(dir, "cannot create the directory", Platform.LastError());
    OutputFailed = true;
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

int EmlBegin(int64_t at, uint32_t number, const uint8_t*, const MessageFields& fields) {
  Line = LineState();
  char* name = FilePath + DirectoryLength;
  int n = snprintf(name, 10 + 1 + 16 + 1, "%05" PRIu32 "-%" PRIx64, number, (uint64_t)at);
  if (fields.slug[0]) n += snprintf(name + n, SlugLimit + 2, "-%s", fields.slug);
  memcpy(name + n, ".eml", 5);
  if (Platform.SamePath(FilePath, RunState.SourcePath)) return OutputRefused(FilePath, "refused: it is the source");
  return OutputCreateNew(FilePath);
}

void EmlEnd(const MessageFields& fields, uint8_t marks) {
  OutputMessageEnds(marks);
  if (!OutputClose(fields.dated, fields.date)) Platform.Remove(FilePath);
}

int EmlClose(void) {
  Platform.Release(FilePath);
  FilePath = nullptr;
  return !OutputFailed;
}

}  // namespace

extern const FormatOps EmlFormat = {
    "--eml", "DIR",
    "  --eml DIR      one .eml file per message (CR LF line ends), named\n"
    "                 NNNNN-OFFSETHEX-Subject_slug.eml; DIR is created when missing\n",
    EmlPrepare, EmlBegin, EmlText, EmlEnd, EmlClose};
