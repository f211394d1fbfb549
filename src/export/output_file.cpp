// The export's output file: one open at a time (the mbox or the base for
// the whole run, or the .eml of the message being written), filled through
// a 256 KiB buffer so that the platform sees few, large writes. A failed
// write is reported once with the path and the system's words; the file
// takes no more bytes and the run ends with 8. A message is counted once
// its last byte is on disk, never before.
#include "core/report.h"
#include "core/run_state.h"
#include "export/export.h"

bool OutputFailed = false;
OutputRoomRecord OutputRoom = {nullptr, nullptr};

namespace {

// Four blocks: a write of 64 KiB costs the system more per byte (measured:
// a tenth of the mbox export's time went to them); much more than this
// leaves the bytes for the system's copy out of the processor's cache.
constexpr uint32_t BufferSize = 4 * ChunkSize;
uint8_t Buffer[BufferSize];
FileRef File = NoFile;
const char* Path = "";
int64_t Written = 0;  // bytes of this file on disk
bool Failed = false;  // this file has failed: it takes nothing more

// Messages whose last byte is not on disk yet, oldest first: where each
// ends in the output, and its marks. Each puts at least 34 bytes of its own
// (an mbox separator line and the line ends after the text, a base's
// header; an .eml file holds one), so some 7,700 can end inside the buffer,
// more than the ring holds: a message that finds the ring full has the
// buffer written out first, which counts every message in it.
struct EndMark {
  int64_t end;
  uint8_t marks;
};
constexpr uint32_t EndRoom = 2048;
EndMark Ends[EndRoom];
uint32_t EndFirst = 0, EndCount = 0;

// Counts the messages whose last byte lies before `on_disk`.
void Commit(int64_t on_disk) {
  while (EndCount > 0 && Ends[EndFirst].end <= on_disk) {
    uint8_t marks = Ends[EndFirst].marks;
    Counts.exported += 1;
    Counts.deleted += (marks & MarkDeleted) != 0;
    Counts.undated += (marks & MarkUndated) != 0;
    Counts.line_end_added += (marks & MarkLineEndAdded) != 0;
    EndFirst = (EndFirst + 1) % EndRoom;
    EndCount -= 1;
  }
}

uint32_t Fill(void) { return OutputRoom.at ? (uint32_t)(OutputRoom.at - Buffer) : 0; }

// The buffer takes bytes again from its start, or (closed, failed) none.
void Empty(bool open) {
  OutputRoom.at = Buffer;
  OutputRoom.end = open ? Buffer + BufferSize : Buffer;
}

void Fail(const char* what, int error) {
  OutputError(Path, what, error);
  Failed = true;
  OutputFailed = true;
  EndCount = 0;
  Empty(false);
}

// Writes the buffer; with `commit`, counts the messages now on disk.
void Flush(bool commit) {
  uint32_t fill = Fill();
  if (fill == 0 || Failed) return;
  int64_t put = Platform.Write(File, Buffer, fill);
  if (put != (int64_t)fill) {
    int error = Platform.LastError();
    // What a failing write put all the same is on disk.
    Commit(Written + (put > 0 ? put : 0));
    Fail("write failed", error);
    return;
  }
  Written += fill;
  if (commit) Commit(Written);
  Empty(true);
}

// The open (or its failure) of the file at path. Returns 1, or 0 after the
// error line.
int Opened(const char* path, FileRef file, int error) {
  Path = path;
  Written = 0;
  Failed = false;
  EndCount = 0;
  File = file;
  if (File == NoFile) {
    Fail("cannot create", error);
    return 0;
  }
  Empty(true);
  return 1;
}

// The name a person knows the output by: "-" is standard output.
const char* Named(const char* path) { return path[0] == '-' && path[1] == '\0' ? "standard output" : path; }

}  // namespace

void OutputError(const char* path, const char* what, int error) {
  ErrorPrint("%s: %s: %s: %s (error %d)\n", ExportProgramName, Named(path), what, Platform.ErrorText(error), error);
}

int OutputRefused(const char* path, const char* why) {
  ErrorPrint("%s: %s: %s\n", ExportProgramName, Named(path), why);
  OutputFailed = true;
  return 0;
}

int OutputCreateNamed(const char* path) {
  if (path[0] == '-' && path[1] == '\0') {
    FileRef file = Platform.Open(path, OpenStandardOutput, false);
    return Opened(path, file, Platform.LastError());
  }
  FileRef file = Platform.Open(path, OpenOutputUnused, false);
  if (file == NoFile && Platform.LastError() == ErrorExists) {
    if (!ExportSettings.Force) return OutputRefused(path, "exists; give --force to replace it");
    // The name the user gave is written over as the shell's ">" would: a
    // link there leads to what it names (removing it instead would take a
    // name such as /dev/stdout away from the whole system).
    file = Platform.Open(path, OpenLogReplace, false);
  }
  return Opened(path, file, Platform.LastError());
}

int OutputCreateNew(const char* path) {
  FileRef file = Platform.Open(path, OpenOutputNew, false);
  return Opened(path, file, Platform.LastError());
}

bool OutputOpen(void) { return File != NoFile && !Failed; }

bool OutputSeekable(void) { return OutputOpen() && Platform.Seek(File, Written) == 1; }

void OutputPutSlow(const uint8_t* bytes, uint32_t n) {
  while (n > 0 && !Failed && File != NoFile) {
    uint32_t room = (uint32_t)(OutputRoom.end - OutputRoom.at);
    uint32_t piece = n < room ? n : room;
    memcpy(OutputRoom.at, bytes, piece);
    OutputRoom.at += piece;
    bytes += piece;
    n -= piece;
    if (OutputRoom.at == OutputRoom.end) Flush(true);
  }
}

int64_t OutputPosition(void) { return Written + Fill(); }

int OutputPatch(int64_t position, const uint8_t* bytes, uint32_t n) {
  if (!OutputOpen()) return 0;
  int64_t end = position + n;
  if (end > Written) {
    // The part still in the buffer.
    int64_t from = position > Written ? position : Written;
    memcpy(Buffer + (from - Written), bytes + (from - position), (size_t)(end - from));
    n = (uint32_t)(from - position);
  }
  if (n == 0) return 1;
  // The rest is on disk: set there, and back to where the buffer goes.
  if (!Platform.Seek(File, position) || Platform.Write(File, bytes, n) != (int64_t)n ||
      !Platform.Seek(File, Written)) {
    Fail("write failed", Platform.LastError());
    return 0;
  }
  return 1;
}

void OutputMessageEnds(uint8_t marks) {
  if (!OutputOpen()) return;
  if (EndCount == EndRoom) Flush(true);
  Ends[(EndFirst + EndCount) % EndRoom] = {OutputPosition(), marks};
  EndCount += 1;
  Commit(Written);
}

int OutputClose(bool dated, int64_t date) {
  if (File == NoFile) return !Failed;
  Flush(false);
  // The file's time is set after its last write, which would change it.
  if (dated && !Failed) Platform.SetModifiedTime(File, date);
  // The last messages count once the close, which may report a write the
  // system held back, has gone well.
  if (!Platform.Close(File)) {
    if (!Failed) Fail("write failed", Platform.LastError());
  } else {
    Commit(Written);
  }
  File = NoFile;
  EndCount = 0;
  Empty(false);
  return !Failed;
}
