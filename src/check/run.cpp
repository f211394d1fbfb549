// One check from its settings to its exit code, and the program around it.
#include <cinttypes>

#include "check/check.h"
#include "cli/command_line.h"
#include "core/report.h"
#include "core/run_state.h"
#include "run/companion.h"
#include "run/driver.h"

int RunCheck(const CheckSettings& settings) {
  RunState.SourcePath = settings.base;
  RunState.StartOffset = settings.start;
  RunState.QuietReport = true;
  ForgetMapfile();
  if (settings.mapfile) {
    int code = LoadMapfile("mendrake-check", settings.mapfile);
    if (code != 0) return code;
  }
  int code = OpenCompanionSource("mendrake-check");
  if (code != 0) return code;
  StartJudgement(settings);
  InstallJudgement();
  // A start beyond the end is refused by the reading, before any report.
  int64_t start = settings.start - settings.start % (int64_t)BlockSize;
  if (start <= RunFiles.SourceSize) ReportStart(settings, RunFiles.SourceSize, start);
  CompanionReading reading;
  code = ReadCompanionSource("mendrake-check", true, &reading);
  CheckSummary summary;
  FinishJudgement(reading.read_failed ? reading.failed_offset : RunFiles.SourceSize, code == 0, &summary);
  if (code == 0 && summary.failed_at >= 0) {
    // A stretch read again could not be: what was judged stands, no verdict.
    ErrorPrint("mendrake-check: %s: read failed at offset %" PRId64 " (reading it again): %s (error %d)\n",
               settings.base, summary.failed_at, Platform.ErrorText(summary.failed_error), summary.failed_error);
    ReportReadFailure(summary, summary.failed_at);
    return CompanionFailed;
  }
  if (code == 0) return ReportEnd(summary);
  if (reading.read_failed) ReportReadFailure(summary, reading.failed_offset);
  return code;
}

int CheckProgram(int argc, char** argv) {
  ResetRun();
  PlatformStart();
  int count = 0;
  char** args = ProgramArguments(argc, argv, &count);
  CheckSettings settings;
  int code = args ? ParseCheckCommandLine(count, args, &settings) : CompanionFailed;
  if (code < 0) code = RunCheck(settings);
  // A report that did not reach its reader is no report: never a success.
  if (!FlushOutput()) {
    int error = Platform.LastError();
    ErrorPrint("mendrake-check: the report could not be written: %s (error %d)\n", Platform.ErrorText(error), error);
    code = CompanionFailed;
  }
  return code;
}
