// Whole runs in process over arbitrary source bytes and option sets, checked
// against a plain reference walk of the same bytes. Shared by the run fuzzer
// and the unit test that replays its regression inputs.
//
// Input layout: byte 0 option bits, byte 1 start offset in blocks, byte 2 the
// -M value and the failing read's pass, byte 3 the -m value (signed), bytes
// 4..5 a count (little-endian) of leading zero bytes put before the rest (so
// that short inputs straddle the 64 KiB pass boundaries), then the source's
// own bytes.
#pragma once
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/header.h"
#include "test_platform.h"

namespace runcheck {

enum OptionBits {
  IncludeDeleted = 1,  // -d+
  WithLog = 2,         // -L log / log=log
  WithSeek = 4,        // -o N / seek=N
  WithMax = 8,         // -M N
  WithStart = 16,      // -m N
  DdStyle = 32,        // if= of= seek= log= instead of switches and positions
  OddSeek = 64,        // the start offset is not a multiple of the block
  ReadFails = 128,     // the read of one pass fails (byte 2 picks which)
};

struct RunOptions {
  unsigned bits = 0;
  int64_t start = 0;
  uint32_t max = 0;
  int32_t start_message = 0;
  uint32_t failing_pass = 0;  // with ReadFails: counted from 0, modulo the passes
};

inline std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char* format, ...) {
  char small[256];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < (int)sizeof small) return std::string(small, n > 0 ? n : 0);
  std::string big(n + 1, '\0');
  va_start(args, format);
  vsnprintf(&big[0], big.size(), format, args);
  va_end(args);
  big.resize(n);
  return big;
}

const char* const Banner = "Quillbase recovery utility v1.0\nHome site https://mendrake.example.org/\n";

// What a run must print and write, worked out byte by byte.
struct Expected {
  std::string console, log;
  std::vector<uint8_t> target;
  int code = 0;
  bool overlapping = false;  // a header was found inside an earlier one's 48 bytes
  std::vector<int64_t> taken_offsets;    // headers of the taken messages in the source
  std::vector<int64_t> taken_in_target;  // ... and where they begin in the target
  uint32_t found = 0;
};

// The reference walk: every file offset of every pass window is visited once
// in order; a header is looked for at each offset not inside the 48 bytes of
// a header found earlier in the same pass.
struct Walk {
  const RunOptions& o;
  std::vector<uint8_t> data;  // the source as the passes see it (deleted marks cleared)
  Expected& e;
  bool copying = true;
  uint32_t found = 0, extracted = 0;
  int64_t expected_next = 0;
  int32_t last_length = 0;
  int32_t start_message;
  std::vector<uint8_t> message;
  int64_t message_start = -1;
  int64_t last_header = -1;
  bool last_taken = false;

  Walk(const RunOptions& options, const std::vector<uint8_t>& source, Expected& out)
      : o(options), data(source), e(out), start_message(options.start_message) {}

  bool LimitPassed() const { return o.max != 0 && extracted > o.max; }
  void Report(const std::string& line) { ((o.bits & WithLog) ? e.log : e.console) += line; }

  // The last length did not lead to `reached` (a header, or the end of the
  // source): reported, and set right in the message held whole.
  void Repair(int64_t reached) {
    int32_t should_be = (int32_t)(uint32_t)(reached - expected_next + last_length);
    Report(Format("Achtung! broken MsgLength %d, should be %d\n\n", last_length, should_be));
    if (message.size() >= 40) {
      uint32_t v = (uint32_t)should_be;
      for (int k = 0; k < 4; k++) message[36 + k] = (uint8_t)(v >> (8 * k));
    }
  }

