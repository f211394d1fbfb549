// A stretch of the source read again: the headers inside one walked message
// that the judgement could not keep, found once more when they prove to be
// messages. The scanner's own rule decides which headers it finds (a header
// within 48 bytes after one found in the same scan window is not looked
// at), so this reading knows where the windows begin and finds exactly
// those headers, with the byte judgement of each; memory stays one buffer.
#include "check/check.h"
#include "core/platform.h"
#include "core/run_state.h"
#include "engine/header.h"
#include "engine/text_scan.h"
#include "run/driver.h"

namespace {

uint8_t* Buffer = nullptr;
constexpr uint32_t BufferSize = ChunkSize + HeaderSize;

}  // namespace

int ReadAgain(HeaderSeen* prev, int64_t to, bool zero_runs, void (*step)(const HeaderSeen&, const HeaderSeen&),
              int64_t* failed_at) {
  if (!Buffer) Buffer = (uint8_t*)Platform.Allocate(BufferSize, 8);
  if (!Buffer) {
    *failed_at = prev->at;
    return 0;
  }
  const int64_t data_end = RunFiles.SourceSize;
  HeaderSeen record = *prev;
  bool found_any = false;
  ByteJudge judge;
  StartBytes(&judge, prev->at, zero_runs);
  int64_t last = prev->at;
  int64_t window = NextWindowStart(last);
  int64_t pos = prev->at + 1;
  int read = 1;
  while (pos < to) {
    int64_t end = to - pos > (int64_t)ChunkSize ? pos + ChunkSize : to;
    int64_t read_end = end + HeaderSize - 1 < data_end ? end + HeaderSize - 1 : data_end;
    uint32_t want = (uint32_t)(read_end - pos);
    if (!Platform.Seek(RunFiles.Source, pos) || Platform.Read(RunFiles.Source, Buffer, want) != (int64_t)want) {
      *failed_at = pos;
      read = 0;
      break;
    }
    // Offsets in the file, the bytes at Buffer[offset - pos].
    int64_t judged = pos;
    int64_t q = pos;
    while (q < end) {
      const uint8_t* bang = FindByte(Buffer + (q - pos), 0x21, (size_t)(end - q));
      if (!bang) break;
      q = pos + (bang - Buffer);
      const uint8_t* h = bang;
      bool skipped = q < last + (int64_t)HeaderSize && q < window;
      if (skipped || q + (int64_t)HeaderSize > data_end || !IsMessageHeader(h)) {
        q++;
        continue;
      }
      if (found_any) {
        JudgeBytes(&judge, Buffer + (judged - pos), (uint32_t)(q - judged));
        EndBytes(&judge);
      }
      HeaderSeen next = {q, MessageLength(h), record.number + 1, false, 0, 0};
      step(record, next);
      record = next;
      found_any = true;
      judge.current = &record;
      judge.position = q;
      judged = q;
      last = q;
      window = NextWindowStart(q);
      q++;
    }
    if (found_any) JudgeBytes(&judge, Buffer + (judged - pos), (uint32_t)(end - judged));
    pos = end;
  }
  if (found_any) EndBytes(&judge);
  // The headers handed to step so far are judged: the caller goes on from
  // the last of them, never from one already judged.
  *prev = record;
  return read;
}
