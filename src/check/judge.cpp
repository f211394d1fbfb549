// The judgement of a base as a mail client reads it. The walk follows the
// stored lengths from the first header, as a client does; a header inside a
// message that the walk steps over is that message's text. Once a step lands
// where no header is, the walk stops and every header found from the last
// walked message on counts, as the recovery takes them, each judged against
// the next header found:
//  - its length leads there: its text runs to it;
//  - its length ends short and NUL bytes lie between: its text ends at its
//    length, the bytes up to the next header are a gap (no mail), and the
//    next message begins a new run of messages;
//  - otherwise its length is broken: its text runs to the next header, whose
//    distance is the right length (or one no header can hold).
// The last message's text ends at its length when that lies inside what was
// read (what follows is trailing bytes), else at the end (cut off).
#include <cinttypes>
#include <cstring>

#include "check/check.h"
#include "core/platform.h"
#include "core/run_state.h"
#include "engine/header.h"
#include "engine/scanner.h"
#include "engine/writer.h"
#include "fileio/windows_rules.h"
#include "run/companion.h"

uint32_t CheckInsideRoom = 4096;

namespace {

const char* const NoHeaderThere = "no message header where the last message's length leads";
const char* const RunsPastEnd = "the last message's length runs past the end of the file";

// The runs of messages are kept for the summary up to this many; the rest
// are counted.
constexpr uint32_t RunRoom = 4096;

struct JudgementRecord {
  int64_t start;
  bool mapfile;
  int64_t first_header;
  uint32_t found;          // headers found so far
  HeaderSeen current;      // the last header found (once first_header >= 0);
                           // its bytes are passing
  // The walk.
  bool walking;
  HeaderSeen walked;       // the last message the walk reached
  int64_t walk_next;       // where the walk expects the next header
  uint32_t walk_messages;
  int64_t walk_stop;
  int64_t walk_stop_header;
  const char* walk_reason;
  // Headers found inside the walked message, complete; more dropped.
  uint32_t inside_count;
  uint32_t inside_dropped;
  // Counts.
  uint32_t messages;       // headers judged as messages (the rest are text)
  uint32_t deleted;        // headers found with the deleted mark
  uint32_t problems, gaps, unfit, unreadable;
  uint32_t unread_messages;
  int64_t unread_outside;
  int64_t base_end;
  int64_t trailing;
  // The run of messages being followed, and the ones behind it.
  bool run_open;
  MessageRun run;
  uint32_t run_count, runs_omitted;
  int64_t failed_at;
  int failed_error;
};

JudgementRecord J;
ByteJudge Stream;
HeaderSeen* Inside = nullptr;
uint32_t InsideHeld = 0;
MessageRun* Runs = nullptr;

void Note(const Finding& f) {
  J.problems += 1;
  switch (f.kind) {
    case FindingBrokenLength:
    case FindingCutOff:
      if (!f.fits) J.unfit += 1;
      break;
    case FindingGap: J.gaps += 1; break;
    case FindingUnreadable:
      J.unreadable += 1;
      if (f.place == UnreadInMessage)
        J.unread_messages += 1;
      else
        J.unread_outside += f.size;
      break;
    default: break;
  }
  ReportFinding(f);
}

Finding About(FindingKind kind, const HeaderSeen& h) {
  Finding f = Finding();
  f.kind = kind;
  f.message = h.number;
  f.header = h.at;
  f.stored_length = h.length;
  return f;
}

// A header that counts as a message.
void Count(const HeaderSeen& h) {
  J.messages += 1;
  if ((int32_t)h.length < 0) Note(About(FindingNegativeLength, h));
}

void RunClose(void) {
  if (!J.run_open) return;
  J.run_open = false;
  if (J.run_count < RunRoom && Runs)
    Runs[J.run_count++] = J.run;
  else
    J.runs_omitted += 1;
}

void RunExtend(const HeaderSeen& h, int64_t text_end) {
  if (!J.run_open) {
    J.run = {h.number, h.number, h.at, text_end};
    J.run_open = true;
    return;
  }
  J.run.last = h.number;
  J.run.to = text_end;
}

// What the message [h.at, text_end) shows besides its length: bytes that
// were never read, a run of NUL bytes (zero_at, zero_size) in its text.
void Message(const HeaderSeen& h, int64_t text_end, int64_t zero_at, int64_t zero_size) {
  if (J.mapfile) {
    int64_t unread = UnreadBytes(h.at, text_end);
    if (unread > 0) {
      Finding f = About(FindingUnreadable, h);
      f.size = unread;
      Note(f);
    }
  } else if (zero_size > 0) {
    int64_t end = zero_at + zero_size < text_end ? zero_at + zero_size : text_end;
    if (end - zero_at >= ZeroRunLength) ReportWarning({h.number, h.at, zero_at, end - zero_at});
  }
}

// Bytes outside every message, [from, to), that lie in areas not read: a
// message may have stood there that no reading can see now. `to` is a
// header, or the end of what was read.
void Outside(UnreadPlace place, int64_t from, int64_t to, bool header_at_to) {
  if (!J.mapfile) return;
  int64_t unread = UnreadBytes(from, to);
  if (unread == 0) return;
  Finding f = Finding();
  f.kind = FindingUnreadable;
  f.place = place;
  f.header = f.offset = from;
  f.area = to - from;
  f.size = unread;
  f.next = header_at_to ? to : -1;
  Note(f);
}

// Judges the complete record h against what follows it: the next header
// found at `next`, or, at_end, the end of what was read.
void Settle(const HeaderSeen& h, int64_t next, bool at_end) {
  int64_t right = RightLength(h.at, next);
  int64_t text_end = TextEnd(StoredEnd(h), next, at_end, h.nul_after_end);
  bool gap = !at_end && text_end < next;
  if (at_end) {
    if (right >= (int64_t)h.length) {
      J.base_end = text_end;
      J.trailing = next - text_end;
      if (J.trailing > 0) {
        Finding f = Finding();
        f.kind = FindingTrailingBytes;
        f.header = f.offset = text_end;
        f.size = J.trailing;
        Note(f);
      }
    } else {
      Finding f = About(FindingCutOff, h);
      f.right_length = right;
      f.fits = LengthFits(right);
      f.size = StoredEnd(h) - next;
      J.base_end = next;
      J.trailing = 0;
      Note(f);
    }
  } else if (right == (int64_t)h.length) {
    // A length with its top bit set that leads all the same: no header can
    // hold the right one either.
    if (!LengthFits(right)) J.unfit += 1;
  } else if (gap) {
    Finding f = About(FindingGap, h);
    f.offset = text_end;
    f.size = next - text_end;
    f.next = next;
    Note(f);
  } else {
    Finding f = About(FindingBrokenLength, h);
    f.right_length = right;
    f.fits = LengthFits(right);
    f.next = next;
    Note(f);
  }
  Message(h, text_end, h.zero_at, h.zero_size);
  // After the message's own, the bytes not read in what follows its text.
  if (gap) Outside(UnreadGap, text_end, next, true);
  if (at_end && text_end < next) Outside(UnreadTrailing, text_end, next, false);
  RunExtend(h, text_end);
  if (gap) RunClose();
}

// A header inside a walked message that proved to be a message, or one
// found again: the one before it is complete.
void ChainStep(const HeaderSeen& before, const HeaderSeen& next) {
  Settle(before, next.at, false);
  Count(next);
}

// The walk reached its next message: the one before holds to it.
void WalkHolds(void) {
  Message(J.walked, J.walk_next, Stream.walk_zero_at, Stream.walk_zero_size);
  RunExtend(J.walked, J.walk_next);
}

// The walk reaches the current header.
void Walked(void) {
  J.walked = J.current;
  J.walk_messages += 1;
  J.walk_next = StoredEnd(J.current);
  J.inside_count = J.inside_dropped = 0;
  Stream.walk_from = J.current.at + 48;
  Stream.walk_end = J.walk_next;
  Stream.walk_zero_at = Stream.walk_zero_size = 0;
  Count(J.current);
  if ((int32_t)J.current.length < 0) {
    // A client cannot step over it: the header itself is where it stops.
    J.walking = false;
    J.walk_stop = J.walk_stop_header = J.current.at;
    J.walk_reason = "a negative length";
    Stream.walk_end = 0;
  }
}

// A record complete while the walk is on: the walked message's own (its
// bytes judged), or one inside its text, kept while there is room.
void WalkComplete(const HeaderSeen& h) {
  if (h.at == J.walked.at)
    J.walked = h;
  else if (J.inside_count < InsideHeld)
    Inside[J.inside_count++] = h;
  else
    J.inside_dropped += 1;
}

// The walk cannot go on from its last message: the headers inside it were
// messages after all, judged now in order (those not kept are found again
// in the source, up to `to`). Returns the last of them, complete, to be
// judged against what lies at `to` unless the source failed to give them
// again: then the reading stops, as it does where a read fails the first
// time, and nothing after the failure is judged.
HeaderSeen StopWalk(const char* reason, int64_t to) {
  J.walking = false;
  J.walk_stop = J.walk_next;
  J.walk_stop_header = J.walked.at;
  J.walk_reason = reason;
  Stream.walk_end = 0;
  HeaderSeen last = J.walked;
  for (uint32_t k = 0; k < J.inside_count; k++) {
    ChainStep(last, Inside[k]);
    last = Inside[k];
  }
  if (J.inside_dropped > 0 && !ReadAgain(&last, to, !J.mapfile, ChainStep, &J.failed_at)) {
    J.failed_error = Platform.LastError();
    RunState.StopReading = true;
  }
  J.inside_count = J.inside_dropped = 0;
  return last;
}

HeaderOutcome JudgeHeader(uint8_t* buffer, uint32_t i, int64_t at, uint32_t) {
  // The reading stops after a failed reading again, at the end of the pass:
  // the headers still found in it come after the failure.
  if (J.failed_at >= 0) return HeaderTaken;
  const uint8_t* p = buffer + i;
  EndBytes(&Stream);
  HeaderSeen done = J.current;
  bool first = J.first_header < 0;
  J.current = {at, MessageLength(p), ++J.found, false, 0, 0};
  if (IsDeleted(p)) J.deleted += 1;
  Stream.current = &J.current;
  Stream.position = at;
  if (first) {
    J.first_header = at;
    // The reading began at the start offset, rounded down.
    Outside(UnreadLeading, RunState.StartOffset, at, true);
    J.walking = true;
    Walked();
    return HeaderTaken;
  }
  if (!J.walking) {
    ChainStep(done, J.current);
    return HeaderTaken;
  }
  WalkComplete(done);
  if (at == J.walk_next) {
    WalkHolds();
    Walked();
  } else if (at > J.walk_next) {
    HeaderSeen last = StopWalk(NoHeaderThere, at);
    if (J.failed_at < 0) ChainStep(last, J.current);
  }
  return HeaderTaken;
}

// The writer's place: every byte read passes the byte judgement.
void JudgedBytes(const uint8_t* bytes, uint32_t n) { JudgeBytes(&Stream, bytes, n); }
void NoStart(int64_t, uint32_t, const uint8_t*, bool) {}
int NoLength(uint32_t) { return 0; }
int NoFinish(void) { return 0; }
const WriterOps JudgementWriter = {JudgedBytes, NoStart, NoLength, NoFinish, nullptr};

// Areas of the size the records need, kept from one run to the next.
bool Reserve(void) {
  if (InsideHeld != CheckInsideRoom) {
    if (Inside) Platform.Release(Inside);
    Inside = (HeaderSeen*)Platform.Allocate(sizeof(HeaderSeen) * (CheckInsideRoom ? CheckInsideRoom : 1), 8);
    InsideHeld = Inside ? CheckInsideRoom : 0;
  }
  if (!Runs) Runs = (MessageRun*)Platform.Allocate(sizeof(MessageRun) * RunRoom, 8);
  return Inside && Runs;
}

}  // namespace