  // Returns false when the header is beyond the limit (the scan stops).
  bool Header(int64_t h, int64_t window_end) {
    const uint8_t* p = &data[h];
    if (last_header >= 0 && h < last_header + 48) e.overlapping = true;
    last_header = h;
    if (expected_next != 0 && expected_next != h) Repair(h);
    e.target.insert(e.target.end(), message.begin(), message.end());
    message.clear();
    last_taken = false;
    uint32_t length = ReadU32(p + 36);
    expected_next = h + 48 + (int64_t)length;
    found++;
    last_length = (int32_t)length;
    std::string line;
    for (int64_t q = h + 48; q < window_end && line.size() < 2047; q++) {
      uint8_t b = data[q];
      if (b == '\r' || b == '\n') break;
      if (b == 0) {
        e.console += "Achtung! 0 in hdr\n";
        if (o.bits & WithLog) e.log += "Achtung! 0 in hdr\n";
        break;
      }
      line += (char)b;
    }
    bool deleted = (data[h + 20] & 1) != 0;
    if (!(o.bits & IncludeDeleted) && deleted) {
      copying = false;
      return true;
    }
    if (o.bits & IncludeDeleted) data[h + 20] &= 0xFE;
    if (start_message > 0 && --start_message > 0) {
      copying = false;
      return true;
    }
    extracted++;
    copying = true;
    if (LimitPassed()) {
      copying = false;
      return false;
    }
    last_taken = true;
    e.taken_offsets.push_back(h);
    e.taken_in_target.push_back((int64_t)e.target.size());
    Report(Format("%s[%d] at %" PRIx64 ": %s\n", deleted ? "del" : "msg", (int)found, (uint64_t)h, line.c_str()));
    if (line.size() == 2047) Report("LogBuffer, Achtung! too long hdr\n");
    if (last_length < 0) Report(Format("Achtung! wrong message length %#x\n", (uint32_t)last_length));
    return true;
  }

  // One pass's window; a final one hands the last message on. at_end: the
  // final pass reached the end of the source (not the bytes held back
  // before a failed read).
  void Pass(int64_t offset, int64_t n, bool first, bool final, bool at_end = false) {
    int64_t start = first ? offset : offset - 61;
    int64_t end = final ? offset + n : offset + n - 61;
    bool stopped = LimitPassed();
    if (stopped || end < start) end = start;
    int64_t data_end = offset + n;
    int64_t skip_to = start;
    for (int64_t i = start; i < end; i++) {
      if (i >= skip_to && data_end - i >= 48 && IsMessageHeader(&data[i])) {
        if (!Header(i, end)) break;
        skip_to = i + 48;
      }
      if (copying) message.push_back(data[i]);
    }
    if (!final) return;
    // At the end of the source the last taken message may not run past it.
    if (at_end && !stopped && !LimitPassed() && last_taken && expected_next > data_end) Repair(data_end);
    if (copying) e.target.insert(e.target.end(), message.begin(), message.end());
    message.clear();
  }
};

// The offset of the pass whose read fails (ReadFails), or -1: the loop's
// passes from the start offset and the final pass, one picked by number.
inline int64_t FailingRead(int64_t S, const RunOptions& o) {
  if (!(o.bits & ReadFails)) return -1;
  std::vector<int64_t> passes;
  int64_t P = o.start - o.start % 2048;
  for (; P <= S - 2048; P += S - P >= 65536 ? 65536 : 2048) passes.push_back(P);
  if (S < P) return -1;
  passes.push_back(P);
  return passes[o.failing_pass % passes.size()];
}

inline Expected Model(const std::vector<uint8_t>& source, const RunOptions& o, const char* target_name) {
  Expected e;
  int64_t S = (int64_t)source.size();
  e.console = Banner;
  if (S == 0) {
    e.console += "Empty source file src\nexiting...\n";
    e.code = -4;
    return e;
  }
  int64_t P = o.start - o.start % 2048;
  e.console += Format("src -> %s\n%" PRId64 " bytes\nStarting from offset %" PRId64 " bytes\n", target_name, S, P);
  Walk w(o, source, e);
  int64_t D = S / 50 ? S / 50 : 1;
  uint32_t last_dot = UINT32_MAX;
  bool first = true;
  int64_t processed = 0;
  int64_t fail_at = FailingRead(S, o);
  auto summary = [&] {
    e.found = w.found;
    e.console += Format("Processed %" PRId64 " bytes (%" PRId64 " blocks)\n %d messages found\n %d messages extracted ",
                        processed, processed / 2048, (int)w.found, (int)w.extracted);
  };
  // A failed read: the bytes held back from the pass before are the last
  // window, the copy is finished, then the failure is told.
  auto read_fails = [&](int64_t size) {
    if (P != fail_at) return false;
    w.Pass(P, 0, first, true);
    e.console += Format("Can't read block (%d bytes) at offset %" PRId64 " (LBA %" PRId64 ") error 5\n", (int)size, P,
                        P / 2048);
    if (o.bits & WithLog)
      e.log += Format("bad at %" PRId64 " (LBA %" PRId64 ") size %d (%d blocks)\n", P, P / 2048, (int)size,
                      (int)(size / 2048));
    e.console += "Stop on output error\n";
    summary();
    e.code = -9;
    return true;
  };
  while (P <= S - 2048) {
    if ((uint32_t)(P / D) != last_dot) {
      e.console += ".";
      last_dot = (uint32_t)(P / D);
    }
    int64_t size = S - P >= 65536 ? 65536 : 2048;
    if (read_fails(size)) return e;
    w.Pass(P, size, first, false);
    first = false;
    P += size;
    processed += size;
    if (w.LimitPassed()) {
      S = P;
      break;
    }
  }
  e.console += "\n";
  if (S < P) {
    e.console += Format("Can't copy file tail (%" PRId64 " bytes)\n", S - P);
    e.code = -7;
    return e;
  }
  if (read_fails(S - P)) return e;
  w.Pass(P, S - P, first, true, true);
  processed += S - P;
  summary();
  return e;
}

