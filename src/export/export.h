// mendrake-export: takes the messages out of a base, found exactly as a
// recovery finds them, into one mbox file or one .eml file per message.
// The scanner hands the bytes through ExportWriter (mail_writer.cpp); each
// message's header section is held just long enough to learn its sender,
// date and subject, and everything else streams to the output.
#pragma once
#include <cstdint>
#include <cstring>

#include "engine/writer.h"

extern const char* const ExportProgramName;

// The whole program: parses the command line, exports, returns the exit
// code (0 done, 8 operational error, 16 usage error).
int RunExport(int argc, char** argv);

enum ExportFormat { FormatNone = 0, FormatMbox, FormatEml };

struct ExportSettingsRecord {
  ExportFormat Format;
  const char* Output;  // the mbox file, or the directory of .eml files
  bool Quiet;
};
extern ExportSettingsRecord ExportSettings;

// ---- options.cpp: the command line
enum ParseOutcome { ParsedRun = 0, ParsedDone, ParsedBad };
// Fills ExportSettings and RunState's source, start offset and deleted
// choice from args[1 .. count-1]. Prints the help or version (ParsedDone) or
// the usage line on the error stream (ParsedBad).
int ParseExportOptions(int count, char** args);

// ---- mail_date.cpp: dates without locale or system time zone
// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, uint32_t month, uint32_t day);
// Reads an RFC 5322 date-time (obsolete forms included) from text[0..n).
// Returns 1 with *seconds since 1970 UTC, 0 when it is no usable date.
int ParseMailDate(const char* text, uint32_t n, int64_t* seconds);
// Writes the 24 characters of asctime ("Thu Jan  1 00:00:00 1970") and a NUL.
void FormatAsctime(int64_t seconds, char out[25]);

// ---- header_fields.cpp: what a message's header section tells
constexpr uint32_t SenderLimit = 256;
constexpr uint32_t SlugLimit = 48;
struct MessageFields {
  char sender[SenderLimit + 1];  // never empty, never spaces
  bool dated;
  int64_t date;                  // seconds since 1970 UTC, when dated
  char slug[SlugLimit + 1];      // may be empty
};
// Reads From/Return-Path, Date (else the first Received's), Subject from
// the header section section[0..n).
void ReadHeaderFields(const uint8_t* section, uint32_t n, MessageFields* fields);
// Turns a subject into a file-name part (slug[0..SlugLimit]).
void MakeSlug(const uint8_t* subject, uint32_t n, char* slug);

// ---- encoded_words.cpp: a subject as plain ASCII
// Decodes the RFC 2047 encoded words of the unfolded subject[0..n), reads
// its other bytes as UTF-8 where they form valid sequences and as
// Windows-1252 where they do not, and folds letters with diacritics to
// their ASCII base letters (U+00FC u, U+00DF ss); other characters
// become spaces. Writes at most cap bytes, all below 0x80; returns how many.
uint32_t FoldSubject(const uint8_t* subject, uint32_t n, char* out, uint32_t cap);

// ---- output_file.cpp: the one output file open at a time
// Creates (or replaces) path. Returns 1, or 0 after the error line.
int OutputCreate(const char* path);
bool OutputOpen(void);
// The free part of the output's 64 KiB buffer: bytes go in at `at` while
// they fit before `end` (no room at all once the file failed or is closed).
struct OutputRoomRecord {
  uint8_t* at;
  uint8_t* end;
};
extern OutputRoomRecord OutputRoom;
// Takes bytes that do not fit: writes the buffer out and goes on. A failed
// write prints the error line once; the output takes no more bytes.
void OutputPutSlow(const uint8_t* bytes, uint32_t n);
// Appends bytes: a copy into the buffer, a call only when it is full.
inline void OutputPut(const uint8_t* bytes, uint32_t n) {
  if ((size_t)(OutputRoom.end - OutputRoom.at) >= n) {
    memcpy(OutputRoom.at, bytes, n);
    OutputRoom.at += n;
  } else {
    OutputPutSlow(bytes, n);
  }
}
// Where the next byte goes.
int64_t OutputPosition(void);
// Takes back everything from `position` on. Returns 1, or 0 after the
// error line (the output is given up).
int OutputCutTo(int64_t position);
// Writes out what is buffered; with `dated`, sets the file's modification
// time; closes. Returns 1, or 0 when some write of this file failed.
int OutputClose(bool dated, int64_t date);
// Some output of the run failed or was refused: the run ends with 8.
extern bool OutputFailed;

// ---- the two formats: the line transform of a message's text
struct LineState {
  bool last_lf;       // the text's last byte so far was a line feed (mbox)
  bool line_start;    // the next text byte begins a line ("From " test pending)
  uint8_t matched;    // bytes of "From " matched at this line's start, held
  bool held_cr;       // a CR ended the last piece, not yet written (mbox)
  bool prev_cr;       // the last text byte was a CR (eml)
};
extern LineState Line;

struct FormatOps {
  // Prepares the run's output (creates the mbox, makes the directory).
  // Returns 1, or 0 after the error line.
  int (*Prepare)(void);
  // A message begins: the From line, or the .eml file. Returns 1 when its
  // text is to be written, 0 when it is not (refused or failed: reported).
  int (*Begin)(int64_t at, uint32_t number, const MessageFields& fields);
  void (*Text)(const uint8_t* bytes, uint32_t n);
  // The message's text is complete. *line_end_added tells whether it got a
  // final line end.
  void (*End)(const MessageFields& fields, bool* line_end_added);
  // The run is over: the mbox closed. Returns 1, or 0 when a write failed.
  int (*Close)(void);
};
extern const FormatOps MboxFormat;
extern const FormatOps EmlFormat;

// ---- mail_writer.cpp: message boundaries and the run's counts
extern const WriterOps ExportWriter;
struct ExportCounts {
  uint32_t exported, deleted, undated, line_end_added;
  int64_t leading, trailing;
};
extern ExportCounts Counts;
// Before the run: chooses the format.
void StartExportWriter(const FormatOps* format);
// The last header the scanner found was a taken message (else a skipped one).
extern bool LastHeaderExported;
