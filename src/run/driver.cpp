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
  if (!AllocatePassBuffers()) {
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

void PrintSummary(void) {
  ConsolePrint("Processed %" PRId64 " bytes (%" PRId64 " blocks)\n %d messages found\n %d messages extracted ",
               RunState.BytesProcessed, RunState.BytesProcessed / (int64_t)BlockSize,
               (int)RunState.MessagesFound, (int)RunState.MessagesExtracted);
}

void ResetRun(void) {
  ResetRunState();
  OnHeader = TakeHeader;
  Writer = &TargetWriter;
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
