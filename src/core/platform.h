// The thin layer between mendrake and the operating system: files, devices,
// the console, memory and the argument list. Everything above it is free of
// system headers. The operations are reached through one table so that a test
// build can put faults or memory-backed files in place of the real ones.
#pragma once
#include <cstddef>
#include <cstdint>

// An open file: a small non-negative number, or NoFile.
typedef int FileRef;
constexpr FileRef NoFile = -1;

// How a file is opened.
enum OpenKind {
  OpenSource = 0,        // read, shared for reading, existing only, sequential
  OpenTargetExisting,    // read and write, existing only, never truncated
  OpenTargetAlways,      // read and write, created when missing, never truncated
  OpenLogReplace,        // read and write, created fresh (replaces any file)
  // Write only, a file of the program's own naming inside a directory: any
  // name already there (a file, a link of either kind) is removed and a new
  // file created in its place, exclusively and without following links, so
  // the open itself can never write through a link to a file elsewhere.
  OpenOutputNew,
  // Write only, for an output the user named: a new file, or an existing
  // one that holds nothing yet (an empty file, a device, a pipe), opened as
  // it is. An existing file with bytes in it is refused (LastError tells
  // ErrorExists) and left untouched.
  OpenOutputUnused,
  // The process's standard output, for an output named "-" (the path is
  // not looked at). Cannot be moved in.
  OpenStandardOutput,
};

// The platform's error code for a name that exists already (EEXIST,
// ERROR_FILE_EXISTS), as LastError reports it after OpenOutputUnused.
extern const int ErrorExists;

enum ProfileKind { ProfileWide = 0, ProfileLegacy = 1 };

// The answer of a disk to a geometry request.
struct DiskGeometry {
  int64_t cylinders;
  uint32_t media_type;
  uint32_t tracks_per_cylinder;
  uint32_t sectors_per_track;
  uint32_t bytes_per_sector;
};

struct PlatformOps {
  // Returns the open file, or NoFile (LastError tells why).
  FileRef (*Open)(const char* path, OpenKind kind, bool unbuffered);
  // 1 closed; 0 the system reported an error (a write it had held back
  // failed, as on a network file system): the file is closed all the same.
  int (*Close)(FileRef file);
  // Moves to an absolute position: 1 moved, 0 failed.
  int (*Seek)(FileRef file, int64_t offset);
  // Moves to the end and reports that position: 1 done, 0 no end position
  // (a device, a pipe).
  int (*SeekEnd)(FileRef file, int64_t* end);
  // Reads up to n bytes at the current position: the count read (short only
  // at the end of the file), or -1 on failure.
  int64_t (*Read)(FileRef file, void* into, uint32_t n);
  // Writes n bytes at the current position: the count written (short only on
  // failure), or -1 on failure.
  int64_t (*Write)(FileRef file, const void* from, uint32_t n);
  // The error code of the last failed operation (errno, GetLastError).
  int (*LastError)(void);
  // Asks a disk device for its geometry: 1 answered, 0 not a disk.
  int (*DriveGeometry)(FileRef file, DiskGeometry* geometry);
  // 1 when both paths name the same existing file (also through links).
  int (*SameFile)(const char* a, const char* b);
  void (*Sleep)(uint32_t milliseconds);
  // Console output: shown at once on a terminal, buffered when redirected.
  void (*ConsoleWrite)(const char* text, size_t n);
  // Writes out what is buffered. Returns 1, or 0 when some console output
  // of this process could not be written (a full disk, a closed pipe);
  // LastError then tells the first such failure's error code.
  int (*ConsoleFlush)(void);
  // Fixed allocations: aligned to `alignment` (a power of two), or null.
  void* (*Allocate)(size_t n, size_t alignment);
  void (*Release)(void* area);
  // Cuts a regular file to `size` bytes: 1 done, 0 failed or not a regular
  // file (a device, a pipe: never cut).
  int (*Truncate)(FileRef file, int64_t size);
  // Writes to the error stream at once (the companions' errors and progress).
  void (*ErrorWrite)(const char* text, size_t n);
  // 1 when the stream (1 standard output, 2 standard error) is a terminal
  // or console window.
  int (*IsTerminal)(int stream);
  // Creates a directory: 1 created or already there, 0 failed.
  int (*MakeDirectory)(const char* path);
  // Sets an open file's modification time, seconds since 1970 UTC: 1 done.
  int (*SetModifiedTime)(FileRef file, int64_t seconds);
  // 1 when both paths name one file, whether or not it exists yet: the same
  // existing file (also through links), or the same name in the same
  // directory once both are made absolute and canonical (case-insensitively
  // on Windows). Lets a run refuse a log or output over its source before
  // anything is created.
  int (*SamePath)(const char* a, const char* b);
  // The system's own words for an error code (strerror, FormatMessage),
  // without a final line end; never null.
  const char* (*ErrorText)(int code);
  // Removes a file's name (a link itself, never what it leads to): 1 done.
  int (*Remove)(const char* path);
  // 1 when programs may use the processor's SSE2 instructions as far as the
  // system goes: it keeps their registers across task switches (all but
  // the oldest Windows do). Whether the processor has them is asked apart.
  int (*VectorStateSaved)(void);
};

extern PlatformOps Platform;

// Called once before anything else: process-wide settings of the platform.
void PlatformStart(void);
// The profile of the system the tool runs on: ProfileWide or ProfileLegacy.
int PlatformProfile(void);
// 1 on Windows, where "/?" asks a program for its help and commands are
// typed at cmd.exe; 0 elsewhere (a POSIX shell).
int PlatformWindows(void);
// Called by a companion as it ends, with its exit code, which it returns.
// On Windows, when the console window is the companion's own (a double-click
// or a drop on its icon made it, and it closes with the program), asks
// "Press Enter to close this window." and waits, so that the report can be
// read; from a console, a script or a pipe it never waits.
int PlatformKeepWindow(int exit_code);
// The legacy profile's narrow command line, as one text.
const char* PlatformCommandLine(void);
// The wide profile's argument list, program name first, as UTF-8 texts.
void PlatformArgumentList(int argc, char** argv, int* count, char*** args);
