// The output writer called directly: packing into the output block, full
// blocks at consecutive aligned offsets, the final flush, bounded retries.
#include <gtest/gtest.h>

#include <vector>

#include "core/report.h"
#include "core/run_state.h"
#include "engine/writer.h"
#include "test_platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Writer : public ::testing::Test {
 protected:
  void SetUp() override {
    MemReset();
    ResetRunState();
    OutputBlock.block = (uint8_t*)Platform.Allocate(MostBlocksPerWrite * ChunkSize, BufferAlignment);
    RunFiles.Target = Platform.Open("dst", OpenTargetAlways, false);
    ASSERT_NE(NoFile, RunFiles.Target);
  }
  void TearDown() override {
    BlocksPerWrite = MostBlocksPerWrite;
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
    size_t target_after;   // written one block at a time
    size_t batched_after;  // written four blocks at a time
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"100,000 bytes into an empty block", {{100000, false, 65536, 0}, {0, true, 100000, 100000}}},
      {"a message at fill 60,000", {{60000, false, 0, 0}, {10000, false, 65536, 0}, {0, true, 70000, 70000}}},
      {"nothing on an empty block", {{0, false, 0, 0}, {0, true, 0, 0}, {0, true, 0, 0}}},
      {"exactly one block", {{65536, false, 65536, 0}, {0, true, 65536, 65536}}},
      {"three blocks and a byte in one call", {{3 * 65536 + 1, false, 3 * 65536, 0}, {5, true, 3 * 65536 + 6, 3 * 65536 + 6}}},
      {"five blocks in two calls", {{3 * 65536, false, 3 * 65536, 0}, {2 * 65536, false, 5 * 65536, 4 * 65536},
                                    {0, true, 5 * 65536, 5 * 65536}}},
  };
  for (uint32_t per_write : {1u, 4u}) {
    for (const Case& c : cases) {
      SetUp();
      BlocksPerWrite = per_write;
      Bytes all;
      int writes = 0;
      for (const Step& s : c.steps) {
        Bytes piece = Pattern(s.n, (uint8_t)all.size());
        all.insert(all.end(), piece.begin(), piece.end());
        WriteToTarget(piece.data(), (uint32_t)s.n, s.final);
        Bytes target = MemGet("dst");
        EXPECT_EQ(per_write == 1 ? s.target_after : s.batched_after, target.size()) << c.name;
        EXPECT_TRUE(Bytes(all.begin(), all.begin() + (long)target.size()) == target) << c.name;
        EXPECT_EQ(all.size() - target.size(), OutputBlock.fill) << c.name;
        EXPECT_EQ((int64_t)target.size(), OutputBlock.output_offset) << c.name;
        writes = MemCount().writes;
      }
      // Full blocks go out per_write to a write, the rest in one final write.
      size_t total = all.size(), batch = per_write * ChunkSize;
      EXPECT_EQ((int)(total / batch + (total % batch != 0)), writes) << c.name;
      TearDown();
    }
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
  BlocksPerWrite = 1;
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
  BlocksPerWrite = 1;
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

// Blocks written several at a time, from the area or from where the bytes
// were handed, end as blocks copied and written one at a time as each became
// full: the same target, the same failure lines at the same places among
// the run's other console text, the same state for the cut and the exit
// code. Hand-overs (b N), bytes skipped between them (s N), console text
// (p), length changes (l AT), the pass buffer let go (k) and the final call
// (f), on a target that fails in each way.
TEST_F(Writer, BatchedWritesEndAsBlocksWrittenOneAtATime) {
  const std::vector<std::string> runs = {
      "b70000 p b70000 p b70000 p b70000 p b10000 f",
      "b65536 p b65536 p b65536 p b65536 p b65536 p b1 f",
      "b300000 p f",
      "b100000 p l10 b100000 p l150000 b100000 l290000 p l200000 f",
      "b40000 p b40000 p b40000 p b40000 p b40000 p b40000 p b40000 p b40000 p b40000 p b40000 p f",
      "b196608 p l70000 p b65536 p f",
      "b30000 p b50000 k p b100000 s100 b90000 p k b1000 s5 p b70000 l150000 b20000 k f",
      "b65475 k b65536 b65536 p k b65536 s61 b200000 p f",
  };
  struct Failure {
    int64_t at;
    int times;
    bool half;
    int64_t capacity;
    bool pipe;
  };
  std::vector<Failure> failures = {{-1, 0, false, -1, false}, {-1, 0, false, 100000, false},
                                   {-1, 0, false, 270000, false}, {-1, 0, false, -1, true}};
  for (int64_t at : {0, 65536, 131072, 196608, 262144, 327680})
    for (int times : {1, 2, 100})
      for (bool half : {false, true}) failures.push_back({at, times, half, -1, false});
  struct End {
    std::string console;
    Bytes target;
    int64_t output_offset, handed;
    uint32_t landed;
    bool failed, gave_up, retrying;
    std::string patches;
  };
  auto run = [&](const std::string& ops, const Failure& f, uint32_t per_write, bool refer) {
    SetUp();
    if (f.pipe) {
      MemPutPipe("pipe");
      RunFiles.Target = Platform.Open("pipe", OpenTargetAlways, false);
    }
    BlocksPerWrite = per_write;
    MemFault().write_fail_offset = f.at;
    MemFault().write_fail_times = f.times;
    MemFault().write_short = f.half;
    MemFault().target_capacity = f.capacity;
    Bytes data = Pattern(800000, 5);
    End e;
    size_t handed = 0;
    int prints = 0;
    for (size_t k = 0; k < ops.size(); k++) {
      char op = ops[k];
      long n = strtol(ops.c_str() + k + 1, nullptr, 10);
      if (op == 'b') {
        if (refer)
          TargetWriter.Bytes(data.data() + handed, (uint32_t)n);
        else
          WriteToTarget(data.data() + handed, (uint32_t)n, false);
        handed += (size_t)n;
      } else if (op == 's') {
        handed += (size_t)n;
      } else if (op == 'k') {
        KeepHandedBytes();
      } else if (op == 'p') {
        ConsolePrint("[%d]\n", ++prints);
      } else if (op == 'l') {
        const uint8_t length[4] = {0xA1, 0xB2, 0xC3, (uint8_t)n};
        e.patches += std::to_string(PatchOutput(n, length, 4));
      } else if (op == 'f') {
        WriteToTarget(nullptr, 0, true);
      }
      k = ops.find(' ', k);
      if (k == std::string::npos) break;
    }
    e.console = MemConsole();
    e.target = MemGet(f.pipe ? "pipe" : "dst");
    e.output_offset = OutputBlock.output_offset;
    e.handed = OutputBlock.handed;
    e.landed = OutputBlock.landed;
    e.failed = OutputBlock.any_failed;
    e.gave_up = OutputBlock.gave_up;
    e.retrying = OutputBlock.retrying;
    TearDown();
    return e;
  };
  for (const std::string& ops : runs) {
    for (const Failure& f : failures) {
      std::string name = ops + " / fail at " + std::to_string(f.at) + " x" + std::to_string(f.times) +
                         (f.half ? " half" : "") + " capacity " + std::to_string(f.capacity) + (f.pipe ? " pipe" : "");
      End one = run(ops, f, 1, false);
      for (uint32_t per_write : {4u, MostBlocksPerWrite})
      for (bool refer : {false, true}) {
        End many = run(ops, f, per_write, refer);
        std::string how = name + " " + std::to_string(per_write) + (refer ? " referred" : " copied");
        EXPECT_EQ(one.console, many.console) << how;
        EXPECT_TRUE(one.target == many.target) << how << ": " << one.target.size() << " / " << many.target.size();
        EXPECT_EQ(one.output_offset, many.output_offset) << how;
        EXPECT_EQ(one.handed, many.handed) << how;
        EXPECT_EQ(one.landed, many.landed) << how;
        EXPECT_EQ(one.failed, many.failed) << how;
        EXPECT_EQ(one.gave_up, many.gave_up) << how;
        EXPECT_EQ(one.retrying, many.retrying) << how;
        EXPECT_EQ(one.patches, many.patches) << how;
      }
    }
  }
}

}  // namespace
