// Reading the source pass by pass: ChunkSize passes, then BlockSize passes,
// then the final pass with the tail, each behind the bytes carried over
// from the one before and handed to the scanner.
#include <cstring>

#include "core/run_state.h"
#include "engine/scanner.h"
#include "fileio/devices.h"
#include "run/driver.h"

namespace {

// Size of the previous pass's data, whose last bytes the next pass carries.
uint32_t PreviousPassSize = 0;

// Reads one pass of `size` bytes at `offset` behind the carried-over bytes
// and hands it to the scanner. Returns 1 when read, 0 when the read failed:
// then the carried-over bytes have been scanned as the run's last and the
// failure handed to the hooks.
int ReadPass(const PassHooks& hooks, uint32_t size, int64_t offset, bool first, bool final) {
  uint8_t* buffer = RunFiles.PassBuffer;
  if (!first)
    memcpy(buffer + ChunkSize - ScanHoldback, buffer + ChunkSize + PreviousPassSize - ScanHoldback,
           ScanHoldback);
  Platform.Seek(RunFiles.Source, offset);
  int64_t got = Platform.Read(RunFiles.Source, buffer + ChunkSize, size);
  if (got < (int64_t)size) {
    int error = Platform.LastError();
    // Everything read before the failing pass is scanned and reaches the
    // target first.
    ScanHeldBack(offset, first);
    hooks.ReadFailed(size, offset, error);
    return 0;
  }
  PreviousPassSize = size;
  ScanPass(offset, size, first, final);
  return 1;
}

// The size of the loop pass at P, or 0 when the loop has ended there.
uint32_t LoopPassSize(int64_t P, int64_t S) {
  if (P > S - (int64_t)BlockSize) return 0;
  return S - P >= (int64_t)ChunkSize ? ChunkSize : BlockSize;
}

}  // namespace

int AllocatePassBuffers(void) {
  if (!RunFiles.PassBuffer) RunFiles.PassBuffer = (uint8_t*)Platform.Allocate(2 * ChunkSize, BufferAlignment);
  if (!OutputBlock.block) OutputBlock.block = (uint8_t*)Platform.Allocate(ChunkSize, BufferAlignment);
  if (!RunFiles.PassBuffer || !OutputBlock.block) return 0;
  return 1;
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
  bool first = true;
  for (uint32_t size = LoopPassSize(P, S); size != 0; size = LoopPassSize(P, S)) {
    hooks.BeforePass(P);
    if (!ReadPass(hooks, size, P, first, false)) return ExitReadFailed;
    first = false;
    P += size;
    RunState.BytesProcessed += size;
    if (RunState.StopReading || (RunState.MaxMessages != 0 && RunState.MessagesExtracted > RunState.MaxMessages)) {
      S = P;
      break;
    }
  }
  hooks.LoopDone();
  if (S < P) return ExitBeyondEnd;
  int64_t T = S - P;
  int code = ReopenFiles();
  if (code != 0) return code;
  if (!ReadPass(hooks, (uint32_t)T, P, first, true)) return ExitReadFailed;
  RunState.BytesProcessed += T;
  return 0;
}
