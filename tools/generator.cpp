#include "generator.h"

#include <cstring>

namespace {

using Rng = GenRng;

const char* const Words[] = {
    "mail",  "meeting", "tomorrow", "report", "invoice", "please", "thanks", "regards",
    "the",   "and",     "of",       "to",     "attached", "project", "budget", "review",
    "garden", "holiday", "photos",  "family", "server",   "backup",  "order",  "delivery"};
constexpr uint32_t WordCount = sizeof(Words) / sizeof(Words[0]);

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

void AddWords(Rng& rng, std::string& s, size_t until) {
  while (s.size() < until) {
    s += Words[rng.Below(WordCount)];
    s += ' ';
  }
}

// Text of the plain and email styles: a Subject: first line, then lines up
// to `length` bytes.
std::string PlainText(Rng& rng, const GenOptions& o, uint32_t length, bool nul, bool long_line) {
  std::string s;
  if (long_line) {
    s = "Subject: ";
    AddWords(rng, s, 2100 + rng.Below(1000));
    s += "\r\n";
  } else {
    s = "Subject: ";
    AddWords(rng, s, 20 + rng.Below(40));
    if (nul) s.insert(9 + rng.Below(8), 1, '\0');
    s += "\r\n";
  }
  if (o.style == GenEmail) {
    s += "From: someone@example.org\r\nTo: you@example.net\r\nDate: Tue, 8 Dec 2026 10:00:00 +0100\r\n";
    s += "MIME-Version: 1.0\r\n\r\n";
  }
  uint32_t kind = rng.Below(10);
  while (s.size() < length) {
    if (o.style == GenEmail && kind == 0) {
      // A base64 attachment line.
      static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
      for (int k = 0; k < 76; k++) s += b64[rng.Below(64)];
      s += "\r\n";
    } else if (o.style == GenEmail && kind == 1) {
      s += "<p>";
      AddWords(rng, s, s.size() + 60);
      s += "</p>\r\n";
    } else {
      size_t end = s.size() + 40 + rng.Below(40);
      AddWords(rng, s, end);
      if (rng.Below(50) == 0) s += "!";  // the odd exclamation
      s += "\r\n";
    }
  }
  s.resize(length);
  return s;
}

// Text of a message of any style, `length` bytes, with a decoy header
// inside when asked.
std::string MakeText(Rng& rng, const GenOptions& o, uint32_t length, bool nul, bool long_line) {
  std::string s;
  if (o.style == GenBang) {
    for (uint32_t k = 0; k < length; k++) s += (k % 2 == 0) ? '!' : (char)('a' + rng.Below(26));
    return s;
  }
  if (o.style == GenMail)
    s = MakeMailText(rng, length, nul, long_line, o.line_ends);
  else
    s = PlainText(rng, o, length, nul, long_line);
  if (o.decoy_pct && rng.Percent(o.decoy_pct) && length > 120) {
    // Near misses: the signature with a wrong header length, or with a
    // non-zero word at offset 44, or the first bytes alone.
    uint8_t decoy[48];
    WriteGenHeader(decoy, 10, false, rng.Next());
    uint32_t kind_of = rng.Below(3);
    if (kind_of == 0) PutU32(decoy + 4, 47);
    if (kind_of == 1) PutU32(decoy + 44, 1);
    uint32_t n = kind_of == 2 ? 4 : 48;
    uint32_t at = 60 + rng.Below(length - 60 - n + 1);
    memcpy(&s[at], decoy, n);
  }
  return s;
}

std::string MakeGarbage(Rng& rng, uint32_t n) {
  std::string g(n, '\0');
  for (uint32_t k = 0; k < n; k++) g[k] = (char)rng.Below(256);
  return g;
}

// Emits bytes to memory or to a stream.
struct Sink {
  std::vector<uint8_t>* memory;
  FILE* file;
  uint64_t written;
  bool failed;
  void Put(const void* p, size_t n) {
    if (memory) memory->insert(memory->end(), (const uint8_t*)p, (const uint8_t*)p + n);
    if (file && fwrite(p, 1, n, file) != n) failed = true;
    written += n;
  }
};

// Generates the base into sink; a truncated tail is left to the caller.
void Generate(const GenOptions& o, Sink& sink, std::vector<GenRecord>* records) {
  Rng rng{o.seed * 0x2545F4914F6CDD1Dull + 7};
  if (o.leading_bytes) {
    std::string lead = MakeGarbage(rng, o.leading_bytes);
    for (char& c : lead)
      if (c == '!') c = '?';
    sink.Put(lead.data(), lead.size());
  }
  uint32_t count = 0;
  for (;;) {
    if (o.total_bytes ? sink.written >= o.total_bytes : count >= o.messages) break;
    count++;
    bool deleted = rng.Percent(o.deleted_pct);
    bool nul = rng.Percent(o.nul_pct);
    bool long_line = rng.Percent(o.long_pct);
    uint32_t span = o.max_text > o.min_text ? o.max_text - o.min_text : 0;
    uint32_t length = o.min_text + rng.Below(span + 1);
    if (long_line && length < 3200) length = 3200;
    uint64_t here = sink.written;
    if (o.boundary_pct && rng.Percent(o.boundary_pct)) {
      // Let the next header start just before or across a pass boundary:
      // in the held-back bytes or within the last 48 bytes of a window.
      uint64_t boundary = (here / 65536 + 1) * 65536;
      if (boundary - here < 48 + 200) boundary += 65536;
      uint64_t next = boundary - 1 - rng.Below(110);
      length = (uint32_t)(next - here - 48);
    }
    if (o.total_bytes && here + 48 + length > o.total_bytes && here + 48 < o.total_bytes)
      length = (uint32_t)(o.total_bytes - here - 48);
    std::string text = MakeText(rng, o, length, nul, long_line);
    uint32_t stored = length;
    if (rng.Percent(o.wrong_pct)) {
      uint32_t k = 1 + rng.Below(1000);
      stored = (rng.Below(2) == 0 || stored < k) ? stored + k : stored - k;
    }
    if (rng.Percent(o.negative_pct)) stored |= 0x80000000u;
    uint8_t header[48];
    WriteGenHeader(header, stored, deleted, rng.Next());
    sink.Put(header, 48);
    sink.Put(text.data(), text.size());
    uint32_t garbage = rng.Percent(o.garbage_pct) ? 1 + rng.Below(500) : 0;
    if (garbage) {
      std::string g = MakeGarbage(rng, garbage);
      sink.Put(g.data(), g.size());
    }
    if (records) {
      GenRecord r;
      r.offset = here;
      r.stored_length = stored;
      r.text_length = length;
      r.garbage_after = garbage;
      r.deleted = deleted;
      size_t end = text.find_first_of(std::string("\r\n\0", 3));
      r.first_line = text.substr(0, end == std::string::npos ? text.size() : end);
      if (r.first_line.size() > 2100) r.first_line.resize(2100);
      records->push_back(r);
    }
  }
}

}  // namespace

