// The checker's command line: getopt-style long options, one base.
#include <cstring>

#include "check/check.h"
#include "core/report.h"
#include "run/companion.h"

namespace {

const char* const Usage = "usage: mendrake-check [--json] BASE\n";

const char* const Help =
    "usage: mendrake-check [--json] BASE\n"
    "Judges a TBB message base (or a disk image holding one) as a mail client\n"
    "reads it: follows the stored lengths from the first message header, then\n"
    "finds every header the way mendrake does and reports each length that does\n"
    "not lead to the next one. Reads BASE once and never writes to it.\n"
    "\n"
    "  --json         the findings as one JSON object\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "\n"
    "Offsets in the report are hexadecimal, as in mendrake's message list.\n"
    "The last line is the verdict: clean, damaged (with the mendrake command\n"
    "that repairs the lengths), or no message base found.\n"
    "\n"
    "Exit status: 0 clean, 4 problems found (none corrected), 8 operational\n"
    "error (cannot open, read failure), 16 usage error.\n";

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
    if (!options_end && a[0] == '-' && a[1] != '\0') {
      if (strcmp(a, "--") == 0) {
        options_end = true;
      } else if (strcmp(a, "--json") == 0) {
        settings->json = true;
      } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
        ConsoleText(Help);
        return CompanionClean;
      } else if (strcmp(a, "-V") == 0 || strcmp(a, "--version") == 0) {
        ConsoleText("mendrake-check " MENDRAKE_VERSION "\n");
        return CompanionClean;
      } else {
        return BadCommandLine("unknown option ", a);
      }
    } else if (settings->base) {
      return BadCommandLine("more than one base: ", a);
    } else {
      settings->base = a;
    }
  }
  if (!settings->base) return BadCommandLine("no base given", "");
  return -1;
}
