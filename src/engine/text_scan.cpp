// Fast passes over text (text_scan.h). The only file of the engine that
// uses the compiler's processor intrinsics; the SSE2 routines are compiled
// for SSE2 alone and chosen at run time, since 32-bit processors without
// SSE2 run the legacy profile.
#include "engine/text_scan.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define MENDRAKE_X86 1
#endif

#include "core/platform.h"

namespace {

typedef uintptr_t Word;

inline Word LoadWord(const uint8_t* p) {
  Word w;
  memcpy(&w, p, sizeof w);
  return w;
}

// Non-zero when some byte of x is zero.
inline Word HasZeroByte(Word x) {
  const Word ones = (Word)-1 / 255;
  return (x - ones) & ~x & (ones << 7);
}

const uint8_t* Bytewise(const uint8_t* p, uint8_t value, size_t n) {
  for (; n; p++, n--)
    if (*p == value) return p;
  return nullptr;
}

// True when the word lies at p (wholly in the text) and the line it is in
// began after a LF in in[0..p) and holds only `run` bytes before it.
// (No library call: the vector loops keep their registers across it.)
inline bool QuotedLine(const uint8_t* in, uint32_t p, const char* word, uint32_t word_length, uint8_t run) {
  for (uint32_t k = 0; k < word_length; k++)
    if (in[p + k] != (uint8_t)word[k]) return false;
  while (p > 0 && in[p - 1] == run) p--;
  return p > 0 && in[p - 1] == '\n';
}

// The end of a vector step that the fast way cannot take (the step was
// stored at out[o] already): on to its first CR LF, the CR left out, or to
// its first word, where one run byte more goes before the word when its
// line is to be quoted (anywhere in the run is the same bytes).
inline void StepToFirst(const uint8_t* in, uint8_t* out, uint32_t* i, uint32_t* o, uint32_t crlf, uint32_t words,
                        const char* word, uint32_t word_length, uint8_t run) {
  unsigned k = (unsigned)__builtin_ctz(words | crlf);
  *o += k;
  *i += k;
  if ((crlf >> k) & 1) {
    *i += 1;
    return;
  }
  if (QuotedLine(in, *i, word, word_length, run)) out[(*o)++] = run;
  out[(*o)++] = in[(*i)++];
}

// A copy never ends inside the run bytes that begin a line: those are the
// caller's to judge with the rest of the line. Returns how far it got.
LineCopy EndBeforeRun(const uint8_t* in, uint32_t i, uint32_t o, uint8_t run) {
  uint32_t q = i;
  while (q > 0 && in[q - 1] == run) q--;
  if (q > 0 && q < i && in[q - 1] == '\n') return {q, o - (i - q)};
  return {i, o};
}

// The copy's last bytes, one by one (from i, o on): stops at a line start
// that a run byte or the word's first byte begins.
LineCopy CopyTail(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, uint32_t i, uint32_t o, uint8_t first,
                  uint8_t run) {
  LineCopy at = EndBeforeRun(in, i, o, run);
  i = at.read;
  o = at.written;
  if (i > 0 && i < n && in[i - 1] == '\n' && (in[i] == first || in[i] == run)) return {i, o};
  while (i < n) {
    uint8_t c = in[i];
    if (c == '\r') {
      if (i + 1 == n) break;
      if (in[i + 1] == '\n') {
        i++;
        continue;
      }
    }
    if (o == room) return EndBeforeRun(in, i, o, run);
    out[o++] = c;
    i++;
    if (c == '\n' && i < n && (in[i] == first || in[i] == run)) break;
  }
  return {i, o};
}

}  // namespace

const uint8_t* FindByteWords(const uint8_t* p, uint8_t value, size_t n) {
  while (n && ((uintptr_t)p & (sizeof(Word) - 1))) {
    if (*p == value) return p;
    p++;
    n--;
  }
  const Word pattern = (Word)-1 / 255 * value;
  // Two words a step: the test of each is a few instructions.
  while (n >= 2 * sizeof(Word)) {
    if (HasZeroByte(LoadWord(p) ^ pattern) | HasZeroByte(LoadWord(p + sizeof(Word)) ^ pattern)) break;
    p += 2 * sizeof(Word);
    n -= 2 * sizeof(Word);
  }
  return Bytewise(p, value, n);
}

