// Devices and unbuffered access, through the in-memory platform: the size a
// disk's geometry gives, the refusal of block devices, the switch to
// unbuffered access for large sources and the return to buffered access
// before the final pass.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "fileio/devices.h"
#include "fileio/files.h"
#include "generator.h"
#include "run/driver.h"
#include "core/run_state.h"
#include "test_platform.h"

namespace {

const std::string Banner = "Quillbase recovery utility v1.0\nHome site https://mendrake.example.org/\n";
constexpr int64_t GiB = 1073741824LL;
constexpr int64_t Threshold = 100 * GiB;

// Every open, read and write of a run, with the access mode of the file it
// went through; an open can be made to fail by its number.
struct Event {
  char what;  // 'o' open, 'r' read, 'w' write
  bool unbuffered;
  uint32_t size;
  std::string path;
};
std::vector<Event> Events;
std::map<FileRef, bool> HandleUnbuffered;
PlatformOps Mem;
int OpenCount = 0;
std::set<int> FailOpens;  // numbers of the opens that fail, from 1

FileRef RecordOpen(const char* path, OpenKind kind, bool unbuffered) {
  Events.push_back({'o', unbuffered, 0, path});
  if (FailOpens.count(++OpenCount)) return NoFile;
  FileRef f = Mem.Open(path, kind, unbuffered);
  if (f != NoFile) HandleUnbuffered[f] = unbuffered;
  return f;
}
int64_t RecordRead(FileRef f, void* into, uint32_t n) {
  Events.push_back({'r', HandleUnbuffered[f], n, ""});
  return Mem.Read(f, into, n);
}
int64_t RecordWrite(FileRef f, const void* from, uint32_t n) {
  if (f == RunFiles.Target) Events.push_back({'w', HandleUnbuffered[f], n, ""});
  return Mem.Write(f, from, n);
}

class Devices : public ::testing::Test {
 protected:
  void SetUp() override {
    MemReset();
    Mem = Platform;
    Platform.Open = RecordOpen;
    Platform.Read = RecordRead;
    Platform.Write = RecordWrite;
    Events.clear();
    HandleUnbuffered.clear();
    OpenCount = 0;
    FailOpens.clear();
  }
  void TearDown() override {
    MemRestore();
    ResetRunState();
  }
};

std::string Str(int64_t v) { return std::to_string(v); }

std::string Refusal(const std::string& path, int64_t size, int64_t required) {
  return "Block device " + path + " too small: " + Str(size) + " bytes, required " + Str(required) +
         "\nexiting...\n";
}

std::vector<uint8_t> Base(uint64_t seed, uint32_t messages) {
  GenOptions o;
  o.seed = seed;
  o.messages = messages;
  o.deleted_pct = 10;
  o.wrong_pct = 10;
  o.decoy_pct = 10;
  return GenerateBase(o, nullptr);
}

// The log with every "at HEX:" offset moved down by `shift`.
std::string ShiftOffsets(const std::string& log, int64_t shift) {
  std::istringstream in(log);
  std::string line, out;
  while (std::getline(in, line)) {
    size_t at = line.find("] at ");
    size_t colon = at == std::string::npos ? at : line.find(':', at);
    if (colon != std::string::npos) {
      uint64_t offset = std::stoull(line.substr(at + 5, colon - at - 5), nullptr, 16);
      char hex[32];
      snprintf(hex, sizeof hex, "%" PRIx64, offset - (uint64_t)shift);
      line = line.substr(0, at + 5) + hex + line.substr(colon);
    }
    out += line + "\n";
  }
  return out;
}

TEST_F(Devices, GeometryGivesSizeOrFailsTheSizeQuery) {
  struct Case {
    DiskGeometry g;
    int answer;
    int64_t size;  // -1: the query fails
  } cases[] = {
      {{1000, 12, 255, 63, 512}, 1, 1000LL * 255 * 63 * 512},
      // tracks x sectors x bytes is 2^44: it overflows 32 bits.
      {{3, 12, 65536, 65536, 4096}, 1, 3LL << 44},
      {{1, 12, 1, 1, 4096}, 1, 4096},
      {{1000, 12, 255, 63, 512}, 0, -1},    // the request is refused
      {{0, 12, 255, 63, 512}, 1, -1},       // no cylinders
      {{-5, 12, 255, 63, 512}, 1, -1},      // negative
      {{1LL << 62, 12, 1, 1, 2}, 1, -1},    // wraps to a negative size
      {{1000, 12, 255, 63, 0}, 1, -1},      // no sector size
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.g.cylinders << "x" << c.g.tracks_per_cylinder << "x"
                                    << c.g.sectors_per_track << "x" << c.g.bytes_per_sector);
    SetUp();
    MemPutDevice("/dev/disk", c.g, c.answer);
    int code = MemRun({"mendrake", "/dev/disk", "out"});
    if (c.size < 0) {
      EXPECT_EQ(-4, code);
      EXPECT_EQ(Banner + "Can't get source file size: /dev/disk\nexiting...\n", MemConsole());
      continue;
    }
    EXPECT_EQ(-5, code);
    EXPECT_EQ(Banner + "Force using NO_CACHE on block devices\n" + Refusal("/dev/disk", c.size, c.size),
              MemConsole());
    EXPECT_EQ(c.g.bytes_per_sector, BlockSize);
    // Both files were reopened unbuffered before the refusal.
    ASSERT_GE(Events.size(), 2u);
    EXPECT_TRUE(Events.back().unbuffered);
    EXPECT_EQ("out", Events.back().path);
    EXPECT_TRUE(MemGet("out").empty());
  }
}

