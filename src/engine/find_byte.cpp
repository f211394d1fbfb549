// The byte search (find_byte.h). The only file of the engine that uses the
// compiler's processor intrinsics; the SSE2 routine is compiled for SSE2
// alone and chosen at run time, since 32-bit processors without SSE2 run
// the legacy profile.
#include "engine/find_byte.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <emmintrin.h>
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
bool ProcessorHasSse2(void) { return false; }

#endif

namespace {

typedef const uint8_t* (*SearchRoutine)(const uint8_t*, uint8_t, size_t);

const uint8_t* LibraryMemchr(const uint8_t* p, uint8_t value, size_t n) {
  return (const uint8_t*)memchr(p, value, n);
}

const uint8_t* ChooseAndFind(const uint8_t* p, uint8_t value, size_t n);
SearchRoutine Search = ChooseAndFind;

// The first search picks the routine for the rest of the process.
const uint8_t* ChooseAndFind(const uint8_t* p, uint8_t value, size_t n) {
#ifdef __GLIBC__
  Search = LibraryMemchr;
#else
  (void)LibraryMemchr;
  Search = ProcessorHasSse2() && Platform.VectorStateSaved() ? FindByteSse2 : FindByteWords;
#endif
  return Search(p, value, n);
}

}  // namespace

const uint8_t* FindByte(const uint8_t* p, uint8_t value, size_t n) { return Search(p, value, n); }
