#include "run/companion.h"

#include <cinttypes>
#include <cstring>

#include "core/report.h"
#include "core/run_state.h"
#include "fileio/devices.h"
#include "run/driver.h"

namespace {

const char* Program = "";
CompanionReading* Reading = nullptr;
int LastPercent = -1;
bool ShowProgress = false;

// The percentage read, on the terminal's progress line (which any other
// text clears first; it comes back at the next pass).
void ShowPercent(int64_t offset) {
  if (!ShowProgress) return;
  int64_t size = RunFiles.SourceSize;
  int percent = size > 0 ? (int)(offset * 100 / size) : 100;
  if (percent == LastPercent && ProgressShowing()) return;
  LastPercent = percent;
  ProgressPrint("%s: %3d%%", Program, percent);
}

void ProgressDone(void) {
  ProgressClear();
  LastPercent = -1;
}

void NoteReadFailure(uint32_t size, int64_t offset, int error) {
  Reading->read_failed = true;
  Reading->failed_offset = offset;
  Reading->failed_size = size;
  Reading->error = error;
}

const PassHooks CompanionHooks = {ShowPercent, ProgressDone, NoteReadFailure};

}  // namespace

int OpenCompanionSource(const char* program) {
  const char* path = RunState.SourcePath;
  RunFiles.Source = Platform.Open(path, OpenSource, false);
  if (RunFiles.Source == NoFile) {
    int error = Platform.LastError();
    ErrorPrint("%s: %s: cannot open: %s (error %d)\n", program, path, Platform.ErrorText(error), error);
    return CompanionFailed;
  }
  if (!AllocatePassBuffers()) {
    ErrorPrint("%s: out of memory\n", program);
    return CompanionFailed;
  }
  RunFiles.SourceSize = QueryFileSize(RunFiles.Source, &RunFiles.SourceIsBlockDevice);
  if (RunFiles.SourceSize < 0) {
    ErrorPrint("%s: %s: its size cannot be had (not a file or disk)\n", program, path);
    return CompanionFailed;
  }
  return 0;
}

int ReadCompanionSource(const char* program, bool progress, CompanionReading* reading) {
  Program = program;
  Reading = reading;
  *reading = CompanionReading();
  ShowProgress = progress && Platform.IsTerminal(2) != 0;
  LastPercent = -1;
  // The reading rounds the start offset down in place; the value given is
  // the one a person knows.
  int64_t given = RunState.StartOffset;
  int code = ReadSource(CompanionHooks);
  if (code == 0) return 0;
  if (code == ExitBeyondEnd) {
    if (given == RunState.StartOffset)
      ErrorPrint("%s: start offset %" PRId64 " lies beyond the end of %s (%" PRId64 " bytes)\n", program, given,
                 RunState.SourcePath, RunFiles.SourceSize);
    else
      ErrorPrint("%s: start offset %" PRId64 " (rounded down: %" PRId64 ") lies beyond the end of %s (%" PRId64
                 " bytes)\n",
                 program, given, RunState.StartOffset, RunState.SourcePath, RunFiles.SourceSize);
    return CompanionFailed;
  }
  if (code == ExitReadFailed) PrintReadFailure(program, *reading);
  return CompanionFailed;
}

void PrintReadFailure(const char* program, const CompanionReading& reading) {
  ErrorPrint("%s: %s: read failed at offset %" PRId64 " (%" PRIu32 " bytes): %s (error %d)\n", program,
             RunState.SourcePath, reading.failed_offset, reading.failed_size, Platform.ErrorText(reading.error),
             reading.error);
}