#ifdef MENDRAKE_X86

__attribute__((target("sse2"))) const uint8_t* FindByteSse2(const uint8_t* p, uint8_t value, size_t n) {
  while (n && ((uintptr_t)p & 15)) {
    if (*p == value) return p;
    p++;
    n--;
  }
  const __m128i pattern = _mm_set1_epi8((char)value);
  while (n >= 64) {
    const __m128i* a = (const __m128i*)p;
    __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(_mm_load_si128(a), pattern),
                                          _mm_cmpeq_epi8(_mm_load_si128(a + 1), pattern)),
                             _mm_or_si128(_mm_cmpeq_epi8(_mm_load_si128(a + 2), pattern),
                                          _mm_cmpeq_epi8(_mm_load_si128(a + 3), pattern)));
    if (_mm_movemask_epi8(m)) break;
    p += 64;
    n -= 64;
  }
  while (n >= 16) {
    int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_load_si128((const __m128i*)p), pattern));
    if (mask) return p + __builtin_ctz((unsigned)mask);
    p += 16;
    n -= 16;
  }
  return Bytewise(p, value, n);
}

// Sixteen bytes a step. A step with at most one CR LF and without the
// word's first two bytes is stored, then (with a CR LF) the bytes after the
// CR stored over it, without a branch either way. Otherwise the step ends
// at its first CR LF (the CR left out, the next step from the LF on) or at
// the word's first byte, where a line to quote is told apart.
// (From in[i] and out[o] on; the text before i is seen for the lines'
// starts.)
__attribute__((target("sse2"))) LineCopy CopySse2From(const uint8_t* in, uint32_t n, uint32_t i, uint8_t* out,
                                                      uint32_t o, uint32_t room, const char* word, uint8_t run) {
  uint32_t word_length = (uint32_t)strlen(word);
  const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
  const __m128i w0 = _mm_set1_epi8(word[0]), w1 = _mm_set1_epi8(word[1]);
  // Each step reads 32 bytes at most, a word found in it lies in the text,
  // and a quoting byte fits.
  while (i + 32 + word_length <= n && o + 33 <= room) {
    __m128i v = _mm_loadu_si128((const __m128i*)(in + i));
    __m128i w = _mm_loadu_si128((const __m128i*)(in + i + 1));
    unsigned crlf = (unsigned)_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(w, lf)));
    unsigned words = (unsigned)_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(v, w0), _mm_cmpeq_epi8(w, w1)));
    _mm_storeu_si128((__m128i*)(out + o), v);
    if ((words | (crlf & (crlf - 1))) == 0) {
      // The bytes after the CR over it; without one, the next sixteen
      // bytes where they go anyway.
      unsigned j = (unsigned)__builtin_ctz(crlf | 0x10000);
      unsigned skip = crlf != 0;
      _mm_storeu_si128((__m128i*)(out + o + j), _mm_loadu_si128((const __m128i*)(in + i + j + skip)));
      o += 16 - skip;
      i += 16;
      continue;
    }
    StepToFirst(in, out, &i, &o, crlf, words, word, word_length, run);
  }
  return CopyTail(in, n, out, room, i, o, (uint8_t)word[0], run);
}

LineCopy CopyLinesSse2(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run) {
  return CopySse2From(in, n, 0, out, 0, room, word, run);
}

#ifdef __x86_64__

