// Words the report writes for others to read back: paths as JSON strings,
// and the commands it suggests, each path quoted so that the command can be
// pasted into the platform's shell whatever the path holds.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "check/check.h"
#include "core/platform.h"
#include "core/report.h"
#include "engine/text_scan.h"

namespace {

// The length of the valid UTF-8 sequence at p (1 to 4), or 0 when the bytes
// there are none: a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate or a code point past U+10FFFF.
int Utf8Length(const unsigned char* p) {
  int n = (int)Utf8SequenceLength(p[0]);
  // A NUL is no continuation byte: nothing past the text's end is read.
  for (int k = 1; k < n; k++)
    if (!Utf8Continues(p[0], (uint32_t)k, p[k])) return 0;
  return n;
}

bool PlainPosix(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || strchr("_./:+,@%=-", c);
}

// A path that mendrake's command line would take for something else.
bool ReadAsOption(const char* path) {
  return path[0] == '-' || !strncmp(path, "if=", 3) || !strncmp(path, "of=", 3) || !strncmp(path, "log=", 4) ||
         !strncmp(path, "seek=", 5);
}

}  // namespace

bool JsonString(const char* text) {
  bool valid = true;
  char out[256];
  size_t fill = 0;
  ConsoleText("\"");
  for (const unsigned char* p = (const unsigned char*)text; *p;) {
    if (fill > sizeof out - 8) {
      out[fill] = '\0';
      ConsoleText(out);
      fill = 0;
    }
    unsigned c = *p;
    int n = Utf8Length(p);
    if (n == 0) {
      valid = false;
      fill += (size_t)snprintf(out + fill, 8, "\\u%04x", c);
      p++;
    } else if (c == '"' || c == '\\') {
      out[fill++] = '\\';
      out[fill++] = (char)c;
      p++;
    } else if (c < 0x20 || c == 0x7F) {
      fill += (size_t)snprintf(out + fill, 8, "\\u%04x", c);
      p++;
    } else {
      for (int k = 0; k < n; k++) out[fill++] = (char)*p++;
    }
  }
  out[fill] = '\0';
  ConsoleText(out);
  ConsoleText("\"");
  return valid;
}

char* CommandWord(char* out, const char* word, bool path) {
  bool windows = PlatformWindows() != 0;
  const char* prefix = path && ReadAsOption(word) ? (windows ? ".\\" : "./") : "";
  bool plain = *word != '\0';
  for (const char* p = word; *p; p++) {
    if (windows ? (*p == ' ' || strchr("&|<>^%()!;,=\"", *p)) : !PlainPosix(*p)) plain = false;
  }
  if (windows && *word == '\0') plain = false;
  if (plain) return out + sprintf(out, "%s%s", prefix, word);
  char quote = windows ? '"' : '\'';
  *out++ = quote;
  out += strlen(strcpy(out, prefix));
  for (const char* p = word; *p; p++) {
    if (!windows && *p == '\'') {
      memcpy(out, "'\\''", 4);
      out += 4;
    } else {
      *out++ = *p;
    }
  }
  *out++ = quote;
  *out = '\0';
  return out;
}

bool RepairNeedsExport(const CheckSummary& s) { return s.gaps || s.trailing || s.unfit || s.device; }

bool RepairTakesDeleted(const CheckSummary& s) { return s.messages > 0 && s.deleted == s.messages; }

char* RepairedName(char* out, const char* base, bool device, bool windows) {
  if (device) {
    // No file can lie beside a device ("/dev/loop0-repaired.tbb"): in the
    // current directory, after the device's own name ("loop0",
    // "PhysicalDrive1"; a volume's colon is no part of a file name).
    const char* name = base;
    for (const char* p = base; *p; p++)
      if (*p == '/' || (windows && *p == '\\')) name = p + 1;
    char* end = out;
    for (const char* p = name; *p; p++)
      if (*p != ':') *end++ = *p;
    strcpy(end, end == out ? "device-repaired.tbb" : "-repaired.tbb");
    return out;
  }
  // Beside BASE: its name with "-repaired.tbb" in place of a ".tbb" ending.
  size_t n = strlen(base);
  size_t stem = n > 4 && (!strcmp(base + n - 4, ".tbb") || !strcmp(base + n - 4, ".TBB")) ? n - 4 : n;
  memcpy(out, base, stem);
  strcpy(out + stem, "-repaired.tbb");
  return out;
}

char* RepairCommand(const char* base, const CheckSummary& s) {
  size_t n = strlen(base);
  char* repaired = (char*)Platform.Allocate(n + 24, 1);
  char* text = (char*)Platform.Allocate(8 * n + 200, 1);
  if (!repaired || !text) {
    if (repaired) Platform.Release(repaired);
    if (text) Platform.Release(text);
    return nullptr;
  }
  RepairedName(repaired, base, s.device, PlatformWindows() != 0);
  // From the block that holds the first header, as mendrake rounds -o.
  int64_t from = s.first_header - s.first_header % 2048;
  char offset[40] = "";
  if (from > 0) snprintf(offset, sizeof offset, "-o %" PRId64 " ", from);
  const char* deleted = RepairTakesDeleted(s) ? "-d+ " : "";
  char* out = text;
  if (!RepairNeedsExport(s)) {
    out += sprintf(out, "mendrake %s%s", deleted, offset);
    out = CommandWord(out, base, true);
    *out++ = ' ';
    CommandWord(out, repaired, true);
  } else {
    out += sprintf(out, "mendrake-export --tbb ");
    out = CommandWord(out, repaired, true);
    out += sprintf(out, " %s%s", deleted, offset);
    CommandWord(out, base, true);
  }
  Platform.Release(repaired);
  return text;
}

char* RetryCommand(const char* base, const char* mapfile) {
  char* text = (char*)Platform.Allocate(4 * (strlen(base) + strlen(mapfile)) + 64, 1);
  if (!text) return nullptr;
  char* out = text + sprintf(text, "ddrescue -d -r3 DEVICE ");
  out = CommandWord(out, base, true);
  *out++ = ' ';
  CommandWord(out, mapfile, true);
  return text;
}
