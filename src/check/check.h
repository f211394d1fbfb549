// mendrake-check: judges a message base as a mail client reads it, without
// writing anything. One sequential reading through the recovery's own pass
// loop and scanner: each header the scanner finds goes to the judgement
// (judge.cpp), the bytes between headers to the byte judgement (bytes.cpp),
// and the findings to the report (findings.cpp) as they come. A stretch whose
// headers the judgement could not keep is read again (reread.cpp).
#pragma once
#include <cstdint>

// What the command line asked for.
struct CheckSettings {
  const char* base;
  bool json;
  int64_t start;          // -o: where the reading begins (rounded down to the block)
  const char* mapfile;    // --mapfile: a ddrescue mapfile of the image, or null
};

// Reads the command line. Returns -1 to run the check, else the exit code
// (0 after --help or --version, CompanionUsage for a bad command line).
int ParseCheckCommandLine(int count, char** args, CheckSettings* settings);

// Loads the mapfile, opens and reads the base, judges it and prints the
// report. Returns the exit code.
int RunCheck(const CheckSettings& settings);

// The whole program: the command line, the check, the exit code (8 when the
// report itself could not be written).
int CheckProgram(int argc, char** argv);

// ---- The judgement

// A run of this many NUL bytes in a row inside a message's text is named
// (mail text holds none; an imaging tool fills what it could not read with
// them).
constexpr int64_t ZeroRunLength = 512;

// How many headers found inside one walked message are kept until the walk
// shows whether they are text or messages; beyond them the stretch is read
// again from the source when they prove to be messages. Tests make it small.
extern uint32_t CheckInsideRoom;

// A header found, with what the bytes after it showed.
struct HeaderSeen {
  int64_t at;
  uint32_t length;          // as stored
  uint32_t number;          // counted as mendrake counts: every header found from the start
  bool nul_after_end;       // a NUL byte lies between its stored end and the next header
  int64_t zero_at;          // its first run of ZeroRunLength or more NUL bytes in its
  int64_t zero_size;        // text up to its stored end (size 0: none)
};

// Where a message's stored length leads: 64 bits, the length unsigned.
inline int64_t StoredEnd(const HeaderSeen& h) { return h.at + 48 + (int64_t)h.length; }

// The byte judgement of the bytes after one header, as they pass in order:
// a NUL between its stored end and the next header (a gap, not text), and
// runs of NUL bytes in its text. While a walk is on, the runs are measured
// in the walked message's text as well (headers inside it being text).
struct ByteJudge {
  int64_t position;         // file offset of the next byte handed
  HeaderSeen* current;      // the header the bytes follow; null before the first
  bool zero_runs;           // look for runs of NUL bytes (not with a mapfile)
  int64_t walk_from;        // the walked message's text [walk_from, walk_end);
  int64_t walk_end;         // walk_end 0: no walk
  int64_t walk_zero_at;     // its first run of ZeroRunLength NUL bytes (size 0: none)
  int64_t walk_zero_size;
  int64_t run_start;        // a run of NUL bytes being followed, or -1
  uint32_t tail_zeros;      // NUL bytes that end the bytes handed (up to 1,024), for
                            // a run that began before the next bytes
};

// Starts a byte judgement at `position` with no header yet.
void StartBytes(ByteJudge* j, int64_t position, bool zero_runs);
// The next n bytes, in file order.
void JudgeBytes(ByteJudge* j, const uint8_t* bytes, uint32_t n);
// The bytes handed so far end here: at a header, or at the end of what was
// read. Closes a run of NUL bytes being followed.
void EndBytes(ByteJudge* j);

// The scanner's window layout (run/driver.h) decides which of two headers
// less than 48 bytes apart it finds; this reading finds the same. Reads the
// source again after `prev` (a header the scanner found) up to `to`, and for
// each header the scanner found there calls step(previous record, new
// header): the previous record complete, the new one's header fields set.
// On return *prev is the last record (complete up to `to`, or to where a
// read failed). Returns 1, or 0 when a read failed (*failed_at tells where).
int ReadAgain(HeaderSeen* prev, int64_t to, bool zero_runs, void (*step)(const HeaderSeen&, const HeaderSeen&),
              int64_t* failed_at);

// ---- Findings

enum FindingKind {
  FindingBrokenLength,    // a stored length that does not lead to the next header
  FindingNegativeLength,  // a stored length with its top bit set
  FindingCutOff,          // the last message's stored length runs past the end
  FindingTrailingBytes,   // bytes after the last message's end
  FindingGap,             // bytes holding NUL between a stored end and the next header
  FindingUnreadable,      // bytes in areas the mapfile marks not read
};

// Where the bytes of an unreadable finding lie: in a message, or outside
// every message, where a message may have stood that the reading never saw.
enum UnreadPlace {
  UnreadInMessage,
  UnreadLeading,     // from the start offset to the first header (or the end)
  UnreadGap,
  UnreadTrailing,    // after the last message
};

