#include "core/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/run_state.h"

namespace {

// The log is written in pieces of this size; list lines are many and small.
constexpr uint32_t LogBufferSize = 65536;
char LogBuffer[LogBufferSize];
uint32_t LogFill = 0;
// A write to the log failed: said once on the console, and the rest of the
// run's log text is dropped, so the log holds what came before the loss
// with no gap in it.
bool LogLost = false;

// Writes n bytes to the log. Returns 1, or 0 when the log has lost them.
int WriteLog(const char* text, uint32_t n) {
  if (LogLost) return 0;
  if (Platform.Write(RunFiles.Log, text, n) == (int64_t)n) return 1;
  int error = Platform.LastError();
  LogLost = true;
  ConsolePrint("Can't write log file %s error %d\n", RunState.LogPath, error);
  return 0;
}

// Formats into a stack buffer, or a heap one when the text is longer.
// Calls `sink` with the text and its length.
void FormatTo(void (*sink)(const char*, size_t), const char* format, va_list args) {
  char small[4096];
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(small, sizeof small, format, args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if ((size_t)n < sizeof small) {
    sink(small, (size_t)n);
  } else {
    char* large = (char*)Platform.Allocate((size_t)n + 1, 1);
    if (large) {
      vsnprintf(large, (size_t)n + 1, format, again);
      sink(large, (size_t)n);
      Platform.Release(large);
    }
  }
  va_end(again);
}

// The progress line on the terminal: how many characters it covers (0: none
// shows), and whether the console writes to that terminal too.
size_t ProgressWidth = 0;
bool ConsoleOnTerminal = false;

void ClearProgress(void) {
  if (ProgressWidth == 0) return;
  char blank[128];
  size_t n = ProgressWidth < sizeof blank - 2 ? ProgressWidth : sizeof blank - 2;
  blank[0] = '\r';
  memset(blank + 1, ' ', n);
  blank[n + 1] = '\r';
  ProgressWidth = 0;
  Platform.ErrorWrite(blank, n + 2);
}

// Console text as it goes to the platform.
void WriteConsole(const char* text, size_t n) {
  if (ProgressWidth && ConsoleOnTerminal) ClearProgress();
  Platform.ConsoleWrite(text, n);
}

// Console text held back while a writer owes writes (see report.h).
constexpr uint32_t HoldSize = 65536;
// Room kept free for the failure lines a release puts in: a few per block.
constexpr uint32_t HoldReserve = 2048;
char HoldArea[HoldSize];
uint32_t HoldFill = 0;
uint32_t HoldInserted = 0;  // bytes inserted so far: later places shift by them
void (*HoldRelease)(void) = nullptr;  // set while holding

void ToConsole(const char* text, size_t n) {
  if (HoldRelease) {
    if (HoldFill + n + HoldReserve <= HoldSize) {
      memcpy(HoldArea + HoldFill, text, n);
      HoldFill += (uint32_t)n;
      return;
    }
    HoldRelease();
    ReleaseConsole();
  }
  WriteConsole(text, n);
}

// Where ConsoleInsertPrint puts its text.
uint32_t InsertMark = 0;

void ToHeldPlace(const char* text, size_t n) {
  uint32_t at = InsertMark + HoldInserted;
  if (!HoldRelease || HoldFill + n > HoldSize || at > HoldFill) {
    ToConsole(text, n);
    return;
  }
  memmove(HoldArea + at + n, HoldArea + at, HoldFill - at);
  memcpy(HoldArea + at, text, n);
  HoldFill += (uint32_t)n;
  HoldInserted += (uint32_t)n;
}

void ToError(const char* text, size_t n) {
  ClearProgress();
  Platform.ErrorWrite(text, n);
}

void ToProgress(const char* text, size_t n) {
  if (ProgressWidth == 0) ConsoleOnTerminal = Platform.IsTerminal(1) != 0;
  Platform.ErrorWrite("\r", 1);
  Platform.ErrorWrite(text, n);
  if (n > ProgressWidth) ProgressWidth = n;
}

void ToLog(const char* text, size_t n) {
  if (RunFiles.Log == NoFile || LogLost) return;
  if (LogFill + n > LogBufferSize) FlushLog();
  if (n >= LogBufferSize) {
    WriteLog(text, (uint32_t)n);
    return;
  }
  memcpy(LogBuffer + LogFill, text, n);
  LogFill += (uint32_t)n;
}

void ToReport(const char* text, size_t n) {
  if (RunState.QuietReport) return;
  if (RunFiles.Log != NoFile)
    ToLog(text, n);
  else
    ToConsole(text, n);
}

}  // namespace

void ConsolePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatTo(ToConsole, format, args);
  va_end(args);
}

void ConsoleText(const char* text) { ToConsole(text, strlen(text)); }

void LogPrint(const char* format, ...) {
  if (RunFiles.Log == NoFile) return;
  va_list args;
  va_start(args, format);
  FormatTo(ToLog, format, args);
  va_end(args);
}

void ReportPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatTo(ToReport, format, args);
  va_end(args);
}

void ErrorPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatTo(ToError, format, args);
  va_end(args);
}

void ProgressPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatTo(ToProgress, format, args);
  va_end(args);
}

int ProgressShowing(void) { return ProgressWidth != 0; }

void ProgressClear(void) { ClearProgress(); }

int FlushLog(void) {
  uint32_t n = LogFill;
  LogFill = 0;
  if (RunFiles.Log == NoFile) return 1;
  if (n == 0) return !LogLost;
  return WriteLog(LogBuffer, n);
}

void StartLog(void) {
  LogFill = 0;
  LogLost = false;
}

int LogFailed(void) { return LogLost; }

int FlushOutput(void) {
  if (HoldRelease) {
    HoldRelease();
    ReleaseConsole();
  }
  FlushLog();
  return Platform.ConsoleFlush();
}

void HoldConsole(void (*release)(void)) {
  if (HoldRelease) return;
  HoldRelease = release;
  HoldFill = 0;
  HoldInserted = 0;
}

uint32_t ConsoleHoldMark(void) { return HoldFill; }

void ConsoleInsertPrint(uint32_t mark, const char* format, ...) {
  InsertMark = mark;
  va_list args;
  va_start(args, format);
  FormatTo(ToHeldPlace, format, args);
  va_end(args);
}

void ReleaseConsole(void) {
  if (!HoldRelease) return;
  HoldRelease = nullptr;
  uint32_t n = HoldFill;
  HoldFill = 0;
  HoldInserted = 0;
  if (n) WriteConsole(HoldArea, n);
}
