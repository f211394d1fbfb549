// The byte search against memchr: each routine, each alignment of the
// start, lengths 0 to 64 and a long one, the byte at every position (and a
// second one after it, one just outside each end, or none), filler of every
// other byte value, values above 0x7F.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/find_byte.h"

namespace {

TEST(FindByte, AgreesWithMemchr) {
  struct Routine {
    const char* name;
    const uint8_t* (*find)(const uint8_t*, uint8_t, size_t);
  };
  std::vector<Routine> routines = {{"chosen", FindByte}, {"words", FindByteWords}};
  if (ProcessorHasSse2()) routines.push_back({"sse2", FindByteSse2});
  alignas(64) uint8_t area[32 + 300 + 32];
  for (const Routine& r : routines) {
    for (int value : {0x21, 0x0A, 0x00, 0x80, 0xFF}) {
      for (size_t align = 0; align <= 16; align++) {
        for (size_t n = 0; n <= 65; n++) {
          size_t length = n == 65 ? 300 : n;
          for (long at = -1; at < (long)length; at++) {
            uint8_t* p = area + 16 + align;
            // Every byte value but the one looked for, in turn.
            for (size_t k = 0; k < sizeof area; k++) area[k] = (uint8_t)(value + 1 + k % 255);
            p[-1] = p[length] = (uint8_t)value;
            if (at >= 0) p[at] = (uint8_t)value;
            if (at >= 0 && at + 3 < (long)length) p[at + 3] = (uint8_t)value;
            const uint8_t* want = (const uint8_t*)memchr(p, value, length);
            ASSERT_EQ(want, r.find(p, (uint8_t)value, length))
                << r.name << " value " << value << " align " << align << " length " << length << " at " << at;
          }
        }
      }
    }
  }
}

}  // namespace
