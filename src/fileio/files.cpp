#include "fileio/files.h"

#include "core/report.h"
#include "core/run_state.h"

int RefuseTarget(void) {
  ConsolePrint("Can't open or create target file %s\nexiting...\n", RunState.TargetPath);
  return ExitTargetOpen;
}

int OpenSourceFile(void) {
  RunFiles.Source = Platform.Open(RunState.SourcePath, OpenSource, RunState.Unbuffered);
  if (RunFiles.Source == NoFile) {
    ConsolePrint("Can't open source file %s\nexiting...\n", RunState.SourcePath);
    return ExitSourceOpen;
  }
  return 0;
}

int OpenTargetFile(void) {
  // A run never writes over its own source, nor over its log.
  bool refused = Platform.SameFile(RunState.TargetPath, RunState.SourcePath) ||
                 (RunState.LogPath && Platform.SameFile(RunState.TargetPath, RunState.LogPath));
  if (!refused) {
    RunFiles.Target = Platform.Open(RunState.TargetPath, OpenTargetExisting, RunState.Unbuffered);
    if (RunFiles.Target == NoFile)
      RunFiles.Target = Platform.Open(RunState.TargetPath, OpenTargetAlways, RunState.Unbuffered);
  }
  if (refused || RunFiles.Target == NoFile) return RefuseTarget();
  return 0;
}