// Sixty-four bytes a step with AVX-512 (VBMI2): the CRs before LFs dropped
// by one compress, a step with the word's first two bytes cut where a line
// to quote gets its byte more. The last bytes go the SSE2 way.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi,popcnt"))) LineCopy CopyLinesAvx512(
    const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run) {
  uint32_t word_length = (uint32_t)strlen(word);
  const __m512i cr = _mm512_set1_epi8('\r'), lf = _mm512_set1_epi8('\n');
  const __m512i w0 = _mm512_set1_epi8(word[0]), w1 = _mm512_set1_epi8(word[1]);
  uint32_t i = 0, o = 0;
  // A step reads 65 bytes, a word in it lies in the text; it writes at most
  // 64 bytes and one quoting byte per word, each store 64 bytes wide.
  while (i + 65 + word_length <= n && o + 128 <= room) {
    __m512i v = _mm512_loadu_si512((const void*)(in + i));
    __m512i w = _mm512_loadu_si512((const void*)(in + i + 1));
    uint64_t keep = ~(uint64_t)(_mm512_cmpeq_epi8_mask(v, cr) & _mm512_cmpeq_epi8_mask(w, lf));
    uint64_t words = _mm512_cmpeq_epi8_mask(v, w0) & _mm512_cmpeq_epi8_mask(w, w1);
    while (words) {
      unsigned k = (unsigned)_tzcnt_u64(words);
      words &= words - 1;
      if (!QuotedLine(in, i + k, word, word_length, run)) continue;
      uint64_t before = keep & ((1ull << k) - 1);
      _mm512_storeu_si512((void*)(out + o), _mm512_maskz_compress_epi8(before, v));
      o += (uint32_t)_mm_popcnt_u64(before);
      out[o++] = run;
      keep &= ~((1ull << k) - 1);
    }
    _mm512_storeu_si512((void*)(out + o), _mm512_maskz_compress_epi8(keep, v));
    o += (uint32_t)_mm_popcnt_u64(keep);
    i += 64;
  }
  return CopySse2From(in, n, i, out, o, room, word, run);
}

// Thirty-two bytes a step with AVX2, the SSE2 way twice as wide: a step
// with at most one CR LF and without the word's first two bytes is stored
// whole, then the bytes after the CR stored over it; any other step ends at
// its first CR LF or word, as there. Where AVX-512 is missing, most lines of
// mail still leave one CR LF or none in a step.
__attribute__((target("avx2,bmi"))) LineCopy CopyLinesAvx2(const uint8_t* in, uint32_t n, uint8_t* out,
                                                                   uint32_t room, const char* word, uint8_t run) {
  uint32_t word_length = (uint32_t)strlen(word);
  const __m256i cr = _mm256_set1_epi8('\r'), lf = _mm256_set1_epi8('\n');
  const __m256i w0 = _mm256_set1_epi8(word[0]), w1 = _mm256_set1_epi8(word[1]);
  uint32_t i = 0, o = 0;
  // Each step reads 64 bytes at most, a word found in it lies in the text,
  // and a quoting byte fits.
  while (i + 64 + word_length <= n && o + 65 <= room) {
    __m256i v = _mm256_loadu_si256((const __m256i*)(in + i));
    __m256i w = _mm256_loadu_si256((const __m256i*)(in + i + 1));
    __m256i crlf_at = _mm256_and_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(w, lf));
    __m256i words_at = _mm256_and_si256(_mm256_cmpeq_epi8(v, w0), _mm256_cmpeq_epi8(w, w1));
    uint32_t crlf = (uint32_t)_mm256_movemask_epi8(crlf_at);
    uint32_t words = (uint32_t)_mm256_movemask_epi8(words_at);
    _mm256_storeu_si256((__m256i*)(out + o), v);
    if ((words | (crlf & (crlf - 1))) == 0) {
      unsigned j = (unsigned)_tzcnt_u64((uint64_t)crlf | (1ull << 32));
      unsigned skip = crlf != 0;
      _mm256_storeu_si256((__m256i*)(out + o + j), _mm256_loadu_si256((const __m256i*)(in + i + j + skip)));
      o += 32 - skip;
      i += 32;
      continue;
    }
    StepToFirst(in, out, &i, &o, crlf, words, word, word_length, run);
  }
  _mm256_zeroupper();
  return CopySse2From(in, n, i, out, o, room, word, run);
}

