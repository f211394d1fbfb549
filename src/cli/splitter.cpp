// The legacy profile's splitter: the argument list of a narrow command line.
#include <cstring>

#include "cli/command_line.h"
#include "core/platform.h"

char** SplitCommandLine(const char* text, int* count) {
  size_t length = strlen(text);
  size_t slots = (length + 2) / 2 + 1;
  // One allocation: the argument slots, then room for the characters.
  char** args = (char**)Platform.Allocate(slots * sizeof(char*) + length + 2, alignof(char*));
  *count = 0;
  if (!args) return nullptr;
  char* out = (char*)(args + slots);
  bool at_start = true, in_quotes = false, in_token = false;
  int n = 0;
  for (size_t k = 0; k < length; k++) {
    char c = text[k];
    if (in_quotes) {
      if (c == '"')
        in_quotes = false;
      else
        *out++ = c;
    } else if (c == '\t' || c == '\n' || c == '\r' || c == ' ') {
      if (in_token) *out++ = '\0';
      at_start = true;
      in_token = false;
    } else if (c == '"') {
      if (at_start) args[n++] = out;
      at_start = false;
      in_quotes = true;
      in_token = true;
    } else {
      if (at_start) args[n++] = out;
      at_start = false;
      *out++ = c;
      in_token = true;
    }
  }
  *out = '\0';
  args[n] = nullptr;
  *count = n;
  return args;
}
