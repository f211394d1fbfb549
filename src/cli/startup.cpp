// Where a run begins: the banner, the profile, the argument list.
#include "cli/command_line.h"
#include "run/driver.h"
#include "core/report.h"
#include "core/run_state.h"

int StartProgram(int argc, char** argv) {
  ResetRunState();
  PlatformStart();
  ConsoleText("Quillbase recovery utility v1.0\nHome site https://mendrake.example.org/\n");
  int count = 0;
  char** args = nullptr;
  RunState.Profile = PlatformProfile();
  if (RunState.Profile == ProfileLegacy) {
    RunState.SizeFactor = 2;
    ConsoleText("Warning: running under Windows 9x family\n  You may experience 2Gb or 4Gb limitation.\n");
    args = SplitCommandLine(PlatformCommandLine(), &count);
  } else {
    RunState.SizeFactor = 100;
    PlatformArgumentList(argc, argv, &count, &args);
  }
  int code = ExitDone;
  if (args && ParseCommandLine(count, args)) code = DriveRun();
  if (!args) PrintUsage();
  FlushOutput();
  return code;
}
