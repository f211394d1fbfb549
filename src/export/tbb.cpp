// The base output: a clean message base of exactly the messages taken, in
// order. Each is its 48-byte header as found (the deleted mark cleared
// where deleted messages are taken), its length field holding the length of
// its text, then the text as it stands; nothing before, between or after
// them. The length is known only when the message ends, so the header goes
// out at once with its stored length, and a length that proves wrong is set
// in place then, in the buffer or back in the file: the output must be a
// file that can be moved in, never a pipe. A text longer than a length
// field can hold (a stretch of an image between two headers, say) goes out
// as several messages behind copies of its header, each as long as a
// length can be, and a warning says so: no byte is lost and every length in
// the base is right.
#include <cinttypes>

#include "core/report.h"
#include "core/run_state.h"
#include "engine/header.h"
#include "export/export.h"

namespace {

uint8_t Header[HeaderSize];  // the message's header, as taken
int64_t HeaderAt = 0;        // where the header of the piece being written lies
int64_t Length = 0;          // text bytes of that piece so far
uint32_t Pieces = 0;
int64_t Total = 0;
int64_t MessageAt = 0;
uint32_t MessageNumber = 0;

void PutHeader(void) {
  HeaderAt = OutputPosition();
  Length = 0;
  Pieces += 1;
  OutputPut(Header, HeaderSize);
}

// The piece's header carries its length (in most messages it does already).
void SetLength(void) {
  if (MessageLength(Header) == (uint32_t)Length) return;
  uint8_t field[4];
  WriteU32(field, (uint32_t)Length);
  OutputPatch(HeaderAt + MessageLengthOffset, field, 4);
}

int TbbPrepare(void) {
  const char* path = ExportSettings.Output;
  // Standard output is refused unopened, whatever it leads to.
  if (strcmp(path, "-") != 0) {
    if (!OutputCreateNamed(path)) return 0;
    if (OutputSeekable()) return 1;
    OutputClose(false, 0);
  }
  return OutputRefused(path, "refused: a base is written only to a file that can be moved in, not to a pipe "
                             "(each message's length is set once the message ends)");
}

int TbbBegin(int64_t at, uint32_t number, const uint8_t* header, const MessageFields&) {
  memcpy(Header, header, HeaderSize);
  MessageAt = at;
  MessageNumber = number;
  Pieces = 0;
  Total = 0;
  PutHeader();
  return OutputOpen();
}

void TbbText(const uint8_t* b, uint32_t n) {
  Total += n;
  while (n > 0) {
    if (Length == MaxMessageLength) {
      SetLength();
      PutHeader();
    }
    uint32_t k = MaxMessageLength - Length < (int64_t)n ? (uint32_t)(MaxMessageLength - Length) : n;
    OutputPut(b, k);
    Length += k;
    b += k;
    n -= k;
  }
}

void TbbEnd(const MessageFields&, uint8_t marks) {
  SetLength();
  OutputMessageEnds(marks);
  if (Pieces > 1)
    ErrorPrint("%s: message %" PRIu32 " at %" PRIx64 ": its text of %" PRId64 " bytes is longer than a message "
               "can be (%" PRId64 " bytes): written as %" PRIu32 " messages\n",
               ExportProgramName, MessageNumber, (uint64_t)MessageAt, Total, MaxMessageLength, Pieces);
}

int TbbClose(void) { return OutputClose(false, 0); }

}  // namespace

extern const FormatOps TbbFormat = {
    "--tbb", "FILE",
    "  --tbb FILE     a clean message base: the messages' headers with their\n"
    "                 lengths set, their texts unchanged, nothing else\n",
    TbbPrepare, TbbBegin, TbbText, TbbEnd, TbbClose};
