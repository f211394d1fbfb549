// The block scanner in whole runs on the memory platform: headers near pass
// boundaries, zero-length messages, decoys, bad lengths, first lines, the
// deleted policy, the message limits, report routing, read and write failures.
#include <gtest/gtest.h>

#include <cinttypes>
#include <string>
#include <vector>

#include "generator.h"
#include "test_platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(uint64_t v) {
  char b[32];
  snprintf(b, sizeof b, "%" PRIx64, v);
  return b;
}

// A hand-made base: leading bytes, then messages with chosen headers.
struct Base {
  Bytes bytes;
  std::vector<uint64_t> at;  // header offsets
  Base& Raw(const std::string& s) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  // A message whose stored length is its text's length plus `wrong_by`.
  Base& Msg(const std::string& text, int64_t wrong_by = 0, bool deleted = false) {
    return MsgStored(text, (uint32_t)(text.size() + wrong_by), deleted);
  }
  Base& MsgStored(const std::string& text, uint32_t stored, bool deleted = false) {
    at.push_back(bytes.size());
    uint8_t h[48];
    WriteGenHeader(h, stored, deleted, 0x9E3779B97F4A7C15ull * at.size());
    bytes.insert(bytes.end(), h, h + 48);
    return Raw(text);
  }
  uint32_t Length(size_t k) const {
    const uint8_t* p = &bytes[at[k] + 36];
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
  }
};

// A text of n bytes: a first line, then filler without "!" or line ends.
std::string Text(const std::string& first_line, size_t n) {
  std::string s = first_line + "\r\n";
  while (s.size() < n) s += (char)('a' + s.size() % 26);
  s.resize(n);
  return s;
}

struct Outcome {
  int code;
  std::string console, log, report;
  Bytes target;
};

// The list lines and warnings of a console or log text, progress dots and
// blank lines left out.
std::string ReportLines(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    line.erase(0, line.find_first_not_of('.'));
    for (const char* p : {"msg[", "del[", "Achtung", "LogBuffer"})
      if (line.rfind(p, 0) == 0) out += line + "\n";
    start = end + 1;
  }
  return out;
}

Outcome Recover(const Bytes& source, std::vector<std::string> options = {}, const MemFaults& faults = MemFaults()) {
  MemReset();
  MemFault() = faults;
  MemPut("src", source);
  std::vector<std::string> args = {"mendrake"};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), {"src", "dst"});
  Outcome o;
  o.code = MemRun(args);
  o.console = MemConsole();
  o.log = MemGetText("log");
  o.report = ReportLines(o.console);
  o.target = MemGet("dst");
  return o;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Summary(int64_t bytes, int found, int extracted) {
  return "Processed " + std::to_string(bytes) + " bytes (" + std::to_string(bytes / 2048) + " blocks)\n " +
         std::to_string(found) + " messages found\n " + std::to_string(extracted) + " messages extracted ";
}

class Scanner : public ::testing::Test {
 protected:
  void TearDown() override { MemRestore(); }
};

TEST_F(Scanner, IntactBaseIsCopiedByteForByte) {
  struct Case {
    uint32_t messages;
    uint64_t total;
    uint32_t leading;
    GenStyle style;
  } cases[] = {{0, 0, 5000, GenPlain},   {1, 0, 0, GenPlain},       {0, 131072, 0, GenPlain},
               {0, 67584, 0, GenEmail},  {0, 200000, 100, GenPlain}, {0, 300000, 7, GenEmail}};
  for (const Case& c : cases) {
    GenOptions g;
    g.messages = c.messages;
    g.total_bytes = c.total;
    g.leading_bytes = c.leading;
    g.style = c.style;
    g.min_text = 100;
    g.max_text = 4000;
    std::vector<GenRecord> records;
    Bytes base = GenerateBase(g, &records);
    if (c.total) {
      ASSERT_EQ(c.total, base.size());
    }
    Outcome o = Recover(base);
    EXPECT_EQ(0, o.code);
    EXPECT_TRUE(base == o.target) << base.size() << " bytes, target " << o.target.size();
    // One line per message, no warning; a first line is cut short only
    // where a pass's window ends.
    std::string rest = o.report;
    for (size_t k = 0; k < records.size(); k++) {
      std::string start = "msg[" + std::to_string(k + 1) + "] at " + Hex(records[k].offset) + ": ";
      size_t end = rest.find('\n');
      ASSERT_NE(std::string::npos, end) << base.size() << " bytes, message " << k;
      EXPECT_EQ(start, rest.substr(0, start.size()));
      EXPECT_EQ(0u, records[k].first_line.find(rest.substr(start.size(), end - start.size())));
      rest.erase(0, end + 1);
    }
    EXPECT_EQ("", rest);
    EXPECT_TRUE(EndsWith(o.console, Summary((int64_t)base.size(), (int)records.size(), (int)records.size())));
  }
}

