// Fast passes over text, as fast as the processor allows on every system
// the tool is built for: the search for one byte value (the scanner's for
// each header's first byte, the export's for line ends), and the copy of
// lines with their CR LF ends turned into LF (the export's mbox text). And
// what makes bytes valid UTF-8, for the companions' texts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

// The first byte equal to `value` in p[0..n), or null. The C library's
// memchr where it is known to be fast (glibc, called in place: the scan
// finds each header's first byte with it); elsewhere the routines below,
// SSE2 where the processor has it and the system lets programs use it, a
// machine word at a time otherwise. Never reads outside p[0..n).
#ifdef __GLIBC__
inline const uint8_t* FindByte(const uint8_t* p, uint8_t value, size_t n) {
  return (const uint8_t*)memchr(p, value, n);
}
#else
const uint8_t* FindByte(const uint8_t* p, uint8_t value, size_t n);
#endif

// The project's own searches (FindByte's choice where memchr is not used);
// FindByteSse2 only where ProcessorHasSse2.
const uint8_t* FindByteWords(const uint8_t* p, uint8_t value, size_t n);
const uint8_t* FindByteSse2(const uint8_t* p, uint8_t value, size_t n);
bool ProcessorHasSse2(void);

// How far a line copy got: bytes read from the text, bytes written.
struct LineCopy {
  uint32_t read;
  uint32_t written;
};

// Copies text from in[0..n) to out (room bytes), each CR that stands just
// before a LF left out; every other byte, a lone CR too, is copied as it
// is, and a line (one that begins after a LF in the text) made of any
// number of `run` bytes and then `word` (two bytes or more) gets one `run`
// byte more (the mbox quoting of "From " lines with ">"). Stops near the
// text's end before a line too little of which is there to judge (one that
// begins with `run` or the word's first byte: the caller's), before a CR
// that is the text's last byte (its LF may come with the next piece), and
// where the room ends. AVX-512 (VBMI2) or else AVX2 where the processor and
// system have it (64-bit builds), SSE2 where FindByte uses it, otherwise a
// line at a time, each found with FindByte.
LineCopy CopyLinesWithoutCr(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word,
                            uint8_t run);
// The ways, for tests: CopyLinesAvx512 only where ProcessorHasAvx512,
// CopyLinesAvx2 only where ProcessorHasAvx2, CopyLinesSse2 only where
// ProcessorHasSse2.
LineCopy CopyLinesAvx512(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run);
bool ProcessorHasAvx512(void);
LineCopy CopyLinesAvx2(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run);
bool ProcessorHasAvx2(void);
LineCopy CopyLinesSse2(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run);
LineCopy CopyLinesPlain(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run);

// The length of the UTF-8 sequence that lead byte b begins (1 to 4), 0 for
// a byte that begins none.
inline uint32_t Utf8SequenceLength(uint8_t b) {
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

// True when b may follow `count` bytes of the sequence begun by lead:
// no overlong forms, no surrogates, nothing beyond U+10FFFF.
inline bool Utf8Continues(uint8_t lead, uint32_t count, uint8_t b) {
  if ((b & 0xC0) != 0x80) return false;
  if (count > 1) return true;
  if (lead == 0xE0) return b >= 0xA0;
  if (lead == 0xED) return b <= 0x9F;
  if (lead == 0xF0) return b >= 0x90;
  if (lead == 0xF4) return b <= 0x8F;
  return true;
}
