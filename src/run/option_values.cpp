// The companions' option values, read strictly: a value that is not
// exactly one of the documented forms is a usage error, never a guess. (The
// recovery's own -o keeps its lenient reading.)
#include <cstring>

#include "core/platform.h"
#include "core/report.h"
#include "core/run_state.h"
#include "run/companion.h"

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

namespace {

// The multiplier of a unit letter, or 0 for a letter that is none.
uint64_t UnitOf(char c) {
  switch (c) {
    case 'o': return 1;
    case 'b': return DefaultBlockSize;
    case 'k': return 1024;
    case 'M':
    case 'm': return 1048576;
    case 'G':
    case 'g': return 1073741824;
    default: return 0;
  }
}

}  // namespace

int ReadCompanionOffset(const char* text, int64_t* offset) {
  const uint64_t limit = (uint64_t)INT64_MAX;
  uint64_t value = 0;
  const char* p = text;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    p += 2;
    if (HexDigit(*p) < 0) return 0;
    for (; HexDigit(*p) >= 0; p++) {
      if (value > (limit - (uint64_t)HexDigit(*p)) / 16) return 0;
      value = value * 16 + (uint64_t)HexDigit(*p);
    }
    if (*p) return 0;
    *offset = (int64_t)value;
    return 1;
  }
  if (*p < '0' || *p > '9') return 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    uint64_t digit = (uint64_t)(*p - '0');
    if (value > (limit - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  uint64_t unit = 1;
  if (*p) {
    unit = UnitOf(*p);
    if (unit == 0 || p[1] != '\0') return 0;
  }
  if (value > limit / unit) return 0;
  *offset = (int64_t)(value * unit);
  return 1;
}

bool IsHelpOption(const char* arg) {
  return strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0 || (PlatformWindows() && strcmp(arg, "/?") == 0);
}

int TakeCompanionOffset(const char* program, const char* text, int64_t* offset) {
  if (ReadCompanionOffset(text, offset)) return 1;
  ErrorPrint("%s: bad offset '%s': a decimal number with an optional unit (o bytes, b blocks of 2048, k, M or m, G "
             "or g), or a hexadecimal number with 0x\n",
             program, text);
  return 0;
}

bool IsLongOption(const char* arg, const char* name) {
  size_t n = strlen(name);
  return strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=');
}

const char* LongValue(int count, char** args, int* k) {
  // The option's name holds no "=": the first one ends it.
  const char* equals = strchr(args[*k], '=');
  if (equals) return equals + 1;
  return *k + 1 < count ? args[++*k] : nullptr;
}