TEST_F(Scanner, HeadersAroundPassBoundariesAreFoundOnceAtTheirOffsets) {
  // 65,536 ends the first full pass; 67,584 a block pass (the base is then
  // too short for a second full pass); 131,072 the second full pass.
  for (int64_t boundary : {65536, 67584, 131072}) {
    for (int64_t delta : {-120, -110, -109, -100, -62, -61, -60, -48, -47, -1, 0, 1}) {
      int64_t second = boundary + delta;
      Base b;
      b.Msg(Text("Subject: one", (size_t)(second - 48))).Msg(Text("Subject: two", 1500)).Msg(Text("Subject: 3", 100));
      if (boundary == 131072) b.Msg(Text("Subject: four", 70000));
      ASSERT_EQ((uint64_t)second, b.at[1]);
      // A header in the last 48 positions of a window shows the first line
      // only up to the window's end.
      std::string line = "Subject: two";
      if (delta < -61) line = line.substr(0, (size_t)std::max<int64_t>(0, -delta - 109));
      std::string expected = "msg[1] at 0: Subject: one\nmsg[2] at " + Hex(second) + ": " + line + "\nmsg[3] at " +
                             Hex(b.at[2]) + ": Subject: 3\n";
      if (boundary == 131072) expected += "msg[4] at " + Hex(b.at[3]) + ": Subject: four\n";
      Outcome o = Recover(b.bytes);
      EXPECT_EQ(expected, o.report) << "header at " << second;
      EXPECT_TRUE(b.bytes == o.target) << "header at " << second;
    }
  }
}

TEST_F(Scanner, ZeroLengthMessagesDecoysAndAHeaderEndingTheFile) {
  uint8_t decoy[48];
  WriteGenHeader(decoy, 5, false, 3);
  struct Change {
    int at, value;
  } changes[] = {{1, 0x0A}, {2, 0x71}, {3, 0x18}, {4, 47}, {5, 1}, {7, 0x80}, {44, 1}, {47, 0x80}};
  std::string text = "Subject: four\r\n";
  for (const Change& c : changes) {
    std::string d(decoy, decoy + 48);
    d[c.at] = (char)c.value;
    text += "xyz" + d;
  }
  Base b;
  b.Msg("").Msg("").Msg("").Msg(text).Msg("");
  std::string expected;
  for (int k = 0; k < 3; k++)
    expected += "Achtung! 0 in hdr\nmsg[" + std::to_string(k + 1) + "] at " + Hex(48 * k) + ": !\tp\x19" "0\n";
  expected += "msg[4] at 90: Subject: four\nmsg[5] at " + Hex(b.at[4]) + ": \n";
  Outcome o = Recover(b.bytes);
  EXPECT_EQ(expected, o.report);
  EXPECT_TRUE(b.bytes == o.target);
  // With one byte of the last header cut off, it is message text.
  b.bytes.pop_back();
  o = Recover(b.bytes);
  EXPECT_EQ(expected.substr(0, expected.find("msg[5]")), o.report);
  EXPECT_TRUE(b.bytes == o.target);
}

