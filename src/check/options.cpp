// The checker's command line: options in any order, each value read
// strictly; the help and version on standard output, one line saying what is
// wrong and the usage line on the error stream for anything malformed.
#include <cstring>

#include "check/check.h"
#include "core/report.h"
#include "run/companion.h"

namespace {

const char* const Usage = "usage: mendrake-check [-o OFFSET] [--mapfile FILE] [--json] [--] BASE\n";

const char* const Help =
    "usage: mendrake-check [-o OFFSET] [--mapfile FILE] [--json] [--] BASE\n"
    "Judges a TBB message base (or a disk image holding one) as a mail client\n"
    "reads it: follows the stored lengths from the first message header, then\n"
    "finds every header the way mendrake does and reports each length that does\n"
    "not lead to the next one, each gap between messages, and the runs of\n"
    "messages the gaps part. Reads BASE (once, but for a message with thousands\n"
    "of headers inside) and never writes to it.\n"
    "\n"
    "  -o OFFSET       judge from OFFSET: a decimal number with an optional unit\n"
    "                  (o bytes, b blocks of 2048, k, M or m, G or g) or a\n"
    "                  hexadecimal one with 0x; rounded down to 2048 bytes\n"
    "  --mapfile FILE  the GNU ddrescue mapfile of the image (or --mapfile=FILE):\n"
    "                  names each message, and the bytes before, between and\n"
    "                  after them, that lie partly in areas not read\n"
    "  --json          the findings as one JSON object\n"
    "  --              the next argument is BASE, even when it begins with -\n"
    "  -h, --help      this text (/? too on Windows)\n"
    "  -V, --version   the version\n"
    "\n"
    "Offsets in the report are hexadecimal, as in mendrake's message list.\n"
    "The last line is the verdict: clean; damaged, with the command that\n"
    "repairs it (mendrake when only lengths need mending in a file, else\n"
    "mendrake-export --tbb, which writes the messages alone; with -d+ when\n"
    "every message found is deleted) or with the ddrescue retry that areas\n"
    "not read need; no message base found; or unknown, when a read failed.\n"
    "Without a mapfile, a run of 512 or more NUL bytes in a message is a\n"
    "warning.\n"
    "\n"
    "Exit status: 0 clean, 4 problems found (none corrected) or no message\n"
    "base found, 8 operational error (cannot open, a read failure, a start\n"
    "offset beyond the end, a report that cannot be written), 16 usage error.\n";

int BadCommandLine(const char* why, const char* what) {
  ErrorPrint("mendrake-check: %s%s\n%s", why, what, Usage);
  return CompanionUsage;
}

}  // namespace

int ParseCheckCommandLine(int count, char** args, CheckSettings* settings) {
  *settings = CheckSettings();
  bool options_end = false;
  for (int k = 1; k < count; k++) {
    const char* a = args[k];
    if (options_end || a[0] != '-' || a[1] == '\0') {
      if (IsHelpOption(a) && !options_end) {
        ConsoleText(Help);
        return CompanionClean;
      }
      if (settings->base) return BadCommandLine("more than one base: ", a);
      if (!*a) return BadCommandLine("an empty base name", "");
      settings->base = a;
    } else if (strcmp(a, "--") == 0) {
      options_end = true;
    } else if (strcmp(a, "--json") == 0) {
      settings->json = true;
    } else if (strcmp(a, "-o") == 0) {
      if (k + 1 >= count) return BadCommandLine("no value after ", a);
      if (!TakeCompanionOffset("mendrake-check", args[++k], &settings->start)) {
        ErrorPrint("%s", Usage);
        return CompanionUsage;
      }
    } else if (IsLongOption(a, "--mapfile")) {
      const char* value = LongValue(count, args, &k);
      if (!value) return BadCommandLine("no value after ", a);
      if (!*value) return BadCommandLine("an empty mapfile name", "");
      settings->mapfile = value;
    } else if (IsHelpOption(a)) {
      ConsoleText(Help);
      return CompanionClean;
    } else if (strcmp(a, "-V") == 0 || strcmp(a, "--version") == 0) {
      ConsoleText("mendrake-check " MENDRAKE_VERSION "\n");
      return CompanionClean;
    } else {
      return BadCommandLine("unknown option ", a);
    }
  }
  if (!settings->base) return BadCommandLine("no base given", "");
  return -1;
}
