// Failing disks through the memory platform: read failures at each kind of
// pass, short reads, failing and short writes at the first block, a middle
// block and the final flush, and a full target device. Each case checks the
// exact console, the log, the exit code and that the target is the gap-free
// prefix the run promises.
#include <gtest/gtest.h>

#include <cinttypes>
#include <string>

#include "generator.h"
#include "test_platform.h"

namespace {

const std::string Banner = "Quillbase recovery utility v1.0\nHome site https://mendrake.example.org/\n";

std::string Fmt(const char* format, int64_t a, int64_t b = 0, int64_t c = 0, int64_t d = 0) {
  char text[512];
  snprintf(text, sizeof text, format, a, b, c, d);
  return text;
}

// An intact base of exactly 200,000 bytes: passes at 0, 65,536 and 131,072,
// a block pass at 196,608, a final pass of 1,344 bytes at 198,656.
struct Base {
  std::vector<uint8_t> bytes;
  std::vector<GenRecord> records;
  Base() {
    GenOptions o;
    o.seed = 77;
    o.total_bytes = 200000;
    o.min_text = 100;  // every first line ends inside its own message
    bytes = GenerateBase(o, &records);
  }
  uint32_t HeadersBefore(int64_t end) const {
    uint32_t n = 0;
    for (const GenRecord& r : records) n += (int64_t)r.offset < end;
    return n;
  }
};

const Base& Intact() {
  static Base base;
  return base;
}

std::string Summary(int64_t processed, uint32_t found) {
  return Fmt("Processed %" PRId64 " bytes (%" PRId64 " blocks)\n %d messages found\n %d messages extracted ",
             processed, processed / 2048, found, found);
}

// A failing write that puts no byte answers -1: the writer must see it fail.
TEST(MemoryPlatform, FailedWriteReturnsMinusOne) {
  MemReset();
  MemPut("t", {});
  FileRef f = Platform.Open("t", OpenTargetExisting, false);
  MemFault().write_fail_offset = 0;
  uint8_t byte = 1;
  EXPECT_EQ(-1, Platform.Write(f, &byte, 1));
  MemRestore();
}

std::string Head(void) { return Banner + "src -> dst\n200000 bytes\nStarting from offset 0 bytes\n"; }

struct ReadCase {
  const char* name;
  int64_t offset;    // of the failing pass
  uint32_t size;     // its size
  int dots;          // dots printed up to and including the failing pass
  bool final;        // the failing pass is the final one
  bool short_read;   // fewer bytes instead of an error
};

class ReadFailure : public ::testing::TestWithParam<ReadCase> {};

// Everything read before the failing pass reaches the target: the bytes
// held back from the pass before are scanned last (a header whose 48 bytes
// lie before the failing offset is listed), so the target is the source up
// to that offset; then the read-failure lines, the summary, -9.
TEST_P(ReadFailure, KeepsEverythingBeforeThePass) {
  const ReadCase& c = GetParam();
  const Base& base = Intact();
  MemReset();
  MemPut("src", base.bytes);
  if (c.short_read)
    MemFault().short_read_offset = c.offset;
  else
    MemFault().read_fail_offset = c.offset;
  EXPECT_EQ(-9, MemRun({"mendrake", "-L", "log", "src", "dst"}));
  int64_t kept = c.offset;
  uint32_t found = base.HeadersBefore(c.offset - 47);
  std::string expected = Head() + std::string(c.dots, '.') + (c.final ? "\n" : "") +
                         Fmt("Can't read block (%d bytes) at offset %" PRId64 " (LBA %" PRId64 ") error %d\n",
                             c.size, c.offset, c.offset / 2048, c.short_read ? 0 : 5) +
                         "Stop on output error\n" + Summary(c.offset, found);
  EXPECT_EQ(expected, MemConsole());
  std::string log = MemGetText("log");
  std::string bad = Fmt("bad at %" PRId64 " (LBA %" PRId64 ") size %d (%d blocks)\n", c.offset, c.offset / 2048,
                        c.size, c.size / 2048);
  ASSERT_GE(log.size(), bad.size());
  EXPECT_EQ(bad, log.substr(log.size() - bad.size()));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), (long)found + 1);  // list lines, then the bad line
  EXPECT_EQ(std::vector<uint8_t>(base.bytes.begin(), base.bytes.begin() + kept), MemGet("dst"));
  EXPECT_EQ(1, MemCount().sleeps);
  MemRestore();
}

