// The platform layer over Win32, for both profiles of the same executable.
//
// The profile comes from GetVersion: the Windows 9x family (top bit of the
// version word set) runs the legacy profile, everything else the wide one.
//
// Legacy profile: texts are narrow, in the system's ANSI code page, exactly
// as the system hands them over. The command line is GetCommandLineA (the
// caller splits it), paths go to CreateFileA, the console gets the bytes.
//
// Wide profile: the arguments come from CommandLineToArgvW(GetCommandLineW())
// and are kept as UTF-8 inside the program. An unpaired surrogate, which
// NTFS allows in a name, is kept as its three-byte form (WTF-8), so every
// name converts back to the same UTF-16 for CreateFileW. On a console the
// text is converted back to UTF-16 and shown with WriteConsoleW.
//
// Console output and the error stream, both profiles: lines end with CR LF,
// as the C runtime's text mode writes them. On a console every text is shown
// at once; when standard output is redirected the bytes (UTF-8 in the wide
// profile, the ANSI bytes in the legacy one) are buffered and written as they
// stand, so a redirected run writes what the Linux build writes with CR
// before each LF. The error stream is written at once, redirected or not.
//
// Unbuffered access is FILE_FLAG_NO_BUFFERING. The pass buffer and the output
// block are aligned by the caller; a read that the system refuses for its
// size or offset (a 2,048-byte pass on a disk with 4,096-byte sectors) is
// taken through a second, buffered handle on the same file.
#include <windows.h>
#include <winioctl.h>

#include <stdlib.h>
#include <string.h>

#include "core/platform.h"
#include "fileio/windows_rules.h"

