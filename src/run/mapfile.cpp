// A GNU ddrescue mapfile, read for the areas of an image that were not read
// from the failing disk: their bytes are zeros or whatever the image held
// before, never the disk's own. Only those areas are kept, sorted as the
// mapfile lists them, so a message's share of them is found by a binary
// search; a mapfile of 100,000 lines takes under 2 MiB.
#include <cinttypes>
#include <cstring>

#include "core/platform.h"
#include "core/report.h"
#include "run/companion.h"

namespace {

struct Area {
  int64_t from, to;
};

Area* Areas = nullptr;
uint32_t AreaCount = 0, AreaRoom = 0;
bool Loaded = false;

// Appends an area not read, joined to the last one when they touch.
// Returns 0 when no memory was to be had.
int AddArea(int64_t from, int64_t to) {
  if (from >= to) return 1;
  if (AreaCount > 0 && Areas[AreaCount - 1].to == from) {
    Areas[AreaCount - 1].to = to;
    return 1;
  }
  if (AreaCount == AreaRoom) {
    uint32_t room = AreaRoom ? 2 * AreaRoom : 1024;
    Area* grown = (Area*)Platform.Allocate((size_t)room * sizeof(Area), 8);
    if (!grown) return 0;
    if (AreaCount) memcpy(grown, Areas, (size_t)AreaCount * sizeof(Area));
    if (Areas) Platform.Release(Areas);
    Areas = grown;
    AreaRoom = room;
  }
  Areas[AreaCount++] = {from, to};
  return 1;
}

// One number as C++ writes integer constants: decimal, 0x hexadecimal, or
// octal with a leading 0. Returns 1 with *value, 0 when malformed.
int ReadNumber(const char* text, int64_t* value) {
  uint64_t base = 10, v = 0;
  const char* p = text;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0' && p[1]) {
    base = 8;
    p++;
  }
  if (!*p) return 0;
  for (; *p; p++) {
    // A character that is no digit (-1) is none in any base.
    uint64_t d = (uint64_t)HexDigit(*p);
    if (d >= base || v > ((uint64_t)INT64_MAX - d) / base) return 0;
    v = v * base + d;
  }
  *value = (int64_t)v;
  return 1;
}

// The reading of one mapfile, line by line.
struct Reading {
  const char* program;
  const char* path;
  uint32_t line;
  bool have_status;
  int64_t covered;  // where the blocks read so far end
};

int Malformed(const Reading& r, const char* why) {
  ErrorPrint("%s: %s: line %" PRIu32 ": %s\n", r.program, r.path, r.line, why);
  return CompanionUsage;
}

// Splits a line into at most four words at spaces and tabs, up to a comment
// ("#" at the line's start or after white space). Returns the word count.
uint32_t Words(char* text, char* words[4]) {
  uint32_t n = 0;
  char* p = text;
  for (;;) {
    while (*p == ' ' || *p == '\t' || *p == '\r') p++;
    if (!*p || *p == '#') return n;
    if (n == 4) return 5;
    words[n++] = p;
    while (*p && *p != ' ' && *p != '\t' && *p != '\r') p++;
    if (*p) *p++ = '\0';
  }
}

int TakeLine(Reading& r, char* text) {
  char* w[4];
  uint32_t n = Words(text, w);
  if (n == 0) return 0;
  int64_t pos = 0, size = 0;
  if (!r.have_status) {
    // The status line: the position being tried, the phase, its pass.
    if (n < 2 || n > 3 || !ReadNumber(w[0], &pos) || strlen(w[1]) != 1 || !strchr("?*/-FG+", w[1][0]))
      return Malformed(r, "not a status line (position, status character, pass)");
    r.have_status = true;
    return 0;
  }
  if (n != 3 || !ReadNumber(w[0], &pos) || !ReadNumber(w[1], &size) || strlen(w[2]) != 1 ||
      !strchr("?*/-+", w[2][0]))
    return Malformed(r, "not a block line (position, size, status character ? * / - +)");
  if (pos > INT64_MAX - size) return Malformed(r, "the block runs past the largest position");
  if (pos < r.covered) return Malformed(r, "the block overlaps the one before it");
  // A stretch no block covers was not read either.
  bool added = AddArea(r.covered, pos) && (w[2][0] == '+' || AddArea(pos, pos + size));
  if (!added) {
    ErrorPrint("%s: out of memory\n", r.program);
    return CompanionFailed;
  }
  r.covered = pos + size;
  return 0;
}

}  // namespace

int LoadMapfile(const char* program, const char* path) {
  ForgetMapfile();
  FileRef file = Platform.Open(path, OpenSource, false);
  if (file == NoFile) {
    int error = Platform.LastError();
    ErrorPrint("%s: %s: cannot open: %s (error %d)\n", program, path, Platform.ErrorText(error), error);
    return CompanionFailed;
  }
  Reading r = {program, path, 1, false, 0};
  static uint8_t chunk[65536];
  // A line longer than this is no mapfile line (a comment may be longer:
  // only its start is looked at).
  static char line[1024];
  uint32_t fill = 0;
  bool too_long = false, at_end = false;
  int code = 0;
  while (code == 0 && !at_end) {
    int64_t got = Platform.Read(file, chunk, sizeof chunk);
    if (got < 0) {
      int error = Platform.LastError();
      ErrorPrint("%s: %s: read failed: %s (error %d)\n", program, path, Platform.ErrorText(error), error);
      code = CompanionFailed;
      break;
    }
    // At the end, a last line without a line feed is a line too.
    if (got == 0) {
      at_end = true;
      if (fill > 0 || too_long) chunk[got++] = '\n';
    }
    for (int64_t k = 0; k < got && code == 0; k++) {
      char c = (char)chunk[k];
      if (c != '\n') {
        if (fill < sizeof line - 1)
          line[fill++] = c;
        else
          too_long = true;
        continue;
      }
      line[fill] = '\0';
      if (too_long && line[0] != '#') code = Malformed(r, "line too long");
      if (code == 0) code = TakeLine(r, line);
      fill = 0;
      too_long = false;
      r.line++;
    }
  }
  Platform.Close(file);
  if (code == 0 && !r.have_status) {
    // Named at the last line there is, or the file holds none.
    if (r.line == 1) {
      ErrorPrint("%s: %s: an empty mapfile: not a ddrescue mapfile\n", program, path);
      code = CompanionUsage;
    } else {
      r.line -= 1;
      code = Malformed(r, "no status line: not a ddrescue mapfile");
    }
  }
  // Past the last block nothing was read.
  if (code == 0 && !AddArea(r.covered, INT64_MAX)) {
    ErrorPrint("%s: out of memory\n", program);
    code = CompanionFailed;
  }
  if (code == 0) Loaded = true;
  else ForgetMapfile();
  return code;
}

bool MapfileLoaded(void) { return Loaded; }

void ForgetMapfile(void) {
  AreaCount = 0;
  Loaded = false;
}

int64_t UnreadBytes(int64_t from, int64_t to) {
  if (!Loaded || from >= to) return 0;
  // The first area that ends after `from`.
  uint32_t low = 0, high = AreaCount;
  while (low < high) {
    uint32_t mid = low + (high - low) / 2;
    if (Areas[mid].to <= from)
      low = mid + 1;
    else
      high = mid;
  }
  int64_t bytes = 0;
  for (uint32_t k = low; k < AreaCount && Areas[k].from < to; k++) {
    int64_t a = Areas[k].from > from ? Areas[k].from : from;
    int64_t b = Areas[k].to < to ? Areas[k].to : to;
    bytes += b - a;
  }
  return bytes;
}
