// Words the report writes for others to read back: paths as JSON strings,
// and the commands it suggests, each path quoted so that the command can be
// pasted into the platform's shell whatever the path holds.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "check/check.h"
#include "core/platform.h"
#include "core/report.h"

namespace {

// The length of the valid UTF-8 sequence at p (1 to 4), or 0 when the bytes
// there are none: a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate or a code point past U+10FFFF.
int Utf8Length(const unsigned char* p) {
  unsigned c = p[0];
  if (c < 0x80) return 1;
  int n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  for (int k = 1; k < n; k++)
    if ((p[k] & 0xC0) != 0x80) return 0;
  if (n == 3 && ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] >= 0xA0))) return 0;
  if (n == 4 && ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] >= 0x90))) return 0;
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

char* RepairCommand(const char* base, const CheckSummary& s) {
  size_t n = strlen(base);
  // The repaired base beside BASE: its name with "-repaired.tbb" in place of
  // a ".tbb" ending.
  char* repaired = (char*)Platform.Allocate(n + 16, 1);
  char* text = (char*)Platform.Allocate(8 * n + 160, 1);
  if (!repaired || !text) {
    if (repaired) Platform.Release(repaired);
    if (text) Platform.Release(text);
    return nullptr;
  }
  size_t stem = n > 4 && (!strcmp(base + n - 4, ".tbb") || !strcmp(base + n - 4, ".TBB")) ? n - 4 : n;
  memcpy(repaired, base, stem);
  strcpy(repaired + stem, "-repaired.tbb");
  // From the block that holds the first header, as mendrake rounds -o.
  int64_t from = s.first_header - s.first_header % 2048;
  char offset[40] = "";
  if (from > 0) snprintf(offset, sizeof offset, "-o %" PRId64 " ", from);
  char* out = text;
  if (s.gaps == 0 && s.trailing == 0 && s.unfit == 0) {
    out += sprintf(out, "mendrake %s", offset);
    out = CommandWord(out, base, true);
    *out++ = ' ';
    CommandWord(out, repaired, true);
  } else {
    out += sprintf(out, "mendrake-export --tbb ");
    out = CommandWord(out, repaired, true);
    out += sprintf(out, " %s", offset);
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
