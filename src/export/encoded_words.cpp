// A subject as plain ASCII for a file name: RFC 2047 encoded words decoded,
// the other bytes read as well as old mail allows, and every letter with a
// diacritic folded to its base letter, so that "Gr\u00fc\u00dfe aus K\u00f6ln"
// names a file Grusse_aus_Koln on any file system. (Characters are named
// here by their code points.)
//
// Encoded words: Q and B; UTF-8, US-ASCII, ISO-8859-1, -2, -9 and -15,
// Windows-1250 and -1252 (ISO-8859-1 read as Windows-1252, its superset in
// practice; US-ASCII as UTF-8, for the 8-bit bytes mislabelled mail holds
// all the same). White space between two encoded words is dropped, and the
// bytes of adjacent words in one charset are read as one run, so that a
// character split across two words still comes out whole. A word in any
// other charset stands as one space. A malformed word is text as it stands.
//
// Bytes outside encoded words (8-bit subjects are common in old and damaged
// mail) and the text of a UTF-8 word: each valid UTF-8 sequence is read as
// UTF-8, every other byte as Windows-1252, so that mixed and mislabelled
// subjects read as well as they can.
//
// Folding: a letter becomes its base letter (U+00FC u, U+0141 L), U+00DF
// ss, U+00C6 AE, U+0152 OE, U+00DE TH; combining marks (U+0300..U+036F)
// vanish and the letter before them stays; anything else beyond ASCII
// becomes a space. Nothing here can fail: any input gives ASCII text.
#include "engine/text_scan.h"
#include "export/export.h"