inline RunOptions DecodeOptions(const uint8_t* in, size_t n) {
  RunOptions o;
  uint8_t b[4] = {0, 0, 0, 0};
  memcpy(b, in, n < 4 ? n : 4);
  o.bits = b[0];
  if (o.bits & WithSeek) o.start = (int64_t)b[1] * 2048 + ((o.bits & OddSeek) ? 1000 : 0);
  if (o.bits & WithMax) o.max = b[2];
  if (o.bits & WithStart) o.start_message = (int8_t)b[3];
  o.failing_pass = b[2];
  return o;
}

inline std::vector<std::string> Arguments(const RunOptions& o, bool list_only) {
  std::vector<std::string> a = {"mendrake"};
  bool dd = (o.bits & DdStyle) != 0;
  if (o.bits & IncludeDeleted) a.push_back("-d+");
  if (o.bits & WithMax) a.insert(a.end(), {"-M", std::to_string(o.max)});
  if (o.bits & WithStart) a.insert(a.end(), {"-m", std::to_string(o.start_message)});
  if (o.bits & WithLog) {
    if (dd) a.push_back("log=log");
    else a.insert(a.end(), {"-L", "log"});
  }
  if (o.bits & WithSeek) {
    if (dd) a.push_back("seek=" + std::to_string(o.start));
    else a.insert(a.end(), {"-o", std::to_string(o.start)});
  }
  if (list_only) a.push_back("-l");
  if (dd) a.insert(a.end(), {"if=src", "of=dst"});
  else a.insert(a.end(), {"src", "dst"});
  return a;
}

inline std::vector<uint8_t> BuildSource(const uint8_t* in, size_t n) {
  if (n < 6) return std::vector<uint8_t>(in, in + n);
  size_t pad = (size_t)(in[4] | in[5] << 8);
  std::vector<uint8_t> source(pad, 0);
  source.insert(source.end(), in + 6, in + n);
  return source;
}

inline std::string Show(const std::string& what, const std::string& expected, const std::string& actual) {
  return what + ": expected\n[" + expected + "]\nbut got\n[" + actual + "]\n";
}

// Runs the tool and compares everything it printed and wrote with the model.
inline std::string Compare(const char* what, const std::vector<uint8_t>& source, const RunOptions& o,
                           bool list_only, Expected* out = nullptr) {
  MemReset();
  MemPut("src", source);
  MemFault().read_fail_offset = FailingRead((int64_t)source.size(), o);
  int code = MemRun(Arguments(o, list_only));
  RunOptions mo = o;
  Expected e = Model(source, mo, "dst");
  if (list_only) e.target.clear();
  std::string problems;
  std::string name = std::string(what) + (list_only ? " (list only)" : "");
  if (code != e.code) problems += name + Format(": exit code %d, expected %d\n", code, e.code);
  if (MemConsole() != e.console) problems += Show(name + " console", e.console, MemConsole());
  if ((o.bits & WithLog) && MemGetText("log") != e.log) problems += Show(name + " log", e.log, MemGetText("log"));
  if (list_only && MemExists("dst")) problems += name + ": a list-only run created the target\n";
  if (!list_only && e.code != -4 && MemGet("dst") != e.target)
    problems += name + Format(": target of %zu bytes differs from the %zu bytes expected\n", MemGet("dst").size(),
                              e.target.size());
  if (out) *out = e;
  return problems;
}

