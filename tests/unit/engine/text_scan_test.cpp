// The byte search against memchr: each routine, each alignment of the
// start, lengths 0 to 64 and a long one, the byte at every position (and a
// second one after it, one just outside each end, or none), filler of every
// other byte value, values above 0x7F.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/text_scan.h"

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

// The line copy against a plain model, driven as the mbox writer drives it
// (again after each stop): random texts of CR, LF, the stop bytes and
// others, every length to 300 and start alignment, small rooms; the output
// is the text with each CR before a LF left out, up to a CR that ends it;
// with room for all of it, every stop before the end is a line start at F
// or >.
TEST(CopyLinesWithoutCr, AgreesWithAPlainModel) {
  struct Routine {
    const char* name;
    LineCopy (*copy)(const uint8_t*, uint32_t, uint8_t*, uint32_t, uint8_t, uint8_t);
  };
  std::vector<Routine> routines = {{"chosen", CopyLinesWithoutCr}, {"plain", CopyLinesPlain}};
  if (ProcessorHasSse2()) routines.push_back({"sse2", CopyLinesSse2});
  const uint8_t alphabet[] = {'a', 'b', '\r', '\n', 'F', '>', 0x80, 0xFF, 'r', 'o', 'm', ' '};
  uint64_t seed = 12345;
  std::vector<uint8_t> text(320 + 16), out(400);
  for (int round = 0; round < 4000; round++) {
    uint32_t n = (uint32_t)(round % 301), align = (uint32_t)(round % 16);
    // Mostly plain bytes with CR LF ends; now and then anything.
    for (uint32_t k = 0; k < n; k++) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      uint32_t r = (uint32_t)(seed >> 33);
      text[align + k] = r % 7 ? "plain text line"[r % 15] : alphabet[r % sizeof alphabet];
      if (r % 23 == 0 && k + 1 < n) text[align + k] = '\r', text[align + ++k] = '\n';
    }
    const uint8_t* in = text.data() + align;
    std::vector<uint8_t> model;
    uint32_t end = n && in[n - 1] == '\r' ? n - 1 : n;
    for (uint32_t k = 0; k < end; k++)
      if (!(in[k] == '\r' && k + 1 < n && in[k + 1] == '\n')) model.push_back(in[k]);
    for (const Routine& r : routines) {
      for (uint32_t room : {1u, 17u, 64u, 400u}) {
        std::vector<uint8_t> got;
        uint32_t i = 0;
        for (int calls = 0; i < end && calls < 1000; calls++) {
          LineCopy c = r.copy(in + i, n - i, out.data(), room, 'F', '>');
          ASSERT_LE(c.written, room);
          got.insert(got.end(), out.begin(), out.begin() + c.written);
          i += c.read;
          // With room for everything, a stop before the end is a line start.
          if (i < end && room == 400) {
            ASSERT_TRUE(i > 0 && in[i - 1] == '\n' && (in[i] == 'F' || in[i] == '>'))
                << r.name << " round " << round << " stopped at " << i;
          }
          if (c.read == 0) {  // no room for the next line: as the writer does, one byte on
            if (!(in[i] == '\r' && i + 1 < n && in[i + 1] == '\n')) got.push_back(in[i]);
            i++;
          }
        }
        ASSERT_EQ(end, i) << r.name << " round " << round << " room " << room;
        ASSERT_TRUE(model == got) << r.name << " round " << round << " room " << room;
      }
    }
  }
}
