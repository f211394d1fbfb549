// The run driver in process over the memory platform: opening failures and
// their codes, runs that would write to their own source, the pass plan with
// its dots, the start offset's rounding, list-only runs and a failed read.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/run_state.h"
#include "test_platform.h"

namespace {

const std::string Banner = "Quillbase recovery utility v1.0\nHome site https://mendrake.example.org/\n";

std::string Summary(int64_t bytes, int found = 0, int extracted = 0) {
  return "Processed " + std::to_string(bytes) + " bytes (" + std::to_string(bytes / 2048) + " blocks)\n " +
         std::to_string(found) + " messages found\n " + std::to_string(extracted) + " messages extracted ";
}

// Bytes that hold no message header.
std::vector<uint8_t> Plain(size_t n) { return std::vector<uint8_t>(n, 'x'); }

// Puts a message header at `at` whose stored length reaches `next`, and an
// empty first line behind it.
void PutHeader(std::vector<uint8_t>& b, size_t at, size_t next) {
  uint8_t h[48] = {0x21, 0x09, 0x70, 0x19, 48};
  uint32_t length = (uint32_t)(next - at - 48);
  for (int k = 0; k < 4; k++) h[36 + k] = (uint8_t)(length >> (8 * k));
  std::copy(h, h + 48, b.begin() + at);
  b[at + 48] = '\n';
}

// Every source read as (position, size), through a wrapper on the platform.
std::vector<std::pair<int64_t, uint32_t>> Reads;
int64_t SeekedTo = 0;
int (*MemSeekOp)(FileRef, int64_t);
int64_t (*MemReadOp)(FileRef, void*, uint32_t);
int RecordSeek(FileRef f, int64_t offset) {
  SeekedTo = offset;
  return MemSeekOp(f, offset);
}
int64_t RecordRead(FileRef f, void* into, uint32_t n) {
  Reads.emplace_back(SeekedTo, n);
  return MemReadOp(f, into, n);
}

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    MemReset();
    Reads.clear();
    MemSeekOp = Platform.Seek;
    MemReadOp = Platform.Read;
    Platform.Seek = RecordSeek;
    Platform.Read = RecordRead;
  }
  void TearDown() override { MemRestore(); }
};

