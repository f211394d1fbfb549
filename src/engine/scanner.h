// The block scanner: finds message headers in each pass, checks and repairs
// message lengths, lists the messages and gathers the copied ones.
#pragma once
#include <cstdint>

// Scans the pass the driver has just read into the pass buffer: bytes_read
// bytes at file offset `offset`, behind the carried-over bytes (unless first).
void ScanPass(int64_t offset, uint32_t bytes_read, bool first, bool final);

// Adds n bytes to the message buffer. Returns n when added, 1 in list-only
// mode (nothing added), 0 when no memory was to be had (nothing added).
int AppendToMessage(const uint8_t* bytes, uint32_t n);

// Hands what the message buffer holds to the writer as the final pass would,
// and empties it: a run stopped by a failed read keeps what it recovered.
void FlushHeldMessage(void);
