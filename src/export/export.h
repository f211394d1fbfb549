// mendrake-export: takes the messages out of a base, found exactly as a
// recovery finds them, into one mbox file, one .eml file per message, or a
// clean base. The scanner hands the bytes through ExportWriter
// (mail_writer.cpp); each message's header section is held just long
// enough to learn its sender, date and subject, and everything else streams
// to the output. Bytes that may not be mail are never written: they wait as
// a range of the source and are read again once they prove to be text.
#pragma once
#include <cstdint>
#include <cstring>

#include "engine/writer.h"
#include "run/companion.h"

extern const char* const ExportProgramName;

// The whole program: parses the command line, exports, returns the exit
// code (0 done, 8 operational error, 16 usage error).
int RunExport(int argc, char** argv);

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

// ---- The output formats: one file each (mbox.cpp, eml.cpp, tbb.cpp), one
// entry each in the table of formats.cpp.
struct FormatOps {
  const char* option;  // "--mbox": also --mbox=VALUE
  const char* value;   // what the option names, for the usage line
  const char* help;    // its lines of the help text
  // Prepares the run's output (opens the file, makes the directory).
  // Returns 1, or 0 after the error line.
  int (*Prepare)(void);
  // A message begins (`header`: its 48 bytes as taken). Returns 1 when its
  // text is to be written, 0 when not (refused or failed: reported).
  int (*Begin)(int64_t at, uint32_t number, const uint8_t* header, const MessageFields& fields);
  void (*Text)(const uint8_t* bytes, uint32_t n);
  // The message's text is complete: what ends it goes out, and then
  // OutputMessageEnds(marks), with MarkLineEndAdded when it was given a
  // final line end.
  void (*End)(const MessageFields& fields, uint8_t marks);
  // The run is over: the output closed. Returns 1, or 0 when a write failed.
  int (*Close)(void);
};
// The formats, in the order the usage line names them; a null ends it.
extern const FormatOps* const ExportFormats[];

struct ExportSettingsRecord {
  const FormatOps* Format;
  const char* Output;   // the file, "-" for standard output, or the directory
  const char* Mapfile;  // a ddrescue mapfile of the source, or null
  bool Force;           // an existing output file with bytes in it is replaced
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

// ---- output_file.cpp: the one output file open at a time
// Opens the output the user named: "-" is standard output; an existing file
// with bytes in it is refused (left untouched) unless ExportSettings.Force,
// and then replaced by a new file. Returns 1, or 0 after the error line.
int OutputCreateNamed(const char* path);
// Creates a file of the program's own naming: whatever the name held (a
// file, a link) is replaced by a new file, never written through. Returns
// 1, or 0 after the error line.
int OutputCreateNew(const char* path);
bool OutputOpen(void);
// The open output can be moved in (not a pipe or a terminal).
bool OutputSeekable(void);
// The free part of the output's 256 KiB buffer: bytes go in at `at` while
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
// Sets n bytes at `position`, before OutputPosition(): in the buffer while
// they are there, else in the file (a seekable output). Returns 1, or 0
// after the error line (the output is given up).
int OutputPatch(int64_t position, const uint8_t* bytes, uint32_t n);
// A message's last byte has been put: it counts once that byte is on disk.
enum MessageMarks : uint8_t { MarkDeleted = 1, MarkUndated = 2, MarkLineEndAdded = 4 };
void OutputMessageEnds(uint8_t marks);
// Writes out what is buffered; with `dated`, sets the file's modification
// time; closes. Returns 1, or 0 when some write of this file failed.
int OutputClose(bool dated, int64_t date);
// Prints "PROGRAM: PATH: what: the system's words (error N)", PATH "-" as
// "standard output".
void OutputError(const char* path, const char* what, int error);
// Refuses the output at path: prints "PROGRAM: PATH: why" (PATH as
// OutputError has it), and the run ends with 8. Returns 0.
int OutputRefused(const char* path, const char* why);
// Some output of the run failed or was refused: the run ends with 8.
extern bool OutputFailed;

// ---- mail_writer.cpp: message boundaries and the run's counts
extern const WriterOps ExportWriter;
struct ExportCounts {
  // Messages on disk (their last byte written).
  uint32_t exported, deleted, undated, line_end_added;
  int64_t leading, trailing;  // bytes before the first header, after the last text
  uint32_t gaps;              // stretches between messages that hold a NUL byte
  int64_t gap_bytes;
  uint32_t hit;               // messages in areas the mapfile marks unread
  int64_t hit_bytes;
  // Bytes outside every message in those areas: before the first, in
  // gaps, after the last.
  int64_t unread_leading, unread_gaps, unread_trailing;
};
extern ExportCounts Counts;
// The line state of the message being written (mbox and .eml transforms).
struct LineState {
  bool last_lf;       // the text's last byte so far was a line feed (mbox)
  bool line_start;    // the next text byte begins a line ("From " test pending)
  uint8_t matched;    // bytes of "From " matched at this line's start, held
  bool held_cr;       // a CR ended the last piece, not yet written (mbox)
  bool prev_cr;       // the last text byte was a CR (eml)
};
extern LineState Line;
// Before the run: chooses the format, and puts the export's judgement of
// each header in the scanner's hand.
void StartExportWriter(const FormatOps* format);
// How the reading again of the source ended: failed, where and why.
extern CompanionReading ReadAgain;
