// The run driver: opens and measures the files, reads the source pass by
// pass, and ends with the summary and the exit code.
#pragma once
#include <cstdint>

// Puts the run state back to its process-start values (ResetRunState) and
// the scanner's and the writer's hand-offs back to the recovery's own. Every
// program calls it first, so any sequence of runs in one process (tests,
// fuzzers) starts clean whatever an earlier run installed.
void ResetRun(void);

// Carries one recovery from the parsed settings to its end. Returns the exit
// code (0, or one of the negative codes in core/run_state.h).
int DriveRun(void);

// What a reading of the source tells its caller as it goes.
struct PassHooks {
  // Before each pass of the loop (not the final pass): the pass's offset.
  void (*BeforePass)(int64_t offset);
  // After the loop, before the final pass (or the refusal of a start
  // offset beyond the end).
  void (*LoopDone)(void);
  // A read failed: what was read has been scanned and the writer finished.
  void (*ReadFailed)(uint32_t size, int64_t offset, int error);
};

// Allocates the pass buffer and the output block. Returns 1, or 0 when
// they cannot be had.
int AllocatePassBuffers(void);

// Reads the open source (RunFiles.Source, RunFiles.SourceSize) from
// RunState.StartOffset, rounded down to BlockSize, to its end: ChunkSize
// passes, then BlockSize passes, then a final pass with the tail, each
// scanned behind the bytes carried over from the one before. Stops after a
// pass that takes the message limit, or after which RunState.StopReading is
// set. Returns 0 when the source was read, ExitReadFailed, ExitBeyondEnd
// (the start offset lies beyond the end), or the exit code of a failed
// reopen before the final pass.
int ReadSource(const PassHooks& hooks);

// The first offset after `offset` where one of ReadSource's scan windows
// begins, for a reading of the whole source from RunState.StartOffset (as
// ReadSource rounded it); INT64_MAX when none does. The scanner does not look
// for a header within 48 bytes after one it found in the same window, so a
// second reading of a stretch finds the same headers only when it knows
// where the windows begin.
int64_t NextWindowStart(int64_t offset);

// Prints the closing summary (no line feed at its end).
void PrintSummary(void);