TEST_F(Devices, DeviceTargetIsRefusedWithoutNotice) {
  std::vector<uint8_t> base = Base(3, 20);
  MemPut("small.tbb", base);
  MemPutDevice("/dev/sdz", DiskGeometry{2000, 12, 16, 63, 512});
  EXPECT_EQ(-5, MemRun({"mendrake", "small.tbb", "/dev/sdz"}));
  EXPECT_EQ(Banner + Refusal("/dev/sdz", 2000LL * 16 * 63 * 512, (int64_t)base.size()), MemConsole());
  EXPECT_TRUE(MemGet("/dev/sdz").empty());
  for (const Event& e : Events) EXPECT_FALSE(e.unbuffered);

  // A source device and a target device: the source is the one named.
  SetUp();
  MemPutDevice("/dev/sdy", DiskGeometry{10, 12, 1, 1, 4096});
  MemPutDevice("/dev/sdz", DiskGeometry{2000, 12, 16, 63, 512});
  EXPECT_EQ(-5, MemRun({"mendrake", "if=/dev/sdy", "of=/dev/sdz"}));
  EXPECT_EQ(Banner + "Force using NO_CACHE on block devices\n" + Refusal("/dev/sdy", 40960, 40960),
            MemConsole());

  // A target without end position that refuses the geometry request is no
  // block device: the run copies into it.
  SetUp();
  MemPut("small.tbb", base);
  MemPutDevice("/dev/odd", DiskGeometry{}, 0);
  EXPECT_EQ(0, MemRun({"mendrake", "small.tbb", "/dev/odd"}));
  EXPECT_EQ(0, MemRun({"mendrake", "small.tbb", "ref.tbb"}));
  EXPECT_FALSE(MemGet("ref.tbb").empty());
  EXPECT_EQ(MemGet("ref.tbb"), MemGet("/dev/odd"));
}

TEST_F(Devices, LegacyProfileRefusalText) {
  ResetRunState();
  RunState.Profile = ProfileLegacy;
  RunState.SourcePath = "/dev/x";
  RunFiles.SourceIsBlockDevice = true;
  MemConsole().clear();
  EXPECT_EQ(ExitBlockDevice, CheckTarget());
  EXPECT_EQ("Block device not supported. \nexiting...\n", MemConsole());
}

// The rule at hand-off H1, alone: the threshold is the size factor of the
// profile times 1 GiB.
TEST_F(Devices, LargeFileThresholdFollowsTheSizeFactor) {
  struct Case {
    uint32_t factor;
    int64_t size;
    bool unbuffered;
    bool list_only = false;
  } cases[] = {
      {2, 2 * GiB, true},       {2, 2 * GiB - 1, false}, {2, 3 * GiB, true},
      {100, 3 * GiB, false},    {100, Threshold, true},  {100, Threshold - 1, false},
      {100, Threshold + 1000, true}, {100, Threshold, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.factor << " " << c.size);
    SetUp();
    ResetRunState();
    MemPutSparse("big", (uint64_t)c.size);
    RunState.SizeFactor = c.factor;
    RunState.SourcePath = "big";
    RunState.TargetPath = "out";
    RunState.ListOnly = c.list_only;
    ASSERT_EQ(0, OpenSourceFile());
    if (!c.list_only) {
      ASSERT_EQ(0, OpenTargetFile());
    }
    RunFiles.SourceSize = QueryFileSize(RunFiles.Source, &RunFiles.SourceIsBlockDevice);
    ASSERT_EQ(c.size, RunFiles.SourceSize);
    MemConsole().clear();
    size_t before = Events.size();
    EXPECT_EQ(0, ApplyUnbufferedRule());
    EXPECT_EQ(c.unbuffered, RunState.Unbuffered);
    EXPECT_EQ(c.unbuffered ? "Force using NO_CACHE on large file\n" : "", MemConsole());
    // Switching reopens both files (only the source in list-only mode)
    // unbuffered; otherwise nothing is opened.
    std::vector<std::string> reopened;
    for (size_t k = before; k < Events.size(); k++) {
      EXPECT_TRUE(Events[k].unbuffered);
      reopened.push_back(Events[k].path);
    }
    std::vector<std::string> expected;
    if (c.unbuffered) expected = c.list_only ? std::vector<std::string>{"big"} : std::vector<std::string>{"big", "out"};
    EXPECT_EQ(expected, reopened);
    // An unbuffered run stays so: the rule does not apply twice.
    MemConsole().clear();
    EXPECT_EQ(0, ApplyUnbufferedRule());
    EXPECT_EQ("", MemConsole());
  }
}

