// The judgement of a base as a mail client reads it. The walk follows the
// stored lengths from the first header, as a client does; a header inside a
// message that the walk steps over is that message's text. Once a step lands
// where no header is, the walk stops and every header found from the last
// walked message on counts, as the recovery would take them, each stored
// length checked against the next header found.
#include <cinttypes>

#include "check/check.h"
#include "core/platform.h"
#include "core/run_state.h"
#include "engine/header.h"
#include "engine/scanner.h"

namespace {

struct HeaderSeen {
  int64_t at;
  uint32_t length;
  bool deleted;
};

// Headers seen inside the message the walk is stepping over: text if the
// walk lands on its next header, messages if it does not. Bounded: beyond
// this many, the rest are counted only.
constexpr uint32_t InsideLimit = 16384;
HeaderSeen* Inside = nullptr;
uint32_t InsideCount = 0;
uint32_t InsideDropped = 0;

struct JudgementRecord {
  int64_t size;
  int64_t first_header;
  bool walking;
  HeaderSeen walked;       // the last message the walk reached
  int64_t walk_next;       // where the walk expects the next header
  uint32_t walk_messages;
  int64_t walk_stop;
  int64_t walk_stop_header;
  const char* walk_reason;
  bool have_previous;      // after the walk: the last header counted
  HeaderSeen previous;
  uint32_t messages;
  uint32_t deleted;
  uint32_t problems;
  bool length_problems;
};

JudgementRecord J;

int64_t EndOf(const HeaderSeen& h) { return h.at + (int64_t)HeaderSize + (int64_t)h.length; }

void Note(FindingKind kind, const HeaderSeen& h, int64_t right, int64_t size) {
  Finding f = {kind, h.at, h.length, right, size};
  J.problems += 1;
  if (kind != FindingTrailingBytes) J.length_problems = true;
  ReportFinding(f);
}

void Count(const HeaderSeen& h) {
  J.messages += 1;
  if (h.deleted) J.deleted += 1;
  if ((int32_t)h.length < 0) Note(FindingNegativeLength, h, 0, 0);
}

// After the walk: each header counts, and the one before it must lead here.
void Scanned(const HeaderSeen& h) {
  if (J.have_previous && !LengthLeads(J.previous.at, J.previous.length, h.at))
    Note(FindingBrokenLength, J.previous, RightLength(J.previous.at, h.at), 0);
  Count(h);
  J.previous = h;
  J.have_previous = true;
}

// The walk cannot go on from its last message: the headers inside it were
// messages after all.
void StopWalk(int64_t at, const char* reason) {
  J.walking = false;
  J.walk_stop = at;
  J.walk_stop_header = J.walked.at;
  J.walk_reason = reason;
  J.previous = J.walked;
  J.have_previous = true;
  for (uint32_t k = 0; k < InsideCount; k++) Scanned(Inside[k]);
  InsideCount = 0;
}

void Walked(const HeaderSeen& h) {
  InsideCount = 0;
  InsideDropped = 0;
  J.walked = h;
  J.walk_messages += 1;
  Count(h);
  J.walk_next = EndOf(h);
  if ((int32_t)h.length < 0) StopWalk(h.at, "a negative length");
}

HeaderOutcome JudgeHeader(uint8_t* buffer, uint32_t i, int64_t at, uint32_t) {
  const uint8_t* p = buffer + i;
  HeaderSeen h = {at, MessageLength(p), IsDeleted(p)};
  if (J.first_header < 0) {
    J.first_header = at;
    J.walking = true;
    Walked(h);
    return HeaderTaken;
  }
  if (J.walking) {
    if (at == J.walk_next) {
      Walked(h);
      return HeaderTaken;
    }
    if (at < J.walk_next) {
      if (InsideCount < InsideLimit && Inside)
        Inside[InsideCount++] = h;
      else
        InsideDropped += 1;
      return HeaderTaken;
    }
    StopWalk(J.walk_next, "no message header where the last message's length leads");
  }
  Scanned(h);
  return HeaderTaken;
}

}  // namespace

void StartJudgement(int64_t size) {
  J = JudgementRecord();
  J.size = size;
  J.first_header = -1;
  J.walk_stop = -1;
  J.walk_stop_header = -1;
  if (!Inside) Inside = (HeaderSeen*)Platform.Allocate(sizeof(HeaderSeen) * InsideLimit, 8);
  InsideCount = 0;
  InsideDropped = 0;
}

void InstallJudgement(void) { OnHeader = JudgeHeader; }

void FinishJudgement(int64_t read_end, bool complete, CheckSummary* s) {
  *s = CheckSummary();
  int64_t base_end = -1;
  if (J.first_header >= 0 && complete) {
    if (J.walking) {
      if (J.walk_next == read_end) {
        J.walk_reason = "the end of the file";
      } else if (InsideCount > 0) {
        // The last message's length leads past headers to nowhere.
        StopWalk(J.walk_next, J.walk_next > read_end ? "the last message's length runs past the end of the file"
                                                    : "no message header where the last message's length leads");
      } else {
        J.walk_stop = J.walk_next;
        J.walk_stop_header = J.walked.at;
        J.walk_reason = J.walk_next > read_end ? "the last message's length runs past the end of the file"
                                              : "the end of the messages, before the end of the file";
        J.previous = J.walked;
        J.have_previous = true;
      }
    }
    if (J.have_previous) {
      int64_t end = EndOf(J.previous);
      if (end > read_end)
        Note(FindingCutOff, J.previous, RightLength(J.previous.at, read_end), end - read_end);
      else
        base_end = end;
    } else {
      base_end = J.walk_next;
    }
    if (base_end >= 0 && base_end < read_end) {
      HeaderSeen end = {base_end, 0, false};
      Note(FindingTrailingBytes, end, 0, read_end - base_end);
    }
  }
  s->size = J.size;
  s->first_header = J.first_header;
  s->messages = J.messages;
  s->deleted = J.deleted;
  s->walk_messages = J.walk_messages;
  s->walk_stop = J.walk_stop;
  s->walk_reason = J.walk_reason ? J.walk_reason : "";
  s->walk_stop_header = J.walk_stop_header;
  s->base_end = base_end < 0 ? read_end : base_end;
  s->trailing = base_end >= 0 && base_end < read_end ? read_end - base_end : 0;
  s->problems = J.problems;
  s->length_problems = J.length_problems;
}