TEST_F(Scanner, WrongAndNegativeLengthsAreReportedAndRepairedInTheCopy) {
  Base b;
  b.MsgStored(Text("Subject: a", 12), 0x8000000Cu).Msg(Text("Subject: b", 300), +7).Msg(Text("Subject: c", 50), -20);
  b.MsgStored(Text("Subject: d", 40), 0xFFFFFFF0u);
  Outcome o = Recover(b.bytes);
  EXPECT_EQ("msg[1] at 0: Subject: a\n"
            "Achtung! wrong message length 0x8000000c\n"
            "Achtung! broken MsgLength -2147483636, should be 12\n"
            "msg[2] at 3c: Subject: b\n"
            "Achtung! broken MsgLength 307, should be 300\n"
            "msg[3] at 198: Subject: c\n"
            "Achtung! broken MsgLength 30, should be 50\n"
            "msg[4] at 1fa: Subject: d\n"
            "Achtung! wrong message length 0xfffffff0\n"
            "Achtung! broken MsgLength -16, should be 40\n",
            o.report);
  Bytes expected = b.bytes;
  Base fixed;
  fixed.Msg(Text("Subject: a", 12)).Msg(Text("Subject: b", 300)).Msg(Text("Subject: c", 50));
  fixed.Msg(Text("Subject: d", 40));
  Base copy{o.target, b.at};
  for (size_t k = 0; k < 4; k++) EXPECT_EQ(fixed.Length(k), copy.Length(k)) << "message " << k;
  Bytes got = o.target;
  for (uint64_t at : b.at)
    for (int k : {36, 37, 38, 39}) expected[at + k] = got[at + k] = 0;
  EXPECT_TRUE(expected == got);
  // A list-only run reports the same and writes nothing.
  MemReset();
  Outcome listed = Recover(b.bytes, {"-l"});
  EXPECT_EQ(o.report, listed.report);
  EXPECT_FALSE(MemExists("dst"));
  EXPECT_EQ(0, MemCount().writes);
}

TEST_F(Scanner, FirstLinesAreCutAtLineEndsNulAndTheLimit) {
  struct Case {
    std::string first;
    size_t shown;
    bool too_long, nul;
  } cases[] = {{std::string(2046, 'x'), 2046, false, false}, {std::string(2047, 'x'), 2047, true, false},
               {std::string(2048, 'y'), 2047, true, false},  {std::string(5000, 'z'), 2047, true, false},
               {"ab\ncd", 2, false, false},                  {"ab\rcd", 2, false, false},
               {std::string("ab\0cd", 5), 2, false, true},   {"", 0, false, false}};
  for (const Case& c : cases) {
    Base b;
    b.Msg(c.first + "\r\n" + std::string(70000, 'b')).Msg("Subject: next\r\n");
    std::string expected = std::string(c.nul ? "Achtung! 0 in hdr\n" : "") + "msg[1] at 0: " +
                           c.first.substr(0, c.shown) + "\n" + (c.too_long ? "LogBuffer, Achtung! too long hdr\n" : "") +
                           "msg[2] at " + Hex(b.at[1]) + ": Subject: next\n";
    EXPECT_EQ(expected, Recover(b.bytes).report) << c.first.size();
  }
}

TEST_F(Scanner, LogTakesListAndWarningsWhileTheConsoleKeepsZeroInHeader) {
  Base b;
  b.Msg(std::string("Sub\0ject", 8), 3).Msg("Subject: b");
  Outcome o = Recover(b.bytes, {"-L", "log"});
  EXPECT_EQ("Achtung! 0 in hdr\n", o.report);
  EXPECT_EQ("Achtung! 0 in hdr\nmsg[1] at 0: Sub\nAchtung! broken MsgLength 11, should be 8\n\nmsg[2] at 38: Subject: b\n",
            o.log);
  EXPECT_TRUE(EndsWith(o.console, Summary((int64_t)b.bytes.size(), 2, 2)));
}

