// The output writer called directly: packing into the output block, full
// blocks at consecutive aligned offsets, the final flush, bounded retries.
#include <gtest/gtest.h>

#include <vector>

#include "engine/writer.h"
#include "core/run_state.h"
#include "test_platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Writer : public ::testing::Test {
 protected:
  void SetUp() override {
    MemReset();
    ResetRunState();
    OutputBlock.block = (uint8_t*)Platform.Allocate(ChunkSize, BufferAlignment);
    RunFiles.Target = Platform.Open("dst", OpenTargetAlways, false);
    ASSERT_NE(NoFile, RunFiles.Target);
  }
  void TearDown() override {
    ResetRunState();
    MemRestore();
  }
  static Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t k = 0; k < n; k++) b[k] = (uint8_t)(k * 7 + seed + k / 251);
    return b;
  }
};

TEST_F(Writer, BlocksAreWrittenWhenFullAndTheRestAtTheFinalCall) {
  struct Step {
    size_t n;  // bytes handed over (0 with final: the flush)
    bool final;
    size_t target_after;
    uint32_t fill_after;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"100,000 bytes into an empty block", {{100000, false, 65536, 34464}, {0, true, 100000, 0}}},
      {"a message at fill 60,000", {{60000, false, 0, 60000}, {10000, false, 65536, 4464}, {0, true, 70000, 0}}},
      {"nothing on an empty block", {{0, false, 0, 0}, {0, true, 0, 0}, {0, true, 0, 0}}},
      {"exactly one block", {{65536, false, 65536, 0}, {0, true, 65536, 0}}},
      {"three blocks and a byte in one call", {{3 * 65536 + 1, false, 3 * 65536, 1}, {5, true, 3 * 65536 + 6, 0}}},
  };
  for (const Case& c : cases) {
    SetUp();
    Bytes all;
    int writes = 0;
    for (const Step& s : c.steps) {
      Bytes piece = Pattern(s.n, (uint8_t)all.size());
      all.insert(all.end(), piece.begin(), piece.end());
      WriteToTarget(piece.data(), (uint32_t)s.n, s.final);
      Bytes target = MemGet("dst");
      EXPECT_EQ(s.target_after, target.size()) << c.name;
      EXPECT_TRUE(Bytes(all.begin(), all.begin() + (long)target.size()) == target) << c.name;
      EXPECT_EQ(s.fill_after, OutputBlock.fill) << c.name;
      EXPECT_EQ((int64_t)s.target_after, OutputBlock.output_offset) << c.name;
      writes = MemCount().writes;
    }
    // Full blocks go out one write each, the rest in one final write.
    size_t total = all.size();
    EXPECT_EQ((int)(total / ChunkSize + (total % ChunkSize != 0)), writes) << c.name;
    TearDown();
  }
}

TEST_F(Writer, NothingIsWrittenWhileNotCopyingOrInListOnlyMode) {
  Bytes data = Pattern(70000, 1);
  RunState.Copying = false;
  EXPECT_EQ(0, WriteToTarget(data.data(), 70000, false));
  EXPECT_EQ(0u, OutputBlock.fill);
  RunState.Copying = true;
  WriteToTarget(data.data(), 1000, false);
  RunState.Copying = false;
  EXPECT_EQ(0, WriteToTarget(data.data(), 70000, true));  // only what the block holds
  EXPECT_TRUE(Bytes(data.begin(), data.begin() + 1000) == MemGet("dst"));
  RunState.ListOnly = true;
  RunState.Copying = true;
  EXPECT_EQ(1, WriteToTarget(data.data(), 70000, true));
  EXPECT_EQ(1000u, MemGet("dst").size());
}

TEST_F(Writer, AFailedBlockIsRetriedOnceThenLaterBytesAreDropped) {
  MemFault().write_fail_offset = 65536;
  MemFault().write_short = true;  // half the block reaches the disk
  Bytes data = Pattern(65536 * 4, 3);
  const std::string line = "Can't write block at offset 65536 error 28\n";
  WriteToTarget(data.data(), 65536 * 2, false);
  EXPECT_EQ(line, MemConsole());
  EXPECT_EQ(65536u, OutputBlock.fill);  // the block keeps its bytes for the retry
  int writes = MemCount().writes;
  EXPECT_EQ(-1, WriteToTarget(data.data() + 65536 * 2, 65536, false));
  EXPECT_EQ(writes + 1, MemCount().writes);
  EXPECT_EQ(line + line, MemConsole());
  EXPECT_EQ(-1, WriteToTarget(data.data() + 65536 * 3, 65536, true));
  EXPECT_EQ(writes + 1, MemCount().writes);
  EXPECT_EQ(line + line, MemConsole());
  EXPECT_TRUE(Bytes(data.begin(), data.begin() + 65536 + 32768) == MemGet("dst"));
  EXPECT_TRUE(OutputBlock.any_failed);
}

TEST_F(Writer, ARetryThatSucceedsKeepsTheOrder) {
  MemFault().write_fail_offset = 0;
  MemFault().write_fail_times = 1;
  MemFault().write_short = true;
  Bytes data = Pattern(65536 + 500, 9);
  WriteToTarget(data.data(), 65536, false);
  EXPECT_EQ(32768u, MemGet("dst").size());
  EXPECT_EQ(65536u, OutputBlock.fill);
  WriteToTarget(data.data() + 65536, 500, true);
  EXPECT_TRUE(data == MemGet("dst"));
  EXPECT_EQ("Can't write block at offset 0 error 28\n", MemConsole());
  EXPECT_TRUE(OutputBlock.any_failed);
}

}  // namespace
