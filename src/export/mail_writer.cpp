// The export's writer table: where the scanner's copied bytes become mail.
// It keeps the message boundaries (a message's text runs from after its
// header to the next header found), holds each header section until its
// fields are known, and judges the last message at the end: its text ends at
// its stored length when that lies inside what was read, and what was
// written past it is taken back from the output. Nothing else is held.
#include <cstring>

#include "core/run_state.h"
#include "engine/header.h"
#include "export/export.h"

LineState Line;
ExportCounts Counts;
bool LastHeaderExported = false;

namespace {

const FormatOps* Format = &MboxFormat;

// A header section longer than this is read for its fields as far as held.
constexpr uint32_t SectionLimit = 65536;
uint8_t Section[SectionLimit];

struct MessageRecord {
  bool active;           // a taken message's bytes are being handed
  int64_t at;            // its header's offset in the source
  uint32_t number;
  bool deleted;
  uint64_t stored;       // its stored length
  uint32_t header_left;  // bytes of its 48-byte header still to come
  uint64_t handed;       // text bytes handed so far
  uint64_t emitted;      // text bytes given to the format so far
  bool holding;          // its header section is still being held
  uint32_t held;         // bytes held in Section
  uint32_t line;         // where the held line being read began
  bool writing;          // the format took the message
  // The output position and line state where its stored length ends, to
  // return to when the text proves to end there.
  bool marked;
  int64_t mark_position;
  LineState mark_line;
  MessageFields fields;
};
MessageRecord Message;

// Hands text to the format, noting where the stored length ends.
void Emit(const uint8_t* b, uint32_t n) {
  if (!Message.writing) {
    Message.emitted += n;
    return;
  }
  if (!Message.marked && Message.emitted + n > Message.stored) {
    uint32_t first = (uint32_t)(Message.stored - Message.emitted);
    Format->Text(b, first);
    Message.marked = true;
    Message.mark_position = OutputPosition();
    Message.mark_line = Line;
    Message.emitted += first;
    b += first;
    n -= first;
  }
  Format->Text(b, n);
  Message.emitted += n;
}

// The held section is complete (or all there is): its first n bytes give
// the fields, the message begins, and they go out.
void BeginText(uint32_t n) {
  Message.holding = false;
  ReadHeaderFields(Section, n, &Message.fields);
  Message.writing = Format->Begin(Message.at, Message.number, Message.fields) != 0;
  Emit(Section, n);
}

// Holds text bytes until the header section's empty line (or the limit).
// Returns how many of the n bytes were held.
uint32_t Hold(const uint8_t* b, uint32_t n) {
  uint32_t start = Message.held;
  uint32_t take = n < SectionLimit - start ? n : SectionLimit - start;
  memcpy(Section + start, b, take);
  uint32_t end = start + take;
  for (uint32_t i = start; i < end;) {
    const uint8_t* lf = (const uint8_t*)memchr(Section + i, '\n', end - i);
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

void Text(const uint8_t* b, uint32_t n) {
  Message.handed += n;
  if (Message.holding) {
    uint32_t k = Hold(b, n);
    if (Message.holding) return;
    BeginText(Message.held);
    b += k;
    n -= k;
  }
  Emit(b, n);
}

// The message's text is complete. last: no header was found after it, so
// its stored length, where that lies inside what was read, ends it.
void EndMessage(bool last) {
  if (!Message.active) return;
  Message.active = false;
  bool cut = last && Message.handed > Message.stored;
  uint64_t end = cut ? Message.stored : Message.handed;
  if (cut) Counts.trailing += (int64_t)(Message.handed - Message.stored);
  if (Message.holding) {
    BeginText(Message.held < end ? Message.held : (uint32_t)end);
  } else if (cut && Message.writing && Message.marked) {
    if (OutputCutTo(Message.mark_position)) Line = Message.mark_line;
  }
  if (!Message.writing) return;
  bool added = false;
  Format->End(Message.fields, &added);
  Counts.exported += 1;
  Counts.deleted += Message.deleted;
  Counts.undated += !Message.fields.dated;
  Counts.line_end_added += added;
}

void ExportBytes(const uint8_t* bytes, uint32_t n) {
  if (!Message.active) {
    // Before the first taken message: not mail.
    Counts.leading += n;
    return;
  }
  if (Message.header_left) {
    uint32_t k = n < Message.header_left ? n : Message.header_left;
    Message.header_left -= k;
    bytes += k;
    n -= k;
  }
  if (n) Text(bytes, n);
}

void ExportMessageStarts(int64_t at, uint32_t number, const uint8_t* header, bool deleted) {
  Message = MessageRecord();
  Message.active = true;
  Message.at = at;
  Message.number = number;
  Message.deleted = deleted;
  Message.stored = MessageLength(header);
  Message.header_left = HeaderSize;
  Message.holding = true;
}

// A message's text ends where the next header begins, and the last one's
// end is judged at the end of the run: no length field to set.
int ExportSetLength(uint32_t) { return 1; }

// A header was found: the message being handed (if any) ended before it.
void ExportMessageEnds(void) {
  EndMessage(false);
  LastHeaderExported = false;
}

int ExportFinish(void) {
  // Still open: no header followed it.
  LastHeaderExported = Message.active;
  EndMessage(true);
  return OutputFailed ? -1 : 0;
}

}  // namespace

const WriterOps ExportWriter = {ExportBytes, ExportMessageStarts, ExportSetLength, ExportFinish,
                                    ExportMessageEnds};

void StartExportWriter(const FormatOps* format) {
  Format = format;
  Message = MessageRecord();
  Counts = ExportCounts();
  LastHeaderExported = false;
}
