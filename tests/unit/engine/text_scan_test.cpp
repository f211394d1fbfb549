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
// (its own quoting after each stop): random texts of CR, LF, ">", "From "
// and others, every length to 300 and start alignment, small rooms. The
// output is the text with each CR before a LF left out, up to a CR that ends
// it, and one ">" more before each line of ">"s and "From "; with room for
// everything, a stop before the end leaves less than a line to judge.
TEST(CopyLinesWithoutCr, AgreesWithAPlainModel) {
  struct Routine {
    const char* name;
    LineCopy (*copy)(const uint8_t*, uint32_t, uint8_t*, uint32_t, const char*, uint8_t);
  };
  std::vector<Routine> routines = {{"chosen", CopyLinesWithoutCr}, {"plain", CopyLinesPlain}};
  if (ProcessorHasSse2()) routines.push_back({"sse2", CopyLinesSse2});
  if (ProcessorHasAvx512()) routines.push_back({"avx512", CopyLinesAvx512});
  if (ProcessorHasAvx2()) routines.push_back({"avx2", CopyLinesAvx2});
  const char* pieces[] = {"\r\n", "\n", "\r", ">", ">>", "From ", "From", "Fr", "F", "x", "plain words ",
                          "\xff\x80", "\r\n>From ", "\r\nFrom x", "\n>>>>>>>>>>>>>>>>>>>>From "};
  uint64_t seed = 12345;
  std::vector<uint8_t> text(400), out(600);
  for (int round = 0; round < 3000; round++) {
    uint32_t n = 0, align = (uint32_t)(round % 16), limit = (uint32_t)(round % 301);
    std::string t;
    while (t.size() < limit) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      t += pieces[(seed >> 33) % (sizeof pieces / sizeof pieces[0])];
    }
    t.resize(limit);
    n = (uint32_t)t.size();
    memcpy(text.data() + align, t.data(), n);
    const uint8_t* in = text.data() + align;
    // The model: lines after a LF, judged whole.
    std::string model;
    uint32_t end = n && in[n - 1] == '\r' ? n - 1 : n;
    for (uint32_t k = 0; k < end; k++) {
      if (k > 0 && in[k - 1] == '\n') {
        uint32_t q = k;
        while (q < n && in[q] == '>') q++;
        if (q + 5 <= n && memcmp(in + q, "From ", 5) == 0) model += '>';
      }
      if (!(in[k] == '\r' && k + 1 < n && in[k + 1] == '\n')) model += (char)in[k];
    }
    for (const Routine& r : routines) {
      for (uint32_t room : {1u, 17u, 64u, 600u}) {
        std::string got;
        uint32_t i = 0;
        for (int calls = 0; i < end && calls < 1000; calls++) {
          LineCopy c = r.copy(in + i, n - i, out.data(), room, "From ", '>');
          ASSERT_LE(c.written, room);
          got.append((const char*)out.data(), c.written);
          i += c.read;
          if (i >= end) break;
          bool line_start = i > 0 && in[i - 1] == '\n' && (in[i] == '>' || in[i] == 'F');
          uint32_t q = i;
          while (q < n && in[q] == '>') q++;
          // With room for everything, a stop is at such a line whose ">"
          // run ends near the text's end.
          if (room == 600) {
            ASSERT_TRUE(line_start && q + 40 > n) << r.name << " round " << round << " at " << i;
          }
          if (line_start) {
            // As the writer does: the line's ">" run and "From " judged.
            bool from = q + 5 <= n && memcmp(in + q, "From ", 5) == 0;
            if (from) got += '>';
            uint32_t to = from ? q + 5 : q > i ? q : i + 1;
            got.append((const char*)in + i, to - i);
            i = to;
          } else if (c.read == 0) {
            // No room for the next line: one byte on.
            if (!(in[i] == '\r' && i + 1 < n && in[i + 1] == '\n')) got += (char)in[i];
            i++;
          }
        }
        ASSERT_EQ(end, i) << r.name << " round " << round << " room " << room;
        ASSERT_EQ(model, got) << r.name << " round " << round << " room " << room << " text " << t;
      }
    }
  }
}
