#include "engine/scanner.h"

#include <cinttypes>
#include <cstring>

#include "core/report.h"
#include "core/run_state.h"
#include "engine/text_scan.h"
#include "engine/header.h"
#include "engine/writer.h"

namespace {

// The first line of the current message, as the list shows it.
char FirstLine[FirstLineLimit + 1];

// The list goes to a terminal: control bytes of a damaged message's first
// line would garble it or carry escape sequences, so they show as ".".
bool ListOnTerminal = false;

const char* ShownFirstLine(uint32_t length) {
  if (!ListOnTerminal || RunFiles.Log != NoFile) return FirstLine;
  static char shown[FirstLineLimit + 1];
  for (uint32_t k = 0; k <= length; k++) {
    uint8_t b = (uint8_t)FirstLine[k];
    shown[k] = (k < length && ((b < 0x20 && b != '\t') || b == 0x7F)) ? '.' : (char)b;
  }
  return shown;
}

bool LimitPassed(void) {
  return RunState.MaxMessages != 0 && RunState.MessagesExtracted > RunState.MaxMessages;
}

// Hands the bytes [from, to) of the pass buffer to the writer when they
// belong to the copied region.
void Gather(const uint8_t* buffer, uint32_t from, uint32_t to) {
  if (RunState.Copying && !RunState.ListOnly && to > from) Writer->Bytes(buffer + from, to - from);
}

// The length of the message at header_at did not lead to `reached` (a
// header, or the end of the source): report it and repair the copy.
void RepairLength(int64_t header_at, int64_t reached) {
  int32_t should_be = (int32_t)(uint32_t)RightLength(header_at, reached);
  ReportPrint("Achtung! broken MsgLength %d, should be %d\n\n", RunState.LastMessageLength, should_be);
  if (!RunState.ListOnly) Writer->SetLength((uint32_t)should_be);
}

// Copies the first line of the message whose text starts at `text`, up to
// CR, LF, NUL, the line limit or the window's end. Returns its length.
uint32_t TakeFirstLine(const uint8_t* text, uint32_t available) {
  uint32_t limit = available < FirstLineLimit ? available : FirstLineLimit;
  uint32_t j = 0;
  while (j < limit) {
    uint8_t b = text[j];
    if (b == '\n' || b == '\r') break;
    if (b == 0) {
      if (!RunState.QuietReport) {
        ConsoleText("Achtung! 0 in hdr\n");
        LogPrint("Achtung! 0 in hdr\n");
      }
      break;
    }
    FirstLine[j++] = (char)b;
  }
  FirstLine[j] = '\0';
  return j;
}

// From a "!" on, the signature "!" TAB "p" 0x19 is looked for eight positions
// at a time over a stretch of this many bytes before the next search for
// "!": data dense with "!" costs one call per stretch instead of one per "!".
constexpr uint32_t MinStretch = 16, MaxStretch = 4096;

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// The first position in [from, to) where the signature begins, or `to`.
// Reads no byte at or past data_end.
uint32_t FindSignature(const uint8_t* b, uint32_t from, uint32_t to, uint32_t data_end) {
  const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  uint32_t q = from;
  while (q < to) {
    if (q + 8 <= to && q + 11 <= data_end) {
      uint64_t x = (Load64(b + q) ^ ones * 0x21) | (Load64(b + q + 1) ^ ones * 0x09) |
                   (Load64(b + q + 2) ^ ones * 0x70) | (Load64(b + q + 3) ^ ones * 0x19);
      if (((x - ones) & ~x & highs) == 0) {
        q += 8;
        continue;
      }
    }
    uint32_t stop = to - q > 8 ? q + 8 : to;
    for (; q < stop; q++)
      if (data_end - q >= 4 && HasSignature(b + q)) return q;
  }
  return to;
}

}  // namespace

