// The output writer: packs completed messages into the output block and
// writes each full block to the target at consecutive offsets from 0.
#pragma once
#include <cstdint>

struct OutputBlockRecord {
  uint8_t* block;         // ChunkSize bytes, allocated by the run driver
  uint32_t fill;          // bytes of the block in use
  int64_t output_offset;  // where the block's first byte goes in the target
  bool retrying;          // the last write failed; the block waits for a retry
  bool gave_up;           // a retry failed too: later bytes are dropped
  bool any_failed;        // some write of this run failed
};

extern OutputBlockRecord OutputBlock;

// Hands n bytes to the writer; final writes out whatever the block holds.
// Returns n when the bytes fit (0 for a final call while not copying), 1 for
// a split append and in list-only mode, 0 for a non-final call while not
// copying, -1 when a write failed or the writer has given up.
int WriteToTarget(const uint8_t* bytes, uint32_t n, bool final);

// Empties the block and forgets earlier failures; keeps the allocation.
void ResetOutputBlock(void);
