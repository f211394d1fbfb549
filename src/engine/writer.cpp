#include "engine/writer.h"

#include <cinttypes>
#include <cstring>

#include "core/report.h"
#include "core/run_state.h"
#include "engine/header.h"

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
    // Both tries of a block write at output_offset: the target keeps the more.
    if (!OutputBlock.retrying) OutputBlock.landed = 0;
    if (written > (int64_t)OutputBlock.landed) OutputBlock.landed = (uint32_t)written;
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

// Area for changing bytes of a target that bypasses the system cache: such a
// target is read and written in whole aligned pieces only.
constexpr uint32_t PatchArea = 2 * BufferAlignment;
uint8_t* PatchBuffer = nullptr;

// The target cannot be moved in (a pipe) or no memory was to be had for the
// change: the length stays as the source had it.
int PatchOutOfReach(void) {
  ReportPrint("Achtung! no memory to hold message at %" PRIx64 ", its length stays as found\n",
              (uint64_t)OutputBlock.message_source_at);
  return 0;
}

int PatchFailed(int64_t at) {
  ConsolePrint("Can't write block at offset %" PRId64 " error %d\n", at, Platform.LastError());
  OutputBlock.any_failed = true;
  return 0;
}

// Sets n bytes at `at`, all of them in the target.
int PatchTarget(int64_t at, const uint8_t* bytes, uint32_t n) {
  if (!RunState.Unbuffered) {
    if (!Platform.Seek(RunFiles.Target, at)) return PatchOutOfReach();
    if (Platform.Write(RunFiles.Target, bytes, n) != (int64_t)n) return PatchFailed(at);
    return 1;
  }
  // Read, change and write back the aligned piece that holds the bytes. The
  // piece lies in what the target holds: below output_offset, which is a
  // whole number of blocks here, or in the aligned part of a failed block
  // that reached it.
  int64_t start = at & ~(int64_t)(BufferAlignment - 1);
  uint32_t span = (uint32_t)(at + n - start) <= BufferAlignment ? BufferAlignment : PatchArea;
  if (!PatchBuffer) PatchBuffer = (uint8_t*)Platform.Allocate(PatchArea, BufferAlignment);
  if (!PatchBuffer) return PatchOutOfReach();
  if (!Platform.Seek(RunFiles.Target, start)) return PatchOutOfReach();
  if (Platform.Read(RunFiles.Target, PatchBuffer, span) != (int64_t)span) return PatchFailed(start);
  memcpy(PatchBuffer + (at - start), bytes, n);
  Platform.Seek(RunFiles.Target, start);
  if (Platform.Write(RunFiles.Target, PatchBuffer, span) != (int64_t)span) return PatchFailed(start);
  return 1;
}

void TargetBytes(const uint8_t* bytes, uint32_t n) { WriteToTarget(bytes, n, false); }

void TargetMessageStarts(int64_t at, uint32_t, const uint8_t*, bool) {
  OutputBlock.message_at = OutputBlock.handed;
  OutputBlock.message_source_at = at;
}

int TargetSetLength(uint32_t length) {
  // A message whose header was not copied whole (a run cut short) keeps it.
  if (OutputBlock.message_at < 0 || OutputBlock.handed - OutputBlock.message_at < MessageLengthOffset + 4)
    return 0;
  uint8_t field[4];
  WriteU32(field, length);
  return PatchOutput(OutputBlock.message_at + MessageLengthOffset, field, 4);
}

int TargetFinish(void) { return WriteToTarget(nullptr, 0, true) < 0 ? -1 : 0; }

// A length repaired later belongs to no message until the next is taken.
void TargetMessageEnds(void) { OutputBlock.message_at = -1; }

}  // namespace

const WriterOps TargetWriter = {TargetBytes, TargetMessageStarts, TargetSetLength, TargetFinish, TargetMessageEnds};
const WriterOps* Writer = &TargetWriter;

int PatchOutput(int64_t at, const uint8_t* bytes, uint32_t n) {
  // Bytes past what reached the target or the block were dropped after the
  // writer gave up: nothing to change there.
  int64_t held_end = OutputBlock.output_offset + OutputBlock.fill;
  if (at + n > held_end) n = at >= held_end ? 0 : (uint32_t)(held_end - at);
  // Below in_target the bytes are in the target already: all that was
  // written, and after the writer gave up what its failed block put there.
  int64_t in_target = OutputBlock.output_offset + (OutputBlock.gave_up ? OutputBlock.landed : 0);
  for (uint32_t k = 0; k < n;) {
    int64_t pos = at + k;
    if (pos >= in_target) {
      memcpy(OutputBlock.block + (pos - OutputBlock.output_offset), bytes + k, n - k);
      break;
    }
    uint32_t below = (uint32_t)(in_target - pos) < n - k ? (uint32_t)(in_target - pos) : n - k;
    // A part the target could not take leaves the rest as found too: a
    // length half set would be neither the found one nor the right one.
    if (!PatchTarget(pos, bytes + k, below)) return 0;
    k += below;
  }
  return 1;
}

int WriteToTarget(const uint8_t* bytes, uint32_t n, bool final) {
  if (RunState.ListOnly) return 1;
  if (!RunState.Copying) {
    if (!final) return 0;
    n = 0;
  }
  OutputBlock.handed += n;
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
  OutputBlock.handed -= n;
  uint32_t piece = room;
  for (;;) {
    WriteToTarget(bytes, piece, final);
    if (OutputBlock.gave_up) {
      OutputBlock.handed += n - piece;
      return -1;
    }
    bytes += piece;
    n -= piece;
    if (n == 0) return 1;
    piece = n < ChunkSize ? n : ChunkSize;
  }
}