TEST_F(Scanner, DeletedMessagesExcludedOrBroughtBack) {
  Base b;
  b.Raw("LEADING").Msg(Text("Subject: a", 500)).Msg(std::string("Sub\0j", 5) + Text("", 200), +9, true);
  b.Msg(Text("Subject: c", 300));
  Outcome o = Recover(b.bytes);
  EXPECT_EQ("msg[1] at 7: Subject: a\nAchtung! 0 in hdr\nAchtung! broken MsgLength 214, should be 205\nmsg[3] at " +
                Hex(b.at[2]) + ": Subject: c\n",
            o.report);
  EXPECT_TRUE(EndsWith(o.console, Summary((int64_t)b.bytes.size(), 3, 2)));
  Bytes expected(b.bytes.begin(), b.bytes.begin() + (long)b.at[1]);
  expected.insert(expected.end(), b.bytes.begin() + (long)b.at[2], b.bytes.end());
  EXPECT_TRUE(expected == o.target);

  o = Recover(b.bytes, {"-d+"});
  EXPECT_EQ("msg[1] at 7: Subject: a\nAchtung! 0 in hdr\ndel[2] at " + Hex(b.at[1]) +
                ": Sub\nAchtung! broken MsgLength 214, should be 205\nmsg[3] at " + Hex(b.at[2]) + ": Subject: c\n",
            o.report);
  expected = b.bytes;
  expected[b.at[1] + 20] &= 0xFE;  // the deleted mark alone is cleared
  expected[b.at[1] + 36] = 205;
  EXPECT_TRUE(expected == o.target);
}

TEST_F(Scanner, MessageLimitAndStartMessage) {
  Base b;
  b.Raw("LEAD");
  for (const char* s : {"Subject: 1", "Subject: 2", "Subject: 3", "Subject: 4"}) b.Msg(Text(s, 30000));
  auto messages = [&](std::vector<int> which) {
    Bytes out(b.bytes.begin(), b.bytes.begin() + 4);
    for (int k : which) {
      uint64_t end = k < 4 ? b.at[k] : b.bytes.size();
      out.insert(out.end(), b.bytes.begin() + (long)b.at[k - 1], b.bytes.begin() + (long)end);
    }
    return out;
  };
  struct Case {
    std::vector<std::string> options;
    std::vector<int> taken;
    int found, extracted;
  } cases[] = {
      {{}, {1, 2, 3, 4}, 4, 4},
      {{"-M", "1"}, {1}, 2, 2},
      {{"-M", "3"}, {1, 2, 3}, 4, 4},
      {{"-M", "4"}, {1, 2, 3, 4}, 4, 4},
      {{"-m", "3"}, {3, 4}, 4, 2},
      {{"-m", "3", "-M", "1"}, {3}, 4, 2},
      {{"-m", "2", "-M", "1"}, {2}, 3, 2},
      {{"-m", "1"}, {1, 2, 3, 4}, 4, 4},
      {{"-m", "0"}, {1, 2, 3, 4}, 4, 4},
      {{"-m", "-5"}, {1, 2, 3, 4}, 4, 4},
      {{"-m", "9"}, {}, 4, 0},
  };
  for (const Case& c : cases) {
    std::string what = c.options.empty() ? "no limit" : c.options[0] + " " + c.options[1];
    Outcome o = Recover(b.bytes, c.options);
    std::string list;
    for (int k : c.taken) list += "msg[" + std::to_string(k) + "] at " + Hex(b.at[k - 1]) + ": Subject: " +
                                  std::to_string(k) + "\n";
    EXPECT_EQ(list, o.report) << what;
    EXPECT_TRUE(messages(c.taken) == o.target) << what << ": " << o.target.size() << " bytes";
    std::string counts = " " + std::to_string(c.found) + " messages found\n " + std::to_string(c.extracted) +
                         " messages extracted ";
    EXPECT_TRUE(EndsWith(o.console, counts)) << what << "\n" << o.console;
    EXPECT_EQ(0, o.code) << what;
  }
  // The first pass ends the run once the limit is passed in it.
  EXPECT_TRUE(EndsWith(Recover(b.bytes, {"-M", "1"}).console, Summary(65536, 2, 2)));
}

