// The export's output file: one open at a time (the mbox for the whole run,
// or the .eml of the message being written), filled through a 64 KiB
// buffer so that the platform sees few, large writes. A failed write is
// reported once with the path and error code; the file takes no more bytes
// and the run ends with 8.
#include "core/report.h"
#include "core/run_state.h"
#include "export/export.h"

bool OutputFailed = false;
OutputRoomRecord OutputRoom = {nullptr, nullptr};

namespace {

uint8_t Buffer[ChunkSize];
FileRef File = NoFile;
const char* Path = "";
int64_t Written = 0;  // bytes of this file on disk
bool Failed = false;  // this file has failed: it takes nothing more

uint32_t Fill(void) { return OutputRoom.at ? (uint32_t)(OutputRoom.at - Buffer) : 0; }

// The buffer takes bytes again from its start, or (closed, failed) none.
void Empty(bool open) {
  OutputRoom.at = Buffer;
  OutputRoom.end = open ? Buffer + ChunkSize : Buffer;
}

void Fail(const char* what, int error) {
  ErrorPrint("%s: %s: %s (error %d)\n", ExportProgramName, Path, what, error);
  Failed = true;
  OutputFailed = true;
  Empty(false);
}

void Flush(void) {
  uint32_t fill = Fill();
  if (fill == 0 || Failed) return;
  if (Platform.Write(File, Buffer, fill) != (int64_t)fill) {
    Fail("write failed", Platform.LastError());
    return;
  }
  Written += fill;
  Empty(true);
}

}  // namespace

int OutputCreate(const char* path) {
  Path = path;
  Written = 0;
  Failed = false;
  File = Platform.Open(path, OpenLogReplace, false);
  if (File == NoFile) {
    Fail("cannot create", Platform.LastError());
    return 0;
  }
  Empty(true);
  return 1;
}

bool OutputOpen(void) { return File != NoFile && !Failed; }

void OutputPutSlow(const uint8_t* bytes, uint32_t n) {
  while (n > 0 && !Failed && File != NoFile) {
    uint32_t room = (uint32_t)(OutputRoom.end - OutputRoom.at);
    uint32_t piece = n < room ? n : room;
    memcpy(OutputRoom.at, bytes, piece);
    OutputRoom.at += piece;
    bytes += piece;
    n -= piece;
    if (OutputRoom.at == OutputRoom.end) Flush();
  }
}

int64_t OutputPosition(void) { return Written + Fill(); }

int OutputCutTo(int64_t position) {
  if (Failed || File == NoFile) return 0;
  if (position >= Written) {
    OutputRoom.at = Buffer + (position - Written);
    return 1;
  }
  // The bytes to take back are on disk already.
  if (!Platform.Truncate(File, position) || !Platform.Seek(File, position)) {
    Fail("cannot cut back the bytes after the last message", Platform.LastError());
    return 0;
  }
  Written = position;
  Empty(true);
  return 1;
}

int OutputClose(bool dated, int64_t date) {
  if (File == NoFile) return !Failed;
  Flush();
  // The file's time is set after its last write, which would change it.
  if (dated && !Failed) Platform.SetModifiedTime(File, date);
  Platform.Close(File);
  File = NoFile;
  Empty(false);
  return !Failed;
}