// The recovery's own judgement of a header at position i of the pass buffer:
// repair the previous length, count, take or skip, list.
HeaderOutcome TakeHeader(uint8_t* buffer, uint32_t i, int64_t header_offset, uint32_t window_end) {
  uint8_t* header = buffer + i;
  int64_t previous = RunState.CurrentHeaderOffset;
  RunState.CurrentHeaderOffset = header_offset;

  // Did the previous message's length lead exactly here?
  if (RunState.ExpectedNextHeader != 0 && RunState.ExpectedNextHeader != header_offset)
    RepairLength(previous, header_offset);
  // From here on the bytes handed belong to this header, or to nothing.
  if (!RunState.ListOnly && Writer->MessageEnds) Writer->MessageEnds();
  RunState.LastHeaderTaken = false;

  RunState.ExpectedNextHeader = NextHeaderOffset(header_offset, header);
  RunState.MessagesFound += 1;
  RunState.LastMessageLength = (int32_t)MessageLength(header);

  uint32_t text = i + HeaderSize;
  uint32_t line = TakeFirstLine(buffer + text, text < window_end ? window_end - text : 0);

  bool deleted = IsDeleted(header);
  if (RunState.ExcludeDeleted && deleted) {
    RunState.Copying = false;
    return HeaderSkipped;
  }
  if (!RunState.ExcludeDeleted) ClearDeleted(header);

  // Messages before the chosen start message are withheld like skipped ones.
  if (RunState.StartMessage > 0) {
    RunState.StartMessage -= 1;
    if (RunState.StartMessage > 0) {
      RunState.Copying = false;
      return HeaderSkipped;
    }
  }

  RunState.MessagesExtracted += 1;
  RunState.Copying = true;
  if (LimitPassed()) {
    // Nothing of a message beyond the limit goes to the target.
    RunState.Copying = false;
    return HeaderBeyondLimit;
  }
  RunState.LastHeaderTaken = true;
  if (!RunState.ListOnly) Writer->MessageStarts(header_offset, RunState.MessagesFound, header, deleted);

  ReportPrint("%s[%d] at %" PRIx64 ": %s\n", deleted ? "del" : "msg", (int)RunState.MessagesFound,
              (uint64_t)RunState.CurrentHeaderOffset, ShownFirstLine(line));
  if (line == FirstLineLimit) ReportPrint("LogBuffer, Achtung! too long hdr\n");
  if (RunState.LastMessageLength < 0)
    ReportPrint("Achtung! wrong message length %#x\n", (uint32_t)RunState.LastMessageLength);
  return HeaderTaken;
}

HeaderHook OnHeader = TakeHeader;

namespace {

// Scans the window of the pass at `buffer` (its data from ChunkSize on);
// at_end: the source was read to its end (not stopped by a failed read).
void ScanWindow(uint8_t* buffer, int64_t offset, uint32_t bytes_read, bool first, bool final, bool at_end) {
  if (first) ListOnTerminal = Platform.IsTerminal(1) != 0;
  uint32_t data_end = ChunkSize + bytes_read;
  uint32_t window_start = first ? ChunkSize : ChunkSize - ScanHoldback;
  uint32_t window_end = final ? data_end : data_end - ScanHoldback;
  bool stopped = LimitPassed();
  if (stopped || window_end < window_start) window_end = window_start;

  // Bytes between headers are handed on in one piece at the next header or
  // at the pass end: the same bytes as cutting at every "!", far fewer calls.
  uint32_t segment_start = window_start;
  uint32_t i = window_start;
  uint32_t stretch = MinStretch;
  while (i < window_end) {
    const uint8_t* bang = FindByte(buffer + i, 0x21, window_end - i);
    if (!bang) break;
    uint32_t hit = (uint32_t)(bang - buffer);
    // A "!" close behind the last stretch: dense data, look further ahead.
    stretch = hit - i < 64 ? (stretch < MaxStretch ? 2 * stretch : MaxStretch) : MinStretch;
    i = hit;
    uint32_t to = window_end - i > stretch ? i + stretch : window_end;
    i = FindSignature(buffer, i, to, data_end);
    if (i == to) continue;
    if (data_end - i < HeaderSize || !IsMessageHeader(buffer + i)) {
      i++;
      continue;
    }
    Gather(buffer, segment_start, i);
    segment_start = i;
    if (OnHeader(buffer, i, offset + (int64_t)i - (int64_t)ChunkSize, window_end) == HeaderBeyondLimit) break;
    i += HeaderSize;
  }
  Gather(buffer, segment_start, window_end);
  if (!final) return;
  // The last taken message's stored length runs past the end of the source:
  // it is wrong, whatever follows.
  int64_t source_end = offset + (int64_t)bytes_read;
  if (at_end && !stopped && !LimitPassed() && RunState.LastHeaderTaken && RunState.ExpectedNextHeader > source_end)
    RepairLength(RunState.CurrentHeaderOffset, source_end);
  if (!RunState.ListOnly) Writer->Finish();
}

}  // namespace

void ScanPass(uint8_t* pass, int64_t offset, uint32_t bytes_read, bool first, bool final) {
  ScanWindow(pass, offset, bytes_read, first, final, true);
}

void ScanHeldBack(uint8_t* pass, int64_t offset, bool first) { ScanWindow(pass, offset, 0, first, true, false); }
