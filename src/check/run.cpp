#include "check/check.h"
#include "core/run_state.h"
#include "run/companion.h"

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
  code = ReadCompanionSource("mendrake-check", &reading);
  CheckSummary summary;
  FinishJudgement(reading.read_failed ? reading.failed_offset : RunFiles.SourceSize, code == 0, &summary);
  if (code == 0) return ReportEnd(summary);
  if (reading.read_failed) ReportReadFailure(summary, reading.failed_offset);
  return code;
}
