// The checker's report: as text for a person, or as one JSON object for a
// script. Findings are printed as the reading finds them, so a base with a
// million broken lengths needs no memory for them; the summary and the
// verdict follow at the end.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "check/check.h"
#include "core/platform.h"
#include "core/report.h"
#include "run/companion.h"

namespace {

const char* Base = "";
bool Json = false;
bool FirstFinding = true;

// A path as a JSON string: quotes, backslashes and control bytes escaped;
// bytes that are not ASCII pass as they are (paths are UTF-8 here).
void JsonString(const char* text) {
  ConsoleText("\"");
  for (const char* p = text; *p; p++) {
    unsigned char c = (unsigned char)*p;
    if (c == '"' || c == '\\')
      ConsolePrint("\\%c", c);
    else if (c < 0x20 || c == 0x7F)
      ConsolePrint("\\u%04x", c);
    else
      ConsolePrint("%c", c);
  }
  ConsoleText("\"");
}

// Appends a path to `out` as a command-line word: bare when plain, else in
// double quotes (read alike by a POSIX shell and by the Windows command
// prompt); with `suffix` in place of a ".tbb" ending.
char* CommandWord(char* out, const char* path, const char* suffix) {
  bool plain = *path != '\0';
  for (const char* p = path; *p; p++)
    if (!strchr("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./\\:+,@%-", *p)) plain = false;
  size_t n = strlen(path);
  if (suffix && n > 4 && (strcmp(path + n - 4, ".tbb") == 0 || strcmp(path + n - 4, ".TBB") == 0)) n -= 4;
  if (!plain) *out++ = '"';
  memcpy(out, path, n);
  out += n;
  if (suffix) out += strlen(strcpy(out, suffix));
  if (!plain) *out++ = '"';
  *out = '\0';
  return out;
}

// The recovery that mends the lengths, from the block holding the first
// header when the base lies further inside a larger file. Returns the
// command in an area the caller releases, or null.
const char* RepairCommand(const CheckSummary& s) {
  size_t room = 2 * strlen(Base) + 96;
  char* text = (char*)Platform.Allocate(room, 1);
  if (!text) return nullptr;
  int64_t from = s.first_header - s.first_header % 2048;
  char* out = text + snprintf(text, room, from > 0 ? "mendrake -o %" PRId64 " " : "mendrake ", from);
  out = CommandWord(out, Base, nullptr);
  *out++ = ' ';
  CommandWord(out, Base, "-repaired.tbb");
  return text;
}

void FindingText(const Finding& f) {
  switch (f.kind) {
    case FindingBrokenLength:
      ConsolePrint("at %" PRIx64 ": broken MsgLength %d, should be %" PRId64 "\n", (uint64_t)f.header,
                   (int32_t)f.stored_length, f.right_length);
      break;
    case FindingNegativeLength:
      ConsolePrint("at %" PRIx64 ": wrong message length %#x\n", (uint64_t)f.header, f.stored_length);
      break;
    case FindingCutOff:
      ConsolePrint("at %" PRIx64 ": broken MsgLength %d, should be %" PRId64 " (cut off: it runs %" PRId64
                   " bytes past the end of the file)\n",
                   (uint64_t)f.header, (int32_t)f.stored_length, f.right_length, f.size);
      break;
    case FindingTrailingBytes:
      ConsolePrint("at %" PRIx64 ": %" PRId64 " trailing bytes after the last message\n", (uint64_t)f.header, f.size);
      break;
  }
}

void FindingJson(const Finding& f) {
  ConsoleText(FirstFinding ? "\n    " : ",\n    ");
  switch (f.kind) {
    case FindingBrokenLength:
      ConsolePrint("{\"kind\": \"broken_length\", \"header\": %" PRId64 ", \"stored_length\": %u, \"right_length\": %" PRId64
                   "}",
                   f.header, f.stored_length, f.right_length);
      break;
    case FindingNegativeLength:
      ConsolePrint("{\"kind\": \"negative_length\", \"header\": %" PRId64 ", \"stored_length\": %u}", f.header,
                   f.stored_length);
      break;
    case FindingCutOff:
      ConsolePrint("{\"kind\": \"cut_off\", \"header\": %" PRId64 ", \"stored_length\": %u, \"right_length\": %" PRId64
                   ", \"missing_bytes\": %" PRId64 "}",
                   f.header, f.stored_length, f.right_length, f.size);
      break;
    case FindingTrailingBytes:
      ConsolePrint("{\"kind\": \"trailing_bytes\", \"offset\": %" PRId64 ", \"size\": %" PRId64 "}", f.header, f.size);
      break;
  }
}

enum Verdict { VerdictClean, VerdictDamaged, VerdictNoBase, VerdictUnknown };

Verdict Judge(const CheckSummary& s) {
  if (s.first_header < 0) return VerdictNoBase;
  return s.problems ? VerdictDamaged : VerdictClean;
}

const char* Messages(uint32_t n) { return n == 1 ? "message" : "messages"; }

void SummaryText(const CheckSummary& s, Verdict v, int64_t failed_at) {
  if (s.first_header < 0) {
    if (failed_at >= 0)
      ConsolePrint("verdict: unknown; the reading failed at offset %" PRId64 " before any message header\n", failed_at);
    else
      ConsoleText("verdict: no message base found\n");
    return;
  }
  ConsolePrint("leading bytes: %" PRId64 ", before the first message header at %" PRIx64 "\n", s.first_header,
               (uint64_t)s.first_header);
  if (failed_at >= 0)
    ConsolePrint("walk: a mail client reads %u %s before offset %" PRId64 "\n", s.walk_messages, Messages(s.walk_messages), failed_at);
  else if (s.walk_stop < 0)
    ConsolePrint("walk: a mail client reads %u %s, to %s\n", s.walk_messages, Messages(s.walk_messages), s.walk_reason);
  else
    ConsolePrint("walk: a mail client reads %u %s and stops at %" PRIx64 ": %s (the message at %" PRIx64 ")\n",
                 s.walk_messages, Messages(s.walk_messages), (uint64_t)s.walk_stop, s.walk_reason, (uint64_t)s.walk_stop_header);
  ConsolePrint("messages: %u found, %u of them deleted\n", s.messages, s.deleted);
  if (failed_at >= 0) {
    ConsolePrint("verdict: unknown; the reading failed at offset %" PRId64 "\n", failed_at);
    return;
  }
  if (s.trailing > 0)
    ConsolePrint("base ends at %" PRIx64 " (%" PRId64 "); %" PRId64 " bytes follow\n", (uint64_t)s.base_end,
                 s.base_end, s.trailing);
  if (v == VerdictClean) {
    ConsoleText("verdict: clean\n");
  } else if (s.length_problems) {
    const char* command = RepairCommand(s);
    ConsolePrint("verdict: damaged; repair with: %s\n", command ? command : "mendrake");
    if (command) Platform.Release((void*)command);
  } else {
    ConsolePrint("verdict: damaged; the messages end at offset %" PRId64 " (%" PRIx64 "): the %" PRId64
                 " bytes after them are not mail\n",
                 s.base_end, (uint64_t)s.base_end, s.trailing);
  }
}

void SummaryJson(const CheckSummary& s, Verdict v, int64_t failed_at) {
  ConsoleText(FirstFinding ? "],\n" : "\n  ],\n");
  if (s.first_header < 0) {
    ConsoleText("  \"leading_bytes\": null,\n  \"first_header\": null,\n");
  } else {
    ConsolePrint("  \"leading_bytes\": %" PRId64 ",\n  \"first_header\": %" PRId64 ",\n", s.first_header,
                 s.first_header);
  }
  ConsolePrint("  \"messages\": %u,\n  \"deleted\": %u,\n", s.messages, s.deleted);
  ConsolePrint("  \"walk\": {\"messages\": %u, ", s.walk_messages);
  if (s.walk_stop < 0)
    ConsoleText("\"stop\": null, \"stop_header\": null, ");
  else
    ConsolePrint("\"stop\": %" PRId64 ", \"stop_header\": %" PRId64 ", ", s.walk_stop, s.walk_stop_header);
  ConsoleText("\"reason\": ");
  JsonString(s.walk_reason);
  ConsoleText("},\n");
  if (failed_at >= 0) ConsolePrint("  \"read_failed_at\": %" PRId64 ",\n", failed_at);
  if (s.first_header < 0 || failed_at >= 0)
    ConsoleText("  \"trailing_bytes\": null,\n  \"base_end\": null,\n");
  else
    ConsolePrint("  \"trailing_bytes\": %" PRId64 ",\n  \"base_end\": %" PRId64 ",\n", s.trailing, s.base_end);
  static const char* names[] = {"clean", "damaged", "no message base found", "unknown"};
  ConsolePrint("  \"verdict\": \"%s\",\n  \"repair\": ", names[v]);
  const char* command = v == VerdictDamaged && s.length_problems ? RepairCommand(s) : nullptr;
  if (command) {
    JsonString(command);
    Platform.Release((void*)command);
  } else {
    ConsoleText("null");
  }
  ConsoleText("\n}\n");
}

}  // namespace

void ReportStart(const CheckSettings& settings, int64_t size) {
  Base = settings.base;
  Json = settings.json;
  FirstFinding = true;
  if (Json) {
    ConsoleText("{\n  \"base\": ");
    JsonString(Base);
    ConsolePrint(",\n  \"size\": %" PRId64 ",\n  \"problems\": [", size);
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
