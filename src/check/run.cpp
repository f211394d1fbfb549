#include "check/check.h"
#include "cli/command_line.h"
#include "core/report.h"
#include "core/run_state.h"
#include "run/companion.h"
#include "run/driver.h"

int RunCheck(const CheckSettings& settings) {
  RunState.SourcePath = settings.base;
  RunState.ListOnly = true;
  RunState.QuietReport = true;
  int code = OpenCompanionSource("mendrake-check");
  if (code != 0) return code;
  StartJudgement(RunFiles.SourceSize);
  InstallJudgement();
  ReportStart(settings, RunFiles.SourceSize);
  CompanionReading reading;
  code = ReadCompanionSource("mendrake-check", true, &reading);
  CheckSummary summary;
  FinishJudgement(reading.read_failed ? reading.failed_offset : RunFiles.SourceSize, code == 0, &summary);
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
  FlushOutput();
  return code;
}