// The list lines on the report channel: offset of each "msg[" / "del[" line.
inline std::vector<int64_t> ListedOffsets(const std::string& report) {
  std::vector<int64_t> offsets;
  size_t at = 0;
  while (at < report.size()) {
    size_t end = report.find('\n', at);
    if (end == std::string::npos) end = report.size();
    std::string line = report.substr(at, end - at);
    size_t dots = line.find_first_not_of('.');
    if (dots != std::string::npos) line = line.substr(dots);
    unsigned number;
    unsigned long long offset;
    char kind[4];
    if (sscanf(line.c_str(), "%3[msgdel][%u] at %llx: ", kind, &number, &offset) == 3 &&
        (line.compare(0, 4, "msg[") == 0 || line.compare(0, 4, "del[") == 0))
      offsets.push_back((int64_t)offset);
    at = end + 1;
  }
  return offsets;
}

// True when a line of the console (progress dots aside) begins with `start`;
// a first line in a list line cannot, as it follows the list line's prefix.
inline bool HasWarningLine(const std::string& console, const std::string& start) {
  for (size_t at = 0; at < console.size();) {
    size_t begin = console.find_first_not_of('.', at);
    if (begin == std::string::npos) break;
    if (console.compare(begin, start.size(), start) == 0) return true;
    size_t end = console.find('\n', begin);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return false;
}

// Every check of one input. Returns an empty text when all hold, else what failed.
inline std::string CheckRunInput(const uint8_t* in, size_t n) {
  RunOptions o = DecodeOptions(in, n);
  std::vector<uint8_t> source = BuildSource(in, n);
  Expected copy;
  std::string problems = Compare("copy run", source, o, false, &copy);
  std::vector<uint8_t> target = MemGet("dst");
  std::string copy_console = MemConsole(), copy_log = MemGetText("log");
  problems += Compare("copy run", source, o, true);
  // A list-only run reports exactly what the copy run reported.
  if (MemConsole() != copy_console) problems += "list-only and copy runs print different lines\n";
  if ((o.bits & WithLog) && MemGetText("log") != copy_log) problems += "list-only and copy runs log different lines\n";
  // Every listed offset holds a header: in the source, or, when deleted
  // messages are included, in the source with the deleted marks of the
  // headers found earlier cleared (the cleared copy of a header is what the
  // next pass re-examines when it straddles the pass boundary, so a header
  // that overlaps it can appear there).
  std::vector<uint8_t> cleared = source;
  for (int64_t h : ListedOffsets((o.bits & WithLog) ? copy_log : copy_console)) {
    bool real = h >= 0 && h + 48 <= (int64_t)source.size() && IsMessageHeader(&source[h]);
    bool after_clearing = (o.bits & IncludeDeleted) && h >= 0 && h + 48 <= (int64_t)source.size() &&
                          IsMessageHeader(&cleared[h]);
    if (!real && !after_clearing) problems += Format("listed offset %" PRIx64 " holds no header\n", (uint64_t)h);
    if (h >= 0 && h + 48 <= (int64_t)source.size()) cleared[h + 20] &= 0xFE;
  }
  // The recovered base is a fixed point: recovering it from offset 0 writes
  // the same bytes and reports no broken length. That holds when the headers
  // a walk of the recovered base finds are exactly the taken messages' own
  // headers. It cannot hold when a header was found overlapping an earlier
  // one (only the re-examination of held-back bytes finds such a header, and
  // the recovered base has its pass boundaries elsewhere), nor when clearing
  // a deleted mark or repairing a length in a copy completes a header that
  // was not one in the source; those inputs are still compared with the
  // model, just not as a fixed point.
  if (copy.code == 0 && !target.empty()) {
    Expected again;
    problems += Compare("recovering the recovered base", target, RunOptions(), false, &again);
    if (!copy.overlapping && again.found == copy.taken_in_target.size() &&
        again.taken_offsets == copy.taken_in_target) {
      if (MemGet("dst") != target) problems += "recovering the recovered base changed its bytes\n";
      if (HasWarningLine(MemConsole(), "Achtung! broken MsgLength"))
        problems += "recovering the recovered base reports a broken length\n";
    }
  }
  return problems;
}

}  // namespace runcheck
