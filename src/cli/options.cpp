// The option parser: single-letter switches with positional paths, and
// dd-style name=value options, side by side.
#include <cstring>

#include "cli/command_line.h"
#include "core/run_state.h"

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads an optional sign and digits into the magnitude's range [0, limit].
// Returns 1 read, 0 no digits, -1 too large.
int ReadMagnitude(const char* text, uint64_t limit_positive, uint64_t limit_negative,
                  bool* negative, uint64_t* magnitude) {
  while (IsSpace(*text)) text++;
  *negative = false;
  if (*text == '+' || *text == '-') *negative = *text++ == '-';
  if (*text < '0' || *text > '9') return 0;
  uint64_t limit = *negative ? limit_negative : limit_positive;
  uint64_t m = 0;
  bool too_large = false;
  for (; *text >= '0' && *text <= '9'; text++) {
    unsigned digit = (unsigned)(*text - '0');
    if (m > (limit - digit) / 10) too_large = true;
    if (!too_large) m = m * 10 + digit;
  }
  if (too_large) return -1;
  *magnitude = m;
  return 1;
}

bool IsMultiplierLetter(char c) {
  return c == 'b' || c == 'k' || c == 'M' || c == 'm' || c == 'G' || c == 'g';
}

bool HasMultiplierLetter(const char* text) {
  for (; *text; text++)
    if (IsMultiplierLetter(*text)) return true;
  return false;
}

// StartOffset = StartOffset x multiplier. Returns false when that leaves the
// signed 64-bit range.
bool ScaleStartOffset(uint64_t multiplier) {
  RunState.UnitMultiplier = multiplier;
  uint64_t offset = (uint64_t)RunState.StartOffset;  // never negative here
  if (multiplier != 0 && offset > (uint64_t)INT64_MAX / multiplier) return false;
  RunState.StartOffset = (int64_t)(offset * multiplier);
  return true;
}

// Reads the leading number of text into StartOffset (kept when there is
// none). Returns false for a negative or oversized offset.
bool ReadStartOffset(const char* text) {
  int64_t value = RunState.StartOffset;
  if (ReadDecimal64(text, &value) < 0 || value < 0) return false;
  RunState.StartOffset = value;
  return true;
}

// Switches that take the next argument. Returns the index of the last
// argument consumed, or -1 for a malformed command line.
int ParseSwitch(int k, int count, char** args) {
  const char* arg = args[k];
  char letter = arg[1];
  switch (letter) {
    case '\0':
    case ' ':
    case '\t':
      return k;
    case 'l':
      RunState.ListOnly = true;
      return k;
    case 'a':
    case 'x':
      RunState.ListOnly = false;
      return k;
    case 'd':
      if (arg[2] == '+') RunState.ExcludeDeleted = false;
      if (arg[2] == '-') RunState.ExcludeDeleted = true;
      return k;
    case 'L':
      if (k + 1 >= count) return -1;
      RunState.LogPath = args[k + 1];
      return k + 1;
    case 'm':
      if (k + 1 >= count || ReadDecimal32(args[k + 1], &RunState.StartMessage) < 0) return -1;
      return k + 1;
    case 'M': {
      int32_t limit = (int32_t)RunState.MaxMessages;
      if (k + 1 >= count || ReadDecimal32(args[k + 1], &limit) < 0) return -1;
      RunState.MaxMessages = (uint32_t)limit;
      return k + 1;
    }
    case 'o': {
      // The value is the next argument ("-o 10M"); the unit comes from the
      // switch itself ("-ok 10") or else from the value.
      if (k + 1 >= count) return -1;
      const char* value = args[k + 1];
      if (!ReadStartOffset(value)) return -1;
      const char* unit = HasMultiplierLetter(arg + 2) ? arg + 2 : value;
      int note;
      if (!ScaleStartOffset(ParseUnitSuffix(unit, &note))) return -1;
      return k + 1;
    }
    default:
      return -1;
  }
}

bool HasPrefix(const char* arg, const char* prefix) {
  return strncmp(arg, prefix, strlen(prefix)) == 0;
}

}  // namespace

int ReadDecimal32(const char* text, int32_t* value) {
  bool negative;
  uint64_t m;
  int r = ReadMagnitude(text, INT32_MAX, (uint64_t)INT32_MAX + 1, &negative, &m);
  if (r == 1) *value = negative ? (int32_t)(0 - m) : (int32_t)m;
  return r;
}

int ReadDecimal64(const char* text, int64_t* value) {
  bool negative;
  uint64_t m;
  int r = ReadMagnitude(text, INT64_MAX, (uint64_t)INT64_MAX + 1, &negative, &m);
  if (r == 1) *value = negative ? (int64_t)(0 - m) : (int64_t)m;
  return r;
}

uint64_t ParseUnitSuffix(const char* text, int* unit_note) {
  for (; *text; text++) {
    switch (*text) {
      case 'G':
      case 'g':
        *unit_note = UnitNoteBytes;
        return 1073741824ull;
      case 'M':
      case 'm':
        *unit_note = UnitNoteBytes;
        return 1048576ull;
      case 'k':
        *unit_note = UnitNoteBytes;
        return 1024ull;
      case 'b':
        *unit_note = UnitNoteBlocks;
        return BlockSize;
      case 'o':
        *unit_note = UnitNoteBytes;
        break;
      default:
        break;
    }
  }
  return 1;
}

int ParseCommandLine(int count, char** args) {
  if (count < 3) {
    PrintUsage();
    return 0;
  }
  for (int k = 1; k < count; k++) {
    const char* arg = args[k];
    if (arg[0] == '-') {
      k = ParseSwitch(k, count, args);
      if (k < 0) {
        PrintUsage();
        return 0;
      }
    } else if (HasPrefix(arg, "if=")) {
      RunState.SourcePath = arg + 3;
    } else if (HasPrefix(arg, "of=")) {
      RunState.TargetPath = arg + 3;
    } else if (HasPrefix(arg, "log=")) {
      RunState.LogPath = arg + 4;
    } else if (HasPrefix(arg, "seek=")) {
      int note;
      if (!ReadStartOffset(arg + 5) || !ScaleStartOffset(ParseUnitSuffix(arg + 5, &note))) {
        PrintUsage();
        return 0;
      }
    } else if (!RunState.SourcePath) {
      RunState.SourcePath = arg;
    } else if (!RunState.TargetPath) {
      RunState.TargetPath = arg;
    } else {
      PrintUsage();
      return 0;
    }
  }
  if (!RunState.SourcePath || (!RunState.TargetPath && !RunState.ListOnly)) {
    PrintUsage();
    return 0;
  }
  return 1;
}
