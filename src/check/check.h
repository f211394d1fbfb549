// mendrake-check: judges a message base as a mail client reads it, without
// writing anything. One sequential reading through the recovery's own pass
// loop and scanner; each header the scanner finds goes to the judgement
// (judge.cpp), whose findings go to the report (findings.cpp) as they come.
#pragma once
#include <cstdint>

// What the command line asked for.
struct CheckSettings {
  const char* base;
  bool json;
};

// Reads the command line. Returns -1 to run the check, else the exit code
// (0 after --help or --version, CompanionUsage for a bad command line).
int ParseCheckCommandLine(int count, char** args, CheckSettings* settings);

// Opens and reads the base, judges it and prints the report. Returns the
// exit code.
int RunCheck(const CheckSettings& settings);

// The whole program: the command line, the check, the exit code.
int CheckProgram(int argc, char** argv);

enum FindingKind {
  FindingBrokenLength,    // a stored length that does not lead to the next header
  FindingNegativeLength,  // a stored length with its top bit set
  FindingCutOff,          // the last message's stored length runs past the end
  FindingTrailingBytes,   // bytes after the last message's end
};

struct Finding {
  FindingKind kind;
  int64_t header;          // the message's header offset (trailing bytes: where the base ends)
  uint32_t stored_length;
  int64_t right_length;    // the length that leads to the next header / the end
  int64_t size;            // trailing bytes: how many
};

// The judgement as it stands when the reading ends.
struct CheckSummary {
  int64_t size;
  int64_t first_header;    // -1: none found
  uint32_t messages;       // headers that count as messages (walked or scanned)
  uint32_t deleted;
  uint32_t walk_messages;  // how many a mail client reaches
  int64_t walk_stop;       // where the walk stopped; -1 when it reached the end
  const char* walk_reason; // why it stopped, or how it ended
  int64_t walk_stop_header;  // the message whose length led there; -1 none
  int64_t base_end;        // where the last message ends by its stored length
  int64_t trailing;        // bytes after base_end (0 when none)
  uint32_t problems;
  bool length_problems;    // problems that a recovery repairs
};

// The judgement, fed by the scanner as the base is read.
void StartJudgement(int64_t size);
void FinishJudgement(int64_t read_end, bool complete, CheckSummary* summary);
// Puts the judgement in the scanner's place for every header found.
void InstallJudgement(void);

// The report: findings as they come, the summary and verdict at the end.
void ReportStart(const CheckSettings& settings, int64_t size);
void ReportFinding(const Finding& finding);
// Prints the summary and the verdict. Returns the exit code (CompanionClean
// or CompanionProblems).
int ReportEnd(const CheckSummary& summary);
// The reading failed at `offset`: the summary of what was read and no verdict.
void ReportReadFailure(const CheckSummary& summary, int64_t offset);
