// Hostile sources and command lines, run in process: each must end normally
// with memory bounded by the pass buffer and the output block, whatever the
// lengths claimed or the sizes of the messages.
// Every run is also compared with the reference walk of the run fuzzer, and
// the fuzzers' regression inputs are replayed here.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <map>

#include "../../fuzz/cli_check.h"
#include "../../fuzz/run_check.h"
#include "core/run_state.h"
#include "generator.h"

namespace {

// The largest amount of memory the platform had handed out at once.
std::map<void*, size_t> Live;
size_t LiveBytes = 0, PeakBytes = 0;
void* (*BaseAllocate)(size_t, size_t);
void (*BaseRelease)(void*);

void* CountingAllocate(size_t n, size_t alignment) {
  void* area = BaseAllocate(n, alignment);
  if (area) {
    Live[area] = n;
    LiveBytes += n;
    if (LiveBytes > PeakBytes) PeakBytes = LiveBytes;
  }
  return area;
}

void CountingRelease(void* area) {
  auto it = Live.find(area);
  if (it != Live.end()) {
    LiveBytes -= it->second;
    Live.erase(it);
  }
  BaseRelease(area);
}

// Runs a copy run over `source` with memory counted; returns the exit code.
int CountedRun(const std::vector<uint8_t>& source, std::vector<std::string> extra = {}) {
  MemReset();
  MemPut("src", source);
  BaseAllocate = Platform.Allocate;
  BaseRelease = Platform.Release;
  Platform.Allocate = CountingAllocate;
  Platform.Release = CountingRelease;
  Live.clear();
  LiveBytes = PeakBytes = 0;
  std::vector<std::string> args = {"mendrake"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.insert(args.end(), {"src", "dst"});
  return MemRun(args);
}

std::vector<uint8_t> Header(uint32_t length, uint32_t flags = 0) {
  std::vector<uint8_t> h(48, 0x5a);
  const uint8_t sig[] = {0x21, 0x09, 0x70, 0x19, 0x30, 0, 0, 0};
  std::copy(sig, sig + 8, h.begin());
  for (int k = 0; k < 4; k++) {
    h[20 + k] = (uint8_t)(flags >> (8 * k));
    h[36 + k] = (uint8_t)(length >> (8 * k));
    h[44 + k] = 0;
  }
  return h;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Working memory of a run: the pass buffer (the carried-over bytes' half and
// a read of several passes), the output blocks, and slack for a report line
// formed on the heap. No message is held whole.
constexpr size_t Fixed = (1 + MostPassesPerRead + MostBlocksPerWrite) * 65536 + 8192;

struct HostileCase {
  const char* name;
  std::vector<uint8_t> source;
};

std::vector<HostileCase> HostileCases() {
  std::vector<uint8_t> bangs(3 << 20, 0x21);
  std::vector<uint8_t> zero_lengths;
  for (int k = 0; k < 40000; k++) {
    std::vector<uint8_t> h = Header(0);
    h[10] = (uint8_t)k;  // uninterpreted noise
    zero_lengths.insert(zero_lengths.end(), h.begin(), h.end());
  }
  std::vector<uint8_t> long_line = Concat({Header(5 << 20), std::vector<uint8_t>(5 << 20, 'x'), Header(3)});
  std::vector<uint8_t> decoys;
  for (int k = 0; k < 100000; k++) decoys.insert(decoys.end(), {0x21, 0x09, 0x70, 0x19, 'a', 'b', 'c', 'd', 'e'});
  return {
      {"only_bangs", bangs},
      {"zero_lengths", zero_lengths},
      {"claims_7fffffff", Concat({Header(0x7FFFFFFF), std::vector<uint8_t>(1000, 'y'), Header(0xFFFFFFFF),
                                  std::vector<uint8_t>(500, 'z')})},
      {"claims_ffffffff", Concat({Header(0xFFFFFFFF), std::vector<uint8_t>(70000, 'q')})},
      {"first_line_megabytes", long_line},
      {"decoys_first_four_bytes", decoys},
  };
}

// Bounded memory, a normal end, and the same output as the reference walk.
TEST(Hostile, SourcesEndNormallyWithBoundedMemory) {
  for (const HostileCase& c : HostileCases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(0, CountedRun(c.source));
    EXPECT_LE(PeakBytes, Fixed);
    std::string problems = runcheck::Compare(c.name, c.source, runcheck::RunOptions(), false);
    EXPECT_EQ("", problems.substr(0, 2000));
  }
  MemRestore();
}

// Every source of 1 to 100 bytes: random bytes, and a header with random
// bytes around it, under each option set.
TEST(Hostile, TinySources) {
  uint64_t state = 12345;
  auto next = [&] { return (uint8_t)((state = state * 6364136223846793005ull + 1442695040888963407ull) >> 56); };
  for (size_t n = 1; n <= 100; n++) {
    for (unsigned bits : {0u, 1u | 2u, 8u | 16u, 32u | 4u}) {
      std::vector<uint8_t> in = {(uint8_t)bits, 0, 1, 2, 0, 0};
      for (size_t k = 0; k < n; k++) in.push_back(next());
      if (n >= 48 && bits & 1) {
        std::vector<uint8_t> h = Header((uint32_t)(n - 48) + (uint32_t)(bits & 8), (bits & 2) >> 1);
        std::copy(h.begin(), h.end(), in.begin() + 6 + (n - 48) / 2);
      }
      std::string problems = runcheck::CheckRunInput(in.data(), in.size());
      EXPECT_EQ("", problems.substr(0, 2000)) << "size " << n << " options " << bits;
    }
  }
  MemRestore();
}

// A message far larger than the output block, its length wrong: the header
// has gone to the target long before the next header shows the length
// wrong, and the length is set right there. The copy is what a run that held
// the message whole wrote (the reference walk does), with memory no larger
// than for any other source, and nothing says the length stayed.
TEST(Hostile, MessageLargerThanTheBlockIsRepairedInTheTarget) {
  GenOptions o;
  o.seed = 3;
  o.messages = 4;
  std::vector<uint8_t> source = Concat({Header(5), std::vector<uint8_t>(300000, 'm'), GenerateBase(o, nullptr)});
  std::vector<uint8_t> repaired = source;
  std::vector<uint8_t> length = Header(300000);
  std::copy(length.begin() + 36, length.begin() + 40, repaired.begin() + 36);
  for (bool with_log : {false, true}) {
    SCOPED_TRACE(with_log ? "log" : "console");
    EXPECT_EQ(0, CountedRun(source, with_log ? std::vector<std::string>{"-L", "log"} : std::vector<std::string>{}));
    EXPECT_LE(PeakBytes, Fixed);
    EXPECT_EQ(repaired, MemGet("dst"));
    std::string report = with_log ? MemGetText("log") : MemConsole();
    EXPECT_NE(std::string::npos, report.find("msg[1] at 0: mmm"));
    EXPECT_NE(std::string::npos, report.find("Achtung! broken MsgLength 5, should be 300000\n"));
    EXPECT_EQ(std::string::npos, report.find("no memory"));
    runcheck::RunOptions options;
    options.bits = with_log ? runcheck::WithLog : 0;
    EXPECT_EQ("", runcheck::Compare("large message", source, options, false).substr(0, 2000));
  }
  MemRestore();
}

// A target that cannot be moved in (a pipe) takes the bytes in order only: a
// header that has left the output block keeps its length as found, wholly
// (also one whose length field spans the block's start), which the report
// says once for it; a header still in the block is set right; every byte
// reaches the target.
TEST(Hostile, PipeTargetKeepsALengthOutOfReach) {
  // Headers at 0, at 196,570 (its length field spans 196,608, where the
  // fourth block starts) and at 201,618, the last, its length set at the end.
  std::vector<uint8_t> source = Concat({Header(5), {'\r', '\n'}, std::vector<uint8_t>(196520, 'w'),
                                        Header(5000 + 0x10009), std::vector<uint8_t>(5000, 'v'), Header(7),
                                        {'s', 'h', 'o', 'r', 't'}});
  std::vector<uint8_t> expected = source;
  expected[201618 + 36] = 5;
  const std::string told = "Achtung! broken MsgLength 5, should be 196522\n\n"
                           "Achtung! no memory to hold message at 0, its length stays as found\n"
                           "Achtung! broken MsgLength 70545, should be 5000\n\n"
                           "Achtung! no memory to hold message at 2ffda, its length stays as found\n"
                           "Achtung! broken MsgLength 7, should be 5\n\n";
  for (bool with_log : {false, true}) {
    SCOPED_TRACE(with_log ? "log" : "console");
    MemReset();
    MemPut("src", source);
    MemPutPipe("dst");
    std::vector<std::string> args = {"mendrake", "src", "dst"};
    if (with_log) args.insert(args.begin() + 1, {"-L", "log"});
    EXPECT_EQ(0, MemRun(args));
    EXPECT_EQ(expected, MemGet("dst"));
    std::string report = with_log ? MemGetText("log") : MemConsole();
    std::string warnings;
    for (size_t at = report.find("Achtung!"); at != std::string::npos; at = report.find("Achtung!", at + 1))
      warnings += report.substr(at, report.find('\n', at) + 1 - at) + (report[report.find('\n', at) + 1] == '\n' ? "\n" : "");
    EXPECT_EQ(told, warnings);
  }
  MemRestore();
}

// 10,000 arguments: switches that all parse run normally; too many paths
// give the usage text.
TEST(Hostile, TenThousandArguments) {
  MemReset();
  MemPut("src", Concat({Header(2), {'h', 'i'}}));
  std::vector<std::string> args = {"mendrake"};
  for (int k = 0; k < 9998; k++) args.push_back(k % 2 ? "-d+" : "-l");
  args.push_back("src");
  EXPECT_EQ(0, MemRun(args));
  EXPECT_NE(std::string::npos, MemConsole().find("msg[1] at 0: hi\n"));
  EXPECT_EQ(std::string::npos, MemConsole().find("Usage:"));
  std::vector<std::string> paths(10000, "path");
  paths[0] = "mendrake";
  EXPECT_EQ(0, MemRun(paths));
  EXPECT_EQ(clicheck::UsageText(), MemConsole().substr(MemConsole().find("Usage:")));
  EXPECT_EQ("", clicheck::CheckArguments(paths));
  MemRestore();
}

// The fuzzers' regression inputs and their seeds' shapes, replayed.
TEST(Hostile, FuzzRegressions) {
  std::string dir = std::string(__FILE__);
  dir = dir.substr(0, dir.rfind('/')) + "/../../fuzz/regressions/";
  int replayed = 0;
  for (const char* target : {"run", "cli"}) {
    DIR* d = opendir((dir + target).c_str());
    ASSERT_NE(nullptr, d) << dir + target;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream f(dir + target + "/" + e->d_name, std::ios::binary);
      std::vector<uint8_t> in((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      std::string problems = std::string(target) == "run" ? runcheck::CheckRunInput(in.data(), in.size())
                                                          : clicheck::CheckCliInput(in.data(), in.size());
      EXPECT_EQ("", problems.substr(0, 2000)) << target << "/" << e->d_name;
      replayed++;
    }
    closedir(d);
  }
  EXPECT_GT(replayed, 0);
  MemRestore();
}

// Generated damaged bases across the first pass boundary under every option
// bit: the same checks the run fuzzer makes, on a fixed set of inputs.
TEST(Hostile, GeneratedBasesMatchTheReferenceWalk) {
  for (uint64_t seed = 1; seed <= 16; seed++) {
    GenOptions g;
    g.seed = seed;
    g.messages = 12;
    g.deleted_pct = 25;
    g.wrong_pct = 30;
    g.negative_pct = 10;
    g.garbage_pct = 20;
    g.nul_pct = 10;
    g.long_pct = seed % 4 == 0 ? 20 : 0;
    g.decoy_pct = 30;
    std::vector<uint8_t> base = GenerateBase(g, nullptr);
    uint32_t pad = 65536 - 61 - 97 * (uint32_t)seed;
    std::vector<uint8_t> in = {(uint8_t)(seed * 37 % 256), (uint8_t)(seed % 2), (uint8_t)(seed % 5),
                               (uint8_t)(seed % 3), (uint8_t)pad, (uint8_t)(pad >> 8)};
    in.insert(in.end(), base.begin(), base.end());
    EXPECT_EQ("", runcheck::CheckRunInput(in.data(), in.size()).substr(0, 2000)) << "seed " << seed;
  }
  MemRestore();
}

}  // namespace
