// A whole-file reference model of a run (pass plan, scan windows, headers,
// message gathering, list, warnings, summary, a failed read, the last length
// at the end of the source) checked against the tool run in process over many
// seeded damaged bases, in every mode of the scan. The model holds each
// message whole until the next header, so it also stands for what a run with
// unbounded memory wrote: the tool's streamed copy must match it byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "generator.h"
#include "test_platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* const Banner = "Quillbase recovery utility v1.0\nHome site https://mendrake.example.org/\n";

std::string Format(const char* format, ...) {
  char small[8192];
  va_list args;
  va_start(args, format);
  vsnprintf(small, sizeof small, format, args);
  va_end(args);
  return small;
}

uint32_t Word(const Bytes& b, int64_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

struct ModelOptions {
  int64_t seek = 0;
  bool list_only = false;
  bool include_deleted = false;
  bool log = false;
  int32_t start_message = 0;
  uint32_t max_messages = 0;
  int64_t read_fail = -1;  // the source read at this offset fails (error 5)
};

struct ModelResult {
  std::string console, log;
  Bytes target;
  int code = 0;
};

// The run, told the plain way: one byte at a time over the file, each pass
// a window of positions, the bytes of taken messages gathered one by one.
ModelResult Model(Bytes f, const ModelOptions& o) {
  ModelResult r;
  const int64_t size = (int64_t)f.size();
  std::string& report = o.log ? r.log : r.console;
  r.console = Banner;
  r.console += Format("src -> dst\n%" PRId64 " bytes\n", size);
  int64_t P = o.seek - o.seek % 2048;
  r.console += Format("Starting from offset %" PRId64 " bytes\n", P);

  bool copying = true;
  int64_t expected = 0;
  int32_t last_length = 0;
  uint32_t found = 0, extracted = 0;
  int32_t start_message = o.start_message;
  bool last_taken = false;
  Bytes message;
  auto limit_passed = [&] { return o.max_messages != 0 && extracted > o.max_messages; };
  auto hand_on = [&] {
    if (copying && !o.list_only) r.target.insert(r.target.end(), message.begin(), message.end());
    message.clear();
  };
  // The previous length did not lead to `reached`: reported, repaired in the
  // held message when its length field is there.
  auto repair = [&](int64_t reached) {
    int32_t should_be = (int32_t)(uint32_t)(reached - expected + last_length);
    report += Format("Achtung! broken MsgLength %d, should be %d\n\n", last_length, should_be);
    if (!o.list_only && message.size() >= 40)
      for (int k = 0; k < 4; k++) message[36 + k] = (uint8_t)((uint32_t)should_be >> (8 * k));
  };

  // Scans file positions [from, to) of a pass whose data ends at data_end.
  auto scan = [&](int64_t from, int64_t to, int64_t data_end) {
    if (limit_passed()) return;
    int64_t examine_from = from;
    for (int64_t p = from; p < to; p++) {
      bool header = p >= examine_from && p + 48 <= data_end && f[p] == 0x21 && f[p + 1] == 0x09 &&
                    f[p + 2] == 0x70 && f[p + 3] == 0x19 && Word(f, p + 4) == 48 && Word(f, p + 44) == 0;
      if (header) {
        if (expected != 0 && expected != p) repair(p);
        hand_on();
        last_taken = false;
        expected = p + 48 + (int64_t)Word(f, p + 36);
        found++;
        last_length = (int32_t)Word(f, p + 36);
        examine_from = p + 48;
        std::string line;
        for (int64_t q = p + 48; q < to && line.size() < 2047; q++) {
          if (f[q] == '\r' || f[q] == '\n') break;
          if (f[q] == 0) {
            r.console += "Achtung! 0 in hdr\n";
            if (o.log) r.log += "Achtung! 0 in hdr\n";
            break;
          }
          line += (char)f[q];
        }
        bool deleted = f[p + 20] & 1;
        bool take = !(deleted && !o.include_deleted);
        if (take && o.include_deleted) f[p + 20] &= 0xFE;
        if (take && start_message > 0 && --start_message > 0) take = false;
        copying = take;
        if (take) {
          extracted++;
          if (limit_passed()) {
            copying = false;
            return;
          }
          last_taken = true;
          report += Format("%s[%d] at %" PRIx64 ": %s\n", deleted ? "del" : "msg", found, (uint64_t)p,
                           line.c_str());
          if (line.size() == 2047) report += "LogBuffer, Achtung! too long hdr\n";
          if (last_length < 0) report += Format("Achtung! wrong message length %#x\n", (uint32_t)last_length);
        }
      }
      if (copying && !o.list_only) message.push_back(f[p]);
    }
  };

  // The driver's pass plan: full passes while a full pass remains, then
  // block passes, then the final pass; 61 bytes held back but at the end.
  int64_t S = size, D = size / 50 > 0 ? size / 50 : 1, processed = 0;
  uint32_t last_dot = UINT32_MAX;
  bool first = true;
  auto summary = [&] {
    r.console += Format("Processed %" PRId64 " bytes (%" PRId64 " blocks)\n %d messages found\n %d messages extracted ",
                        processed, processed / 2048, found, extracted);
  };
  // A failed read: the bytes held back from the pass before are the run's
  // last window, then the failure is told.
  auto read_fails = [&](int64_t n) {
    if (P != o.read_fail) return false;
    scan(first ? P : P - 61, P, P);
    hand_on();
    r.console += Format("Can't read block (%d bytes) at offset %" PRId64 " (LBA %" PRId64 ") error 5\n", (int)n, P,
                        P / 2048);
    if (o.log) r.log += Format("bad at %" PRId64 " (LBA %" PRId64 ") size %d (%d blocks)\n", P, P / 2048, (int)n,
                               (int)(n / 2048));
    r.console += "Stop on output error\n";
    summary();
    r.code = -9;
    return true;
  };
  while (P <= S - 2048) {
    uint32_t k = (uint32_t)(P / D);
    if (k != last_dot) r.console += ".";
    last_dot = k;
    int64_t n = S - P >= 65536 ? 65536 : 2048;
    if (read_fails(n)) return r;
    scan(first ? P : P - 61, P + n - 61, P + n);
    first = false;
    P += n;
    processed += n;
    if (limit_passed()) {
      S = P;
      break;
    }
  }
  r.console += "\n";
  if (read_fails(S - P)) return r;
  scan(first ? P : P - 61, S, S);
  // At the end of the source (not a stop at the limit) the last taken
  // message's length may not run past it.
  if (S == size && !limit_passed() && last_taken && expected > size) repair(size);
  hand_on();
  processed += S - P;
  summary();
  return r;
}

struct Actual {
  std::string console, log;
  Bytes target;
  bool target_exists;
  int code;
};

Actual RunTool(const Bytes& source, const ModelOptions& o) {
  MemReset();
  MemPut("src", source);
  std::vector<std::string> args = {"mendrake"};
  if (o.list_only) args.push_back("-l");
  if (o.include_deleted) args.push_back("-d+");
  if (o.start_message) args.insert(args.end(), {"-m", std::to_string(o.start_message)});
  if (o.max_messages) args.insert(args.end(), {"-M", std::to_string(o.max_messages)});
  if (o.log) args.insert(args.end(), {"-L", "log"});
  if (o.seek) args.push_back("seek=" + std::to_string(o.seek));
  args.insert(args.end(), {"src", "dst"});
  MemFault().read_fail_offset = o.read_fail;
  Actual a;
  a.code = MemRun(args);
  a.console = MemConsole();
  a.log = MemGetText("log");
  a.target = MemGet("dst");
  a.target_exists = MemExists("dst");
  MemRestore();
  return a;
}

// Checks one run against the model; returns the tool's result.
Actual Compare(const Bytes& source, const ModelOptions& o, const std::string& what) {
  ModelResult m = Model(source, o);
  Actual a = RunTool(source, o);
  EXPECT_EQ(m.code, a.code) << what;
  EXPECT_EQ(m.console, a.console) << what;
  EXPECT_EQ(m.log, a.log) << what;
  EXPECT_EQ(!o.list_only, a.target_exists) << what;
  EXPECT_TRUE(m.target == a.target) << what << ": target of " << a.target.size() << " bytes, model "
                                    << m.target.size();
  return a;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

struct Rand {
  uint64_t s;
  uint32_t Below(uint32_t n) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return (uint32_t)(s >> 33) % n;
  }
};

GenOptions DamagedOptions(uint64_t seed, Rand& rnd) {
  GenOptions g;
  g.seed = seed;
  g.messages = 20 + rnd.Below(100);
  g.max_text = 500 + rnd.Below(6000);
  g.min_text = rnd.Below(3) == 0 ? 0 : rnd.Below(200);
  g.style = (GenStyle)rnd.Below(3);
  g.leading_bytes = rnd.Below(2) ? rnd.Below(3000) : 0;
  g.deleted_pct = seed % 2 ? 0 : 15;
  g.wrong_pct = rnd.Below(25);
  g.negative_pct = rnd.Below(8);
  g.garbage_pct = rnd.Below(20);
  g.nul_pct = rnd.Below(15);
  g.long_pct = rnd.Below(8);
  g.decoy_pct = rnd.Below(30);
  g.boundary_pct = rnd.Below(40);
  g.truncate_tail = rnd.Below(3) == 0 ? rnd.Below(300) : 0;
  return g;
}

TEST(ModelProperty, DamagedBasesInEveryMode) {
  for (uint64_t seed = 1; seed <= 36; seed++) {
    Rand rnd{seed};
    GenOptions g = DamagedOptions(seed, rnd);
    std::vector<GenRecord> records;
    Bytes base = GenerateBase(g, &records);
    std::string what = "seed " + std::to_string(seed);
    if (base.empty()) continue;

    // A copy run from offset 0, checked also against what the generator put.
    Actual copy = Compare(base, ModelOptions(), what + " copy");
    std::string expected_broken;
    size_t whole = std::count_if(records.begin(), records.end(),
                                 [&](const GenRecord& r) { return r.offset + 48 <= base.size(); });
    for (size_t k = 0; k + 1 < whole; k++) {
      const GenRecord& r = records[k];
      if (r.stored_length != r.text_length + r.garbage_after)
        expected_broken += Format("Achtung! broken MsgLength %d, should be %d\n\n", (int32_t)r.stored_length,
                                  (int32_t)(r.text_length + r.garbage_after));
    }
    // The last header's length is judged against the end of the source when
    // it runs past it (and the message was taken).
    if (whole > 0) {
      const GenRecord& r = records[whole - 1];
      if (!r.deleted && r.offset + 48 + r.stored_length > base.size())
        expected_broken += Format("Achtung! broken MsgLength %d, should be %d\n\n", (int32_t)r.stored_length,
                                  (int32_t)(base.size() - r.offset - 48));
    }
    std::string broken;
    for (size_t at = copy.console.find("Achtung! broken"); at != std::string::npos;
         at = copy.console.find("Achtung! broken", at + 1))
      broken += copy.console.substr(at, copy.console.find("\n\n", at) + 2 - at);
    EXPECT_EQ(expected_broken, broken) << what;

    // Every message that was not deleted is there, whole and in order.
    size_t cursor = 0;
    for (const GenRecord& r : records) {
      if (r.deleted || r.offset + 48 + r.text_length > base.size()) continue;
      auto header = base.begin() + (long)r.offset;
      auto at = std::search(copy.target.begin() + (long)cursor, copy.target.end(), header, header + 36);
      ASSERT_TRUE(at != copy.target.end()) << what << " header at " << r.offset;
      EXPECT_TRUE(std::equal(header + 40, header + 48 + r.text_length, at + 40)) << what << " message at "
                                                                                << r.offset;
      cursor = (size_t)(at - copy.target.begin()) + 48 + r.text_length;
    }

    // With nothing left out, the copy's lengths lead from header to header.
    if (g.deleted_pct == 0 && whole > 0) {
      uint64_t h = g.leading_bytes;
      for (size_t k = 0; k < whole; k++) {
        ASSERT_LE(h + 48, copy.target.size()) << what << " walk, header " << k;
        ASSERT_EQ(0x19700921u, Word(copy.target, (int64_t)h)) << what << " walk, header " << k;
        h += 48 + Word(copy.target, (int64_t)h + 36);
      }
      // A last length that reached the end of the source or beyond now does
      // so exactly.
      const GenRecord& last = records[whole - 1];
      if (last.offset + 48 + last.stored_length >= base.size()) {
        EXPECT_EQ(copy.target.size(), h) << what;
      }
    }

    ModelOptions o;
    o.list_only = true;
    Compare(base, o, what + " list-only");

    o = ModelOptions();
    o.include_deleted = true;
    o.log = seed % 3 == 0;
    Actual revived = Compare(base, o, what + " -d+");
    // A recovered base recovers to itself.
    Actual again = RunTool(revived.target, ModelOptions());
    EXPECT_TRUE(again.target == revived.target) << what << " fixed point";
    EXPECT_EQ(0u, Count(again.console, "broken MsgLength")) << what << " fixed point";

    o = ModelOptions();
    o.start_message = (int32_t)rnd.Below(6) - 1;
    o.max_messages = rnd.Below(2) ? 1 + rnd.Below(g.messages) : 0;
    o.log = seed % 4 == 1;
    Compare(base, o, what + " -m " + std::to_string(o.start_message) + " -M " + std::to_string(o.max_messages));

    o = ModelOptions();
    o.seek = rnd.Below((uint32_t)base.size());
    o.include_deleted = rnd.Below(2);
    o.max_messages = rnd.Below(3) == 0 ? 1 + rnd.Below(10) : 0;
    o.list_only = rnd.Below(4) == 0;
    Compare(base, o, what + " seek=" + std::to_string(o.seek));

    // A read failing at a full pass, at the last block pass or at the final
    // pass of the run from offset 0.
    std::vector<int64_t> full, blocks;
    int64_t P = 0;
    for (; P <= (int64_t)base.size() - 2048; P += (int64_t)base.size() - P >= 65536 ? 65536 : 2048)
      ((int64_t)base.size() - P >= 65536 ? full : blocks).push_back(P);
    o = ModelOptions();
    uint32_t kind = rnd.Below(3);
    o.read_fail = kind == 0 && !full.empty() ? full[rnd.Below((uint32_t)full.size())]
                  : kind == 1 && !blocks.empty() ? blocks.back() : P;
    o.include_deleted = rnd.Below(2);
    o.log = rnd.Below(2);
    o.max_messages = rnd.Below(4) == 0 ? 1 + rnd.Below(10) : 0;
    Actual failed = Compare(base, o, what + " read fails at " + std::to_string(o.read_fail));
    if (o.max_messages == 0) {
      EXPECT_EQ(-9, failed.code) << what;
    }
    if (HasFailure()) return;
  }
}

}  // namespace
