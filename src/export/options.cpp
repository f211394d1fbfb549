// mendrake-export's command line, as ordinary tools have it: options in any
// order, long ones also as --option=VALUE, "--" before a SOURCE that begins
// with "-", the help and version on standard output, one usage line on the
// error stream for anything malformed. Every value is read strictly: a
// value that is not exactly one of the documented forms is refused, never
// guessed at. The formats come from their table (formats.cpp).
#include <cstring>

#include "core/report.h"
#include "core/run_state.h"
#include "export/export.h"
#include "run/companion.h"

namespace {

const char Usage[] = "[-d+|-d-] [-o OFFSET] [--mapfile FILE] [--force] [-q] [--] SOURCE\n";

const char HelpText[] =
    "Takes the messages out of SOURCE (a message base, damaged or not, or a disk\n"
    "image holding one), found exactly as mendrake finds them. A message's text\n"
    "ends at the next header; it ends at its stored length instead when it is\n"
    "the last message and that length ends inside the file, or when the bytes up\n"
    "to the next header hold a NUL (a gap: no mail holds one). Bytes before the first message, after the last and in\n"
    "gaps go to no output.\n"
    "\n";

const char OptionsText[] =
    "  --force        replace an existing FILE that holds bytes (else refused)\n"
    "  -d+, -d-       include deleted messages, or leave them out (the default)\n"
    "  -o OFFSET      start from OFFSET, rounded down to 2,048: 4096, 3k, 10M, 2G,\n"
    "                 5b (blocks of 2,048 bytes), 0x1f3a0 (hexadecimal)\n"
    "  --mapfile FILE a GNU ddrescue mapfile of SOURCE: the messages that lie in\n"
    "                 areas it does not mark finished are listed\n"
    "  -q, --quiet    no progress, no summary, no lines about unreadable messages\n"
    "  -h, --help     this text (/? too on Windows)\n"
    "  -V, --version  the version\n"
    "  --             the next argument is SOURCE, even when it begins with -\n"
    "The long options also take their value after \"=\": --mbox=FILE, --eml=DIR,\n"
    "--tbb=FILE, --mapfile=FILE.\n"
    "\n"
    "The summary on standard error (a message counts once it is on disk):\n"
    "  N messages exported (D of them deleted), U without a date, A given a final line end\n"
    "  left out: L bytes before the first message, T after the last\n"
    "  G gaps, B bytes left out between messages\n"
    "With --mapfile, a line for each message hit by an unreadable area as it is\n"
    "exported (\"unreadable: message N at OFFSETHEX, B bytes affected\"); when\n"
    "bytes outside every message lie in such areas (a message may have stood\n"
    "there), \"unreadable: B bytes outside any message (L before the first, G in\n"
    "gaps, T after the last)\"; and the summary's last line: K messages hit by\n"
    "unreadable areas, B bytes affected.\n"
    "\n"
    "Exit codes: 0 done, 8 operational error (cannot open, read or write; an\n"
    "output refused; a start offset beyond the end; what was read before a read\n"
    "failure is exported), 16 usage error.\n";

// "usage: mendrake-export (--mbox FILE | --eml DIR | ...) [...] SOURCE".
void PrintUsage(void (*print)(const char* format, ...)) {
  print("usage: %s (", ExportProgramName);
  for (int k = 0; ExportFormats[k]; k++)
    print("%s%s %s", k ? " | " : "", ExportFormats[k]->option, ExportFormats[k]->value);
  print(") %s", Usage);
}

// Says what is wrong with the command line, then the usage line.
int Bad(const char* why, const char* what = "") {
  ErrorPrint("%s: %s%s\n", ExportProgramName, why, what);
  PrintUsage(ErrorPrint);
  return ParsedBad;
}

// The format whose option is `a` ("--mbox", "--mbox=VALUE"), or null.
const FormatOps* FormatOption(const char* a) {
  for (int k = 0; ExportFormats[k]; k++)
    if (IsLongOption(a, ExportFormats[k]->option)) return ExportFormats[k];
  return nullptr;
}

}  // namespace

int ParseExportOptions(int count, char** args) {
  ExportSettings = ExportSettingsRecord();
  bool options_over = false;
  for (int k = 1; k < count; k++) {
    const char* a = args[k];
    const char* value = nullptr;
    const FormatOps* format = nullptr;
    if (!options_over && IsHelpOption(a)) {
      PrintUsage(ConsolePrint);
      ConsoleText(HelpText);
      for (int f = 0; ExportFormats[f]; f++) ConsoleText(ExportFormats[f]->help);
      ConsoleText(OptionsText);
      return ParsedDone;
    } else if (options_over || a[0] != '-' || !a[1]) {
      if (RunState.SourcePath) return Bad("more than one source: ", a);
      RunState.SourcePath = a;
    } else if (!strcmp(a, "--")) {
      options_over = true;
    } else if ((format = FormatOption(a)) != nullptr) {
      value = LongValue(count, args, &k);
      if (ExportSettings.Format) return Bad("more than one output: ", a);
      if (!value || !*value) return Bad("no name given to ", format->option);
      ExportSettings.Format = format;
      ExportSettings.Output = value;
    } else if (IsLongOption(a, "--mapfile")) {
      if (ExportSettings.Mapfile) return Bad("more than one mapfile");
      value = LongValue(count, args, &k);
      if (!value || !*value) return Bad("no name given to --mapfile");
      ExportSettings.Mapfile = value;
    } else if (!strcmp(a, "--force")) {
      ExportSettings.Force = true;
    } else if (!strcmp(a, "-d+") || !strcmp(a, "-d-")) {
      RunState.ExcludeDeleted = a[2] == '-';
    } else if (!strcmp(a, "-o")) {
      if (k + 1 >= count) return Bad("no offset given to -o");
      if (!TakeCompanionOffset(ExportProgramName, args[++k], &RunState.StartOffset)) {
        PrintUsage(ErrorPrint);
        return ParsedBad;
      }
    } else if (!strcmp(a, "-q") || !strcmp(a, "--quiet")) {
      ExportSettings.Quiet = true;
    } else if (!strcmp(a, "-V") || !strcmp(a, "--version")) {
      ConsoleText("mendrake-export " MENDRAKE_VERSION "\n");
      return ParsedDone;
    } else {
      return Bad("unknown option ", a);
    }
  }
  if (!ExportSettings.Format) return Bad("no output given: --mbox FILE, --eml DIR or --tbb FILE");
  if (!RunState.SourcePath || !*RunState.SourcePath) return Bad("no source given");
  return ParsedRun;
}
