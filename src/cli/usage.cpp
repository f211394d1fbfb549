// The usage text, exactly as the tool prints it.
#include "cli/command_line.h"

#include "core/report.h"

namespace {

const char* const UsageText =
    "Usage:\n"
    "  mendrake.exe [-<switches>] <source file> <target file>\n"
    "      or\n"
    "  mendrake.exe <dd-style options>\n"
    "Switches:\n"
    "  -o[b|k|m|g] <offset>  offset in bytes (or optionally in blocks, KBytes, MBytes or GBytes)\n"
    "                      to start recovery from\n"
    "  -L <logfile>        log errors to <logfile>\n"
    "  -l                  just dump e-mail list\n"
    "  -d[+|-]             include (+) or exclude(-) deleted messages\n"
    "  -m <num>            start from message <num>\n"
    "  -M <num>            process not more than <num>\n"
    "  -?                  display this help\n"
    "dd-style options:\n"
    "  if=<source file>\n"
    "  of=<target file>\n"
    "  seek=<offset>[units]    default unit 'b'\n"
    "                            set SRC positions\n"
    "Units:\n"
    "  o - bytes (octets)      b - blocks\n"
    "  k - KBytes)             M - MBytes             G - GBytes\n"
    "Note:\n"
    "  1 KByte = 1024 bytes\n"
    "  1 MByte = 1024 KBytes = 1024*1024 bytes\n"
    "  if byte offset or byte count is specified, it will be rounded to blocksize\n"
    "Examples:\n"
    "  mendrake.exe -o 10M X:\\mail\\messages.tbb E:\\Temp\\Restored.tbb\n"
    "    will extract messages starting from byte offset 10Mb to end of file\n";

}  // namespace

void PrintUsage(void) { ConsoleText(UsageText); }
