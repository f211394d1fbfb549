// Judgements of the Windows layer that need no system call: the form a long
// path takes, and whether a companion's console window waits before it
// closes. They live apart from platform_win32.cpp so that every build, the
// Linux one and its tests among them, compiles them.
#pragma once
#include <cstddef>

// Full paths of this many UTF-16 units or more are past the classic limit of
// the system's path calls (260 with the final NUL, and 12 fewer for a
// folder, which must leave room for an 8.3 name inside it).
constexpr size_t ClassicPathLimit = 248;

// The verbatim form of a full path ("C:\...", "\\server\share\...") that is
// past the classic limit: returns 1 with *prefix, the text to put in front,
// and *skip, the count of leading units it takes the place of ("\\?\" before
// a drive path, "\\?\UNC\" for the two backslashes of a network path).
// Returns 0 when the path is used as it stands: short enough, already in the
// device or verbatim namespace ("\\.\", "\\?\"), or not a full path.
int LongPathForm(const wchar_t* full, size_t length, const wchar_t** prefix, size_t* skip);

// The length of a full path's root, the part no name can be taken from:
// 3 for "C:\", up to and with the backslash after the share for
// "\\server\share\"; 0 for anything else (a device, a verbatim path, a
// network path without a share).
size_t FullPathRoot(const wchar_t* full, size_t length);

// A name in the device namespace with nothing after the device: a volume
// ("\\.\C:", "\\?\Volume{...}") or a disk ("\\.\PhysicalDrive0"). Such a
// handle also reports FILE_TYPE_DISK, but it is never cut.
template <typename C>
inline bool NamesDevice(const C* path) {
  if (!path) return false;
  // Each test stops at a string's end, whose NUL matches none of them.
  for (int k = 0; k < 4; k++) {
    bool slash = path[k] == '\\' || path[k] == '/';
    if (k == 2 ? path[k] != '.' && path[k] != '?' : !slash) return false;
  }
  for (const C* p = path + 4; *p; p++)
    if (*p == '\\' || *p == '/') return false;
  return true;
}

// Whether a companion asks for Enter before it ends. Only when it is the
// only process attached to its console (`attached`, 0 when the system cannot
// tell): the window was made for it by a double-click or a drop on its icon
// and closes with it. Its standard input must be that console, to read the
// Enter from, and its standard output too, where the report is shown. A run
// from a console window, a script or a pipe never waits.
bool KeepsWindowOpen(int attached, bool input_console, bool output_console);