TEST_F(Scanner, MessagesBeyondFourGibibytesKeepTheirOffsets) {
  Base b;
  // The second message's correct length leads across 4 GiB.
  b.Raw(std::string(4000, 'z')).Msg(Text("Subject: low", 3000), 2).Msg(Text("Subject: high", 5000));
  b.Msg(Text("Subject: top", 100));
  const uint64_t size = (1ull << 32) + 5000;
  const uint64_t base = size - b.bytes.size();
  MemReset();
  MemPutSparse("src", size, b.bytes);
  ASSERT_EQ(0, MemRun({"mendrake", "-l", "seek=4294950000", "src"}));
  EXPECT_EQ("msg[1] at " + Hex(base + b.at[0]) + ": Subject: low\nAchtung! broken MsgLength 3002, should be 3000\nmsg[2] at " +
                Hex(base + b.at[1]) + ": Subject: high\nmsg[3] at " + Hex(base + b.at[2]) +
                ": Subject: top\n",
            ReportLines(MemConsole()));
  EXPECT_LT(base + b.at[1], 1ull << 32);
  EXPECT_GT(base + b.at[2], 1ull << 32);
}

// A failed read keeps everything read before it: the bytes held back from
// the last good pass are scanned as the run's last window (a header there is
// listed, a length it shows wrong is repaired), the copy is flushed, then
// the failure is told.
TEST_F(Scanner, ReadFailureKeepsWhatWasReadBeforeIt) {
  GenOptions g;
  g.total_bytes = 300000;
  std::vector<GenRecord> records;
  Bytes base = GenerateBase(g, &records);
  MemReset();
  MemPut("src", base);
  MemFault().read_fail_offset = 131072;
  EXPECT_EQ(-9, MemRun({"mendrake", "-L", "log", "src", "dst"}));
  int found = 0;
  for (const GenRecord& r : records) found += r.offset + 48 <= 131072;
  EXPECT_TRUE(EndsWith(MemConsole(), "Can't read block (65536 bytes) at offset 131072 (LBA 64) error 5\n"
                                     "Stop on output error\n" + Summary(131072, found, found)));
  EXPECT_TRUE(EndsWith(MemGetText("log"), "bad at 131072 (LBA 64) size 65536 (32 blocks)\n"));
  EXPECT_EQ(1, MemCount().sleeps);
  EXPECT_TRUE(Bytes(base.begin(), base.begin() + 131072) == MemGet("dst"));

  // A header at 131,021, inside the held-back bytes, behind a message whose
  // length is wrong.
  Base b;
  b.Msg(Text("Subject: one", 131021 - 48), +5).Msg(Text("Subject: two", 70000));
  ASSERT_EQ(131021u, b.at[1]);
  MemFaults fail;
  fail.read_fail_offset = 131072;
  Outcome o = Recover(b.bytes, {}, fail);
  EXPECT_EQ(-9, o.code);
  EXPECT_EQ("msg[1] at 0: Subject: one\nAchtung! broken MsgLength 130978, should be 130973\nmsg[2] at 1ffcd: Sub\n",
            o.report);
  EXPECT_TRUE(EndsWith(o.console, "msg[2] at 1ffcd: Sub\nCan't read block (65536 bytes) at offset 131072 (LBA 64) "
                                  "error 5\nStop on output error\n" + Summary(131072, 2, 2))) << o.console;
  Base fixed;
  fixed.Msg(Text("Subject: one", 131021 - 48)).Msg(Text("Subject: two", 70000));
  EXPECT_TRUE(Bytes(fixed.bytes.begin(), fixed.bytes.begin() + 131072) == o.target) << o.target.size();
}

