// mendrake-check BASE: judges a message base without writing anything.
#include "check/check.h"
#include "cli/command_line.h"
#include "core/report.h"
#include "core/run_state.h"
#include "run/companion.h"

int main(int argc, char** argv) {
  ResetRunState();
  PlatformStart();
  int count = 0;
  char** args = ProgramArguments(argc, argv, &count);
  CheckSettings settings;
  int code = args ? ParseCheckCommandLine(count, args, &settings) : CompanionFailed;
  if (code < 0) code = RunCheck(settings);
  FlushOutput();
  return code;
}
