#include "engine/writer.h"

#include <cinttypes>
#include <cstring>

#include "run/report.h"
#include "run/run_state.h"

OutputBlockRecord OutputBlock;

void ResetOutputBlock(void) {
  uint8_t* block = OutputBlock.block;
  OutputBlock = OutputBlockRecord();
  OutputBlock.block = block;
}

namespace {

// Writes n bytes (the block's first, or a whole block's worth from the
// caller) at output_offset. A failure leaves them in the block for one retry
// at the next call; a second failure in a row ends all writing for the run,
// so the target stays a gap-free prefix of the recovered data and a dead
// disk is not retried forever.
int WriteBlock(const uint8_t* from, uint32_t n) {
  Platform.Seek(RunFiles.Target, OutputBlock.output_offset);
  int64_t written = Platform.Write(RunFiles.Target, from, n);
  if (written < (int64_t)n) {
    if (from != OutputBlock.block) {
      memcpy(OutputBlock.block, from, n);
      OutputBlock.fill = n;
    }
    ConsolePrint("Can't write block at offset %" PRId64 " error %d\n", OutputBlock.output_offset,
                 Platform.LastError());
    OutputBlock.any_failed = true;
    if (OutputBlock.retrying) OutputBlock.gave_up = true;
    OutputBlock.retrying = true;
    return -1;
  }
  OutputBlock.retrying = false;
  OutputBlock.fill = 0;
  OutputBlock.output_offset += written;
  return 0;
}

}  // namespace

int WriteToTarget(const uint8_t* bytes, uint32_t n, bool final) {
  if (RunState.ListOnly) return 1;
  if (!RunState.Copying) {
    if (!final) return 0;
    n = 0;
  }
  if (OutputBlock.gave_up) return -1;
  uint32_t room = ChunkSize - OutputBlock.fill;
  if (n == ChunkSize && room == ChunkSize && !RunState.Unbuffered) {
    // A whole block's worth goes out from where it lies: one copy fewer.
    // (Unbuffered writes need the aligned block.)
    return WriteBlock(bytes, n) == 0 ? (int)n : -1;
  }
  if (n <= room) {
    if (n) memcpy(OutputBlock.block + OutputBlock.fill, bytes, n);
    OutputBlock.fill += n;
    uint32_t chosen = final ? OutputBlock.fill : (OutputBlock.fill == ChunkSize ? ChunkSize : 0);
    if (chosen == 0) return (int)n;
    return WriteBlock(OutputBlock.block, chosen) == 0 ? (int)n : -1;
  }
  // The bytes do not fit: the first piece fills the block (none when a failed
  // write left it full), each later piece is at most a block.
  uint32_t piece = room;
  for (;;) {
    WriteToTarget(bytes, piece, final);
    if (OutputBlock.gave_up) return -1;
    bytes += piece;
    n -= piece;
    if (n == 0) return 1;
    piece = n < ChunkSize ? n : ChunkSize;
  }
}