// Whole runs over sparse sources near the threshold, started close to the
// end: the loop passes go unbuffered, the final pass buffered, and the list
// and the target are those of the same bytes read from a small file.
TEST_F(Devices, LargeSourceRunsUnbufferedUntilTheFinalPass) {
  struct Case {
    int64_t size;
    uint32_t final_pass;
    bool unbuffered;
  } cases[] = {
      {Threshold, 0, true},
      {Threshold + 1000, 1000, true},
      {Threshold - 1, 2047, false},
  };
  std::vector<uint8_t> base = Base(9, 250);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    // Five whole passes, then 2,048-byte passes, then the final one.
    int64_t start = Threshold - 5 * (int64_t)ChunkSize - (c.final_pass ? 6144 : 0);
    ASSERT_LT(base.size() + 1000, (size_t)(c.size - start));
    SetUp();
    MemPutSparse("big", (uint64_t)c.size, base);
    std::string seek = "seek=" + Str(start) + "o";
    EXPECT_EQ(0, MemRun({"mendrake", "if=big", "of=out", "log=big.log", seek}));
    std::string console = MemConsole();
    std::string notice = "Force using NO_CACHE on large file\n";
    EXPECT_EQ(c.unbuffered ? Banner + notice : Banner, console.substr(0, console.find("big ->")));

    // Reads: every loop pass unbuffered, the final pass (size T) buffered.
    std::vector<Event> reads, writes;
    for (const Event& e : Events) {
      if (e.what == 'r') reads.push_back(e);
      if (e.what == 'w') writes.push_back(e);
    }
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(c.final_pass, reads.back().size);
    EXPECT_FALSE(reads.back().unbuffered);
    for (size_t k = 0; k + 1 < reads.size(); k++) EXPECT_EQ(c.unbuffered, reads[k].unbuffered) << k;
    ASSERT_FALSE(writes.empty());
    EXPECT_FALSE(writes.back().unbuffered);
    for (size_t k = 0; k + 1 < writes.size(); k++) EXPECT_EQ(c.unbuffered, writes[k].unbuffered) << k;

    // The same bytes as a small file: buffered, same passes, same results.
    std::vector<uint8_t> tail((size_t)(c.size - start) - base.size(), 0);
    tail.insert(tail.end(), base.begin(), base.end());
    std::string big_log = MemGetText("big.log");
    std::vector<uint8_t> big_out = MemGet("out");
    std::string summary = console.substr(console.rfind("Processed"));
    SetUp();
    MemPut("small", tail);
    EXPECT_EQ(0, MemRun({"mendrake", "if=small", "of=ref", "log=small.log"}));
    for (const Event& e : Events) EXPECT_FALSE(e.unbuffered);
    EXPECT_EQ(big_out, MemGet("ref"));
    EXPECT_EQ(MemGetText("small.log"), ShiftOffsets(big_log, start));
    EXPECT_NE(std::string::npos, big_log.find("msg[1] at "));
    EXPECT_EQ(summary, MemConsole().substr(MemConsole().rfind("Processed")));
  }
}

TEST_F(Devices, FailedReopenEndsWithTheFirstOpensMessage) {
  std::vector<uint8_t> base = Base(4, 30);
  int64_t start = Threshold - 3 * (int64_t)ChunkSize;
  std::string seek = "seek=" + Str(start) + "o";

  // Every path opens once only: the switch to unbuffered access fails at once.
  MemPutSparse("big", (uint64_t)Threshold, base);
  MemPut("out", {});
  MemFault().open_fail_after_first = true;
  EXPECT_EQ(-1, MemRun({"mendrake", "if=big", "of=out", seek}));
  EXPECT_EQ(Banner + "Force using NO_CACHE on large file\nCan't open source file big\nexiting...\n",
            MemConsole());

  // Opens 1-3: source, target (existing), target (created); 4 and 5 the
  // unbuffered reopen; 6 and 7 the buffered reopen before the final pass. A
  // target that does not open as an existing file is tried once more, to be
  // created.
  struct Case {
    std::set<int> fail;
    int code;
    std::string message;
    bool passes;  // the loop ran before the failure
  } cases[] = {
      {{4}, -1, "Can't open source file big\nexiting...\n", false},
      {{5, 6}, -3, "Can't open or create target file out\nexiting...\n", false},
      {{6}, -1, "Can't open source file big\nexiting...\n", true},
      {{7, 8}, -3, "Can't open or create target file out\nexiting...\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(*c.fail.begin());
    SetUp();
    MemPutSparse("big", (uint64_t)Threshold, base);
    FailOpens = c.fail;
    EXPECT_EQ(c.code, MemRun({"mendrake", "if=big", "of=out", seek}));
    std::string console = MemConsole();
    ASSERT_GE(console.size(), c.message.size());
    EXPECT_EQ(c.message, console.substr(console.size() - c.message.size()));
    EXPECT_EQ(c.passes, console.find("Starting from offset") != std::string::npos);
    EXPECT_EQ(std::string::npos, console.find("Processed"));
    // No read follows the failed open.
    EXPECT_NE('r', Events.back().what);
  }
}

}  // namespace