namespace {

constexpr int MaxFiles = 16;

struct OpenFile {
  bool used;
  HANDLE handle;
  HANDLE buffered;  // opened on the first refused unbuffered read
  bool stream;      // standard output: written where it stands, never moved in
  bool unbuffered;
  OpenKind kind;
  // The path as given (narrow) or as UTF-16 (wide), for the companion.
  char* narrow_path;
  wchar_t* wide_path;
};

OpenFile Files[MaxFiles];
int LastErrorCode = 0;
int Profile = -1;

OpenFile* Lookup(FileRef file) {
  if (file < 0 || file >= MaxFiles || !Files[file].used) return nullptr;
  return &Files[file];
}

// ---------------------------------------------------------------------------
// Memory: fixed allocations from the system heap, aligned by hand so that
// nothing depends on a newer C runtime. The word before the area keeps the
// allocation's own address.

void* WinAllocate(size_t n, size_t alignment) {
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  size_t total = n + alignment + sizeof(void*);
  if (total < n) return nullptr;
  uint8_t* raw = (uint8_t*)GlobalAlloc(GMEM_FIXED, total);
  if (!raw) return nullptr;
  uintptr_t start = ((uintptr_t)raw + sizeof(void*) + alignment - 1) & ~(uintptr_t)(alignment - 1);
  ((void**)start)[-1] = raw;
  return (void*)start;
}

void WinRelease(void* area) {
  if (area) GlobalFree((HGLOBAL)((void**)area)[-1]);
}

// ---------------------------------------------------------------------------
// UTF-8 (with surrogates allowed, WTF-8) and UTF-16.

// Appends the UTF-8 form of one code point (surrogates included) to out.
size_t PutUtf8(uint32_t c, char* out) {
  if (c < 0x80) {
    out[0] = (char)c;
    return 1;
  }
  if (c < 0x800) {
    out[0] = (char)(0xC0 | (c >> 6));
    out[1] = (char)(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = (char)(0xE0 | (c >> 12));
    out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
    out[2] = (char)(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = (char)(0xF0 | (c >> 18));
  out[1] = (char)(0x80 | ((c >> 12) & 0x3F));
  out[2] = (char)(0x80 | ((c >> 6) & 0x3F));
  out[3] = (char)(0x80 | (c & 0x3F));
  return 4;
}

// Writes text[0 .. length-1] as UTF-8 at out, as far as `room` bytes hold
// it whole (three bytes a unit always do); an unpaired surrogate keeps its
// own three bytes. Returns the bytes written.
size_t WideIntoUtf8(const wchar_t* text, size_t length, char* out, size_t room) {
  size_t n = 0;
  for (size_t k = 0; k < length && n + 4 <= room; k++) {
    uint32_t c = (uint16_t)text[k];
    if (c >= 0xD800 && c < 0xDC00 && k + 1 < length && (uint16_t)text[k + 1] >= 0xDC00 &&
        (uint16_t)text[k + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + ((uint16_t)text[k + 1] - 0xDC00);
      k++;
    }
    n += PutUtf8(c, out + n);
  }
  return n;
}

// A UTF-16 text as UTF-8, in memory of its own.
char* WideToUtf8(const wchar_t* text) {
  size_t length = wcslen(text);
  char* out = (char*)WinAllocate(length * 3 + 1, 1);
  if (!out) return nullptr;
  out[WideIntoUtf8(text, length, out, length * 3 + 1)] = '\0';
  return out;
}

// Decodes one UTF-8 sequence at text[0 .. n-1]: its length, with the code
// point in *c, or 0 when the bytes do not form one.
size_t TakeUtf8(const uint8_t* text, size_t n, uint32_t* c) {
  uint8_t b = text[0];
  if (b < 0x80) {
    *c = b;
    return 1;
  }
  size_t need;
  uint32_t value, least;
  if (b >= 0xC2 && b < 0xE0) {
    need = 2, value = b & 0x1F, least = 0x80;
  } else if (b >= 0xE0 && b < 0xF0) {
    need = 3, value = b & 0x0F, least = 0x800;
  } else if (b >= 0xF0 && b < 0xF5) {
    need = 4, value = b & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (n < need) return 0;
  for (size_t k = 1; k < need; k++) {
    if ((text[k] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (text[k] & 0x3F);
  }
  if (value < least || value > 0x10FFFF) return 0;
  *c = value;
  return need;
}

// Converts n bytes of UTF-8 to UTF-16 into out (room for n units). A byte
// that begins no sequence is taken as a character of the ANSI code page, as
// a narrow console would show it. Returns the count of units.
size_t Utf8ToWide(const char* text, size_t n, wchar_t* out) {
  const uint8_t* in = (const uint8_t*)text;
  size_t units = 0;
  size_t k = 0;
  while (k < n) {
    uint32_t c = 0;
    size_t used = TakeUtf8(in + k, n - k, &c);
    if (used == 0) {
      wchar_t w = L'?';
      MultiByteToWideChar(CP_ACP, 0, (const char*)in + k, 1, &w, 1);
      out[units++] = w;
      k++;
      continue;
    }
    k += used;
    if (c >= 0x10000) {
      c -= 0x10000;
      out[units++] = (wchar_t)(0xD800 + (c >> 10));
      out[units++] = (wchar_t)(0xDC00 + (c & 0x3FF));
    } else {
      out[units++] = (wchar_t)c;
    }
  }
  return units;
}

// A path of the wide profile as a UTF-16 text, or null.
wchar_t* PathToWide(const char* path) {
  size_t n = strlen(path);
  wchar_t* out = (wchar_t*)WinAllocate((n + 1) * sizeof(wchar_t), sizeof(wchar_t));
  if (!out) return nullptr;
  out[Utf8ToWide(path, n, out)] = L'\0';
  return out;
}

char* CopyText(const char* text) {
  size_t n = strlen(text);
  char* out = (char*)WinAllocate(n + 1, 1);
  if (out) memcpy(out, text, n + 1);
  return out;
}

bool Wide(void) { return PlatformProfile() != ProfileLegacy; }

wchar_t* FullPath(const char* path);

// The verbatim form ("\\?\C:\...", "\\?\UNC\server\...") of a full path
// past the classic limit, which reaches names of up to 32,767 units on every
// Windows of the NT family (a manifest that says the program knows long paths
// lifts the limit only on Windows 10 and later, and only where the system is
// set so). Null when the path is short enough to go as it stands, or when
// memory runs out.
wchar_t* VerbatimIfLong(const wchar_t* full) {
  size_t length = wcslen(full);
  const wchar_t* prefix = nullptr;
  size_t skip = 0;
  if (!LongPathForm(full, length, &prefix, &skip)) return nullptr;
  size_t head = wcslen(prefix);
  wchar_t* out = (wchar_t*)WinAllocate((head + length - skip + 1) * sizeof(wchar_t), sizeof(wchar_t));
  if (!out) return nullptr;
  memcpy(out, prefix, head * sizeof(wchar_t));
  memcpy(out + head, full + skip, (length - skip + 1) * sizeof(wchar_t));
  return out;
}

// A path of the wide profile as the system's calls are given it: UTF-16,
// and in its verbatim full form when that form is past the classic limit
// (a short name in a deep folder is measured with the folder); else as the
// user wrote it, so that short names keep the system's own reading ("NUL",
// a device). Null when memory runs out.
wchar_t* SystemPath(const char* path) {
  wchar_t* full = FullPath(path);
  wchar_t* verbatim = full ? VerbatimIfLong(full) : nullptr;
  WinRelease(full);
  return verbatim ? verbatim : PathToWide(path);
}

// ---------------------------------------------------------------------------
// Files.

HANDLE CreateByPath(const char* narrow, const wchar_t* wide, DWORD access, DWORD share,
                    DWORD disposition, DWORD flags) {
  if (wide) return CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr);
  return CreateFileA(narrow, access, share, nullptr, disposition, flags, nullptr);
}

bool DeleteByPath(const char* narrow, const wchar_t* wide) {
  return (wide ? DeleteFileW(wide) : DeleteFileA(narrow)) != 0;
}

// A new file in place of whatever the name held: the name is removed (a
// symbolic link goes, never what it leads to) and the file created anew,
// opening no reparse point, so the open never writes through a link. A name
// that comes back in between (another process) is removed again, a few times.
HANDLE CreateInPlace(const char* narrow, const wchar_t* wide) {
  for (int tries = 0; tries < 8; tries++) {
    if (!DeleteByPath(narrow, wide)) {
      DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return INVALID_HANDLE_VALUE;
    }
    HANDLE h = CreateByPath(narrow, wide, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

// A new file, or an existing one that holds nothing yet; an existing file
// with bytes in it is refused untouched (ERROR_FILE_EXISTS).
HANDLE CreateUnused(const char* narrow, const wchar_t* wide) {
  HANDLE h = CreateByPath(narrow, wide, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
  if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  h = CreateByPath(narrow, wide, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (h == INVALID_HANDLE_VALUE) return h;
  DWORD high = 0;
  DWORD low = GetFileSize(h, &high);
  if (GetFileType(h) == FILE_TYPE_DISK && low != INVALID_FILE_SIZE && (low != 0 || high != 0)) {
    CloseHandle(h);
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// Opens one file in the way its kind asks for. Directories are refused in
// every mode: they are never a message base, a target or a log.
HANDLE OpenHandle(const char* narrow, const wchar_t* wide, OpenKind kind, bool unbuffered) {
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  switch (kind) {
    case OpenSource:
      access = GENERIC_READ;
      flags |= FILE_FLAG_SEQUENTIAL_SCAN;
      break;
    case OpenTargetExisting: break;
    case OpenTargetAlways: disposition = OPEN_ALWAYS; break;
    case OpenLogReplace: disposition = CREATE_ALWAYS; break;
    case OpenOutputNew:
    case OpenOutputUnused:
    case OpenStandardOutput: unbuffered = false; break;
  }
  if (unbuffered && kind != OpenLogReplace) flags |= FILE_FLAG_NO_BUFFERING;
  HANDLE h = INVALID_HANDLE_VALUE;
  if (kind == OpenOutputNew) {
    h = CreateInPlace(narrow, wide);
  } else if (kind == OpenOutputUnused) {
    h = CreateUnused(narrow, wide);
  } else if (kind == OpenStandardOutput) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || out == nullptr ||
        !DuplicateHandle(GetCurrentProcess(), out, GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      if (out == nullptr) SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_HANDLE_VALUE;
    }
    return h;
  } else {
    h = CreateByPath(narrow, wide, access, FILE_SHARE_READ, disposition, flags);
  }
  if (h == INVALID_HANDLE_VALUE) return h;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

FileRef WinOpen(const char* path, OpenKind kind, bool unbuffered) {
  int slot = 0;
  while (slot < MaxFiles && Files[slot].used) slot++;
  if (slot == MaxFiles) {
    LastErrorCode = ERROR_TOO_MANY_OPEN_FILES;
    return NoFile;
  }
  wchar_t* wide = nullptr;
  if (Wide()) {
    wide = SystemPath(path);
    if (!wide) {
      LastErrorCode = ERROR_NOT_ENOUGH_MEMORY;
      return NoFile;
    }
  }
  HANDLE h = OpenHandle(path, wide, kind, unbuffered);
  if (h == INVALID_HANDLE_VALUE) {
    LastErrorCode = (int)GetLastError();
    WinRelease(wide);
    return NoFile;
  }
  OpenFile& f = Files[slot];
  f.used = true;
  f.handle = h;
  f.buffered = INVALID_HANDLE_VALUE;
  f.unbuffered = unbuffered;
  f.stream = kind == OpenStandardOutput;
  f.kind = kind;
  f.wide_path = wide;
  f.narrow_path = wide ? nullptr : CopyText(path);
  return slot;
}

int WinClose(FileRef file) {
  OpenFile* f = Lookup(file);
  if (!f) return 1;
  int closed = CloseHandle(f->handle) != 0;
  if (!closed) LastErrorCode = (int)GetLastError();
  if (f->buffered != INVALID_HANDLE_VALUE && !CloseHandle(f->buffered) && closed) {
    closed = 0;
    LastErrorCode = (int)GetLastError();
  }
  WinRelease(f->narrow_path);
  WinRelease(f->wide_path);
  *f = OpenFile();
  return closed;
}

// Moves a handle with SetFilePointer, whose low word of all ones is a
// position like any other unless the last error says otherwise.
bool MoveHandle(HANDLE h, int64_t distance, DWORD method, int64_t* position) {
  LONG high = (LONG)((uint64_t)distance >> 32);
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(h, (LONG)(uint32_t)distance, &high, method);
  if (low == INVALID_SET_FILE_POINTER) {
    DWORD error = GetLastError();
    if (error != NO_ERROR) {
      LastErrorCode = (int)error;
      return false;
    }
  }
  if (position) *position = (int64_t)(((uint64_t)(uint32_t)high << 32) | low);
  return true;
}

int WinSeek(FileRef file, int64_t offset) {
  OpenFile* f = Lookup(file);
  if (!f) return 0;
  if (f->stream) {
    LastErrorCode = ERROR_INVALID_FUNCTION;
    return 0;
  }
  return MoveHandle(f->handle, offset, FILE_BEGIN, nullptr) ? 1 : 0;
}

bool AskGeometry(HANDLE h, DISK_GEOMETRY* g) {
  DWORD returned = 0;
  return DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, g, sizeof *g, &returned,
                         nullptr) &&
         returned >= sizeof *g;
}

// A disk has no end position here, whatever the system would answer for a
// volume handle: its size comes from the geometry request instead. A disk is
// known by answering that request; a file or a pipe never does.
int WinSeekEnd(FileRef file, int64_t* end) {
  OpenFile* f = Lookup(file);
  if (!f) return 0;
  DISK_GEOMETRY g;
  if (f->stream || AskGeometry(f->handle, &g)) {
    LastErrorCode = ERROR_INVALID_FUNCTION;
    return 0;
  }
  return MoveHandle(f->handle, 0, FILE_END, end) ? 1 : 0;
}

// The buffered companion of an unbuffered file, opened on first use with the
// same access, sharing and disposition (the file exists by now).
HANDLE Companion(OpenFile* f) {
  if (f->buffered == INVALID_HANDLE_VALUE) {
    OpenKind kind = f->kind == OpenTargetAlways ? OpenTargetExisting : f->kind;
    f->buffered = OpenHandle(f->narrow_path, f->wide_path, kind, false);
  }
  return f->buffered;
}

// Moves up to n bytes at the handle's position. Returns the count moved, or
// -1 with the system's error code in LastErrorCode. A write that fails
// part-way reports what it put (the error code set as well): those bytes are
// in the file, and the caller keeps count of them.
int64_t Transfer(HANDLE h, uint8_t* data, uint32_t n, bool writing) {
  uint32_t done = 0;
  while (done < n) {
    DWORD moved = 0;
    BOOL ok = writing ? WriteFile(h, data + done, n - done, &moved, nullptr)
                      : ReadFile(h, data + done, n - done, &moved, nullptr);
    if (!ok) {
      LastErrorCode = (int)GetLastError();
      return writing && done > 0 ? (int64_t)done : -1;
    }
    if (moved == 0) break;
    done += moved;
  }
  return done;
}

// Reads or writes n bytes at f's position. An unbuffered transfer refused
// for its size or offset (the partial block a failed read flushes, a
// 2,048-byte pass on a larger sector) goes through the cache instead, and the
// unbuffered handle moves past it.
int64_t MoveThrough(OpenFile* f, uint8_t* data, uint32_t n, bool writing) {
  LastErrorCode = 0;
  int64_t position = 0;
  bool placed = f->unbuffered && MoveHandle(f->handle, 0, FILE_CURRENT, &position);
  int64_t moved = Transfer(f->handle, data, n, writing);
  if (moved < 0 && placed && LastErrorCode == ERROR_INVALID_PARAMETER) {
    HANDLE other;
    if (writing) {
      // The target shares only reading, so no second handle may write it:
      // its own handle turns buffered for the rest of the run.
      CloseHandle(f->handle);
      f->handle = OpenHandle(f->narrow_path, f->wide_path, OpenTargetExisting, false);
      f->unbuffered = false;
      other = f->handle;
    } else {
      other = Companion(f);
    }
    if (other == INVALID_HANDLE_VALUE) return -1;
    if (!MoveHandle(other, position, FILE_BEGIN, nullptr)) return -1;
    LastErrorCode = 0;
    moved = Transfer(other, data, n, writing);
    if (moved >= 0) MoveHandle(f->handle, position + moved, FILE_BEGIN, nullptr);
  }
  return moved;
}

int64_t WinRead(FileRef file, void* into, uint32_t n) {
  OpenFile* f = Lookup(file);
  if (!f) {
    LastErrorCode = ERROR_INVALID_HANDLE;
    return -1;
  }
  // A short count at the end of the file is no error: report code 0.
  return MoveThrough(f, (uint8_t*)into, n, false);
}

int64_t WinWrite(FileRef file, const void* from, uint32_t n) {
  OpenFile* f = Lookup(file);
  if (!f) {
    LastErrorCode = ERROR_INVALID_HANDLE;
    return -1;
  }
  int64_t put = MoveThrough(f, (uint8_t*)from, n, true);
  // Nothing more taken without a failure named: the disk is full.
  if (put >= 0 && put < n && LastErrorCode == 0) LastErrorCode = ERROR_DISK_FULL;
  return put;
}

int WinLastError(void) { return LastErrorCode; }

int WinDriveGeometry(FileRef file, DiskGeometry* geometry) {
  OpenFile* f = Lookup(file);
  if (!f) return 0;
  DISK_GEOMETRY g;
  if (!AskGeometry(f->handle, &g)) {
    LastErrorCode = (int)GetLastError();
    return 0;
  }
  geometry->cylinders = (int64_t)g.Cylinders.QuadPart;
  geometry->media_type = (uint32_t)g.MediaType;
  geometry->tracks_per_cylinder = g.TracksPerCylinder;
  geometry->sectors_per_track = g.SectorsPerTrack;
  geometry->bytes_per_sector = g.BytesPerSector;
  return 1;
}

// The identity of the file or folder behind an open handle, which is closed.
bool TakeIdentity(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

// Opens a file or a folder only to ask who it is: no access asked and
// reading and writing shared, so it succeeds beside the run's own handles;
// backup semantics let it open a folder.
HANDLE OpenForIdentity(const char* narrow, const wchar_t* wide) {
  return CreateByPath(narrow, wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
}

// Identifies a file or a folder by its volume and its index on that volume.
// Returns 1 identified, 0 when the name is not there (nor, maybe, its
// folder), -1 when it cannot be opened for another reason.
int FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  wchar_t* wide = nullptr;
  if (Wide() && !(wide = SystemPath(path))) return -1;
  HANDLE h = OpenForIdentity(path, wide);
  DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
  WinRelease(wide);
  if (TakeIdentity(h, info)) return 1;
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
}

// True when the system finds the name (a file, a folder); the cheap way
// to ask, where nothing more is wanted.
bool NameThere(const char* path) {
  if (!Wide()) return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
  wchar_t* wide = SystemPath(path);
  bool there = wide && GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
  WinRelease(wide);
  return there;
}

// The same for a full path in UTF-16, as FullPath makes it: given to the
// system as UTF-16 in the wide profile, in the ANSI code page in the legacy
// one. False as well where the system opens no folders (the 9x family).
bool FullPathIdentity(const wchar_t* full, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = INVALID_HANDLE_VALUE;
  if (Wide()) {
    wchar_t* verbatim = VerbatimIfLong(full);
    h = OpenForIdentity(nullptr, verbatim ? verbatim : full);
    WinRelease(verbatim);
  } else {
    int bytes = WideCharToMultiByte(CP_ACP, 0, full, -1, nullptr, 0, nullptr, nullptr);
    char* narrow = bytes > 0 ? (char*)WinAllocate((size_t)bytes, 1) : nullptr;
    if (narrow && WideCharToMultiByte(CP_ACP, 0, full, -1, narrow, bytes, nullptr, nullptr) == bytes)
      h = OpenForIdentity(narrow, nullptr);
    WinRelease(narrow);
  }
  return TakeIdentity(h, info);
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// The size and the time of the last write must agree as well: they always
// do for one file, and they keep two files apart on a file system whose
// file index says little (the 9x family's FAT).
bool SameExistingFile(const BY_HANDLE_FILE_INFORMATION& ia, const BY_HANDLE_FILE_INFORMATION& ib) {
  return SameIdentity(ia, ib) && ia.nFileSizeHigh == ib.nFileSizeHigh && ia.nFileSizeLow == ib.nFileSizeLow &&
         ia.ftLastWriteTime.dwLowDateTime == ib.ftLastWriteTime.dwLowDateTime &&
         ia.ftLastWriteTime.dwHighDateTime == ib.ftLastWriteTime.dwHighDateTime;
}

int WinSameFile(const char* a, const char* b) {
  if (!a || !b) return 0;
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return FileIdentity(a, &ia) == 1 && FileIdentity(b, &ib) == 1 && SameExistingFile(ia, ib) ? 1 : 0;
}

void WinSleep(uint32_t milliseconds) { Sleep(milliseconds); }

// Cuts a file on a disk to size bytes. Moves with SetFilePointer, which the
// 9x family has as well (SetFilePointerEx is missing there and would keep the
// executable from loading); the position is put back where it was, as
// ftruncate leaves it.
int WinTruncate(FileRef file, int64_t size) {
  OpenFile* f = Lookup(file);
  DISK_GEOMETRY g;
  if (!f || size < 0 || GetFileType(f->handle) != FILE_TYPE_DISK || NamesDevice(f->narrow_path) ||
      NamesDevice(f->wide_path) || AskGeometry(f->handle, &g))
    return 0;
  int64_t position = 0;
  if (!MoveHandle(f->handle, 0, FILE_CURRENT, &position)) return 0;
  bool cut = MoveHandle(f->handle, size, FILE_BEGIN, nullptr);
  if (cut && !SetEndOfFile(f->handle)) {
    LastErrorCode = (int)GetLastError();
    cut = false;
  }
  MoveHandle(f->handle, position, FILE_BEGIN, nullptr);
  return cut ? 1 : 0;
}

int WinMakeDirectory(const char* path) {
  wchar_t* wide = nullptr;
  if (Wide() && !(wide = SystemPath(path))) {
    LastErrorCode = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  BOOL made = wide ? CreateDirectoryW(wide, nullptr) : CreateDirectoryA(path, nullptr);
  DWORD error = made ? NO_ERROR : GetLastError();
  DWORD attributes = made ? 0 : wide ? GetFileAttributesW(wide) : GetFileAttributesA(path);
  WinRelease(wide);
  if (made) return 1;
  // An existing directory is what was asked for; an existing file is not.
  if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return 1;
  LastErrorCode = (int)error;
  return 0;
}

// File times count 100-nanosecond steps from 1601; Unix seconds from 1970.
constexpr int64_t SecondsFrom1601To1970 = 11644473600LL;

int WinSetModifiedTime(FileRef file, int64_t seconds) {
  OpenFile* f = Lookup(file);
  if (!f) return 0;
  if (seconds < -SecondsFrom1601To1970 || seconds > INT64_MAX / 10000000 - SecondsFrom1601To1970) {
    LastErrorCode = ERROR_INVALID_PARAMETER;
    return 0;
  }
  uint64_t steps = (uint64_t)(seconds + SecondsFrom1601To1970) * 10000000u;
  FILETIME when;
  when.dwLowDateTime = (DWORD)steps;
  when.dwHighDateTime = (DWORD)(steps >> 32);
  if (!SetFileTime(f->handle, nullptr, nullptr, &when)) {
    LastErrorCode = (int)GetLastError();
    return 0;
  }
  return 1;
}

// A path made absolute by the system ("." and ".." resolved, "/" as "\"),
// as UTF-16: the legacy profile's ANSI text is widened through its code
// page. Null when the system cannot make it.
wchar_t* FullPath(const char* path) {
  if (!*path) return nullptr;
  wchar_t* full = nullptr;
  if (Wide()) {
    wchar_t* wide = PathToWide(path);
    if (!wide) return nullptr;
    // The first call tells the room needed, the second fills it and
    // answers the length made: 0 or more than the room is a failure.
    DWORD need = GetFullPathNameW(wide, 0, nullptr, nullptr);
    full = need ? (wchar_t*)WinAllocate((need + 1) * sizeof(wchar_t), sizeof(wchar_t)) : nullptr;
    DWORD made = full ? GetFullPathNameW(wide, need + 1, full, nullptr) : 0;
    if (full && (made == 0 || made > need)) {
      WinRelease(full);
      full = nullptr;
    }
    WinRelease(wide);
    return full;
  }
  DWORD need = GetFullPathNameA(path, 0, nullptr, nullptr);
  char* narrow = need ? (char*)WinAllocate(need + 1, 1) : nullptr;
  DWORD made = narrow ? GetFullPathNameA(path, need + 1, narrow, nullptr) : 0;
  if (made > 0 && made <= need) {
    int units = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
    full = units > 0 ? (wchar_t*)WinAllocate((size_t)units * sizeof(wchar_t), sizeof(wchar_t)) : nullptr;
    if (full && MultiByteToWideChar(CP_ACP, 0, narrow, -1, full, units) != units) {
      WinRelease(full);
      full = nullptr;
    }
  }
  WinRelease(narrow);
  return full;
}

// The upper-case form of a UTF-16 unit for comparing names where the system
// has no ordinal comparison (before Vista): a simple fold of ASCII and the
// Latin-1 letters (U+00E0 to U+00FE but the division sign, and U+00FF), the
// letters of the Western European code pages; every other unit compares as
// it stands.
wchar_t FoldUnit(wchar_t c) {
  if (c >= L'a' && c <= L'z') return (wchar_t)(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (wchar_t)(c - 0x20);
  if (c == 0xFF) return (wchar_t)0x178;
  return c;
}

typedef int(WINAPI* OrdinalComparison)(LPCWCH, int, LPCWCH, int, BOOL);

// Compares two names as the file system does: CompareStringOrdinal with
// case ignored (Vista and later, looked up at run time so that the
// executable loads everywhere), else the simple fold above.
bool SameName(const wchar_t* a, const wchar_t* b) {
  static OrdinalComparison compare =
      (OrdinalComparison)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "CompareStringOrdinal");
  if (compare) return compare(a, -1, b, -1, TRUE) == CSTR_EQUAL;
  for (; *a && *b; a++, b++)
    if (FoldUnit(*a) != FoldUnit(*b)) return false;
  return *a == *b;
}

// Where a path leads, for comparing names that need not exist yet: the
// deepest folder on its way that can be opened, known by its identity, and
// the rest of the full path below that folder.
struct PathPlace {
  wchar_t* full;        // the full path, without separators at its end
  const wchar_t* rest;  // within full: what follows the folder
  BY_HANDLE_FILE_INFORMATION folder;
  bool found;
};

// Finds where path leads. The walk starts at the folder that holds the
// last name, so that name is always compared as written: a file that exists
// under both names is found by WinSameFile before. A folder is known by its
// identity however it is named: through a junction or a symbolic link, by
// its 8.3 short name, in another case.
void Locate(const char* path, PathPlace* place) {
  place->full = FullPath(path);
  place->rest = nullptr;
  place->found = false;
  if (!place->full) return;
  wchar_t* full = place->full;
  size_t length = wcslen(full);
  size_t root = FullPathRoot(full, length);
  if (root == 0) return;
  while (length > root && (full[length - 1] == L'\\' || full[length - 1] == L'/')) full[--length] = L'\0';
  // From the last separator back to the one that ends the root ("C:\").
  for (size_t k = length; k-- > root - 1;) {
    if (full[k] != L'\\' && full[k] != L'/') continue;
    size_t cut = k < root ? root : k;
    wchar_t kept = full[cut];
    full[cut] = L'\0';
    bool found = FullPathIdentity(full, &place->folder);
    full[cut] = kept;
    if (found) {
      place->found = true;
      place->rest = full + k + 1;
      return;
    }
  }
}

// One file under two names: the same existing file, or, whether or not it
// exists yet, the same name (case set aside) below the same folder, as the
// system finds that folder. A name that is there and one that is not are
// two files (an export asks so for every file it makes). Where no folder on
// the way can be opened, the full paths are compared as text.
int WinSamePath(const char* a, const char* b) {
  if (!a || !b) return 0;
  BY_HANDLE_FILE_INFORMATION ia, ib;
  int there_a = FileIdentity(a, &ia);
  if (there_a == 0 && NameThere(b)) return 0;
  if (there_a == 1) {
    int there_b = FileIdentity(b, &ib);
    if (there_b == 1 && SameExistingFile(ia, ib)) return 1;
    if (there_b == 0) return 0;
  }
  PathPlace pa, pb;
  Locate(a, &pa);
  Locate(b, &pb);
  bool same = false;
  if (pa.found && pb.found) {
    same = SameIdentity(pa.folder, pb.folder) && SameName(pa.rest, pb.rest);
  } else {
    same = pa.full && pb.full && SameName(pa.full, pb.full);
  }
  WinRelease(pa.full);
  WinRelease(pb.full);
  return same ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Console and error stream.

constexpr size_t ConsoleBufferSize = 65536;
char ConsoleBuffer[ConsoleBufferSize];
size_t ConsoleFill = 0;

// A standard handle and whether it is a console window. Only a console
// answers GetConsoleMode: a pipe or a file never does, so redirected output
// is never taken for a terminal.
struct Stream {
  HANDLE handle;
  bool console;
};
Stream Output = {INVALID_HANDLE_VALUE, false};
// Some standard output could not be written: a closed console must not stop
// the recovery, but a report that did not arrive is the companions' failure.
bool ConsoleLost = false;
DWORD ConsoleError = 0;

void LoseConsole(void) {
  if (!ConsoleLost) ConsoleError = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
  ConsoleLost = true;
}
Stream ErrorStream = {INVALID_HANDLE_VALUE, false};
bool StreamsKnown = false;

Stream TakeStream(DWORD which) {
  Stream s = {GetStdHandle(which), false};
  DWORD mode = 0;
  s.console = s.handle != INVALID_HANDLE_VALUE && s.handle != nullptr && GetConsoleMode(s.handle, &mode) != 0;
  return s;
}

// The standard handles are looked at once, on first use: a companion that
// writes before PlatformStart still reaches its console.
void KnowStreams(void) {
  if (StreamsKnown) return;
  Output = TakeStream(STD_OUTPUT_HANDLE);
  ErrorStream = TakeStream(STD_ERROR_HANDLE);
  StreamsKnown = true;
}

bool Usable(const Stream& s) { return s.handle != INVALID_HANDLE_VALUE && s.handle != nullptr; }

// Returns false when not every byte could be written.
bool WriteBytes(HANDLE h, const char* text, size_t n) {
  while (n > 0) {
    DWORD put = 0;
    // A closed console must not stop the recovery.
    if (!WriteFile(h, text, (DWORD)n, &put, nullptr) || put == 0) return false;
    text += put;
    n -= put;
  }
  return true;
}

// Shows text on a console at once: UTF-16 in the wide profile, the narrow
// bytes in the legacy one.
void ShowOnConsole(HANDLE h, const char* text, size_t n) {
  if (!Wide()) {
    DWORD put = 0;
    if (!WriteConsoleA(h, text, (DWORD)n, &put, nullptr)) WriteBytes(h, text, n);
    return;
  }
  wchar_t small[1024];
  wchar_t* wide = n <= 1024 ? small : (wchar_t*)WinAllocate(n * sizeof(wchar_t), sizeof(wchar_t));
  if (!wide) return;
  size_t units = Utf8ToWide(text, n, wide);
  DWORD put = 0;
  WriteConsoleW(h, wide, (DWORD)units, &put, nullptr);
  if (wide != small) WinRelease(wide);
}

int WinConsoleFlush(void) {
  KnowStreams();
  if (Usable(Output) && !WriteBytes(Output.handle, ConsoleBuffer, ConsoleFill)) LoseConsole();
  ConsoleFill = 0;
  if (!ConsoleLost) return 1;
  LastErrorCode = (int)ConsoleError;
  return 0;
}

// Takes n bytes of standard output whose line feeds are already CR LF.
void Emit(const char* text, size_t n) {
  if (Output.console) {
    ShowOnConsole(Output.handle, text, n);
    return;
  }
  if (ConsoleFill + n > ConsoleBufferSize) WinConsoleFlush();
  if (n >= ConsoleBufferSize) {
    if (!WriteBytes(Output.handle, text, n)) LoseConsole();
    return;
  }
  memcpy(ConsoleBuffer + ConsoleFill, text, n);
  ConsoleFill += n;
}

// The error stream is never buffered: an error or a percentage shows at once.
void EmitError(const char* text, size_t n) {
  if (ErrorStream.console) {
    ShowOnConsole(ErrorStream.handle, text, n);
  } else {
    WriteBytes(ErrorStream.handle, text, n);
  }
}

// Hands text to emit with every LF as CR LF, as the C runtime's text mode
// writes both standard streams. The text is converted whole, so that a
// character is never cut in two on its way to a console.
void PutLines(const char* text, size_t n, void (*emit)(const char*, size_t)) {
  if (n == 0) return;
  char small[1024];
  char* out = 2 * n <= sizeof small ? small : (char*)WinAllocate(2 * n, 1);
  if (!out) return;
  size_t fill = 0;
  for (size_t k = 0; k < n; k++) {
    if (text[k] == '\n') out[fill++] = '\r';
    out[fill++] = text[k];
  }
  emit(out, fill);
  if (out != small) WinRelease(out);
}

void WinConsoleWrite(const char* text, size_t n) {
  KnowStreams();
  if (Usable(Output)) PutLines(text, n, Emit);
}

void WinErrorWrite(const char* text, size_t n) {
  KnowStreams();
  if (Usable(ErrorStream)) PutLines(text, n, EmitError);
}

int WinIsTerminal(int stream) {
  KnowStreams();
  return (stream == 2 ? ErrorStream : Output).console ? 1 : 0;
}

typedef DWORD(WINAPI* ProcessListFunction)(LPDWORD, DWORD);

// The count of processes attached to this process's console: 0 when there
// is none or the system cannot tell. GetConsoleProcessList (XP and later) is
// looked up at run time, so that the executable loads on the 9x family too.
int AttachedProcesses(void) {
  ProcessListFunction list =
      (ProcessListFunction)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetConsoleProcessList");
  DWORD ids[4];
  return list ? (int)list(ids, 4) : 0;
}

// Reads the console until Enter (a line feed or a carriage return) comes,
// or the console goes away. What was typed before the question is dropped.
void AwaitEnter(HANDLE input) {
  FlushConsoleInputBuffer(input);
  char typed[64];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(input, typed, sizeof typed, &got, nullptr) || got == 0) return;
    if (memchr(typed, '\n', got) || memchr(typed, '\r', got)) return;
  }
}

// ---------------------------------------------------------------------------
// The processor's vector instructions.

typedef BOOL(WINAPI* FeatureQuery)(DWORD);

// Windows 95 and NT 4 do not keep the SSE registers across task switches:
// SSE2 is used only where the system says the instructions are there
// (IsProcessorFeaturePresent, looked up at run time; 10 is
// PF_XMMI64_INSTRUCTIONS_AVAILABLE, which systems before XP do not know).
int WinVectorStateSaved(void) {
  FeatureQuery query =
      (FeatureQuery)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsProcessorFeaturePresent");
  return query && query(10) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The argument list of the wide profile.

typedef LPWSTR* (WINAPI* SplitterFunction)(LPCWSTR, int*);

// CommandLineToArgvW lives in shell32, which the 9x family may lack: it is
// looked up at run time so that the same executable loads everywhere.
SplitterFunction SystemSplitter(void) {
  HMODULE shell = LoadLibraryA("shell32.dll");
  if (!shell) return nullptr;
  return (SplitterFunction)(void*)GetProcAddress(shell, "CommandLineToArgvW");
}

// The system's words for an error code, without the final line end and
// full stop: UTF-8 in the wide profile, the ANSI bytes in the legacy one.
const char* WinErrorText(int code) {
  static char text[512];
  text[0] = '\0';
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  size_t n = 0;
  if (Wide()) {
    wchar_t wide[256];
    DWORD units = FormatMessageW(flags, nullptr, (DWORD)code, 0, wide, 256, nullptr);
    if (units > 0 && units < 256) n = WideIntoUtf8(wide, units, text, sizeof text - 1);
  } else {
    n = FormatMessageA(flags, nullptr, (DWORD)code, 0, text, sizeof text - 1, nullptr);
  }
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.')) n--;
  text[n] = '\0';
  if (n == 0) return "unknown error";
  return text;
}

int WinRemove(const char* path) {
  wchar_t* wide = nullptr;
  if (Wide() && !(wide = SystemPath(path))) {
    LastErrorCode = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  bool removed = DeleteByPath(path, wide);
  if (!removed) LastErrorCode = (int)GetLastError();
  WinRelease(wide);
  return removed ? 1 : 0;
}

}  // namespace

const int ErrorExists = ERROR_FILE_EXISTS;

PlatformOps Platform = {
    WinOpen,  WinClose,         WinSeek,     WinSeekEnd, WinRead,
    WinWrite, WinLastError,     WinDriveGeometry, WinSameFile, WinSleep,
    WinConsoleWrite, WinConsoleFlush, WinAllocate, WinRelease,
    WinTruncate, WinErrorWrite, WinIsTerminal, WinMakeDirectory, WinSetModifiedTime,
    WinSamePath, WinErrorText, WinRemove, WinVectorStateSaved,
};

void PlatformStart(void) {
  // No "insert a disk" or "cannot read drive" boxes: a failure is a message.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  StreamsKnown = false;
  KnowStreams();
  ConsoleFill = 0;
  PlatformProfile();
}

int PlatformProfile(void) {
  if (Profile < 0) Profile = (GetVersion() & 0x80000000u) ? ProfileLegacy : ProfileWide;
  return Profile;
}

int PlatformWindows(void) { return 1; }

int PlatformKeepWindow(int exit_code) {
  KnowStreams();
  Stream input = TakeStream(STD_INPUT_HANDLE);
  if (!KeepsWindowOpen(AttachedProcesses(), input.console, Output.console)) return exit_code;
  static const char Question[] = "Press Enter to close this window.";
  ShowOnConsole(Output.handle, Question, sizeof Question - 1);
  AwaitEnter(input.handle);
  return exit_code;
}

const char* PlatformCommandLine(void) { return GetCommandLineA(); }

// In the legacy profile the list stays the C runtime's, ANSI texts as that
// profile's narrow file calls take them (UTF-8 would name other files there).
// The programs themselves split the narrow command line in that profile.
void PlatformArgumentList(int argc, char** argv, int* count, char*** args) {
  *count = argc;
  *args = argv;
  if (!Wide()) return;
  SplitterFunction split = SystemSplitter();
  if (!split) return;
  int n = 0;
  LPWSTR* wide = split(GetCommandLineW(), &n);
  if (!wide || n <= 0) return;
  char** list = (char**)WinAllocate((size_t)(n + 1) * sizeof(char*), sizeof(char*));
  if (!list) return;
  for (int k = 0; k < n; k++) {
    list[k] = WideToUtf8(wide[k]);
    if (!list[k]) return;
  }
  list[n] = nullptr;
  // The system's list stays: allocations live until the process ends.
  *count = n;
  *args = list;
}