void StartJudgement(const CheckSettings& settings) {
  J = JudgementRecord();
  J.mapfile = settings.mapfile != nullptr;
  J.first_header = -1;
  J.walk_stop = -1;
  J.walk_stop_header = -1;
  J.failed_at = -1;
  // Without room the headers inside a walked message are all read again.
  Reserve();
  StartBytes(&Stream, 0, !J.mapfile);
}

void InstallJudgement(void) {
  // The scanner hands every byte read to the writer while copying; the
  // judgement never stops it.
  RunState.ListOnly = false;
  RunState.Copying = true;
  OnHeader = JudgeHeader;
  Writer = &JudgementWriter;
}

void FinishJudgement(int64_t read_end, bool complete, CheckSummary* s) {
  *s = CheckSummary();
  // The reading rounded the start down, and began there.
  J.start = RunState.StartOffset;
  J.base_end = J.trailing = -1;
  // After a failed reading again what was judged stands, as after a failed
  // read.
  complete = complete && J.failed_at < 0;
  if (J.first_header >= 0 && complete) {
    EndBytes(&Stream);
    if (J.walking) {
      WalkComplete(J.current);
      if (J.walk_next == read_end) {
        J.walking = false;
        J.walk_reason = "the end of the file";
        J.base_end = read_end;
        J.trailing = 0;
        WalkHolds();
      } else {
        const char* reason = J.walk_next > read_end ? RunsPastEnd
                             : J.inside_count + J.inside_dropped > 0
                                 ? NoHeaderThere
                                 : "the end of the messages, before the end of the file";
        HeaderSeen last = StopWalk(reason, read_end);
        if (J.failed_at < 0) Settle(last, read_end, true);
      }
    } else {
      Settle(J.current, read_end, true);
    }
    RunClose();
  } else if (complete) {
    // No header at all: every byte read is a leading byte.
    Outside(UnreadLeading, J.start, read_end, false);
  }
  s->start = J.start;
  s->first_header = J.first_header;
  s->messages = J.found;
  s->deleted = J.deleted;
  s->inside = J.found - J.messages;
  s->walk_messages = J.walk_messages;
  s->walk_stop = J.walk_stop;
  s->walk_reason = J.walk_reason ? J.walk_reason : "";
  s->walk_stop_header = J.walk_stop_header;
  s->base_end = J.base_end < 0 ? read_end : J.base_end;
  s->trailing = J.trailing < 0 ? 0 : J.trailing;
  s->problems = J.problems;
  s->gaps = J.gaps;
  s->unfit = J.unfit;
  s->unreadable = J.unreadable;
  s->unread_messages = J.unread_messages;
  s->unread_outside = J.unread_outside;
  // A disk: the size query found one, or on Windows the path names a device
  // (\\.\PhysicalDrive1, \\.\C:), as the platform judges it.
  s->device = RunFiles.SourceIsBlockDevice || (PlatformWindows() && NamesDevice(RunState.SourcePath));
  s->runs = Runs;
  s->run_count = J.run_count;
  s->runs_omitted = J.runs_omitted;
  s->failed_at = J.failed_at;
  s->failed_error = J.failed_error;
}