namespace {

enum Charset { CharsetUtf8 = 0, CharsetWestern, CharsetLatin9, CharsetLatin5, CharsetLatin2, CharsetCp1250, CharsetOther };

// What this reads: the names with "-", "_" and case taken out.
const struct {
  const char* name;
  Charset charset;
} CharsetNames[] = {
    {"utf8", CharsetUtf8},         {"usascii", CharsetUtf8},       {"ascii", CharsetUtf8},
    {"iso88591", CharsetWestern},  {"latin1", CharsetWestern},     {"l1", CharsetWestern},
    {"windows1252", CharsetWestern}, {"cp1252", CharsetWestern},   {"iso885915", CharsetLatin9},
    {"latin9", CharsetLatin9},     {"iso88599", CharsetLatin5},    {"latin5", CharsetLatin5},
    {"iso88592", CharsetLatin2},   {"latin2", CharsetLatin2},      {"l2", CharsetLatin2},
    {"windows1250", CharsetCp1250}, {"cp1250", CharsetCp1250},
};

// Code points of the single-byte charsets where they differ from Latin-1.
const uint16_t Cp1252Low[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD,
    0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A,
    0x0153, 0xFFFD, 0x017E, 0x0178};
// Windows-1250 0x80..0xBF; from 0xC0 on it is ISO-8859-2.
const uint16_t Cp1250Low[64] = {
    0x20AC, 0xFFFD, 0x201A, 0xFFFD, 0x201E, 0x2026, 0x2020, 0x2021, 0xFFFD, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164,
    0x017D, 0x0179, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0xFFFD, 0x2122, 0x0161, 0x203A,
    0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7, 0x00A8, 0x00A9,
    0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C};
// ISO-8859-2 0xA0..0xFF.
const uint16_t Latin2High[96] = {
    0x00A0, 0x0104, 0x02D8, 0x0141, 0x00A4, 0x013D, 0x015A, 0x00A7, 0x00A8, 0x0160, 0x015E, 0x0164, 0x0179, 0x00AD,
    0x017D, 0x017B, 0x00B0, 0x0105, 0x02DB, 0x0142, 0x00B4, 0x013E, 0x015B, 0x02C7, 0x00B8, 0x0161, 0x015F, 0x0165,
    0x017A, 0x02DD, 0x017E, 0x017C, 0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9,
    0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A,
    0x0107, 0x00E7, 0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3,
    0x00F4, 0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9};
struct ByteChange {
  uint8_t byte;
  uint16_t code;
};
const ByteChange Latin9Changes[] = {{0xA4, 0x20AC}, {0xA6, 0x0160}, {0xA8, 0x0161}, {0xB4, 0x017D},
                                    {0xB8, 0x017E}, {0xBC, 0x0152}, {0xBD, 0x0153}, {0xBE, 0x0178}};
const ByteChange Latin5Changes[] = {{0xD0, 0x011E}, {0xDD, 0x0130}, {0xDE, 0x015E},
                                    {0xF0, 0x011F}, {0xFD, 0x0131}, {0xFE, 0x015F}};

// Base letters of U+00C0..U+00FF and U+0100..U+017F: ' ' none, '*' two
// letters (Twins).
const char Latin1Letters[] = "AAAAAA*CEEEEIIIIDNOOOOO OUUUUY**aaaaaa*ceeeeiiiidnooooo ouuuuy*y";
const char ExtendedLetters[] =
    "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi**JjKkkLlLlLlL"
    "lLlNnNnNnnNnOoOoOo**RrRrRrSsSsSsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";
const struct {
  uint16_t code;
  char letters[3];
} Twins[] = {{0x00C6, "AE"}, {0x00DE, "TH"}, {0x00DF, "ss"}, {0x00E6, "ae"}, {0x00FE, "th"},
             {0x0132, "IJ"}, {0x0133, "ij"}, {0x0152, "OE"}, {0x0153, "oe"}, {0x1E9E, "SS"}};
// Letters beyond those blocks that Latin mail uses: U+0192 f, and Romanian's
// letters with a comma below.
const struct {
  uint16_t code;
  char letter;
} Singles[] = {{0x0192, 'f'}, {0x0218, 'S'}, {0x0219, 's'}, {0x021A, 'T'}, {0x021B, 't'}};

// The text being made, and the UTF-8 sequence begun but not yet complete.
struct Reader {
  Charset charset;
  uint8_t held[4];
  uint32_t held_n;
  char* out;
  uint32_t cap, k;
};

bool IsWsp(uint8_t c) { return c == ' ' || c == '\t'; }

void PutAscii(Reader* r, char c) {
  if (r->k < r->cap) r->out[r->k++] = c;
}

void PutCode(Reader* r, uint32_t code) {
  if (code < 0x80) {
    PutAscii(r, (char)code);
    return;
  }
  if (code >= 0x0300 && code < 0x0370) return;  // a combining mark
  char letter = ' ';
  if (code >= 0xC0 && code < 0x100) letter = Latin1Letters[code - 0xC0];
  else if (code >= 0x100 && code < 0x180) letter = ExtendedLetters[code - 0x100];
  for (const auto& s : Singles)
    if (s.code == code) letter = s.letter;
  if (code == 0x1E9E) letter = '*';
  if (letter == '*') {
    for (const auto& t : Twins)
      if (t.code == code) {
        PutAscii(r, t.letters[0]);
        PutAscii(r, t.letters[1]);
      }
    return;
  }
  PutAscii(r, letter);
}

uint32_t Changed(const ByteChange* changes, uint32_t count, uint8_t b) {
  for (uint32_t i = 0; i < count; i++)
    if (changes[i].byte == b) return changes[i].code;
  return b;
}

// The code point of byte b (0x80 and up) in a single-byte charset.
uint32_t SingleByteCode(Charset charset, uint8_t b) {
  switch (charset) {
    case CharsetWestern: return b < 0xA0 ? Cp1252Low[b - 0x80] : b;
    case CharsetLatin9: return b < 0xA0 ? 0xFFFD : Changed(Latin9Changes, 8, b);
    case CharsetLatin5: return b < 0xA0 ? 0xFFFD : Changed(Latin5Changes, 6, b);
    case CharsetLatin2: return b < 0xA0 ? 0xFFFD : Latin2High[b - 0xA0];
    case CharsetCp1250: return b < 0xC0 ? Cp1250Low[b - 0x80] : Latin2High[b - 0xA0];
    default: return 0xFFFD;
  }
}

// The bytes of a sequence that proved broken: each as Windows-1252.
void Release(Reader* r) {
  for (uint32_t i = 0; i < r->held_n; i++) PutCode(r, SingleByteCode(CharsetWestern, r->held[i]));
  r->held_n = 0;
}

void PutByte(Reader* r, uint8_t b) {
  if (b < 0x80 && r->held_n == 0) {
    PutAscii(r, (char)b);
    return;
  }
  if (r->charset != CharsetUtf8) {
    PutCode(r, b < 0x80 ? b : SingleByteCode(r->charset, b));
    return;
  }
  if (r->held_n > 0) {
    if (Utf8Continues(r->held[0], r->held_n, b)) {
      r->held[r->held_n++] = b;
      uint32_t length = Utf8SequenceLength(r->held[0]);
      if (r->held_n < length) return;
      uint32_t code = r->held[0] & (0xFF >> (length + 1));
      for (uint32_t i = 1; i < length; i++) code = code << 6 | (r->held[i] & 0x3F);
      r->held_n = 0;
      PutCode(r, code);
      return;
    }
    Release(r);
  }
  if (Utf8SequenceLength(b) > 1) {
    r->held[0] = b;
    r->held_n = 1;
    return;
  }
  PutCode(r, b < 0x80 ? b : SingleByteCode(CharsetWestern, b));
}

void Switch(Reader* r, Charset charset) {
  if (r->charset == charset) return;
  Release(r);
  r->charset = charset;
}

Charset CharsetNamed(const uint8_t* name, uint32_t n) {
  char key[16];
  uint32_t k = 0;
  // A language after "*" (RFC 2231) does not change the charset.
  for (uint32_t i = 0; i < n && name[i] != '*'; i++) {
    uint8_t c = name[i];
    if (c == '-' || c == '_') continue;
    if (k == sizeof key - 1) return CharsetOther;
    key[k++] = (char)(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  key[k] = '\0';
  for (const auto& c : CharsetNames) {
    const char* a = c.name;
    const char* b = key;
    while (*a && *a == *b) a++, b++;
    if (!*a && !*b) return c.charset;
  }
  return CharsetOther;
}

struct EncodedWord {
  Charset charset;
  bool base64;
  uint32_t text, text_end;  // the encoded text
  uint32_t end;             // after the closing "?="
};

// Reads the encoded word "=?charset?Q?text?=" that begins at s[at], if one
// does: 1 with *w, else 0. The text has no white space and no "?".
int ReadEncodedWord(const uint8_t* s, uint32_t at, uint32_t n, EncodedWord* w) {
  if (at + 1 >= n || s[at] != '=' || s[at + 1] != '?') return 0;
  uint32_t name = at + 2, i = name;
  while (i < n && s[i] > 0x20 && s[i] < 0x7F && s[i] != '?') i++;
  if (i == name || i + 2 >= n || s[i] != '?' || s[i + 2] != '?') return 0;
  uint8_t kind = s[i + 1] | 0x20;
  if (kind != 'q' && kind != 'b') return 0;
  w->charset = CharsetNamed(s + name, i - name);
  w->base64 = kind == 'b';
  w->text = i = i + 3;
  while (i < n && s[i] > 0x20 && s[i] < 0x7F && s[i] != '?') i++;
  if (i + 1 >= n || s[i] != '?' || s[i + 1] != '=') return 0;
  w->text_end = i;
  w->end = i + 2;
  return 1;
}

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  c |= 0x20;
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

int Base64Value(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// The word's bytes go to the reader. Q: "_" is a space, "=XX" a byte (an
// "=" without two hex digits stands as it is). B: characters outside the
// alphabet are skipped; "=" ends the bytes.
void DecodeWord(Reader* r, const uint8_t* s, const EncodedWord& w) {
  if (!w.base64) {
    for (uint32_t i = w.text; i < w.text_end; i++) {
      uint8_t c = s[i];
      if (c == '_') {
        c = ' ';
      } else if (c == '=' && i + 2 < w.text_end && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
        c = (uint8_t)(HexValue(s[i + 1]) << 4 | HexValue(s[i + 2]));
        i += 2;
      }
      PutByte(r, c);
    }
    return;
  }
  uint32_t bits = 0, count = 0;
  for (uint32_t i = w.text; i < w.text_end && s[i] != '='; i++) {
    int v = Base64Value(s[i]);
    if (v < 0) continue;
    bits = (bits << 6 | (uint32_t)v) & 0xFFFFFF;
    count += 6;
    if (count >= 8) {
      count -= 8;
      PutByte(r, (uint8_t)(bits >> count));
    }
  }
}

}  // namespace

uint32_t FoldSubject(const uint8_t* s, uint32_t n, char* out, uint32_t cap) {
  Reader r = {CharsetUtf8, {0, 0, 0, 0}, 0, out, cap, 0};
  uint32_t i = 0;
  while (i < n) {
    EncodedWord w;
    if (s[i] != '=' || !ReadEncodedWord(s, i, n, &w)) {
      Switch(&r, CharsetUtf8);
      PutByte(&r, s[i++]);
      continue;
    }
    Switch(&r, w.charset);
    if (w.charset == CharsetOther) PutAscii(&r, ' ');
    else DecodeWord(&r, s, w);
    i = w.end;
    // White space up to the next encoded word is no part of the text.
    uint32_t next = i;
    while (next < n && IsWsp(s[next])) next++;
    if (next > i && ReadEncodedWord(s, next, n, &w)) i = next;
  }
  Release(&r);
  return r.k;
}