// At the end of the source the last taken message's length is judged like
// one at a header when it runs past the end: reported after the last list
// line, set right in the copy. A length that ends at or before the end, a
// last header that was not taken, and a run stopped at the message limit
// leave it alone.
TEST_F(Scanner, LastLengthRunningPastTheEndIsRepaired) {
  struct Case {
    const char* name;
    int64_t wrong_by;  // of the last message's stored length
    bool deleted;
    std::vector<std::string> options;
    std::string listed;  // the messages listed
    bool repaired;
    size_t copied;  // messages in the copy
  } cases[] = {
      {"past the end", +50, false, {}, "az", true, 2},
      {"past the end, list only", +50, false, {"-l"}, "az", true, 0},
      {"past the end, deleted and brought back", +50, true, {"-d+"}, "az", true, 2},
      {"past the end, limit reached but not passed", +50, false, {"-M", "2"}, "az", true, 2},
      {"exactly at the end", 0, false, {}, "az", false, 2},
      {"before the end", -50, false, {}, "az", false, 2},
      {"past the end, deleted", +50, true, {}, "a", false, 1},
      {"past the end, withheld by -m", +50, false, {"-m", "3"}, "", false, 0},
      {"past the end, beyond the limit", +50, false, {"-M", "1"}, "a", false, 1},
  };
  for (const Case& c : cases) {
    Base b, fixed;
    b.Raw("LEAD").Msg(Text("Subject: a", 200)).Msg(Text("Subject: z", 300), c.wrong_by, c.deleted);
    fixed.Raw("LEAD").Msg(Text("Subject: a", 200)).Msg(Text("Subject: z", 300), c.repaired ? 0 : c.wrong_by);
    Outcome o = Recover(b.bytes, c.options);
    std::string list;
    if (c.listed.find('a') != std::string::npos) list += "msg[1] at 4: Subject: a\n";
    if (c.listed.find('z') != std::string::npos)
      list += std::string(c.deleted ? "del" : "msg") + "[2] at " + Hex(b.at[1]) + ": Subject: z\n";
    if (c.repaired) list += "Achtung! broken MsgLength 350, should be 300\n";
    EXPECT_EQ(list, o.report) << c.name;
    EXPECT_EQ(0, o.code) << c.name;
    // The warning comes last before the summary.
    EXPECT_NE(std::string::npos, o.console.find(c.repaired ? "should be 300\n\nProcessed" : "\nProcessed")) << c.name;
    size_t kept = c.copied == 0 ? 4 : c.copied == 1 ? b.at[1] : fixed.bytes.size();
    Bytes expected(fixed.bytes.begin(), fixed.bytes.begin() + (long)kept);
    if (c.options == std::vector<std::string>{"-l"}) expected.clear();
    EXPECT_TRUE(expected == o.target) << c.name << ": " << o.target.size() << " bytes";
  }
}

