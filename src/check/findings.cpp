// The checker's report: as text for a person, or as one JSON object for a
// script. Findings are printed as the reading finds them, so a base with a
// million broken lengths needs no memory for them; the summary and the
// verdict follow at the end. The JSON object streams its problems too; its
// warnings and the runs of messages come after them and are kept up to a
// bound, the rest counted.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "check/check.h"
#include "core/platform.h"
#include "core/report.h"
#include "run/companion.h"

namespace {

const char* Base = "";
const char* Mapfile = nullptr;
bool Json = false;
bool FirstFinding = true;

// The JSON object's warnings, kept until the problems are out.
constexpr uint32_t WarningRoom = 16384;
ZeroRunWarning* Warnings = nullptr;
uint32_t WarningCount = 0, WarningsOmitted = 0;

const char* Plural(uint64_t n, const char* one, const char* more) { return n == 1 ? one : more; }

void FindingText(const Finding& f) {
  uint64_t at = (uint64_t)f.header;
  int32_t stored = (int32_t)f.stored_length;
  switch (f.kind) {
    case FindingBrokenLength:
      if (f.fits)
        ConsolePrint("at %" PRIx64 ": broken MsgLength %d, should be %" PRId64 "\n", at, stored, f.right_length);
      else if (f.right_length < 0)
        ConsolePrint("at %" PRIx64 ": broken MsgLength %d; the next header, at %" PRIx64 ", begins inside this one\n",
                     at, stored, (uint64_t)f.next);
      else
        ConsolePrint("at %" PRIx64 ": broken MsgLength %d; no message length can span the %" PRId64
                     " bytes to the next header\n",
                     at, stored, f.right_length);
      break;
    case FindingNegativeLength:
      ConsolePrint("at %" PRIx64 ": wrong message length %#x\n", at, f.stored_length);
      break;
    case FindingCutOff:
      if (f.fits)
        ConsolePrint("at %" PRIx64 ": broken MsgLength %d, should be %" PRId64, at, stored, f.right_length);
      else
        ConsolePrint("at %" PRIx64 ": broken MsgLength %d; no message length can span the %" PRId64
                     " bytes to the end of the file",
                     at, stored, f.right_length);
      ConsolePrint(" (cut off: it runs %" PRId64 " bytes past the end of the file)\n", f.size);
      break;
    case FindingTrailingBytes:
      ConsolePrint("at %" PRIx64 ": %" PRId64 " trailing bytes after the last message\n", (uint64_t)f.offset, f.size);
      break;
    case FindingGap:
      ConsolePrint("at %" PRIx64 ": a gap of %" PRId64 " bytes, not mail (they hold NUL bytes), between the message at %" PRIx64
                   " and the next at %" PRIx64 "\n",
                   (uint64_t)f.offset, f.size, at, (uint64_t)f.next);
      break;
    case FindingUnreadable:
      ConsolePrint("at %" PRIx64 ": unreadable: %" PRId64 " %s of message %u lie in areas the mapfile marks not read\n",
                   at, f.size, Plural((uint64_t)f.size, "byte", "bytes"), f.message);
      break;
  }
}

void FindingJson(const Finding& f) {
  ConsoleText(FirstFinding ? "\n    " : ",\n    ");
  const char* fits = f.fits ? "true" : "false";
  switch (f.kind) {
    case FindingBrokenLength:
      ConsolePrint("{\"kind\": \"broken_length\", \"message\": %u, \"header\": %" PRId64 ", \"stored_length\": %u, "
                   "\"right_length\": %" PRId64 ", \"fits\": %s}",
                   f.message, f.header, f.stored_length, f.right_length, fits);
      break;
    case FindingNegativeLength:
      ConsolePrint("{\"kind\": \"negative_length\", \"message\": %u, \"header\": %" PRId64 ", \"stored_length\": %u}",
                   f.message, f.header, f.stored_length);
      break;
    case FindingCutOff:
      ConsolePrint("{\"kind\": \"cut_off\", \"message\": %u, \"header\": %" PRId64 ", \"stored_length\": %u, "
                   "\"right_length\": %" PRId64 ", \"fits\": %s, \"missing_bytes\": %" PRId64 "}",
                   f.message, f.header, f.stored_length, f.right_length, fits, f.size);
      break;
    case FindingTrailingBytes:
      ConsolePrint("{\"kind\": \"trailing_bytes\", \"offset\": %" PRId64 ", \"size\": %" PRId64 "}", f.offset, f.size);
      break;
    case FindingGap:
      ConsolePrint("{\"kind\": \"gap\", \"message\": %u, \"header\": %" PRId64 ", \"stored_length\": %u, "
                   "\"offset\": %" PRId64 ", \"size\": %" PRId64 ", \"next_header\": %" PRId64 "}",
                   f.message, f.header, f.stored_length, f.offset, f.size, f.next);
      break;
    case FindingUnreadable:
      ConsolePrint("{\"kind\": \"unreadable\", \"message\": %u, \"header\": %" PRId64 ", \"bytes\": %" PRId64 "}",
                   f.message, f.header, f.size);
      break;
  }
}

enum Verdict { VerdictClean, VerdictDamaged, VerdictNoBase, VerdictUnknown };

Verdict Judge(const CheckSummary& s) {
  if (s.first_header < 0) return VerdictNoBase;
  return s.problems ? VerdictDamaged : VerdictClean;
}

// The problems that a repair mends: all but the areas not read.
bool Repairable(const CheckSummary& s) { return s.problems > s.unreadable; }

void RunsText(const CheckSummary& s) {
  if (s.run_count + s.runs_omitted < 2) return;
  ConsoleText("runs:");
  for (uint32_t k = 0; k < s.run_count; k++) {
    const MessageRun& r = s.runs[k];
    if (r.first == r.last)
      ConsolePrint("%s message %u", k ? ";" : "", r.first);
    else
      ConsolePrint("%s messages %u-%u", k ? ";" : "", r.first, r.last);
    ConsolePrint(" at %" PRIx64 "-%" PRIx64, (uint64_t)r.from, (uint64_t)r.to);
  }
  if (s.runs_omitted) ConsolePrint("; and %u more", s.runs_omitted);
  ConsoleText("\n");
}

// Why mendrake's own copy would not give a clean base: it keeps every byte.
void ExportReasonText(const CheckSummary& s) {
  const char* reasons[3];
  int n = 0;
  if (s.gaps) reasons[n++] = "the gaps";
  if (s.trailing) reasons[n++] = "the bytes after the last message";
  if (s.unfit) reasons[n++] = "lengths no header can hold";
  ConsoleText("repair: mendrake's own copy would keep ");
  for (int k = 0; k < n; k++) ConsolePrint("%s%s", k == 0 ? "" : k == n - 1 ? " and " : ", ", reasons[k]);
  ConsoleText("; mendrake-export --tbb writes the messages alone\n");
}

void VerdictText(const CheckSummary& s) {
  char* retry = s.unreadable && Mapfile ? RetryCommand(Base, Mapfile) : nullptr;
  const char* lie = Plural(s.unreadable, "lies", "lie");
  const char* messages = Plural(s.unreadable, "message", "messages");
  if (!Repairable(s)) {
    ConsolePrint("verdict: damaged; %u %s %s partly in areas not read from the disk, which no repair mends: "
                 "retry those areas with ddrescue: %s\n",
                 s.unreadable, messages, lie, retry ? retry : "ddrescue");
  } else {
    if (s.unreadable)
      ConsolePrint("%u %s %s partly in areas not read from the disk: retry those areas with ddrescue first: %s\n",
                   s.unreadable, messages, lie, retry ? retry : "ddrescue");
    bool export_needed = s.gaps || s.trailing || s.unfit;
    if (export_needed) ExportReasonText(s);
    char* command = RepairCommand(Base, s);
    ConsolePrint("verdict: damaged; repair with: %s\n", command ? command : export_needed ? "mendrake-export --tbb" : "mendrake");
    if (command) Platform.Release(command);
  }
  if (retry) Platform.Release(retry);
}

void SummaryText(const CheckSummary& s, Verdict v, int64_t failed_at) {
  if (s.first_header < 0) {
    if (failed_at >= 0)
      ConsolePrint("verdict: unknown; the reading failed at offset %" PRId64 " before any message header\n", failed_at);
    else
      ConsoleText("verdict: no message base found\n");
    return;
  }
  if (s.start > 0)
    ConsolePrint("leading bytes: %" PRId64 ", from the start offset %" PRId64 " to the first message header at %" PRIx64 "\n",
                 s.first_header - s.start, s.start, (uint64_t)s.first_header);
  else
    ConsolePrint("leading bytes: %" PRId64 ", before the first message header at %" PRIx64 "\n", s.first_header,
                 (uint64_t)s.first_header);
  const char* walked = Plural(s.walk_messages, "message", "messages");
  if (failed_at >= 0)
    ConsolePrint("walk: a mail client reads %u %s before offset %" PRId64 "\n", s.walk_messages, walked, failed_at);
  else if (s.walk_stop < 0)
    ConsolePrint("walk: a mail client reads %u %s, to %s\n", s.walk_messages, walked, s.walk_reason);
  else
    ConsolePrint("walk: a mail client reads %u %s and stops at %" PRIx64 ": %s (the message at %" PRIx64 ")\n",
                 s.walk_messages, walked, (uint64_t)s.walk_stop, s.walk_reason, (uint64_t)s.walk_stop_header);
  ConsolePrint("messages: %u found, %u of them deleted\n", s.messages, s.deleted);
  if (failed_at >= 0) {
    ConsolePrint("verdict: unknown; the reading failed at offset %" PRId64 "\n", failed_at);
    return;
  }
  RunsText(s);
  if (s.trailing > 0)
    ConsolePrint("base ends at %" PRIx64 " (%" PRId64 "); %" PRId64 " bytes follow\n", (uint64_t)s.base_end,
                 s.base_end, s.trailing);
  if (v == VerdictClean)
    ConsoleText("verdict: clean\n");
  else
    VerdictText(s);
}

void WarningJson(const ZeroRunWarning& w, bool first) {
  ConsolePrint("%s{\"kind\": \"zero_run\", \"message\": %u, \"header\": %" PRId64 ", \"offset\": %" PRId64
               ", \"size\": %" PRId64 "}",
               first ? "\n    " : ",\n    ", w.message, w.header, w.offset, w.size);
}

// A command as a JSON value, or null; released.
void CommandJson(char* command) {
  if (!command) {
    ConsoleText("null");
    return;
  }
  JsonString(command);
  Platform.Release(command);
}

void SummaryJson(const CheckSummary& s, Verdict v, int64_t failed_at) {
  ConsoleText(FirstFinding ? "],\n  \"warnings\": [" : "\n  ],\n  \"warnings\": [");
  for (uint32_t k = 0; k < WarningCount; k++) WarningJson(Warnings[k], k == 0);
  ConsolePrint("%s],\n  \"warnings_omitted\": %u,\n", WarningCount ? "\n  " : "", WarningsOmitted);
  if (s.first_header < 0)
    ConsoleText("  \"leading_bytes\": null,\n  \"first_header\": null,\n");
  else
    ConsolePrint("  \"leading_bytes\": %" PRId64 ",\n  \"first_header\": %" PRId64 ",\n", s.first_header - s.start,
                 s.first_header);
  ConsolePrint("  \"messages\": %u,\n  \"deleted\": %u,\n", s.messages, s.deleted);
  ConsolePrint("  \"walk\": {\"messages\": %u, ", s.walk_messages);
  if (s.walk_stop < 0)
    ConsoleText("\"stop\": null, \"stop_header\": null, ");
  else
    ConsolePrint("\"stop\": %" PRId64 ", \"stop_header\": %" PRId64 ", ", s.walk_stop, s.walk_stop_header);
  ConsoleText("\"reason\": ");
  JsonString(s.walk_reason);
  ConsoleText("},\n  \"runs\": [");
  for (uint32_t k = 0; k < s.run_count && failed_at < 0; k++) {
    const MessageRun& r = s.runs[k];
    ConsolePrint("%s{\"first\": %u, \"last\": %u, \"from\": %" PRId64 ", \"to\": %" PRId64 "}", k ? ", " : "", r.first,
                 r.last, r.from, r.to);
  }
  ConsolePrint("],\n  \"runs_omitted\": %u,\n", failed_at < 0 ? s.runs_omitted : 0);
  if (failed_at >= 0) ConsolePrint("  \"read_failed_at\": %" PRId64 ",\n", failed_at);
  if (s.first_header < 0 || failed_at >= 0)
    ConsoleText("  \"trailing_bytes\": null,\n  \"base_end\": null,\n");
  else
    ConsolePrint("  \"trailing_bytes\": %" PRId64 ",\n  \"base_end\": %" PRId64 ",\n", s.trailing, s.base_end);
  static const char* names[] = {"clean", "damaged", "no message base found", "unknown"};
  ConsolePrint("  \"verdict\": \"%s\",\n  \"repair\": ", names[v]);
  CommandJson(v == VerdictDamaged && Repairable(s) ? RepairCommand(Base, s) : nullptr);
  ConsoleText(",\n  \"retry\": ");
  CommandJson(v == VerdictDamaged && s.unreadable && Mapfile ? RetryCommand(Base, Mapfile) : nullptr);
  ConsoleText("\n}\n");
}

}  // namespace

