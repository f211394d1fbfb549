// Reading the source pass by pass: ChunkSize passes, then BlockSize passes,
// then the final pass with the tail, each behind the bytes carried over
// from the one before and handed to the scanner. Loop passes are read
// PassesPerRead at a time, one after another in the pass buffer, so each
// finds the last bytes of the one before directly ahead of it.
#include <cstring>

#include "core/run_state.h"
#include "engine/scanner.h"
#include "engine/writer.h"
#include "fileio/devices.h"
#include "run/driver.h"

namespace {

// Where the data of the pass scanned last ends in the pass buffer, counted
// from ChunkSize.
uint32_t LastPassEnd = 0;

// Puts the last bytes of the pass scanned last (as the scanner left them)
// directly ahead of position ChunkSize, where the next read begins.
void CarryOver(bool first) {
  uint8_t* buffer = RunFiles.PassBuffer;
  if (!first) memmove(buffer + ChunkSize - ScanHoldback, buffer + ChunkSize + LastPassEnd - ScanHoldback, ScanHoldback);
}

// Reads the pass of `size` bytes at `offset` on its own, to pass + ChunkSize.
// Returns 1 when read, 0 when the read failed: then the bytes held back from
// the pass before have been scanned as the run's last and the failure
// handed to the hooks.
int ReadOnePass(const PassHooks& hooks, uint8_t* pass, uint32_t size, int64_t offset, bool first) {
  Platform.Seek(RunFiles.Source, offset);
  int64_t got = Platform.Read(RunFiles.Source, pass + ChunkSize, size);
  if (got < (int64_t)size) {
    int error = Platform.LastError();
    // Everything read before the failing pass is scanned and reaches the
    // target first.
    ScanHeldBack(pass, offset, first);
    hooks.ReadFailed(size, offset, error);
    return 0;
  }
  return 1;
}

// The size of the loop pass at P, or 0 when the loop has ended there.
uint32_t LoopPassSize(int64_t P, int64_t S) {
  if (P > S - (int64_t)BlockSize) return 0;
  return S - P >= (int64_t)ChunkSize ? ChunkSize : BlockSize;
}

// The bytes of the loop passes from P on that one read takes: whole passes,
// at most PassesPerRead x ChunkSize bytes (one pass when PassesPerRead is
// 1). 0 when the loop has ended.
uint32_t ReadLength(int64_t P, int64_t S) {
  uint32_t length = 0;
  for (uint32_t size = LoopPassSize(P, S); size != 0 && length + size <= PassesPerRead * ChunkSize;
       size = LoopPassSize(P, S)) {
    length += size;
    P += size;
    if (PassesPerRead == 1) break;
  }
  return length;
}

}  // namespace

int AllocatePassBuffers(void) {
  if (!RunFiles.PassBuffer)
    RunFiles.PassBuffer = (uint8_t*)Platform.Allocate((1 + MostPassesPerRead) * ChunkSize, BufferAlignment);
  if (!OutputBlock.block)
    OutputBlock.block = (uint8_t*)Platform.Allocate(MostBlocksPerWrite * ChunkSize, BufferAlignment);
  if (!RunFiles.PassBuffer || !OutputBlock.block) return 0;
  return 1;
}

int64_t NextWindowStart(int64_t offset) {
  const int64_t S = RunFiles.SourceSize, P0 = RunState.StartOffset, C = ChunkSize, B = BlockSize;
  if (S < P0) return INT64_MAX;
  // The loop's passes of ChunkSize, then of BlockSize (LoopPassSize), then
  // the final one; each after the first begins its window ScanHoldback
  // bytes before its offset.
  int64_t chunks = (S - P0) / C, P1 = P0 + chunks * C, blocks = (S - P1) / B;
  int64_t past = offset + ScanHoldback;
  int64_t k = past < P0 ? 1 : (past - P0) / C + 1;
  if (k <= chunks) return P0 + k * C - ScanHoldback;
  int64_t j = past < P1 ? 1 : (past - P1) / B + 1;
  if (j <= blocks) return P1 + j * B - ScanHoldback;
  return INT64_MAX;
}

int ReadSource(const PassHooks& hooks) {
  int64_t S = RunFiles.SourceSize;
  RunState.StartOffset -= RunState.StartOffset % (int64_t)BlockSize;
  int64_t P = RunState.StartOffset;
  RunState.CurrentHeaderOffset = 0;
  RunState.ExpectedNextHeader = 0;
  RunState.MessagesFound = 0;
  RunState.MessagesExtracted = 0;
  ResetOutputBlock();
  uint8_t* buffer = RunFiles.PassBuffer;
  bool first = true;
  bool stopped = false;
  for (uint32_t length = ReadLength(P, S); length != 0 && !stopped; length = ReadLength(P, S)) {
    KeepHandedBytes();
    CarryOver(first);
    Platform.Seek(RunFiles.Source, P);
    int64_t got = Platform.Read(RunFiles.Source, buffer + ChunkSize, length);
    // The passes of the read in turn. One that the read did not bring whole
    // (it failed, or stopped short) is read again on its own, and so is
    // each after it: a failure is reported for the pass that meets it.
    for (uint32_t at = 0; at < length && !stopped;) {
      uint32_t size = LoopPassSize(P, S);
      uint8_t* pass = buffer + at;
      hooks.BeforePass(P);
      if (got < (int64_t)(at + size) && !ReadOnePass(hooks, pass, size, P, first)) return ExitReadFailed;
      ScanPass(pass, P, size, first, false);
      first = false;
      P += size;
      at += size;
      LastPassEnd = at;
      RunState.BytesProcessed += size;
      if (RunState.StopReading || (RunState.MaxMessages != 0 && RunState.MessagesExtracted > RunState.MaxMessages)) {
        S = P;
        stopped = true;
      }
    }
  }
  hooks.LoopDone();
  if (S < P) return ExitBeyondEnd;
  int64_t T = S - P;
  // The target may be closed and opened again: the blocks that wait go out
  // through the handle that wrote the ones before.
  WriteWaitingBlocks();
  int code = ReopenFiles();
  if (code != 0) return code;
  KeepHandedBytes();
  CarryOver(first);
  if (!ReadOnePass(hooks, buffer, (uint32_t)T, P, first)) return ExitReadFailed;
  ScanPass(buffer, P, (uint32_t)T, first, true);
  RunState.BytesProcessed += T;
  return 0;
}
