// Judgements of the Windows layer that need no system call (see the header).
#include "fileio/windows_rules.h"

namespace {

bool Separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The position just after the first separator from `from` on, or 0.
size_t AfterSeparator(const wchar_t* text, size_t length, size_t from) {
  for (size_t k = from; k < length; k++)
    if (Separator(text[k])) return k + 1;
  return 0;
}

// "C:\" and the like: a drive letter, a colon, a separator.
bool DrivePath(const wchar_t* full, size_t length) {
  return length >= 3 && full[1] == L':' && Separator(full[2]) &&
         ((full[0] >= L'A' && full[0] <= L'Z') || (full[0] >= L'a' && full[0] <= L'z'));
}

}  // namespace

int LongPathForm(const wchar_t* full, size_t length, const wchar_t** prefix, size_t* skip) {
  if (length < ClassicPathLimit) return 0;
  if (DrivePath(full, length)) {
    *prefix = L"\\\\?\\";
    *skip = 0;
    return 1;
  }
  if (FullPathRoot(full, length) > 0) {
    *prefix = L"\\\\?\\UNC\\";
    *skip = 2;
    return 1;
  }
  return 0;
}

size_t FullPathRoot(const wchar_t* full, size_t length) {
  if (DrivePath(full, length)) return 3;
  if (length < 5 || !Separator(full[0]) || !Separator(full[1])) return 0;
  // "\\.\" and "\\?\" name devices and verbatim paths, not a server.
  if ((full[2] == L'.' || full[2] == L'?') && Separator(full[3])) return 0;
  size_t server = AfterSeparator(full, length, 2);
  if (server <= 3 || server >= length || Separator(full[server])) return 0;
  size_t share = AfterSeparator(full, length, server);
  return share > server + 1 ? share : 0;
}

bool KeepsWindowOpen(int attached, bool input_console, bool output_console) {
  return attached == 1 && input_console && output_console;
}
