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

bool TargetMeetsSourceOrLog(void) {
  return Platform.SamePath(RunState.TargetPath, RunState.SourcePath) ||
         (RunState.LogPath && Platform.SamePath(RunState.TargetPath, RunState.LogPath));
}

int OpenTargetFile(void) {
  // A run never writes over its own source, nor over its log. Asked again at
  // every open: the log now exists, and a link may lead the target to it.
  if (TargetMeetsSourceOrLog()) return RefuseTarget();
  RunFiles.Target = Platform.Open(RunState.TargetPath, OpenTargetExisting, RunState.Unbuffered);
  if (RunFiles.Target == NoFile)
    RunFiles.Target = Platform.Open(RunState.TargetPath, OpenTargetAlways, RunState.Unbuffered);
  if (RunFiles.Target == NoFile) return RefuseTarget();
  return 0;
}

void CutTarget(void) {
  // An existing file is written over from its start: what it held past the
  // recovered bytes would follow them as stale mail. The cut goes to the end
  // of the writes that succeeded and of what a last failed write put there
  // all the same: a cut never takes recovered bytes. Nothing is cut that the
  // file does not hold (a cut never lengthens it); devices and pipes have no
  // end and are never cut. A cut that fails leaves the old bytes behind, and
  // every recovered byte in place: the run ends as it would have.
  if (RunFiles.Target == NoFile) return;
  int64_t end = OutputBlock.output_offset + (OutputBlock.retrying ? OutputBlock.landed : 0);
  int64_t size = 0;
  if (Platform.SeekEnd(RunFiles.Target, &size) && size > end) Platform.Truncate(RunFiles.Target, end);
}
