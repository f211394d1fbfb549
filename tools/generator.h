// A seeded generator of TBB message bases with chosen damage. The same seed
// and options always give the same bytes. Tests, the demo and the benchmark
// build their inputs with it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum GenStyle {
  GenPlain = 0,  // short mail-like texts with CR LF lines
  GenEmail,      // realistic mail: headers, prose, base64 attachments, HTML
  GenBang,       // every other byte is "!": the scanner's worst case
  GenMail,       // mail as folders hold it: varied headers, dates, line ends, "From " lines
};

// splitmix64: small, fast and the same everywhere.
struct GenRng {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return n ? (uint32_t)(Next() % n) : 0; }
  bool Percent(uint32_t pct) { return Below(100) < pct; }
};

// Line ends of the mail style's messages: each message's drawn (CR LF, LF
// or both mixed), or the same everywhere.
enum GenLineEnds { GenEndsDrawn = 0, GenEndsCrLf, GenEndsLf };

struct GenOptions {
  uint64_t seed = 1;
  uint32_t messages = 20;
  uint32_t min_text = 0;        // message text length range, bytes
  uint32_t max_text = 2000;
  uint64_t total_bytes = 0;     // when non-zero: keep adding messages until the base is this long
  uint32_t leading_bytes = 0;   // file bytes before the first header
  GenStyle style = GenPlain;
  GenLineEnds line_ends = GenEndsDrawn;  // the mail style's
  // Damage, each in percent of messages.
  uint32_t deleted_pct = 0;     // deleted mark set
  uint32_t wrong_pct = 0;       // stored length larger or smaller than the text
  uint32_t negative_pct = 0;    // stored length with its top bit set
  uint32_t garbage_pct = 0;     // junk bytes after the message
  uint32_t nul_pct = 0;         // a NUL byte in the first line
  uint32_t long_pct = 0;        // a first line of 2,047 bytes or more
  uint32_t decoy_pct = 0;       // near-miss headers inside the text
  uint32_t boundary_pct = 0;    // next header placed close to a 64 KiB pass boundary
  uint32_t truncate_tail = 0;   // bytes cut off the end of the base
};

// What the generator put where: one record per header written.
struct GenRecord {
  uint64_t offset;          // of the header, from the start of the base
  uint32_t stored_length;   // message_length as written in the header
  uint32_t text_length;     // bytes of text actually following the header
  uint32_t garbage_after;   // junk bytes between the text and the next header
  bool deleted;
  std::string first_line;   // the bytes before the first CR, LF or NUL (up to 2,100)
};

// Generates a whole base in memory. Returns the base's bytes.
std::vector<uint8_t> GenerateBase(const GenOptions& options, std::vector<GenRecord>* records);

// Streams a base to an open file, starting at the file's current position,
// without holding it in memory. Returns the number of bytes written, or -1.
int64_t GenerateToStream(const GenOptions& options, FILE* out, std::vector<GenRecord>* records);

// The text of one mail-style message, exactly `length` bytes: a header
// section and a body, cut at `length` (a short length cuts the header
// section too). `nul` puts a NUL byte into the first line; `long_line` makes
// the first line a Subject: of 2,100 bytes or more.
std::string MakeMailText(GenRng& rng, uint32_t length, bool nul, bool long_line, GenLineEnds ends = GenEndsDrawn);

// Writes a 48-byte header into p.
void WriteGenHeader(uint8_t* p, uint32_t stored_length, bool deleted, uint64_t noise);