bool ProcessorHasAvx2(void) { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi"); }

bool ProcessorHasAvx512(void) {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi2");
}

#endif

bool ProcessorHasSse2(void) {
#ifdef __x86_64__
  return true;
#else
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(1, &a, &b, &c, &d) && (d & bit_SSE2) != 0;
#endif
}

#else

const uint8_t* FindByteSse2(const uint8_t* p, uint8_t value, size_t n) { return FindByteWords(p, value, n); }
LineCopy CopyLinesSse2(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run) {
  return CopyLinesPlain(in, n, out, room, word, run);
}
bool ProcessorHasSse2(void) { return false; }

#endif

#ifndef __x86_64__

LineCopy CopyLinesAvx512(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run) {
  return CopyLinesSse2(in, n, out, room, word, run);
}
bool ProcessorHasAvx512(void) { return false; }
LineCopy CopyLinesAvx2(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run) {
  return CopyLinesSse2(in, n, out, room, word, run);
}
bool ProcessorHasAvx2(void) { return false; }

#endif

LineCopy CopyLinesPlain(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run) {
  uint32_t word_length = (uint32_t)strlen(word);
  uint32_t i = 0, o = 0;
  uint32_t quote = 0;  // the line at i gets one run byte more
  while (i < n) {
    const uint8_t* lf = FindByte(in + i, '\n', n - i);
    uint32_t end = lf ? (uint32_t)(lf - in) + 1 : n;  // after the line's LF, or the text's end
    uint32_t take = end - i;
    bool crlf = lf && end - 1 > i && in[end - 2] == '\r';
    // A CR that ends the text waits for the next piece.
    if (!lf && in[n - 1] == '\r') take--;
    uint32_t put = take - (crlf ? 1 : 0);
    if (quote + put > room - o) break;
    if (quote) out[o++] = run;
    if (crlf) {
      memcpy(out + o, in + i, take - 2);
      out[o + take - 2] = '\n';
    } else {
      memcpy(out + o, in + i, take);
    }
    o += put;
    i += take;
    if (!lf || i == n) break;
    // The next line: quoted, or the caller's when too little of it is here.
    uint32_t q = i;
    while (q < n && in[q] == run) q++;
    if (q + word_length > n) {
      if (in[i] == run || in[i] == (uint8_t)word[0]) break;
      quote = 0;
    } else {
      quote = memcmp(in + q, word, word_length) == 0;
    }
  }
  return {i, o};
}

namespace {

typedef LineCopy (*CopyRoutine)(const uint8_t*, uint32_t, uint8_t*, uint32_t, const char*, uint8_t);

LineCopy ChooseAndCopy(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run);
CopyRoutine Copy = ChooseAndCopy;
#ifndef __GLIBC__
typedef const uint8_t* (*SearchRoutine)(const uint8_t*, uint8_t, size_t);
const uint8_t* ChooseAndFind(const uint8_t* p, uint8_t value, size_t n);
SearchRoutine Search = ChooseAndFind;
#endif

// The first use picks the routines for the rest of the process.
void Choose(void) {
  bool sse2 = ProcessorHasSse2() && Platform.VectorStateSaved();
#ifndef __GLIBC__
  Search = sse2 ? FindByteSse2 : FindByteWords;
#endif
  if (ProcessorHasAvx512())
    Copy = CopyLinesAvx512;
  else if (ProcessorHasAvx2())
    Copy = CopyLinesAvx2;
  else
    Copy = sse2 ? CopyLinesSse2 : CopyLinesPlain;
}

#ifndef __GLIBC__
const uint8_t* ChooseAndFind(const uint8_t* p, uint8_t value, size_t n) {
  Choose();
  return Search(p, value, n);
}
#endif

LineCopy ChooseAndCopy(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word, uint8_t run) {
  Choose();
  return Copy(in, n, out, room, word, run);
}

}  // namespace

#ifndef __GLIBC__
const uint8_t* FindByte(const uint8_t* p, uint8_t value, size_t n) { return Search(p, value, n); }
#endif

LineCopy CopyLinesWithoutCr(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t room, const char* word,
                            uint8_t run) {
  return Copy(in, n, out, room, word, run);
}
