// The command line: banner, profile, the two syntaxes and the usage text.
#pragma once
#include <cstdint>

// Prints the banner, takes the argument list of the platform's profile,
// parses it and carries out the run. Returns the process's exit code.
int StartProgram(int argc, char** argv);

// The argument list of the platform's profile, program name first: the
// narrow command line split as the legacy profile splits it, or the
// system's own list. Null when no memory was to be had.
char** ProgramArguments(int argc, char** argv, int* count);

// Fills RunState's settings from args[1 .. count-1]. Returns 1 when the
// command line is complete, 0 when it is malformed (the usage text has been
// printed; the run ends with exit code 0).
int ParseCommandLine(int count, char** args);

// Prints the usage text.
void PrintUsage(void);

// Splits a narrow command line into arguments (quotes group, backslashes are
// ordinary). Returns the argument array, null-terminated, with *count set;
// null when no memory was to be had.
char** SplitCommandLine(const char* text, int* count);

enum UnitNote { UnitNoteNone = 0, UnitNoteBytes, UnitNoteBlocks };

// Returns the multiplier named by the first unit letter in text ("b" blocks,
// "k" KiB, "M"/"m" MiB, "G"/"g" GiB); 1 when there is none ("o" is bytes).
uint64_t ParseUnitSuffix(const char* text, int* unit_note);

// Reads a leading decimal number as scanf's "%d" / "%I64d" would: white
// space, an optional sign, digits. Returns 1 when a number was read into
// *value, 0 when none could be read (*value unchanged), -1 when it does not
// fit its destination.
int ReadDecimal32(const char* text, int32_t* value);
int ReadDecimal64(const char* text, int64_t* value);
