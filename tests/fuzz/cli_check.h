// The command-line parser over arbitrary argument vectors and the legacy
// splitter over arbitrary command-line text. Shared by the command-line
// fuzzer and the unit test that replays its regression inputs.
//
// Input: byte 0 even: the rest is an argument vector, arguments separated by
// zero bytes (the program name comes first, fixed); odd: the rest is one
// command-line text for the splitter.
#pragma once
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "core/run_state.h"
#include "test_platform.h"

namespace clicheck {

// The usage text as the parser prints it for a malformed command line.
inline std::string UsageText(void) {
  MemConsole().clear();
  PrintUsage();
  std::string text = MemConsole();
  MemConsole().clear();
  return text;
}

// The splitting rules, stated plainly: separators end an argument outside
// quotes, quotes group and are dropped, everything else is copied.
inline std::vector<std::string> ReferenceSplit(const std::string& text) {
  std::vector<std::string> out;
  std::string current;
  bool in_quotes = false, in_token = false;
  for (char c : text) {
    if (in_quotes) {
      if (c == '"') in_quotes = false;
      else current += c;
    } else if (c == '\t' || c == '\n' || c == '\r' || c == ' ') {
      if (in_token) out.push_back(current);
      current.clear();
      in_token = false;
    } else {
      if (c == '"') in_quotes = true;
      else current += c;
      in_token = true;
    }
  }
  if (in_token) out.push_back(current);
  return out;
}

inline std::string CheckSplit(const std::string& text) {
  int count = -1;
  char** args = SplitCommandLine(text.c_str(), &count);
  if (!args) return "the splitter found no memory\n";
  std::string problems;
  std::vector<std::string> got;
  int slots = 0;
  while (args[slots]) got.push_back(args[slots++]);
  if (slots != count) problems += "the count differs from the arguments in the slots\n";
  if ((size_t)count > (text.size() + 2) / 2) problems += "more arguments than slots\n";
  if (got != ReferenceSplit(text)) problems += "the arguments differ from the splitting rules\n";
  Platform.Release(args);
  return problems;
}

// A leading decimal as "%d" / "%I64d" read it, with the range check strtoll
// gives: 1 read, 0 none, -1 out of range.
inline int ReferenceDecimal(const char* text, int64_t lo, int64_t hi, int64_t* value) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  if (*p == '+' || *p == '-') p++;
  if (*p < '0' || *p > '9') return 0;
  errno = 0;
  long long v = strtoll(text, nullptr, 10);
  if (errno == ERANGE || v < lo || v > hi) return -1;
  *value = v;
  return 1;
}

inline std::string CheckArguments(std::vector<std::string> args) {
  std::string problems;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  for (size_t k = 1; k < args.size(); k++) {
    int32_t v32 = 7;
    int64_t v64 = 7, r = 7;
    int e32 = ReferenceDecimal(argv[k], INT32_MIN, INT32_MAX, &r);
    if (ReadDecimal32(argv[k], &v32) != e32 || (e32 == 1 && v32 != r)) problems += "ReadDecimal32 misreads\n";
    int e64 = ReferenceDecimal(argv[k], INT64_MIN, INT64_MAX, &r);
    if (ReadDecimal64(argv[k], &v64) != e64 || (e64 == 1 && v64 != r)) problems += "ReadDecimal64 misreads\n";
    int note = UnitNoteNone;
    uint64_t unit = ParseUnitSuffix(argv[k], &note);
    if (unit != 1 && unit != 2048 && unit != 1024 && unit != 1048576 && unit != 1073741824)
      problems += "ParseUnitSuffix gave an unknown multiplier\n";
  }
  std::string usage = UsageText();
  ResetRunState();
  MemConsole().clear();
  int complete = ParseCommandLine((int)args.size(), argv.data());
  if (complete) {
    // Settings: a source, a target unless listing, a start offset in range,
    // paths that are the arguments' own texts.
    if (!MemConsole().empty()) problems += "a complete command line printed something\n";
    if (!RunState.SourcePath) problems += "complete without a source\n";
    if (!RunState.TargetPath && !RunState.ListOnly) problems += "complete without a target\n";
    if (RunState.StartOffset < 0) problems += "a negative start offset passed\n";
    auto inside = [&](const char* p) {
      if (!p) return true;
      for (char* a : argv)
        if (a && p >= a && p <= a + strlen(a)) return true;
      return false;
    };
    if (!inside(RunState.SourcePath) || !inside(RunState.TargetPath) || !inside(RunState.LogPath))
      problems += "a path points outside the arguments\n";
  } else if (MemConsole() != usage) {
    problems += "a malformed command line printed something other than the usage text\n";
  }
  ResetRunState();
  return problems;
}

inline std::string CheckCliInput(const uint8_t* in, size_t n) {
  if (n == 0) return "";
  MemReset();
  std::string rest((const char*)in + 1, n - 1);
  if (in[0] & 1) return CheckSplit(rest.substr(0, rest.find('\0')));
  std::vector<std::string> args = {"mendrake"};
  size_t at = 0;
  while (at <= rest.size() && args.size() < 200) {
    size_t end = rest.find('\0', at);
    if (end == std::string::npos) end = rest.size();
    args.push_back(rest.substr(at, end - at));
    at = end + 1;
  }
  return CheckArguments(args);
}

}  // namespace clicheck
