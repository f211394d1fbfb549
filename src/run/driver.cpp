#include "run/driver.h"

#include <cinttypes>
#include <cstring>

#include "core/report.h"
#include "core/run_state.h"
#include "engine/scanner.h"
#include "engine/writer.h"
#include "fileio/devices.h"
#include "fileio/files.h"

namespace {

// Size of the previous pass's data, whose last bytes the next pass carries.
uint32_t PreviousPassSize = 0;

const char* TargetName(void) { return RunState.TargetPath ? RunState.TargetPath : "(null)"; }

int RefuseLog(void) {
  ConsolePrint("Can't create log file %s\nexiting...\n", RunState.LogPath);
  return ExitLogCreate;
}

int OpenLog(void) {
  StartLog();
  RunFiles.Log = Platform.Open(RunState.LogPath, OpenLogReplace, false);
  return RunFiles.Log == NoFile ? RefuseLog() : 0;
}

int AllocateBuffers(void) {
  if (!RunFiles.PassBuffer)
    RunFiles.PassBuffer = (uint8_t*)Platform.Allocate(2 * ChunkSize, BufferAlignment);
  if (!OutputBlock.block) OutputBlock.block = (uint8_t*)Platform.Allocate(ChunkSize, BufferAlignment);
  if (!RunFiles.PassBuffer || !OutputBlock.block) {
    ConsolePrint("Can't alloc %d Kbytes for temporary buffer\nexiting...\n", (int)(ChunkSize / 512));
    return ExitNoMemory;
  }
  return 0;
}

int OpenAndMeasure(void) {
  // The banner shows before any open, however the console is redirected.
  Platform.ConsoleFlush();
  // The refusals by path come before anything is opened or created: a log
  // or a target over the source would truncate the very file being rescued,
  // a log over a missing source would create it, a log and a target in one
  // file would mix them.
  if (RunState.LogPath && Platform.SamePath(RunState.LogPath, RunState.SourcePath)) return RefuseLog();
  if (!RunState.ListOnly && RunState.TargetPath && TargetMeetsSourceOrLog()) return RefuseTarget();
  int code = 0;
  if (RunState.LogPath && (code = OpenLog()) != 0) return code;
  if ((code = OpenSourceFile()) != 0) return code;
  if (!RunState.ListOnly && (code = OpenTargetFile()) != 0) return code;
  if ((code = AllocateBuffers()) != 0) return code;
  int64_t size = QueryFileSize(RunFiles.Source, &RunFiles.SourceIsBlockDevice);
  RunFiles.SourceSize = size;
  if (size == 0) {
    ConsolePrint("Empty source file %s\nexiting...\n", RunState.SourcePath);
    return ExitNoSize;
  }
  if (size < 0) {
    ConsolePrint("Can't get source file size: %s\nexiting...\n", RunState.SourcePath);
    return ExitNoSize;
  }
  if ((code = ApplyUnbufferedRule()) != 0) return code;
  return CheckTarget();
}

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

// mendrake's own reading: a dot per fiftieth of the source, its failure texts.
int64_t DotStep = 1;
uint32_t LastDot = UINT32_MAX;

void DotBeforePass(int64_t offset) {
  uint32_t k = (uint32_t)(offset / DotStep);
  if (k != LastDot) {
    ConsoleText(".");
    LastDot = k;
  }
}

void DotsDone(void) { ConsoleText("\n"); }

void ReportReadFailure(uint32_t size, int64_t offset, int error) {
  int64_t lba = (int64_t)((uint64_t)offset / BlockSize);
  ConsolePrint("Can't read block (%d bytes) at offset %" PRId64 " (LBA %" PRId64 ") error %d\n", (int)size, offset,
               lba, error);
  FlushOutput();
  Platform.Sleep(1000);
  LogPrint("bad at %" PRId64 " (LBA %" PRId64 ") size %d (%d blocks)\n", offset, lba, (int)size,
           (int)(size / BlockSize));
}

const PassHooks RecoveryHooks = {DotBeforePass, DotsDone, ReportReadFailure};

int PassesAndEnd(void) {
  int64_t S = RunFiles.SourceSize;
  ConsolePrint("%s -> %s\n%" PRId64 " bytes\n", RunState.SourcePath, TargetName(), S);
  ConsolePrint("Starting from offset %" PRId64 " bytes\n",
               RunState.StartOffset - RunState.StartOffset % (int64_t)BlockSize);
  DotStep = S / 50 ? S / 50 : 1;
  LastDot = UINT32_MAX;
  int code = ReadSource(RecoveryHooks);
  if (code == ExitBeyondEnd) {
    ConsolePrint("Can't copy file tail (%" PRId64 " bytes)\n", S - RunState.StartOffset);
    return ExitBeyondEnd;
  }
  if (code != 0 && code != ExitReadFailed) return code;
  // The writer has finished (a failed read flushes what was read before it):
  // the target ends where its writes ended. A log that failed says so before
  // the closing lines.
  CutTarget();
  FlushLog();
  if (code == ExitReadFailed) ConsoleText("Stop on output error\n");
  PrintSummary();
  if (code == ExitReadFailed) return code;
  return OutputBlock.any_failed ? ExitWriteFailed : ExitDone;
}

}  // namespace

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
  while (P <= S - (int64_t)BlockSize) {
    hooks.BeforePass(P);
    uint32_t size = S - P >= (int64_t)ChunkSize ? ChunkSize : BlockSize;
    if (!ReadPass(hooks, size, P, first, false)) return ExitReadFailed;
    first = false;
    P += size;
    RunState.BytesProcessed += size;
    if (RunState.MaxMessages != 0 && RunState.MessagesExtracted > RunState.MaxMessages) {
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

void PrintSummary(void) {
  ConsolePrint("Processed %" PRId64 " bytes (%" PRId64 " blocks)\n %d messages found\n %d messages extracted ",
               RunState.BytesProcessed, RunState.BytesProcessed / (int64_t)BlockSize,
               (int)RunState.MessagesFound, (int)RunState.MessagesExtracted);
}

int DriveRun(void) {
  int code = OpenAndMeasure();
  if (code == 0) code = PassesAndEnd();
  FlushOutput();
  // A log that lost lines ends a run that was otherwise whole with the log's
  // code; a failed write or read says more and keeps its own.
  if (code == ExitDone && LogFailed()) code = ExitLogCreate;
  return code;
}
