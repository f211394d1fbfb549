// mendrake-export's command line, as ordinary tools have it: options in any
// order, the help and version on standard output, one usage line on the
// error stream for anything malformed. The start offset is read as
// mendrake reads its own (a number, then a unit letter anywhere after it).
#include <cstring>

#include "cli/command_line.h"
#include "core/report.h"
#include "core/run_state.h"
#include "export/export.h"

namespace {

const char UsageLine[] = "usage: mendrake-export (--mbox FILE | --eml DIR) [-d+|-d-] [-o OFFSET] [-q] SOURCE\n";

const char HelpText[] =
    "Takes the messages out of SOURCE (a message base, damaged or not, or a disk\n"
    "image holding one), found exactly as mendrake finds them.\n"
    "\n"
    "  --mbox FILE    one mbox file (mboxrd: \"From \" lines quoted with \">\", LF line ends)\n"
    "  --eml DIR      one .eml file per message (CR LF line ends), named\n"
    "                 NNNNN-OFFSETHEX-Subject_slug.eml; DIR is created when missing\n"
    "  -d+            include deleted messages (-d-, the default, leaves them out)\n"
    "  -o OFFSET      start from OFFSET: 4096, 10M, 3k, 2G; b = blocks of 2,048 bytes\n"
    "  -q, --quiet    no progress and no summary\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "\n"
    "Exit codes: 0 done, 8 operational error (cannot open, read or write; what was\n"
    "read before a read failure is exported), 16 usage error.\n";

int Bad(void) {
  ErrorPrint("%s", UsageLine);
  return ParsedBad;
}

// The start offset: a non-negative number, times its unit.
bool ReadOffset(const char* text) {
  int64_t value = 0;
  if (ReadDecimal64(text, &value) != 1 || value < 0) return false;
  int note;
  uint64_t unit = ParseUnitSuffix(text, &note);
  if ((uint64_t)value > (uint64_t)INT64_MAX / unit) return false;
  RunState.StartOffset = (int64_t)((uint64_t)value * unit);
  return true;
}

bool SetOutput(ExportFormat format, const char* path) {
  if (ExportSettings.Format != FormatNone || !*path) return false;
  ExportSettings.Format = format;
  ExportSettings.Output = path;
  return true;
}

}  // namespace

int ParseExportOptions(int count, char** args) {
  ExportSettings = ExportSettingsRecord();
  bool options_over = false;
  for (int k = 1; k < count; k++) {
    const char* a = args[k];
    if (options_over || a[0] != '-' || !a[1]) {
      if (RunState.SourcePath) return Bad();
      RunState.SourcePath = a;
    } else if (!strcmp(a, "--")) {
      options_over = true;
    } else if (!strcmp(a, "--mbox") || !strcmp(a, "--eml")) {
      if (k + 1 >= count || !SetOutput(a[2] == 'm' ? FormatMbox : FormatEml, args[++k])) return Bad();
    } else if (!strncmp(a, "--mbox=", 7) || !strncmp(a, "--eml=", 6)) {
      if (!SetOutput(a[2] == 'm' ? FormatMbox : FormatEml, strchr(a, '=') + 1)) return Bad();
    } else if (!strcmp(a, "-d+") || !strcmp(a, "-d-")) {
      RunState.ExcludeDeleted = a[2] == '-';
    } else if (!strcmp(a, "-o")) {
      if (k + 1 >= count || !ReadOffset(args[++k])) return Bad();
    } else if (!strcmp(a, "-q") || !strcmp(a, "--quiet")) {
      ExportSettings.Quiet = true;
    } else if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
      ConsoleText(UsageLine);
      ConsoleText(HelpText);
      return ParsedDone;
    } else if (!strcmp(a, "-V") || !strcmp(a, "--version")) {
      ConsoleText("mendrake-export " MENDRAKE_VERSION "\n");
      return ParsedDone;
    } else {
      return Bad();
    }
  }
  if (ExportSettings.Format == FormatNone || !RunState.SourcePath || !*RunState.SourcePath) return Bad();
  return ParsedRun;
}
