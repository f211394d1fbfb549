// mendrake-check in process over arbitrary bytes, checked against the
// scanner's own view of the same bytes and a plain model of the judgement:
// the walk along the stored lengths from the first header found, then every
// header found from the last walked one on, each judged against the next
// (its length leads there; a gap when it ends short with a NUL byte between;
// else a broken length of the distance), the last against the end. The
// scanner is run with a hook that records every header it finds and the
// broken lengths the recovery reports, so the check must find the same
// headers and, where its view is the scanner's, the same broken lengths.
// Shared by the check fuzzer and the unit test that replays its inputs.
//
// Input layout, as the run fuzzer's: byte 0 bit 4 starts from -o (byte 1
// blocks of 2,048), byte 2 picks how many headers inside a walked message
// are kept (1, 2, 5 or 4096: fewer are read again from the source), bytes
// 4..5 a count of NUL bytes put before the rest, then the source.
#pragma once
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "check/check.h"
#include "core/report.h"
#include "core/run_state.h"
#include "engine/header.h"
#include "engine/scanner.h"
#include "run/companion.h"
#include "run/driver.h"
#include "run_check.h"
#include "test_platform.h"

namespace checkcheck {

using runcheck::Format;

struct Seen {
  int64_t at;
  uint32_t length;
  bool deleted;
  bool warned = false;      // the recovery reported the length broken at the next header
  int32_t stored = 0, should_be = 0;
};

std::vector<Seen>* Recording = nullptr;
size_t ConsoleAfterHook = 0;

// Notes a "broken MsgLength" report at `at` in the console against the last
// header recorded.
inline void NoteWarning(size_t at) {
  int stored, should_be;
  if (Recording->empty() ||
      sscanf(MemConsole().c_str() + at, "Achtung! broken MsgLength %d, should be %d", &stored, &should_be) != 2)
    return;
  Seen& last = Recording->back();
  last.warned = true;
  last.stored = stored;
  last.should_be = should_be;
}

// The scanner's header hook for the recording: the recovery's own
// judgement (deleted messages left out, so nothing in the pass is changed),
// with what it reports about the previous header noted.
inline HeaderOutcome Record(uint8_t* buffer, uint32_t i, int64_t at, uint32_t window_end) {
  size_t before = MemConsole().size();
  HeaderOutcome outcome = TakeHeader(buffer, i, at, window_end);
  NoteWarning(before);
  Recording->push_back({at, ReadU32(buffer + i + 36), (buffer[i + 20] & 1) != 0});
  ConsoleAfterHook = MemConsole().size();
  return outcome;
}

// The headers the scanner finds from `start`, with the recovery's broken
// lengths; the last one's is the cut-off at the end. Returns false when the
// reading refused the start.
inline bool ScannerView(const std::vector<uint8_t>& source, int64_t start, std::vector<Seen>* seen) {
  MemReset();
  MemPut("src", source);
  ResetRun();
  RunState.SourcePath = "src";
  RunState.StartOffset = start;
  RunState.ListOnly = true;
  Recording = seen;
  bool read = OpenCompanionSource("scan") == 0;
  OnHeader = Record;
  CompanionReading reading;
  if (read) read = ReadCompanionSource("scan", false, &reading) == 0;
  if (read) NoteWarning(ConsoleAfterHook);
  ResetRun();
  return read;
}

typedef std::tuple<std::string, int64_t, int64_t, int64_t, int64_t> Item;

// The findings and warnings of a text report, each as a kind and four numbers.
inline std::vector<Item> ReportItems(const std::string& report) {
  std::vector<Item> items;
  size_t at = 0;
  while (at < report.size()) {
    size_t end = report.find('\n', at);
    if (end == std::string::npos) end = report.size();
    std::string line = report.substr(at, end - at);
    at = end + 1;
    unsigned long long h, x, y;
    long long a;
    int stored;
    unsigned u;
    const char* l = line.c_str();
    if (sscanf(l, "at %llx: broken MsgLength %d, should be %lld", &h, &stored, &a) == 3) {
      long long past = -1;
      size_t cut = line.find("(cut off: it runs ");
      if (cut != std::string::npos) sscanf(l + cut, "(cut off: it runs %lld", &past);
      items.emplace_back(cut == std::string::npos ? "broken" : "cut", h, (uint32_t)stored, a, past);
    } else if (sscanf(l, "at %llx: broken MsgLength %d; no message length can span the %lld", &h, &stored, &a) == 3) {
      long long past = -1;
      size_t cut = line.find("(cut off: it runs ");
      if (cut != std::string::npos) sscanf(l + cut, "(cut off: it runs %lld", &past);
      items.emplace_back(cut == std::string::npos ? "unfit" : "unfit cut", h, (uint32_t)stored, a, past);
    } else if (sscanf(l, "at %llx: broken MsgLength %d; the next header, at %llx, begins inside this one", &h, &stored,
                      &x) == 3) {
      items.emplace_back("unfit", h, (uint32_t)stored, (int64_t)x - (int64_t)h - 48, -1);
    } else if (sscanf(l, "at %llx: wrong message length %x", &h, &u) == 2) {
      items.emplace_back("negative", h, u, 0, 0);
    } else if (sscanf(l, "at %llx: %lld trailing bytes", &h, &a) == 2) {
      items.emplace_back("trailing", h, a, 0, 0);
    } else if (sscanf(l, "at %llx: a gap of %lld bytes, not mail (they hold NUL bytes), between the message at %llx "
                         "and the next at %llx",
                      &x, &a, &h, &y) == 4) {
      items.emplace_back("gap", h, x, a, y);
    } else if (sscanf(l, "warning: at %llx: %lld NUL bytes in a row in the text of message %u (header at %llx)", &x,
                      &a, &u, &h) == 4) {
      items.emplace_back("zeros", h, u, x, a);
    } else if (line.compare(0, 3, "at ") == 0 || line.compare(0, 8, "warning:") == 0) {
      items.emplace_back("unparsed: " + line, 0, 0, 0, 0);
    }
  }
  std::sort(items.begin(), items.end());
  return items;
}

// The first run of NUL bytes in [from, to) of ZeroRunLength or more: its
// offset and size, or size 0.
inline std::pair<int64_t, int64_t> FirstZeroRun(const std::vector<uint8_t>& s, int64_t from, int64_t to) {
  for (int64_t p = from; p < to;) {
    if (s[p]) {
      p++;
      continue;
    }
    int64_t q = p;
    while (q < to && !s[q]) q++;
    if (q - p >= ZeroRunLength) return {p, q - p};
    p = q;
  }
  return {0, 0};
}

// Every check of one input. Returns an empty text when all hold.
inline std::string CheckCheckInput(const uint8_t* in, size_t n) {
  uint8_t b[4] = {0, 0, 0, 0};
  memcpy(b, in, n < 4 ? n : 4);
  int64_t start = (b[0] & runcheck::WithSeek) ? (int64_t)b[1] * 2048 : 0;
  static const uint32_t rooms[] = {1, 2, 5, 4096};
  std::vector<uint8_t> source = runcheck::BuildSource(in, n);
  const int64_t S = (int64_t)source.size();
  std::vector<Seen> h;
  bool read = ScannerView(source, start, &h);

  MemReset();
  MemPut("src", source);
  CheckInsideRoom = rooms[b[2] % 4];
  std::string offset = std::to_string(start);
  char* argv[] = {(char*)"mendrake-check", (char*)"-o", &offset[0], (char*)"src", nullptr};
  int code = CheckProgram(4, argv);
  CheckInsideRoom = 4096;
  std::string report = MemConsole();
  std::string problems;
  auto fail = [&](const std::string& what) { problems += what + "\n"; };
  if (!read) {
    if (code != 8) fail(Format("a start past the end: exit %d", code));
    return problems;
  }
  if (h.empty()) {
    if (code != 4 || report.find("verdict: no message base found\n") == std::string::npos) fail("no base: " + report);
    return problems;
  }
  auto end_of = [](const Seen& x) { return x.at + 48 + (int64_t)x.length; };
  // The walk.
  size_t w = 0;
  uint32_t walked = 1;
  bool holds = false;
  for (;;) {
    if ((int32_t)h[w].length < 0) break;
    int64_t e = end_of(h[w]);
    size_t j = w + 1;
    while (j < h.size() && h[j].at < e) j++;
    if (j < h.size() && h[j].at == e) {
      w = j;
      walked++;
      continue;
    }
    holds = j == h.size() && e == S;
    break;
  }
  std::vector<Item> want;
  uint32_t messages = holds ? walked : walked - 1 + (uint32_t)(h.size() - w);
  uint32_t deleted = 0;
  struct Run {
    int64_t first, last, from, to;
  };
  std::vector<Run> runs;
  bool run_open = false;
  auto in_run = [&](size_t k, int64_t text_end) {
    if (!run_open) runs.push_back({(int64_t)k + 1, (int64_t)k + 1, h[k].at, text_end});
    run_open = true;
    runs.back().last = (int64_t)k + 1;
    runs.back().to = text_end;
  };
  auto zeros = [&](size_t k, int64_t from, int64_t to) {
    std::pair<int64_t, int64_t> z = FirstZeroRun(source, from, to);
    if (z.second) want.emplace_back("zeros", h[k].at, k + 1, z.first, z.second);
  };
  // Walked messages that held: text to the next walked header.
  size_t k = 0;
  for (uint32_t step = 0; step < (holds ? walked : walked - 1); step++) {
    int64_t e = end_of(h[k]);
    deleted += h[k].deleted;
    zeros(k, h[k].at + 48, e);
    in_run(k, e);
    size_t next = k + 1;
    while (next < h.size() && h[next].at < e) next++;
    k = next;
  }
  bool scanned = !holds;
  if (scanned) {
    // From the last walked header on, as the scanner has them.
    for (k = w; k < h.size(); k++) {
      const Seen& x = h[k];
      deleted += x.deleted;
      if ((int32_t)x.length < 0) want.emplace_back("negative", x.at, x.length, 0, 0);
      int64_t e = end_of(x);
      int64_t next = k + 1 < h.size() ? h[k + 1].at : S;
      int64_t right = next - x.at - 48;
      int64_t text_end = next;
      bool gap = false;
      if (k + 1 < h.size()) {
        bool nul = e < next && std::find(source.begin() + e, source.begin() + next, 0) != source.begin() + next;
        if (e == next) {
        } else if (nul) {
          want.emplace_back("gap", x.at, e, next - e, next);
          text_end = e;
          gap = true;
        } else {
          want.emplace_back(right >= 0 && right <= 0x7FFFFFFF ? "broken" : "unfit", x.at, x.length, right, -1);
        }
        // The recovery reports every length that does not lead.
        if (x.warned != (e != next)) fail(Format("the recovery and the check differ on the length at %" PRIx64, x.at));
        if (x.warned && (x.stored != (int32_t)x.length || x.should_be != (int32_t)(uint32_t)right))
          fail(Format("the recovery's broken length at %" PRIx64 " differs", x.at));
      } else if (e <= S) {
        if (e < S) want.emplace_back("trailing", e, S - e, 0, 0);
        text_end = e;
      } else {
        want.emplace_back(right <= 0x7FFFFFFF ? "cut" : "unfit cut", x.at, x.length, right, e - S);
        if (!x.deleted && (!x.warned || x.should_be != (int32_t)(uint32_t)right))
          fail(Format("the recovery's cut-off length at %" PRIx64 " differs", x.at));
      }
      zeros(k, x.at + 48, std::min(text_end, e));
      in_run(k, text_end);
      if (gap) run_open = false;
    }
  }
  std::string runs_line;
  for (const Run& r : runs) {
    runs_line += Format("%s %s %" PRId64, runs_line.empty() ? "" : ";", r.first == r.last ? "message" : "messages",
                        r.first);
    if (r.first != r.last) runs_line += Format("-%" PRId64, r.last);
    runs_line += Format(" at %" PRIx64 "-%" PRIx64, r.from, r.to);
  }
  size_t listed = runs.size();
  std::sort(want.begin(), want.end());
  std::vector<Item> got = ReportItems(report);
  if (got != want) {
    std::string a, g;
    for (const Item& i : want)
      a += Format("%s %" PRIx64 " %" PRId64 " %" PRId64 " %" PRId64 "\n", std::get<0>(i).c_str(), std::get<1>(i),
                  std::get<2>(i), std::get<3>(i), std::get<4>(i));
    for (const Item& i : got)
      g += Format("%s %" PRIx64 " %" PRId64 " %" PRId64 " %" PRId64 "\n", std::get<0>(i).c_str(), std::get<1>(i),
                  std::get<2>(i), std::get<3>(i), std::get<4>(i));
    fail("findings: expected\n" + a + "but the report says\n" + g + "report:\n" + report);
  }
  std::string counts = Format("messages: %u found, %u of them deleted\n", messages, deleted);
  if (report.find(counts) == std::string::npos) fail("expected " + counts + "report:\n" + report);
  std::string walk = Format("walk: a mail client reads %u %s", walked, walked == 1 ? "message" : "messages");
  if (report.find(walk) == std::string::npos) fail("expected " + walk + "\nreport:\n" + report);
  if (listed > 1 && report.find("runs:" + runs_line + "\n") == std::string::npos)
    fail("expected runs:" + runs_line + "\nreport:\n" + report);
  if (listed < 2 && report.find("\nruns:") != std::string::npos) fail("a runs line for one run:\n" + report);
  bool clean = std::none_of(want.begin(), want.end(), [](const Item& i) { return std::get<0>(i) != "zeros"; });
  if (code != (clean ? 0 : 4)) fail(Format("exit %d, expected %d", code, clean ? 0 : 4));
  return problems;
}

}  // namespace checkcheck
