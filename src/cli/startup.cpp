// Where a run begins: the banner, the profile, the argument list.
#include "cli/command_line.h"
#include "run/driver.h"
#include "core/report.h"
#include "core/run_state.h"

int StartProgram(int argc, char** argv) {
  ResetRun();
  PlatformStart();
  ConsoleText("Quillbase recovery utility v1.0\nHome site https://mendrake.example.org/\n");
  int count = 0;
  RunState.Profile = PlatformProfile();
  if (RunState.Profile == ProfileLegacy) {
    RunState.SizeFactor = 2;
    ConsoleText("Warning: running under Windows 9x family\n  You may experience 2Gb or 4Gb limitation.\n");
  } else {
    RunState.SizeFactor = 100;
  }
  char** args = ProgramArguments(argc, argv, &count);
  int code = ExitDone;
  if (args && ParseCommandLine(count, args)) code = DriveRun();
  if (!args) PrintUsage();
  FlushOutput();
  return code;
}

char** ProgramArguments(int argc, char** argv, int* count) {
  if (PlatformProfile() == ProfileLegacy) return SplitCommandLine(PlatformCommandLine(), count);
  char** args = nullptr;
  PlatformArgumentList(argc, argv, count, &args);
  return args;
}