TEST_F(Driver, OpeningFailuresPrintTheirMessageAndCode) {
  struct {
    std::vector<std::string> args;
    int code;
    std::string message;
    int opens;  // how far the opening got
  } cases[] = {
      {{"nosuch", "dst"}, -1, "Can't open source file nosuch\nexiting...\n", 1},
      {{"if=", "dst"}, -1, "Can't open source file \nexiting...\n", 1},
      {{"dir", "dst"}, -1, "Can't open source file dir\nexiting...\n", 1},
      {{"-L", "log", "nosuch", "dst"}, -1, "Can't open source file nosuch\nexiting...\n", 2},
      {{"src", "dir"}, -3, "Can't open or create target file dir\nexiting...\n", 3},
      {{"src", "of="}, -3, "Can't open or create target file \nexiting...\n", 3},
      {{"-L", "dir", "src", "dst"}, -6, "Can't create log file dir\nexiting...\n", 1},
      {{"log=", "src", "dst"}, -6, "Can't create log file \nexiting...\n", 1},
      {{"empty", "dst"}, -4, "Empty source file empty\nexiting...\n", 3},
      {{"-l", "dev"}, -4, "Can't get source file size: dev\nexiting...\n", 1},
  };
  for (const auto& c : cases) {
    SetUp();
    MemPut("src", Plain(5000));
    MemPut("empty", {});
    MemPutDirectory("dir");
    MemPutDevice("dev", DiskGeometry{100, 12, 16, 63, 512}, 0);
    std::vector<std::string> args = {"mendrake"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(c.code, MemRun(args)) << c.message;
    EXPECT_EQ(Banner + c.message, MemConsole());
    EXPECT_EQ(c.opens, MemCount().opens) << c.message;
    EXPECT_TRUE(Reads.empty()) << c.message;
    // The target is opened after the log and the source.
    if (c.code == -1 || c.code == -6) {
      EXPECT_FALSE(MemExists("dst")) << c.message;
    }
  }
}

TEST_F(Driver, PassBufferThatCannotBeHadEndsTheRun) {
  MemPut("src", Plain(5000));
  MemFault().alloc_fail_above = 65536;
  EXPECT_EQ(-2, MemRun({"mendrake", "src", "dst"}));
  EXPECT_EQ(Banner + "Can't alloc 128 Kbytes for temporary buffer\nexiting...\n", MemConsole());
  EXPECT_TRUE(Reads.empty());
}

// A run never writes to its own source, nor lets its log and target meet;
// the refusal comes before anything is created or truncated.
TEST_F(Driver, RunsThatWouldWriteOverTheirSourceOrLogAreRefused) {
  const std::string log_refused = "Can't create log file %\nexiting...\n";
  const std::string target_refused = "Can't open or create target file %\nexiting...\n";
  struct {
    std::vector<std::string> args;
    int code;
    std::string message;
    std::string named;
  } cases[] = {
      {{"-L", "src", "src", "dst"}, -6, log_refused, "src"},
      {{"-L", "alias", "src", "dst"}, -6, log_refused, "alias"},
      {{"log=src", "-l", "src"}, -6, log_refused, "src"},
      {{"src", "src"}, -3, target_refused, "src"},
      {{"src", "alias"}, -3, target_refused, "alias"},
      {{"-L", "old", "src", "old"}, -3, target_refused, "old"},
      {{"-L", "old", "src", "old-alias"}, -3, target_refused, "old-alias"},
      {{"-L", "new", "src", "new"}, -3, target_refused, "new"},
      {{"-L", "nosuch", "nosuch", "dst"}, -6, log_refused, "nosuch"},
      // A target naming the source is refused before the log is touched.
      {{"-L", "old", "src", "alias"}, -3, target_refused, "alias"},
      {{"-L", "new", "src", "src"}, -3, target_refused, "src"},
      // Log, source and target all one file: the log, opened first, is refused.
      {{"-L", "src", "src", "src"}, -6, log_refused, "src"},
  };
  const std::vector<uint8_t> source = Plain(70000);
  for (const auto& c : cases) {
    SetUp();
    MemPut("src", source);
    MemLink("alias", "src");
    MemPutText("old", "earlier log");
    MemLink("old-alias", "old");
    std::vector<std::string> args = {"mendrake"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string message = c.message;
    message.replace(message.find('%'), 1, c.named);
    EXPECT_EQ(c.code, MemRun(args)) << message;
    EXPECT_EQ(Banner + message, MemConsole());
    EXPECT_EQ(source, MemGet("src")) << message;
    EXPECT_EQ("earlier log", MemGetText("old")) << message;
    EXPECT_FALSE(MemExists("new")) << message;
    EXPECT_FALSE(MemExists("nosuch")) << message;
    EXPECT_FALSE(MemExists("dst")) << message;
    EXPECT_TRUE(Reads.empty()) << message;
  }
}

using Transfers = std::vector<std::pair<int64_t, uint32_t>>;

// The loop passes read PassesPerRead at a time: consecutive passes in reads
// of at most that many full passes' bytes; the final pass (the last) on its
// own.
Transfers Batched(const Transfers& passes) {
  Transfers reads;
  for (size_t k = 0; k + 1 < passes.size(); k++) {
    if (k > 0 && reads.back().second + passes[k].second <= MostPassesPerRead * 65536)
      reads.back().second += passes[k].second;
    else
      reads.push_back(passes[k]);
  }
  reads.push_back(passes.back());
  return reads;
}

TEST_F(Driver, PassPlanDotsAndSummary) {
  struct {
    size_t size;
    std::vector<std::pair<int64_t, uint32_t>> passes;
    std::string dots;
  } cases[] = {
      {200000, {{0, 65536}, {65536, 65536}, {131072, 65536}, {196608, 2048}, {198656, 1344}}, "...."},
      {131072, {{0, 65536}, {65536, 65536}, {131072, 0}}, ".."},
      {100, {{0, 100}}, ""},
      {2048, {{0, 2048}, {2048, 0}}, "."},
      {6000, {{0, 2048}, {2048, 2048}, {4096, 1904}}, ".."},
  };
  for (const auto& c : cases) {
    for (uint32_t per_read : {1u, MostPassesPerRead}) {
      SetUp();
      MemPut("src", Plain(c.size));
      PassesPerRead = per_read;
      EXPECT_EQ(0, MemRun({"mendrake", "src", "dst"})) << c.size;
      PassesPerRead = MostPassesPerRead;
      EXPECT_EQ(Banner + "src -> dst\n" + std::to_string(c.size) + " bytes\nStarting from offset 0 bytes\n" +
                    c.dots + "\n" + Summary((int64_t)c.size),
                MemConsole());
      EXPECT_EQ(per_read == 1 ? c.passes : Batched(c.passes), Reads) << c.size;
    }
  }
}

// Headers across the end of a full pass and across the end of a block pass
// are found whole: the bytes carried over stand ahead of the next pass.
TEST_F(Driver, HeadersAcrossPassBoundariesAreFound) {
  std::vector<uint8_t> b = Plain(200000);
  PutHeader(b, 0, 65516);
  PutHeader(b, 65516, 198640);      // straddles 65,536
  PutHeader(b, 198640, 200000);     // straddles 198,656, start of the final pass
  MemPut("src", b);
  EXPECT_EQ(0, MemRun({"mendrake", "-L", "log", "src", "dst"}));
  EXPECT_NE(std::string::npos, MemConsole().find(Summary(200000, 3, 3))) << MemConsole();
  EXPECT_EQ(b, MemGet("dst"));
}

TEST_F(Driver, StartOffsetIsRoundedDownToBlocks) {
  for (const auto& option : std::vector<std::vector<std::string>>{{"seek=5000"}, {"-o", "5000"}}) {
    SetUp();
    MemPut("src", Plain(10000));
    std::vector<std::string> args = {"mendrake"};
    args.insert(args.end(), option.begin(), option.end());
    args.push_back("src");
    args.push_back("dst");
    EXPECT_EQ(0, MemRun(args));
    EXPECT_EQ(Banner + "src -> dst\n10000 bytes\nStarting from offset 4096 bytes\n..\n" + Summary(5904),
              MemConsole());
    EXPECT_EQ(Batched({{4096, 2048}, {6144, 2048}, {8192, 1808}}), Reads);
  }
}

TEST_F(Driver, StartBeyondTheEndGivesTheNegativeTail) {
  MemPut("src", Plain(10000));
  EXPECT_EQ(-7, MemRun({"mendrake", "seek=1048576", "src", "dst"}));
  EXPECT_EQ(Banner +
                "src -> dst\n10000 bytes\nStarting from offset 1048576 bytes\n\n"
                "Can't copy file tail (-1038576 bytes)\n",
            MemConsole());
  EXPECT_TRUE(Reads.empty());
}

TEST_F(Driver, ListOnlyNeverOpensTheTarget) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"mendrake", "-l", "src"},
                                                                {"mendrake", "-l", "src", "dst"}}) {
    SetUp();
    MemPut("src", Plain(3000));
    EXPECT_EQ(0, MemRun(args));
    std::string target = args.size() == 4 ? "dst" : "(null)";
    EXPECT_EQ(Banner + "src -> " + target + "\n3000 bytes\nStarting from offset 0 bytes\n.\n" + Summary(3000),
              MemConsole());
    EXPECT_EQ(1, MemCount().opens);
    EXPECT_FALSE(MemExists("dst"));
  }
}

