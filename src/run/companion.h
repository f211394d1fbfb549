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
