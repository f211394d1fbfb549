// The run driver: opens and measures the files, reads the source pass by
// pass, and ends with the summary and the exit code.
#pragma once
#include <cstdint>

// Carries one recovery from the parsed settings to its end. Returns the exit
// code (0, or one of the negative codes in run_state.h).
int DriveRun(void);

// Opening steps shared with the reopen for (un)buffered access. Each returns
// 0 when the file is open, else prints the failure and returns its exit code.
int OpenSourceFile(void);
int OpenTargetFile(void);

// Reads one pass of `size` bytes at `offset` behind the carried-over bytes
// and hands it to the scanner. Returns 1 when read, 0 when the read failed
// (reported).
int ReadPass(uint32_t size, int64_t offset, bool first, bool final);

// Prints the closing summary (no line feed at its end).
void PrintSummary(void);
