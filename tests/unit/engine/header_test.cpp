// The message header record: recognition at any byte offset, field reads
// and writes in little-endian order, the position of the next header.
#include <gtest/gtest.h>

#include <vector>

#include "engine/header.h"
#include "generator.h"

namespace {

TEST(HeaderRecord, RecognisedAtEveryOffsetAndRefusedOnEachFailingCondition) {
  struct Change {
    uint32_t at;
    uint8_t value;
    bool still_header;
  } changes[] = {
      {0, 0x20, false}, {1, 0x0A, false}, {2, 0x50, false}, {3, 0x1A, false},  // signature
      {4, 47, false},   {4, 49, false},   {5, 0x01, false}, {7, 0x80, false},  // header_length
      {44, 1, false},   {46, 0x10, false}, {47, 0x80, false},                   // must be zero
      {8, 0xFF, true},  {20, 0xFF, true}, {36, 0xFF, true}, {39, 0x80, true}, {43, 0xFF, true},
  };
  for (uint32_t offset = 0; offset < 8; offset++) {
    std::vector<uint8_t> buffer(offset + 48, 0xEE);
    WriteGenHeader(buffer.data() + offset, 1234, true, 0x1122334455667788ull + offset);
    EXPECT_TRUE(IsMessageHeader(buffer.data() + offset)) << "offset " << offset;
    for (const Change& c : changes) {
      std::vector<uint8_t> changed = buffer;
      changed[offset + c.at] = c.value;
      EXPECT_EQ(c.still_header, IsMessageHeader(changed.data() + offset))
          << "offset " << offset << ", byte " << c.at << " = " << (int)c.value;
    }
  }
}

TEST(HeaderRecord, FieldsAreLittleEndianAndWritesTouchOnlyTheirBits) {
  uint8_t raw[51];
  uint8_t* h = raw + 3;  // deliberately unaligned
  WriteGenHeader(h, 0x80C0FFEEu, true, 0xA5A5A5A5A5A5A5A5ull);
  h[21] = 0x12, h[22] = 0x34, h[23] = 0x56;
  EXPECT_EQ(48u, HeaderLength(h));
  EXPECT_EQ(0x80C0FFEEu, MessageLength(h));
  EXPECT_TRUE(IsDeleted(h));
  std::vector<uint8_t> before(h, h + 48);
  ClearDeleted(h);
  SetMessageLength(h, 0x01020304u);
  EXPECT_FALSE(IsDeleted(h));
  EXPECT_EQ((uint8_t)(before[20] & 0xFE), h[20]);
  EXPECT_EQ((std::vector<uint8_t>{4, 3, 2, 1}), std::vector<uint8_t>(h + 36, h + 40));
  for (int k = 0; k < 48; k++) {
    if (k != 20 && (k < 36 || k > 39)) {
      EXPECT_EQ(before[k], h[k]) << "byte " << k;
    }
  }
}

TEST(HeaderRecord, NextHeaderIsWorkedOutIn64BitsWithUnsignedFields) {
  struct Case {
    int64_t header_offset;
    uint32_t message_length;
    int64_t next;
  } cases[] = {
      {0, 0, 48},
      {100, 52, 200},
      {0, 0xFFFFFFFFu, 0x10000002Fll},
      {0x80000000ll, 0x80000000u, 0x100000030ll},
      {0x1FFFFFFF0ll, 0xFFFFFFF0u, 0x300000010ll},
  };
  for (const Case& c : cases) {
    uint8_t h[48];
    WriteGenHeader(h, c.message_length, false, 7);
    EXPECT_EQ(c.next, NextHeaderOffset(c.header_offset, h)) << c.header_offset << " + " << c.message_length;
  }
}

}  // namespace