TEST_F(Driver, MessageLimitEndsTheRunAfterThePass) {
  std::vector<uint8_t> b = Plain(300000);
  for (size_t at = 0; at < 280000; at += 1000) PutHeader(b, at, at + 1000);
  MemPut("src", b);
  EXPECT_EQ(0, MemRun({"mendrake", "-M", "1", "-L", "log", "src", "dst"}));
  EXPECT_NE(std::string::npos, MemConsole().find(".\nProcessed 65536 bytes (32 blocks)\n")) << MemConsole();
  // The passes after the one that took the limit were read (four full
  // passes, then 2,048-byte ones to the last whole block), not scanned.
  EXPECT_EQ((Transfers{{0, 4 * 65536 + 18 * 2048}, {65536, 0}}), Reads);
}

TEST_F(Driver, FailedReadStopsTheRun) {
  const std::string run_text =
      "src -> dst\n10000000 bytes\nStarting from offset 0 bytes\n"
      ".Can't read block (65536 bytes) at offset 131072 (LBA 64) error 5\n"
      "Stop on output error\n" +
      Summary(131072);
  for (bool with_log : {false, true}) {
    SetUp();
    MemPutSparse("src", 10000000);
    MemFault().read_fail_offset = 131072;
    std::vector<std::string> args = {"mendrake", "src", "dst"};
    if (with_log) args.insert(args.begin() + 1, {"-L", "log"});
    EXPECT_EQ(-9, MemRun(args));
    EXPECT_EQ(Banner + run_text, MemConsole());
    EXPECT_EQ(1, MemCount().sleeps);
    // The read of several passes stops short at the failing offset; the
    // pass there is read again on its own, and fails.
    EXPECT_EQ((Transfers{{0, MostPassesPerRead * 65536}, {131072, 65536}}), Reads);
    EXPECT_EQ(with_log, MemExists("log"));
    if (with_log) {
      EXPECT_EQ("bad at 131072 (LBA 64) size 65536 (32 blocks)\n", MemGetText("log"));
    }
  }
}

TEST_F(Driver, ShortReadCountsAsFailedRead) {
  MemPut("src", Plain(200000));
  MemFault().short_read_offset = 196608;
  EXPECT_EQ(-9, MemRun({"mendrake", "-L", "log", "src", "dst"}));
  const std::string& out = MemConsole();
  EXPECT_NE(std::string::npos, out.find("....Can't read block (2048 bytes) at offset 196608 (LBA 96) error ")) << out;
  EXPECT_NE(std::string::npos, out.find("\nStop on output error\n" + Summary(196608))) << out;
  EXPECT_EQ("bad at 196608 (LBA 96) size 2048 (1 blocks)\n", MemGetText("log"));
}

}  // namespace