void WriteGenHeader(uint8_t* p, uint32_t stored_length, bool deleted, uint64_t noise) {
  // Fields the engine does not interpret carry noise, so that a test sees
  // whether they are copied unchanged; flags get noise in bits 1..31.
  for (int k = 0; k < 48; k++) p[k] = (uint8_t)(noise >> ((k % 8) * 8)) ^ (uint8_t)(k * 37);
  p[0] = 0x21;
  p[1] = 0x09;
  p[2] = 0x70;
  p[3] = 0x19;
  PutU32(p + 4, 48);
  uint32_t flags = (uint32_t)(noise >> 7) & ~1u;
  PutU32(p + 20, flags | (deleted ? 1u : 0u));
  PutU32(p + 36, stored_length);
  PutU32(p + 44, 0);
}

std::vector<uint8_t> GenerateBase(const GenOptions& options, std::vector<GenRecord>* records) {
  std::vector<uint8_t> base;
  Sink sink{&base, nullptr, 0, false};
  Generate(options, sink, records);
  size_t cut = options.truncate_tail < base.size() ? options.truncate_tail : base.size();
  base.resize(base.size() - cut);
  return base;
}

int64_t GenerateToStream(const GenOptions& options, FILE* out, std::vector<GenRecord>* records) {
  Sink sink{nullptr, out, 0, false};
  Generate(options, sink, records);
  if (sink.failed || fflush(out) != 0) return -1;
  return (int64_t)sink.written;
}
