// Opening the run's source and target by their paths, with the run's
// messages on failure. Used at the start and by every reopen.
#pragma once

// Each returns 0 when the file is open, else prints the failure and returns
// its exit code (ExitSourceOpen, ExitTargetOpen).
int OpenSourceFile(void);
int OpenTargetFile(void);

// The message of a target that cannot be opened or is refused. Returns
// ExitTargetOpen.
int RefuseTarget(void);

// True when the target names the source or the log: the same file, or the
// same name in the same directory whether or not it exists yet.
bool TargetMeetsSourceOrLog(void);

// At the end of a run that went through its passes: cuts a regular-file
// target to the bytes this run wrote.
void CutTarget(void);