INSTANTIATE_TEST_SUITE_P(Passes, ReadFailure,
                         ::testing::Values(ReadCase{"first", 0, 65536, 1, false, false},
                                           ReadCase{"middle", 65536, 65536, 2, false, false},
                                           ReadCase{"block", 196608, 2048, 4, false, false},
                                           ReadCase{"final", 198656, 1344, 4, true, false},
                                           ReadCase{"short_middle", 131072, 65536, 3, false, true},
                                           ReadCase{"short_final", 198656, 1344, 4, true, true}),
                         [](const ::testing::TestParamInfo<ReadCase>& i) { return std::string(i.param.name); });

struct WriteCase {
  const char* name;
  int64_t offset;   // of the failing block
  int times;        // failures in a row there
  bool short_write;
};

class WriteFailure : public ::testing::TestWithParam<WriteCase> {};

// One failure is retried with the next call and the target ends complete;
// a failed retry ends all writing: the target keeps a gap-free prefix (with
// a short write, the half block it took). Either way the run ends with -8.
TEST_P(WriteFailure, RetriesOnceThenGivesUp) {
  const WriteCase& c = GetParam();
  const Base& base = Intact();
  MemReset();
  MemPut("src", base.bytes);
  MemFault().write_fail_offset = c.offset;
  MemFault().write_fail_times = c.times;
  MemFault().write_short = c.short_write;
  EXPECT_EQ(-8, MemRun({"mendrake", "src", "dst"}));
  // The final flush has no later call to retry it.
  bool final_flush = c.offset == 196608;
  int lines = final_flush ? 1 : (c.times == 1 ? 1 : 2);
  std::string failures;
  for (int k = 0; k < lines; k++) failures += Fmt("Can't write block at offset %" PRId64 " error 28\n", c.offset);
  std::string console = MemConsole();
  size_t at = console.find("Can't write");
  ASSERT_NE(std::string::npos, at);
  EXPECT_EQ(failures, console.substr(at, failures.size()));
  EXPECT_EQ(std::string::npos, console.find("Can't write", at + failures.size()));
  EXPECT_NE(std::string::npos, console.find(Summary(200000, (uint32_t)base.records.size())));
  std::vector<uint8_t> target = MemGet("dst");
  if (c.times == 1 && !final_flush) {
    EXPECT_EQ(base.bytes, target);
  } else {
    size_t expected = (size_t)c.offset + (c.short_write ? (final_flush ? 200000 - 196608 : 65536) / 2 : 0);
    EXPECT_EQ(std::vector<uint8_t>(base.bytes.begin(), base.bytes.begin() + expected), target);
  }
  MemRestore();
}

INSTANTIATE_TEST_SUITE_P(Blocks, WriteFailure,
                         ::testing::Values(WriteCase{"first_once", 0, 1, false}, WriteCase{"first", 0, 100, false},
                                           WriteCase{"first_short", 0, 100, true},
                                           WriteCase{"middle_once", 65536, 1, false},
                                           WriteCase{"middle", 65536, 100, false},
                                           WriteCase{"middle_short", 65536, 100, true},
                                           WriteCase{"final", 196608, 100, false},
                                           WriteCase{"final_short", 196608, 100, true}),
                         [](const ::testing::TestParamInfo<WriteCase>& i) { return std::string(i.param.name); });

// A target device that fills up mid-block: the block that does not fit is
// written in part, retried once, then writing ends; the target holds the
// source's first bytes up to the device's end.
TEST(WriteFailure, FullDevice) {
  const Base& base = Intact();
  MemReset();
  MemPut("src", base.bytes);
  MemFault().target_capacity = 100000;
  EXPECT_EQ(-8, MemRun({"mendrake", "src", "dst"}));
  EXPECT_NE(std::string::npos,
            MemConsole().find("Can't write block at offset 65536 error 28\nCan't write block at offset 65536 error 28\n"));
  // The write of the three full blocks and the rest stops at the device's
  // end; the block there is written again on its own, and retried.
  EXPECT_EQ(3, MemCount().failed_writes);
  EXPECT_EQ(std::vector<uint8_t>(base.bytes.begin(), base.bytes.begin() + 100000), MemGet("dst"));
  MemRestore();
}

}  // namespace