void ReportStart(const CheckSettings& settings, int64_t size, int64_t start) {
  Base = settings.base;
  Mapfile = settings.mapfile;
  Json = settings.json;
  FirstFinding = true;
  WarningCount = WarningsOmitted = 0;
  if (Json && !Warnings) Warnings = (ZeroRunWarning*)Platform.Allocate(sizeof(ZeroRunWarning) * WarningRoom, 8);
  if (Json) {
    ConsoleText("{\n  \"base\": ");
    bool utf8 = JsonString(Base);
    ConsolePrint(",\n  \"base_utf8\": %s,\n  \"size\": %" PRId64 ",\n  \"start_offset\": %" PRId64 ",\n  \"mapfile\": ",
                 utf8 ? "true" : "false", size, start);
    if (Mapfile)
      JsonString(Mapfile);
    else
      ConsoleText("null");
    ConsoleText(",\n  \"problems\": [");
  } else if (start > 0) {
    ConsolePrint("mendrake-check: %s, %" PRId64 " bytes, from offset %" PRId64 "\n", Base, size, start);
  } else {
    ConsolePrint("mendrake-check: %s, %" PRId64 " bytes\n", Base, size);
  }
}

void ReportFinding(const Finding& f) {
  if (Json)
    FindingJson(f);
  else
    FindingText(f);
  FirstFinding = false;
}

void ReportWarning(const ZeroRunWarning& w) {
  if (!Json) {
    ConsolePrint("warning: at %" PRIx64 ": %" PRId64 " NUL bytes in a row in the text of message %u (header at %" PRIx64
                 "): an area an imaging tool filled with zeros? --mapfile tells\n",
                 (uint64_t)w.offset, w.size, w.message, (uint64_t)w.header);
  } else if (WarningCount < WarningRoom && Warnings) {
    Warnings[WarningCount++] = w;
  } else {
    WarningsOmitted += 1;
  }
}

int ReportEnd(const CheckSummary& s) {
  Verdict v = Judge(s);
  if (Json)
    SummaryJson(s, v, -1);
  else
    SummaryText(s, v, -1);
  return v == VerdictClean ? CompanionClean : CompanionProblems;
}

void ReportReadFailure(const CheckSummary& s, int64_t offset) {
  if (Json)
    SummaryJson(s, VerdictUnknown, offset);
  else
    SummaryText(s, VerdictUnknown, offset);
}
