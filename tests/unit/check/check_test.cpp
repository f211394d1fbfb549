// mendrake-check in process, where only the memory platform can reach: a
// read failure part-way through a base.
#include <gtest/gtest.h>

#include "check/check.h"
#include "core/run_state.h"
#include "generator.h"
#include "test_platform.h"

namespace {

TEST(Check, ReadFailureReportsWhereAndWhatWasRead) {
  GenOptions o;
  o.seed = 4;
  o.messages = 60;
  o.max_text = 8000;
  std::vector<GenRecord> records;
  std::vector<uint8_t> base = GenerateBase(o, &records);
  ASSERT_GT(base.size(), 3u * 65536);
  uint32_t before = 0;
  for (const GenRecord& r : records) before += r.offset + 48 <= 131072 ? 1 : 0;
  for (bool json : {false, true}) {
    MemReset();
    ResetRunState();
    MemPut("b.tbb", base);
    MemFault().read_fail_offset = 131072;
    CheckSettings settings = {"b.tbb", json};
    EXPECT_EQ(8, RunCheck(settings));
    EXPECT_NE(std::string::npos, MemErrors().find("read failed at offset 131072"));
    const std::string& out = MemConsole();
    if (json) {
      EXPECT_NE(std::string::npos, out.find("\"read_failed_at\": 131072"));
      EXPECT_NE(std::string::npos, out.find("\"verdict\": \"unknown\""));
    } else {
      EXPECT_NE(std::string::npos, out.find("verdict: unknown; the reading failed at offset 131072\n"));
      EXPECT_NE(std::string::npos, out.find("messages: " + std::to_string(before) + " found"));
    }
  }
  ResetRunState();
  MemRestore();
}

}  // namespace