struct Finding {
  FindingKind kind;
  uint32_t message;        // its number (not for trailing bytes)
  int64_t header;          // the message's header offset
  uint32_t stored_length;
  int64_t right_length;    // the length that leads to the next header / the end
  bool fits;               // a header can hold right_length (0 to 0x7FFFFFFF)
  int64_t offset;          // gap, trailing bytes: where they begin
  int64_t size;            // gap, trailing: bytes; cut off: bytes past the end;
                           // unreadable: bytes affected
  int64_t next;            // gap: the next header
  UnreadPlace place;       // unreadable: where; outside a message, the area
  int64_t area;            // [offset, offset + area) the bytes affected lie in
};

// A message whose text holds a run of NUL bytes: a warning, never a problem.
struct ZeroRunWarning {
  uint32_t message;
  int64_t header;
  int64_t offset;
  int64_t size;
};

// Messages linked by their lengths, from one gap (or the start) to the next.
struct MessageRun {
  uint32_t first, last;    // message numbers
  int64_t from, to;        // the first header, the end of the last text
};

// The judgement as it stands when the reading ends.
struct CheckSummary {
  int64_t start;           // where the reading began
  int64_t first_header;    // -1: none found
  uint32_t messages;       // headers found, as mendrake counts them
  uint32_t deleted;        // ... of them deleted
  uint32_t inside;         // ... of them in a walked message's text, which
                           // a mail client reads as text
  uint32_t walk_messages;  // how many a mail client reaches
  int64_t walk_stop;       // where the walk stopped; -1 when it reached the end
  const char* walk_reason; // why it stopped, or how it ended
  int64_t walk_stop_header;  // the message whose length led there; -1 none
  int64_t base_end;        // where the last message ends by its stored length
  int64_t trailing;        // bytes after base_end (0 when none)
  uint32_t problems;
  uint32_t gaps;
  uint32_t unfit;          // lengths no header can hold
  uint32_t unreadable;     // unreadable findings: messages hit, areas outside
  uint32_t unread_messages;  // messages hit by areas not read
  int64_t unread_outside;  // bytes outside every message not read
  bool device;             // the base is a disk device, which mendrake refuses
  const MessageRun* runs;  // the first run_count runs; runs_omitted more
  uint32_t run_count;
  uint32_t runs_omitted;
  int64_t failed_at;       // a reading again that failed, or -1
  int failed_error;        // ... and the platform's error code
};

// The judgement, fed by the scanner as the base is read.
void StartJudgement(const CheckSettings& settings);
// Puts the judgement in the scanner's place for every header found, and its
// byte judgement in the writer's place for the bytes between them.
void InstallJudgement(void);
void FinishJudgement(int64_t read_end, bool complete, CheckSummary* summary);

// The report: findings as they come, the summary and verdict at the end.
void ReportStart(const CheckSettings& settings, int64_t size, int64_t start);
void ReportFinding(const Finding& finding);
void ReportWarning(const ZeroRunWarning& warning);
// Prints the summary and the verdict. Returns the exit code (CompanionClean
// or CompanionProblems).
int ReportEnd(const CheckSummary& summary);
// The reading failed at `offset`: the summary of what was read and no verdict.
void ReportReadFailure(const CheckSummary& summary, int64_t offset);

// ---- Words for the report

// Appends `text` to the console as a JSON string: valid UTF-8 passes, every
// byte of a sequence that is not valid UTF-8 is written as \u00XX (its
// Latin-1 reading). Returns true when the text was valid UTF-8.
bool JsonString(const char* text);

// Appends `word` to out as one word of a command line for the platform's
// shell: under POSIX bare when it holds only [A-Za-z0-9_./:+,@%=-], else in
// single quotes (a quote as '\''); on Windows in double quotes when it holds
// a space or one of &|<>^%()!;,=. A path that mendrake would read as an
// option (a leading "-", or if=, of=, log=, seek=) gets "./" before it.
// Needs room for 4 * strlen(word) + 6 bytes. Returns the end.
char* CommandWord(char* out, const char* word, bool path);

// The commands the verdict suggests, each in an area the caller releases
// (null when no memory was to be had): the repair (mendrake's own copy when
// it mends everything, else mendrake-export --tbb; the repaired base beside
// BASE, or for a device in the current directory after its name; -d+ when
// every message found is deleted), and the ddrescue retry.
char* RepairCommand(const char* base, const CheckSummary& summary);
// The repaired base's name: BASE's with "-repaired.tbb" in place of a
// ".tbb" ending, or for a device its last path component's (with
// `windows`, a backslash ends one too) in the current directory. Needs
// room for strlen(base) + 20 bytes. Returns out.
char* RepairedName(char* out, const char* base, bool device, bool windows);
// The repair is mendrake-export --tbb: mendrake's copy would keep bytes
// that are no mail or a length no header holds, or the base is a device.
bool RepairNeedsExport(const CheckSummary& summary);
// The repair takes deleted messages (-d+): every message found is deleted.
bool RepairTakesDeleted(const CheckSummary& summary);
char* RetryCommand(const char* base, const char* mapfile);
