// Runs of the companion programs (mendrake-check, mendrake-export): the same
// passes, scanner and platform as a recovery, with the conventions of
// ordinary command-line tools: errors on the error stream, progress there
// on a terminal, fsck's exit codes.
#pragma once
#include <cstdint>

// Exit codes, as fsck has them.
constexpr int CompanionClean = 0;
constexpr int CompanionProblems = 4;
constexpr int CompanionFailed = 8;
constexpr int CompanionUsage = 16;

// Opens RunState.SourcePath for reading and measures it; allocates the pass
// buffer and the output block. A disk device is read as it is. Returns 0,
// or CompanionFailed after printing "PROGRAM: PATH: why" on the error stream.
int OpenCompanionSource(const char* program);

// How a companion's reading ended.
struct CompanionReading {
  bool read_failed;
  int64_t failed_offset;  // where the failing read began
  uint32_t failed_size;
  int error;              // the platform's error code
};

// Reads the open source from RunState.StartOffset (rounded down to the
// block size) to its end, scanning each pass; with `progress`, a percentage
// on the error stream when it is a terminal. Returns 0 when the source was read to its
// end, CompanionFailed when a read failed (*reading tells where) or the
// start offset lies beyond the end (printed).
int ReadCompanionSource(const char* program, bool progress, CompanionReading* reading);
// Prints "PROGRAM: SOURCE: read failed at offset N (S bytes): the system's
// words (error E)" for a reading that failed.
void PrintReadFailure(const char* program, const CompanionReading& reading);

// ---- Option values, as strictly as every companion reads them.

// The start offset of -o: a decimal number with at most one unit letter
// after it (o bytes, b blocks of 2,048 bytes, k KiB, M or m MiB, G or g
// GiB), or a hexadecimal number with 0x and no unit, as the reports print
// offsets. Returns 1 with *offset set, 0 for anything else (a sign, a
// fraction, an exponent, a space, a second letter, an overflow).
int ReadCompanionOffset(const char* text, int64_t* offset);
// Reads the value of -o as ReadCompanionOffset does; a value it refuses is
// said on the error stream: "PROGRAM: bad offset 'TEXT': the forms it
// takes". Returns 1 with *offset set, or 0.
int TakeCompanionOffset(const char* program, const char* text, int64_t* offset);

// True for an argument that asks for the help: -h, --help, and /? where
// that is the system's way (Windows).
bool IsHelpOption(const char* arg);
// True for the long option `name` ("--mapfile"), alone or with "=VALUE".
bool IsLongOption(const char* arg, const char* name);
// The value of the long option at args[*k] (IsLongOption): what follows its
// "=", else the next argument (*k then moves on to it); null when there is
// none. It may be empty.
const char* LongValue(int count, char** args, int* k);

// The value of a hexadecimal digit, or -1 for any other character.
int HexDigit(char c);

// ---- A GNU ddrescue mapfile: which areas of an image were read.

// Reads the mapfile at `path`: comments, the status line, then lines of
// position, size and status ('+' finished; '?', '*', '/', '-' not), numbers
// in decimal, hexadecimal (0x) or octal (a leading 0). Areas it does not
// cover count as not read. Returns 0; CompanionUsage after "PROGRAM: PATH:
// line N: why" for a malformed mapfile; CompanionFailed when it cannot be
// read (said on the error stream).
int LoadMapfile(const char* program, const char* path);
// True once a mapfile was loaded for this run.
bool MapfileLoaded(void);
// The bytes of [from, to) that lie in areas not read; 0 without a mapfile.
int64_t UnreadBytes(int64_t from, int64_t to);
// Forgets the mapfile (a new run).
void ForgetMapfile(void);
