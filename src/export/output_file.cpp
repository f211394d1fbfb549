// The export's output file: one open at a time (the mbox for the whole run,
// or the .eml of the message being written), filled through a 64 KiB
// buffer so that the platform sees few, large writes. A failed write is
// reported once with the path and error code; the file takes no more bytes
// and the run ends with 8.
#include <cinttypes>
#include <cstring>

#include "core/report.h"
#include "core/run_state.h"
#include "export/export.h"

bool OutputFailed = false;

namespace {

uint8_t Buffer[ChunkSize];
uint32_t Fill = 0;
FileRef File = NoFile;
const char* Path = "";
int64_t Written = 0;  // bytes of this file on disk
bool Failed = false;  // this file has failed: it takes nothing more

void Fail(const char* what, int error) {
  ErrorPrint("%s: %s: %s (error %d)\n", ExportProgramName, Path, what, error);
  Failed = true;
  OutputFailed = true;
  Fill = 0;
}

void Flush(void) {
  if (Fill == 0 || Failed) return;
  int64_t put = Platform.Write(File, Buffer, Fill);
  if (put != (int64_t)Fill) {
    Fail("write failed", Platform.LastError());
    return;
  }
  Written += Fill;
  Fill = 0;
}

}  // namespace

int OutputCreate(const char* path) {
  Path = path;
  Fill = 0;
  Written = 0;
  Failed = false;
  File = Platform.Open(path, OpenLogReplace, false);
  if (File == NoFile) {
    Fail("cannot create", Platform.LastError());
    return 0;
  }
  return 1;
}

bool OutputOpen(void) { return File != NoFile && !Failed; }

void OutputPut(const uint8_t* bytes, uint32_t n) {
  if (Failed || File == NoFile) return;
  while (n > 0) {
    uint32_t room = ChunkSize - Fill;
    uint32_t piece = n < room ? n : room;
    memcpy(Buffer + Fill, bytes, piece);
    Fill += piece;
    bytes += piece;
    n -= piece;
    if (Fill == ChunkSize) {
      Flush();
      if (Failed) return;
    }
  }
}

int64_t OutputPosition(void) { return Written + Fill; }

int OutputCutTo(int64_t position) {
  if (Failed || File == NoFile) return 0;
  if (position >= Written) {
    Fill = (uint32_t)(position - Written);
    return 1;
  }
  // The bytes to take back are on disk already.
  if (!Platform.Truncate(File, position) || !Platform.Seek(File, position)) {
    Fail("cannot cut back the bytes after the last message", Platform.LastError());
    return 0;
  }
  Written = position;
  Fill = 0;
  return 1;
}

int OutputClose(bool dated, int64_t date) {
  if (File == NoFile) return !Failed;
  Flush();
  // The file's time is set after its last write, which would change it.
  if (dated && !Failed) Platform.SetModifiedTime(File, date);
  Platform.Close(File);
  File = NoFile;
  return !Failed;
}
