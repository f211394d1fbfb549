// Where the run's texts go: the console, the log, and the report (the log
// when one is open, else the console). Formats are printf's; the texts are
// formed in full before they are written, whatever their length.
#pragma once
#include <cstdint>

#if defined(__GNUC__)
#define MENDRAKE_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define MENDRAKE_PRINTF(a, b)
#endif

void ConsolePrint(const char* format, ...) MENDRAKE_PRINTF(1, 2);
// Writes text as it stands (never as a format).
void ConsoleText(const char* text);
// To the log when one is open; nothing otherwise.
void LogPrint(const char* format, ...) MENDRAKE_PRINTF(1, 2);
// To the log when one is open, else to the console.
void ReportPrint(const char* format, ...) MENDRAKE_PRINTF(1, 2);
// To the error stream, at once (the companion programs' errors).
void ErrorPrint(const char* format, ...) MENDRAKE_PRINTF(1, 2);
// A progress line on the error stream's terminal: drawn in place (a carriage
// return, the text, no line end) over the one before. Any other text to the
// terminal (the console when it shares it, the error stream) first clears
// it, so findings and errors always stand on lines of their own.
void ProgressPrint(const char* format, ...) MENDRAKE_PRINTF(1, 2);
// 1 while a progress line shows.
int ProgressShowing(void);
// Clears a progress line that shows (the reading is over).
void ProgressClear(void);
// Writes out what the log buffer holds. Returns 1, or 0 when the log has
// lost a write. The first write that fails says "Can't write log file" on
// the console; the log takes nothing more in this run.
int FlushLog(void);
// Before a new log is opened: forgets an earlier run's log text and loss.
void StartLog(void);
// 1 when a write to this run's log failed.
int LogFailed(void);
// Flushes the log and the console: before a pause and before the run ends.
// Returns 1, or 0 when some console output of this process could not be
// written (a full disk, a closed pipe). Held console text goes out first,
// after the writes it waits for.
int FlushOutput(void);

// Holding console text back. A writer that puts off writes an immediate
// writer would have made already has console text wait, in order, while it
// does; a failure it finds when it makes them is then told at the place
// where the immediate writer would have told it.
// Starts holding, unless holding already. `release` is called when the held
// text must go out (it is about to outgrow the hold, or a flush): it makes
// the put-off writes and ends the hold with ReleaseConsole.
void HoldConsole(void (*release)(void));
// The length of the text held so far: a place to insert text at later.
// Places are taken before any insertion; insertions come in their order.
uint32_t ConsoleHoldMark(void);
// Formats a text into the held text at `mark`, or prints it when nothing is
// held.
void ConsoleInsertPrint(uint32_t mark, const char* format, ...) MENDRAKE_PRINTF(2, 3);
// Writes the held text out and stops holding.
void ReleaseConsole(void);
