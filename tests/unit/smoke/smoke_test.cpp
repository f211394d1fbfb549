#include <gtest/gtest.h>

#include "generator.h"
#include "test_platform.h"

TEST(Smoke, CopyOfIntactBaseEqualsSource) {
  MemReset();
  GenOptions o;
  o.messages = 50;
  std::vector<uint8_t> base = GenerateBase(o, nullptr);
  MemPut("src", base);
  EXPECT_EQ(0, MemRun({"mendrake", "src", "dst"}));
  EXPECT_EQ(base, MemGet("dst"));
  MemRestore();
}
