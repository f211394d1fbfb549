// What both companions share: the strict reading of an offset, and a
// ddrescue mapfile's areas not read.
#include <gtest/gtest.h>

#include "run/companion.h"
#include "test_platform.h"

namespace {

TEST(Companion, OffsetsAreReadStrictly) {
  struct {
    const char* text;
    int64_t want;  // -1: refused
  } cases[] = {
      {"0", 0},          {"4096", 4096},     {"3k", 3072},       {"10M", 10485760}, {"10m", 10485760},
      {"2G", 2147483648}, {"1g", 1073741824}, {"5b", 10240},      {"7o", 7},         {"0x1f3a0", 127904},
      {"0X1F3A0", 127904}, {"0x7fffffffffffffff", INT64_MAX},     {"9223372036854775807", INT64_MAX},
      {"1e3", -1},       {"10X", -1},        {"1k2", -1},        {"5 bytes", -1},   {"1.5M", -1},
      {"-5", -1},        {"+5", -1},         {"", -1},           {" 5", -1},        {"5 ", -1},
      {"10K", -1},       {"10kk", -1},       {"0x", -1},         {"0x10k", -1},     {"0xg", -1},
      {"9223372036854775808", -1},           {"0x8000000000000000", -1},            {"8589934592G", -1},
  };
  for (const auto& c : cases) {
    int64_t got = -1;
    int ok = ReadCompanionOffset(c.text, &got);
    EXPECT_EQ(c.want >= 0, ok == 1) << c.text;
    if (c.want >= 0) {
      EXPECT_EQ(c.want, got) << c.text;
    }
  }
}

TEST(Companion, MapfileAreasNotRead) {
  const char* header = "# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n";
  struct {
    const char* name;
    const char* blocks;
    int code;                // LoadMapfile's result
    int64_t from, to, want;  // UnreadBytes(from, to) when loaded
  } cases[] = {
      {"all finished", "0x00000000  0x00010000  +\n", 0, 0, 0x10000, 0},
      {"past the last block", "0  4096  +\n", 0, 4000, 5000, 904},
      {"each status not read", "0 100 +\n100 10 -\n110 10 *\n120 10 /\n130 10 ?\n140 60 +\n", 0, 0, 200, 40},
      {"a header only", "0 0x1000 +\n0x1000 0x200 -\n0x1200 0x10000 +\n", 0, 0x1100, 0x1130, 0x30},
      {"nothing hit", "0 0x1000 +\n0x1000 0x200 -\n0x1200 0x10000 +\n", 0, 0x1200, 0x3000, 0},
      {"decimal and octal", "0 010 +\n8 8 -\n16 99 +\n", 0, 0, 20, 8},
      {"an uncovered stretch", "0 10 +\n20 10 +\n", 0, 0, 30, 10},
      {"CR LF and comments", "0 10 + # ok\r\n10 10 - \r\n20 80 +\r\n", 0, 5, 25, 10},
      {"no line feed at the end", "0 10 +\n10 10 -", 0, 0, 20, 10},
      {"overlap", "0 10 +\n5 10 +\n", 16, 0, 0, 0},
      {"bad status", "0 10 x\n", 16, 0, 0, 0},
      {"too many words", "0 10 + 7\n", 16, 0, 0, 0},
      {"bad number", "0 1O +\n", 16, 0, 0, 0},
  };
  for (const auto& c : cases) {
    MemReset();
    MemPutText("m.map", std::string(header) + "0x00000000     +               1\n" + c.blocks);
    EXPECT_EQ(c.code, LoadMapfile("prog", "m.map")) << c.name;
    EXPECT_EQ(c.code == 0, MapfileLoaded()) << c.name;
    if (c.code == 0) {
      EXPECT_EQ(c.want, UnreadBytes(c.from, c.to)) << c.name;
    } else {
      EXPECT_NE(std::string::npos, MemErrors().find("prog: m.map: line ")) << c.name << MemErrors();
    }
  }
  MemReset();
  MemPutText("m.map", "# nothing but comments\n");
  EXPECT_EQ(16, LoadMapfile("prog", "m.map"));
  EXPECT_EQ(8, LoadMapfile("prog", "missing.map"));
  EXPECT_NE(std::string::npos, MemErrors().find("prog: missing.map: cannot open: No such file or directory (error 2)"));
  MemRestore();
}

}  // namespace
