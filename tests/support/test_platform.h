// An in-memory platform for in-process runs: files are byte vectors, the
// console is a string, sleeps are counted, and faults are set per test.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/platform.h"

struct MemFaults {
  // A source read that starts at this offset fails; one that runs across
  // it delivers the bytes before it.
  int64_t read_fail_offset = -1;
  int read_fail_error = 5;           // ... with this error code
  int64_t short_read_offset = -1;    // the same, but a read starting here delivers half the bytes
  // A target write that starts at this offset fails, one that runs across
  // it puts the bytes before it and fails; writes of at most a block
  // (64 KiB) that start there count ...
  int64_t write_fail_offset = -1;
  int write_fail_times = 1 << 30;    // ... this many failures (then it takes writes)
  bool write_short = false;          // a counted failure puts half its bytes first
  int write_fail_error = 28;
  int64_t target_capacity = -1;      // the target device is full beyond this size
  uint64_t alloc_fail_above = 0;     // allocations larger than this fail (0 = none)
  bool open_fail_after_first = false;  // a path opens once; every later open fails
  int console_is_terminal = 0;       // standard output is a terminal
  bool console_fails = false;        // standard output takes nothing (a full disk)
  // Transfers on files opened unbuffered must have their position, length
  // and memory address on multiples of this (0: any). The real layers send
  // a refused transfer through the cache instead; this models a disk that
  // takes none, so that an unaligned transfer shows as a failure.
  uint32_t unbuffered_alignment = 0;
};

struct MemCounters {
  int sleeps = 0;
  int reads = 0;
  int writes = 0;
  int failed_writes = 0;
  int opens = 0;
  std::vector<bool> unbuffered_opens;  // one entry per open, in order
  int refused_unaligned = 0;           // transfers refused for alignment
};

// Installs the memory platform in place of the real one and empties it.
void MemReset(void);
// Puts the real platform back.
void MemRestore(void);

void MemPut(const std::string& path, const std::vector<uint8_t>& bytes);
void MemPutText(const std::string& path, const std::string& text);
// A device that has no end position and answers the geometry request
// (answer = 0: it refuses the request); reads give `bytes`.
void MemPutDevice(const std::string& path, const DiskGeometry& geometry, int answer = 1,
                  const std::vector<uint8_t>& bytes = {});
// A file of `size` bytes that reads as zeros except for `tail`, which forms
// its last bytes; nothing but the tail is stored.
void MemPutSparse(const std::string& path, uint64_t size, const std::vector<uint8_t>& tail = {});
// A pipe: writes append whatever the position, it cannot be moved in (Seek
// and SeekEnd fail) nor read back. MemGet gives what was written to it.
void MemPutPipe(const std::string& path);
// Makes `alias` name the same file as `path` (a link).
void MemLink(const std::string& alias, const std::string& path);
void MemPutDirectory(const std::string& path);
bool MemExists(const std::string& path);
std::vector<uint8_t> MemGet(const std::string& path);
std::string MemGetText(const std::string& path);

MemFaults& MemFault(void);
MemCounters& MemCount(void);
std::string& MemConsole(void);
// What was written to the error stream.
std::string& MemErrors(void);

// Runs the tool in process with these arguments (program name first) and
// returns its exit code; the console text is in MemConsole().
int MemRun(const std::vector<std::string>& args);