// A wrong length is set where the message's header lies when the next
// header shows it wrong: in the output block, in the target megabytes back,
// split between the target and the block, and on an unbuffered target by an
// aligned read-modify-write of the 4 KiB pieces that hold it. The copy is
// the base with every length right, byte for byte what a run that held each
// message whole wrote.
TEST_F(Scanner, RepairedLengthIsSetWhereverTheHeaderWent) {
  // Headers at 0 (still in the block when repaired); 65,498 (its length
  // field spans the end of the first 64 KiB block); 73,690 (its field spans
  // a 4 KiB piece's end, and 3 MiB of text follow); a last message that ends
  // the base on a multiple of 64 KiB, its length running past the end. Each
  // wrong length differs from the right one in all four bytes.
  auto build = [](int64_t wrong_by) {
    Base b;
    b.Msg(Text("Subject: a", 65498 - 48), wrong_by).Msg(Text("Subject: b", 73690 - 65498 - 48), wrong_by);
    b.Msg(Text("Subject: c", 3 << 20), wrong_by);
    size_t end = (b.bytes.size() + 48 + 1000 + 65535) / 65536 * 65536;
    return b.Msg(Text("Subject: d", end - b.bytes.size() - 48), wrong_by);
  };
  Base damaged = build(0x01020305), fixed = build(0);
  ASSERT_EQ(0u, damaged.bytes.size() % 65536);
  std::string broken;
  for (size_t k = 0; k < 4; k++)
    broken += "Achtung! broken MsgLength " + std::to_string(damaged.Length(k)) + ", should be " +
              std::to_string(fixed.Length(k)) + "\n";
  auto warnings = [](const std::string& report) {
    std::string out;
    for (size_t at = report.find("Achtung!"); at != std::string::npos; at = report.find("Achtung!", at + 1))
      out += report.substr(at, report.find('\n', at) + 1 - at);
    return out;
  };

  Outcome o = Recover(damaged.bytes);
  EXPECT_EQ(0, o.code);
  EXPECT_EQ(broken, warnings(o.report));
  EXPECT_TRUE(fixed.bytes == o.target) << "buffered";

  // The same base at the end of a 100 GiB source, read from there: the
  // loop passes read and write unbuffered, and every transfer on an
  // unbuffered file must be aligned to 4 KiB.
  const uint64_t size = 100ull << 30;
  MemReset();
  MemPutSparse("src", size, damaged.bytes);
  MemFault().unbuffered_alignment = 4096;
  EXPECT_EQ(0, MemRun({"mendrake", "seek=" + std::to_string(size - damaged.bytes.size()), "src", "dst"}));
  EXPECT_NE(std::string::npos, MemConsole().find("Force using NO_CACHE on large file\n"));
  EXPECT_EQ(broken, warnings(MemConsole()));
  EXPECT_EQ(0, MemCount().refused_unaligned);
  EXPECT_TRUE(fixed.bytes == MemGet("dst")) << "unbuffered";

  // The writer gave up at the second block, half of which reached the disk;
  // the repairs that follow (the last one of a header that was dropped)
  // change no byte past what the target holds, and what it holds is what
  // the whole-message run wrote there.
  MemFaults fail;
  fail.write_fail_offset = 65536;
  fail.write_short = true;
  o = Recover(damaged.bytes, {}, fail);
  EXPECT_EQ(-8, o.code);
  EXPECT_EQ(broken, warnings(o.report));
  EXPECT_TRUE(Bytes(fixed.bytes.begin(), fixed.bytes.begin() + 65536 + 32768) == o.target)
      << "gave up: " << o.target.size() << " bytes";
}

TEST_F(Scanner, FailedWritesAreRetriedOnceAndLeaveAGapFreePrefix) {
  GenOptions g;
  g.total_bytes = 200000;
  Bytes base = GenerateBase(g, nullptr);
  std::string clean = Recover(base).console;
  std::string line = "Can't write block at offset 65536 error 28\n";
  struct Case {
    int64_t fail_at;
    int times;
    bool half;
    int64_t capacity;
    size_t kept;
    std::string lines;
  } cases[] = {
      {65536, 1 << 30, true, -1, 65536 + 32768, line + line},
      {65536, 1, true, -1, 200000, line},
      {-1, 0, false, 100000, 100000, line + line},
      {0, 1 << 30, true, -1, 32768, "Can't write block at offset 0 error 28\nCan't write block at offset 0 error 28\n"},
      {196608, 1 << 30, true, -1, 196608 + 1696, "Can't write block at offset 196608 error 28\n"},
  };
  for (const Case& c : cases) {
    MemReset();
    MemPut("src", base);
    MemFault().write_fail_offset = c.fail_at;
    MemFault().write_fail_times = c.times;
    MemFault().write_short = c.half;
    MemFault().target_capacity = c.capacity;
    EXPECT_EQ(-8, MemRun({"mendrake", "src", "dst"})) << c.fail_at;
    std::string console = MemConsole();
    std::string errors;
    for (size_t at = console.find("Can't write"); at != std::string::npos; at = console.find("Can't write", at + 1))
      errors += console.substr(at, console.find('\n', at) + 1 - at);
    EXPECT_EQ(c.lines, errors) << c.fail_at;
    // Apart from the error lines, the run reads as a clean one.
    for (size_t at; (at = console.find("Can't write")) != std::string::npos;)
      console.erase(at, console.find('\n', at) + 1 - at);
    EXPECT_EQ(clean, console) << c.fail_at;
    EXPECT_TRUE(Bytes(base.begin(), base.begin() + (long)c.kept) == MemGet("dst"))
        << c.fail_at << ": " << MemGet("dst").size();
  }
}

}  // namespace
