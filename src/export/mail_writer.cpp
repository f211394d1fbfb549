// The export's writer table: where the scanner's bytes become mail. Every
// header found opens a message (a deleted one left out too: only its bytes
// are not written), and the next header found, or the end of what was
// read, closes it. A message's text is certain up to where its stored
// length ends; the bytes past that are mail only when a later header
// follows them and none of them is a NUL (mail text never holds one). So
// they are never written as they come: they wait as a range of the source,
// looked at only for a NUL, and are read again and written once the next
// header proves them text. Otherwise they are a gap between messages, or
// the bytes after the last one. Each header section is held just long
// enough to learn its sender, date and subject; nothing else is held.
#include <cinttypes>
#include <cstring>

#include "core/report.h"
#include "core/run_state.h"
#include "engine/header.h"
#include "engine/scanner.h"
#include "engine/text_scan.h"
#include "export/export.h"
#include "run/companion.h"

LineState Line;
ExportCounts Counts;
CompanionReading ReadAgain;

namespace {

const FormatOps* Format = nullptr;

// A header section longer than this is read for its fields as far as held.
constexpr uint32_t SectionLimit = 65536;
uint8_t Section[SectionLimit];
// The source's bytes read again, a piece at a time.
uint8_t Again[ChunkSize];

struct MessageRecord {
  bool active;           // the bytes handed belong to this header
  bool taken;            // it is exported (else a deleted one left out)
  int64_t at;            // its header's offset in the source
  uint32_t number;
  bool deleted;
  uint8_t header[HeaderSize];  // as taken
  int64_t stored_end;    // where its stored length ends in the source
  int64_t position;      // the source offset of the next byte handed
  bool nul_past_end;     // a NUL lies among the bytes handed past stored_end
  bool holding;          // its header section is still being held
  uint32_t held;         // bytes held in Section
  uint32_t line;         // where the held line being read began
  bool writing;          // the format took the message
  MessageFields fields;
};
MessageRecord Message;
bool Seen;  // a header has been found

// The held section is complete (or all there is): its first n bytes give
// the fields, the message begins, and they go out.
void BeginText(uint32_t n) {
  Message.holding = false;
  ReadHeaderFields(Section, n, &Message.fields);
  Message.writing = Format->Begin(Message.at, Message.number, Message.header, Message.fields) != 0;
  if (Message.writing && n) Format->Text(Section, n);
}

// Holds text bytes until the header section's empty line (or the limit).
// Returns how many of the n bytes were held.
uint32_t Hold(const uint8_t* b, uint32_t n) {
  uint32_t start = Message.held;
  uint32_t take = n < SectionLimit - start ? n : SectionLimit - start;
  memcpy(Section + start, b, take);
  uint32_t end = start + take;
  for (uint32_t i = start; i < end;) {
    const uint8_t* lf = FindByte(Section + i, '\n', end - i);
    if (!lf) break;
    uint32_t e = (uint32_t)(lf - Section);
    uint32_t length = e - Message.line;
    if (length == 0 || (length == 1 && Section[Message.line] == '\r')) {
      Message.held = e + 1;
      Message.holding = false;
      return e + 1 - start;
    }
    Message.line = e + 1;
    i = e + 1;
  }
  Message.held = end;
  if (end == SectionLimit) Message.holding = false;
  return take;
}

// Bytes known to be the taken message's text, in order.
void Text(const uint8_t* b, uint32_t n) {
  if (Message.holding) {
    uint32_t k = Hold(b, n);
    if (Message.holding) return;
    BeginText(Message.held);
    b += k;
    n -= k;
  }
  if (Message.writing && n) Format->Text(b, n);
}

// The source's bytes [from, to), proved text, read again and written.
// Returns 1, or 0 when a read failed (ReadAgain tells where).
int TextAgain(int64_t from, int64_t to) {
  while (from < to) {
    uint32_t size = to - from < (int64_t)ChunkSize ? (uint32_t)(to - from) : ChunkSize;
    if (!Platform.Seek(RunFiles.Source, from) || Platform.Read(RunFiles.Source, Again, size) != (int64_t)size) {
      ReadAgain = {true, from, size, Platform.LastError()};
      return 0;
    }
    Text(Again, size);
    from += size;
  }
  return 1;
}

// A taken message whose text, up to text_end, lies partly in areas the
// mapfile marks unread: listed, so that a person knows which mail to read
// with care.
void NoteUnread(int64_t text_end) {
  int64_t bytes = UnreadBytes(Message.at, text_end);
  if (bytes == 0) return;
  Counts.hit += 1;
  Counts.hit_bytes += bytes;
  if (!ExportSettings.Quiet)
    ErrorPrint("%s: unreadable: message %" PRIu32 " at %" PRIx64 ", %" PRId64 " bytes affected\n", ExportProgramName,
               Message.number, (uint64_t)Message.at, bytes);
}

// The message's bytes have all been handed: `reached` is the next header,
// or (last) the end of what was read.
void EndMessage(int64_t reached, bool last) {
  if (!Message.active) return;
  Message.active = false;
  if (ReadAgain.read_failed) return;
  int64_t stored_end = Message.stored_end;
  int64_t text_end = TextEnd(stored_end, reached, last, Message.nul_past_end);
  if (text_end < reached) {
    // Not mail: after the last message, or a gap.
    int64_t unread = UnreadBytes(text_end, reached);
    if (last) {
      Counts.trailing += reached - text_end;
      Counts.unread_trailing += unread;
    } else {
      Counts.gaps += 1;
      Counts.gap_bytes += reached - text_end;
      Counts.unread_gaps += unread;
    }
  } else if (stored_end < reached && Message.taken && (Message.holding || Message.writing) &&
             !TextAgain(stored_end, reached)) {
    // The bytes past the stored end are text, but reading them again
    // failed: the run stops after this message.
    text_end = ReadAgain.failed_offset;
    RunState.StopReading = true;
  }
  if (!Message.taken) return;
  if (Message.holding) BeginText(Message.held);
  NoteUnread(text_end);
  if (!Message.writing) return;
  uint8_t marks = (Message.deleted ? MarkDeleted : 0) | (Message.fields.dated ? 0 : MarkUndated);
  Format->End(Message.fields, marks);
}

// A header opens a message.
void StartMessage(int64_t at, const uint8_t* header, bool taken) {
  // The bytes before the first header: from the start offset to here.
  if (!Seen) Counts.unread_leading = UnreadBytes(RunState.StartOffset, at);
  Seen = true;
  Message = MessageRecord();
  Message.active = true;
  Message.taken = taken;
  Message.at = at;
  Message.position = at;
  memcpy(Message.header, header, HeaderSize);
  Message.stored_end = NextHeaderOffset(at, header);
  Message.holding = taken;
}

void ExportBytes(const uint8_t* bytes, uint32_t n) {
  if (!Message.active) {
    // Before the first header: not mail.
    Counts.leading += n;
    return;
  }
  int64_t from = Message.position;
  Message.position += n;
  // The header's own bytes.
  int64_t text_at = Message.at + HeaderSize;
  if (from < text_at) {
    uint32_t k = text_at - from < (int64_t)n ? (uint32_t)(text_at - from) : n;
    bytes += k;
    n -= k;
    from += k;
  }
  // Text up to the stored end, whatever follows it.
  if (n > 0 && from < Message.stored_end) {
    uint32_t k = Message.stored_end - from < (int64_t)n ? (uint32_t)(Message.stored_end - from) : n;
    if (Message.taken && !ReadAgain.read_failed) Text(bytes, k);
    bytes += k;
    n -= k;
  }
  if (n > 0 && !Message.nul_past_end && FindByte(bytes, 0, n)) Message.nul_past_end = true;
}

void ExportMessageStarts(int64_t at, uint32_t number, const uint8_t* header, bool deleted) {
  StartMessage(at, header, true);
  Message.number = number;
  Message.deleted = deleted;
}

// A message's text ends as the bytes show: no length field to set.
int ExportSetLength(uint32_t) { return 1; }

// A header was found: the message being handed (if any) ended before it.
void ExportMessageEnds(void) { EndMessage(RunState.CurrentHeaderOffset, false); }

int ExportFinish(void) {
  // No header at all: every byte read was a leading byte.
  if (!Seen) Counts.unread_leading = UnreadBytes(RunState.StartOffset, RunState.StartOffset + Counts.leading);
  EndMessage(Message.position, true);
  return OutputFailed ? -1 : 0;
}

// The recovery's judgement of each header, and then a deleted message left
// out still has its bytes handed: the stretch after its stored length may
// be a gap, and only its bytes tell.
HeaderOutcome ExportHeader(uint8_t* buffer, uint32_t i, int64_t at, uint32_t window_end) {
  HeaderOutcome outcome = TakeHeader(buffer, i, at, window_end);
  if (outcome == HeaderSkipped) {
    RunState.Copying = true;
    StartMessage(at, buffer + i, false);
  }
  return outcome;
}

}  // namespace

const WriterOps ExportWriter = {ExportBytes, ExportMessageStarts, ExportSetLength, ExportFinish,
                                ExportMessageEnds};

void StartExportWriter(const FormatOps* format) {
  Format = format;
  Message = MessageRecord();
  Seen = false;
  Counts = ExportCounts();
  ReadAgain = CompanionReading();
  OutputFailed = false;
  Writer = &ExportWriter;
  OnHeader = ExportHeader;
}
