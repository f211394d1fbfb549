#include "engine/writer.h"

#include <cinttypes>
#include <cstring>

#include "core/report.h"
#include "core/run_state.h"
#include "engine/header.h"

namespace {

// Tells that the write of n bytes at output_offset failed, at console place
// `mark` (printed at once when nothing is held), and keeps the bytes in the
// area for one retry at the next call; a second failure in a row ends all
// writing for the run, so the target stays a gap-free prefix of the
// recovered data and a dead disk is not retried forever. Returns -1.
int WriteFailed(int64_t written, uint32_t mark) {
  ConsoleInsertPrint(mark, "Can't write block at offset %" PRId64 " error %d\n", OutputBlock.output_offset,
                     Platform.LastError());
  // Both tries of a block write at output_offset: the target keeps the more.
  if (!OutputBlock.retrying) OutputBlock.landed = 0;
  if (written > (int64_t)OutputBlock.landed) OutputBlock.landed = (uint32_t)written;
  OutputBlock.any_failed = true;
  if (OutputBlock.retrying) OutputBlock.gave_up = true;
  OutputBlock.retrying = true;
  return -1;
}

// One try of one block (or of the final bytes) at output_offset. Returns 0
// written, -1 failed (told at `mark`).
int WriteBlock(const uint8_t* from, uint32_t n, uint32_t mark) {
  Platform.Seek(RunFiles.Target, OutputBlock.output_offset);
  int64_t written = Platform.Write(RunFiles.Target, from, n);
  if (written < (int64_t)n) return WriteFailed(written, mark);
  OutputBlock.retrying = false;
  OutputBlock.output_offset += written;
  return 0;
}

// The bytes handed and not yet written, in order: the area's fill bytes, or
// direct_length bytes where the scanner had them (never both).
uint32_t Pending(void) { return OutputBlock.fill + OutputBlock.direct_length; }
const uint8_t* PendingBytes(void) { return OutputBlock.direct_length ? OutputBlock.direct : OutputBlock.block; }

// The first n pending bytes have been written (or are dropped).
void Consume(uint32_t n) {
  if (OutputBlock.direct_length) {
    OutputBlock.direct += n;
    OutputBlock.direct_length -= n;
    return;
  }
  OutputBlock.fill = n < OutputBlock.fill ? OutputBlock.fill - n : 0;
  if (n) memmove(OutputBlock.block, OutputBlock.block + n, OutputBlock.fill);
}

// The pending bytes from `from` on, `n` of them, are all the area holds.
void KeepInArea(uint32_t from, uint32_t n) {
  memmove(OutputBlock.block, PendingBytes() + from, n);
  OutputBlock.fill = n;
  OutputBlock.direct_length = 0;
}

// Writes the waiting full blocks, with `final` the bytes after them too, in
// one call. When a call of several blocks fails, the blocks it did not
// write whole are written again one at a time, as an immediate writer wrote
// each when it became full: a failure is told where that writer told it and
// retried where its next call came; a block with no next call yet waits for
// it, as that writer's block did. Returns 0, or -1 when a write failed.
int WriteDue(bool final) {
  uint32_t due = OutputBlock.due;
  uint32_t n = final ? Pending() : due * ChunkSize;
  OutputBlock.due = 0;
  if (n == 0) {
    ReleaseConsole();
    return 0;
  }
  const uint8_t* bytes = PendingBytes();
  Platform.Seek(RunFiles.Target, OutputBlock.output_offset);
  int64_t written = Platform.Write(RunFiles.Target, bytes, n);
  if (written == (int64_t)n) {
    OutputBlock.output_offset += n;
    Consume(n);
    ReleaseConsole();
    return 0;
  }
  // A call of one block (or of the final bytes alone) was that block's try.
  bool tried = n <= ChunkSize;
  uint32_t k = 0;
  if (tried) {
    WriteFailed(written, due ? OutputBlock.due_mark[0] : ConsoleHoldMark());
  } else {
    k = written > 0 ? (uint32_t)(written / ChunkSize) : 0;
    if (k > due) k = due;
    OutputBlock.output_offset += (int64_t)k * ChunkSize;
  }
  for (; k < due; k++) {
    const uint8_t* from = bytes + k * ChunkSize;
    if (!tried && WriteBlock(from, ChunkSize, OutputBlock.due_mark[k]) == 0) continue;
    tried = false;
    if (!OutputBlock.next_seen[k] || WriteBlock(from, ChunkSize, OutputBlock.next_mark[k]) != 0) break;
  }
  if (k < due) {
    // The block waits for its retry, or the writer has given up: it stays
    // in the area alone, as an immediate writer's block stayed.
    KeepInArea(k * ChunkSize, ChunkSize);
  } else {
    Consume(due * ChunkSize);
    if (final && Pending() && !tried && WriteBlock(PendingBytes(), Pending(), ConsoleHoldMark()) == 0) Consume(Pending());
    // Final bytes that failed wait in the area, as an immediate writer's did.
    KeepInArea(0, Pending());
  }
  ReleaseConsole();
  return -1;
}

// The writer stops referring to bytes where the scanner had them: the full
// blocks go out, the rest is copied to the area.
void SettleDirect(void) {
  if (!OutputBlock.direct_length) return;
  if (OutputBlock.due) WriteDue(false);
  if (OutputBlock.direct_length) KeepInArea(0, OutputBlock.direct_length);
}

void ReleaseHeldConsole(void) { WriteDue(false); }

// The block being filled is full. An immediate writer would write it now;
// it waits instead, up to BlocksPerWrite of them, and console text waits
// with it. A block whose write failed is retried at once.
int BlockFull(void) {
  if (OutputBlock.retrying) {
    if (WriteBlock(OutputBlock.block, ChunkSize, ConsoleHoldMark()) != 0) return -1;
    OutputBlock.fill = 0;
    return 0;
  }
  HoldConsole(ReleaseHeldConsole);
  uint32_t k = OutputBlock.due++;
  OutputBlock.due_mark[k] = ConsoleHoldMark();
  OutputBlock.next_seen[k] = false;
  return OutputBlock.due >= BlocksPerWrite ? WriteDue(false) : 0;
}

// Takes n handed bytes, no more than the block being filled has room for.
// With `refer`, bytes that follow the pending ones where they lie (the
// scanner's pass buffer, which stays as it is until KeepHandedBytes) stay
// there, and so does a new run of them that begins a block; otherwise they
// are copied to the area. A target that bypasses the system cache is
// written from the aligned area only.
void Take(const uint8_t* bytes, uint32_t n, bool refer) {
  if (n == 0) return;
  if (OutputBlock.direct_length) {
    if (bytes == OutputBlock.direct + OutputBlock.direct_length) {
      OutputBlock.direct_length += n;
      return;
    }
    SettleDirect();
    if (OutputBlock.gave_up) return;
  }
  if (refer && !RunState.Unbuffered && !OutputBlock.retrying && OutputBlock.fill % ChunkSize == 0) {
    // The area's full blocks go out first: pending bytes lie in one place.
    if (OutputBlock.fill) WriteDue(false);
    if (OutputBlock.gave_up) return;
    if (OutputBlock.fill == 0) {
      OutputBlock.direct = bytes;
      OutputBlock.direct_length = n;
      return;
    }
  }
  memcpy(OutputBlock.block + OutputBlock.fill, bytes, n);
  OutputBlock.fill += n;
}

int Hand(const uint8_t* bytes, uint32_t n, bool final, bool refer);

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

void TargetBytes(const uint8_t* bytes, uint32_t n) { Hand(bytes, n, false, true); }

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

void WriteWaitingBlocks(void) {
  if (OutputBlock.due) WriteDue(false);
}

void KeepHandedBytes(void) { SettleDirect(); }

int PatchOutput(int64_t at, const uint8_t* bytes, uint32_t n) {
  // A change is made in the area, never where the scanner had the bytes.
  SettleDirect();
  // Bytes in waiting blocks are in the target for an immediate writer: they
  // go there first, and the change follows them.
  if (OutputBlock.due && at < OutputBlock.output_offset + (int64_t)OutputBlock.due * ChunkSize) WriteDue(false);
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

int WriteToTarget(const uint8_t* bytes, uint32_t n, bool final) { return Hand(bytes, n, final, false); }

namespace {

int Hand(const uint8_t* bytes, uint32_t n, bool final, bool refer) {
  if (RunState.ListOnly) return 1;
  if (!RunState.Copying) {
    if (!final) return 0;
    n = 0;
  }
  // The retry of the last waiting block, should its write fail, belongs here.
  uint32_t due = OutputBlock.due;
  if (due && !OutputBlock.next_seen[due - 1]) {
    OutputBlock.next_mark[due - 1] = ConsoleHoldMark();
    OutputBlock.next_seen[due - 1] = true;
  }
  OutputBlock.handed += n;
  if (OutputBlock.gave_up) return -1;
  uint32_t filled = Pending() - due * ChunkSize;  // of the block being filled
  uint32_t room = ChunkSize - filled;
  if (n <= room) {
    Take(bytes, n, refer);
    if (OutputBlock.gave_up) return -1;
    if (final) {
      // A block whose write failed is retried with the final call (it holds
      // nothing else); otherwise everything held goes out.
      if (!OutputBlock.retrying) return WriteDue(true) == 0 ? (int)n : -1;
      if (WriteBlock(OutputBlock.block, OutputBlock.fill, ConsoleHoldMark()) != 0) return -1;
      OutputBlock.fill = 0;
      return (int)n;
    }
    if (filled + n < ChunkSize) return (int)n;
    return BlockFull() == 0 ? (int)n : -1;
  }
  // The bytes do not fit: the first piece fills the block (none when a failed
  // write left it full), each later piece is at most a block.
  OutputBlock.handed -= n;
  uint32_t piece = room;
  for (;;) {
    Hand(bytes, piece, final, refer);
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

}  // namespace
