// mendrake-check in process, where only the memory platform can reach: a
// read failure part-way through a base; the judgement against the scanner's
// own view on generated damage, with the headers inside a walked message
// kept or read again; the check fuzzer's saved inputs.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>

#include "../../fuzz/check_check.h"
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
    CheckSettings settings = {"b.tbb", json, 0, nullptr};
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

// The check's input: option bits, start blocks, inside room, a count of NUL
// bytes before the base (check_check.h), then the base.
std::vector<uint8_t> Input(uint8_t bits, uint8_t start, uint8_t room, uint32_t pad, const std::vector<uint8_t>& base) {
  std::vector<uint8_t> in = {bits, start, room, 0, (uint8_t)pad, (uint8_t)(pad >> 8)};
  in.insert(in.end(), base.begin(), base.end());
  return in;
}

// Each kind of damage, across the first pass boundary and not, with the
// headers inside a walked message kept (room 4096) or mostly read again
// (room 1); plus a whole base inside a message's text, a first length over
// every later message, and zero-filled stretches.
TEST(Check, AgreesWithTheScannerOnGeneratedDamage) {
  struct Damage {
    const char* name;
    uint32_t wrong, negative, garbage, decoys, boundary, truncate;
  } kinds[] = {
      {"wrong", 30, 0, 0, 0, 0, 0},     {"negative", 5, 10, 0, 0, 0, 0}, {"garbage", 0, 0, 30, 0, 0, 0},
      {"decoys", 10, 0, 0, 40, 0, 0},  {"boundary", 10, 0, 10, 0, 40, 0}, {"truncate", 10, 0, 10, 0, 0, 300},
  };
  for (const Damage& d : kinds) {
    for (uint64_t seed = 1; seed <= 3; seed++) {
      GenOptions g;
      g.seed = seed;
      g.messages = 40;
      g.max_text = 3000;
      g.deleted_pct = 20;
      g.wrong_pct = d.wrong;
      g.negative_pct = d.negative;
      g.garbage_pct = d.garbage;
      g.decoy_pct = d.decoys;
      g.boundary_pct = d.boundary;
      g.truncate_tail = d.truncate;
      std::vector<uint8_t> base = GenerateBase(g, nullptr);
      for (uint8_t room : {0, 3}) {
        std::vector<uint8_t> in = Input(seed == 2 ? runcheck::WithSeek : 0, 1, room, seed == 3 ? 65000 : 100, base);
        EXPECT_EQ("", checkcheck::CheckCheckInput(in.data(), in.size()).substr(0, 3000)) << d.name << " " << seed;
      }
    }
  }
  // Hand-made: a first length that spans every later message, which proves
  // wrong at the end; a base inside a message; runs of NUL bytes in texts,
  // in a gap and in the walked message's text across headers inside it.
  auto header = [](uint32_t stored, std::vector<uint8_t>* out) {
    uint8_t h[48];
    WriteGenHeader(h, stored, false, 7);
    out->insert(out->end(), h, h + 48);
  };
  auto text = [](size_t n, uint8_t fill, std::vector<uint8_t>* out) { out->insert(out->end(), n, fill); };
  std::vector<std::vector<uint8_t>> bases(4);
  header(0x7FFFFFFF, &bases[0]);
  text(30, 'a', &bases[0]);
  for (int k = 0; k < 300; k++) {
    header(20, &bases[0]);
    text(20, k % 7 ? 'b' : 0, &bases[0]);
  }
  header(48 + 10 + 48 + 600, &bases[1]);
  header(10, &bases[1]);
  text(10, 'c', &bases[1]);
  header(600, &bases[1]);
  text(600, 0, &bases[1]);
  header(5, &bases[1]);
  text(5, 'd', &bases[1]);
  header(1000, &bases[2]);
  text(100, 'e', &bases[2]);
  text(700, 0, &bases[2]);
  text(200, 'e', &bases[2]);
  header(50, &bases[2]);
  text(50, 'f', &bases[2]);
  text(2000, 0, &bases[2]);
  header(9, &bases[2]);
  text(700, 0, &bases[2]);
  header(300 + 48 + 900, &bases[3]);
  text(300, 0, &bases[3]);
  header(600, &bases[3]);
  text(900, 0, &bases[3]);
  for (size_t k = 0; k < bases.size(); k++)
    for (uint8_t room : {0, 1})
      for (uint32_t pad : {0u, 65536u - 61u - 20u}) {
        std::vector<uint8_t> in = Input(0, 0, room, pad, bases[k]);
        EXPECT_EQ("", checkcheck::CheckCheckInput(in.data(), in.size()).substr(0, 3000)) << "hand-made " << k;
      }
  MemRestore();
}

TEST(Check, FuzzRegressions) {
  std::string dir = std::string(__FILE__);
  dir = dir.substr(0, dir.rfind('/')) + "/../../fuzz/regressions/check";
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(nullptr, d) << dir;
  int replayed = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(dir + "/" + e->d_name, std::ios::binary);
    std::vector<uint8_t> in((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ("", checkcheck::CheckCheckInput(in.data(), in.size()).substr(0, 3000)) << e->d_name;
    replayed++;
  }
  closedir(d);
  EXPECT_GT(replayed, 0);
  MemRestore();
}

}  // namespace
