// The command line: both syntaxes, units and offsets, number reading, the
// usage text on every malformed command line, and the legacy splitter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "core/run_state.h"
#include "test_platform.h"

namespace {

const char* const Usage =
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

// The arguments of the last Parse; RunState points into them.
std::vector<std::string> Held;
std::vector<char*> HeldArgv;

// Parses "mendrake" followed by args into a fresh RunState.
int Parse(const std::vector<std::string>& args) {
  MemReset();
  ResetRunState();
  Held = {"mendrake"};
  Held.insert(Held.end(), args.begin(), args.end());
  HeldArgv.clear();
  for (std::string& a : Held) HeldArgv.push_back(&a[0]);
  HeldArgv.push_back(nullptr);
  return ParseCommandLine((int)Held.size(), HeldArgv.data());
}

std::string Text(const char* s) { return s ? s : "<absent>"; }

class CommandLine : public ::testing::Test {
 protected:
  void TearDown() override { MemRestore(); }
};

TEST_F(CommandLine, MalformedCommandLinesPrintTheUsageText) {
  const std::vector<std::vector<std::string>> bad = {
      {},                                   // too few arguments
      {"src"},                              // too few arguments
      {"-?", "src", "dst"},                 // "?" is no switch
      {"-z", "src", "dst"},
      {"-K", "src", "dst"},
      {"src", "dst", "-L"},                 // switch arguments missing
      {"src", "dst", "-m"},
      {"src", "dst", "-M"},
      {"src", "dst", "-o"},
      {"src", "dst", "-ok"},
      {"src", "dst", "third"},              // a third path
      {"of=dst", "-x"},                     // no source
      {"-l", "of=dst"},
      {"dst", "if=src"},                    // a path fills the source first
      {"src", "-d+"},                       // no target outside list-only
      {"-l", "-x", "src"},
      {"-l", "-a", "src"},
      {"seek=-1", "src", "dst"},            // negative offsets
      {"-o", "-4096", "src", "dst"},
      {"-ok", "-1", "src", "dst"},
      {"-m", "2147483648", "src", "dst"},   // beyond signed 32 bits
      {"-m", "-2147483649", "src", "dst"},
      {"-M", "4294967295", "src", "dst"},
      {"seek=9223372036854775808", "src", "dst"},  // beyond signed 64 bits
      {"-o", "99999999999999999999", "src", "dst"},
      {"seek=9007199254740992k", "src", "dst"},    // 2^63 once scaled
      {"seek=8589934592G", "src", "dst"},
      {"-ob", "4503599627370496", "src", "dst"},
      {"seek=9007199254740992", "-ok", "x", "src", "dst"},
  };
  for (const auto& args : bad) {
    std::string line;
    for (const std::string& a : args) line += " " + a;
    EXPECT_EQ(0, Parse(args)) << line;
    EXPECT_EQ(Usage, MemConsole()) << line;
  }
}

TEST_F(CommandLine, UsageRunEndsWithExitZeroAndOpensNothing) {
  MemReset();
  MemPutText("src", "x");
  EXPECT_EQ(0, MemRun({"mendrake", "src", "dst", "-m"}));
  EXPECT_EQ(std::string("Quillbase recovery utility v1.0\nHome site https://mendrake.example.org/\n") + Usage,
            MemConsole());
  EXPECT_EQ(0, MemCount().opens);
  EXPECT_FALSE(MemExists("dst"));
}

struct Settings {
  std::vector<std::string> args;
  const char* source;
  const char* target;
  const char* log;
  bool list_only;
  bool exclude_deleted;
  int32_t start_message;
  uint32_t max_messages;
};

TEST_F(CommandLine, SwitchesPathsAndBothSyntaxes) {
  const Settings cases[] = {
      {{"src", "dst"}, "src", "dst", nullptr, false, true, 0, 0},
      {{"if=src", "of=dst"}, "src", "dst", nullptr, false, true, 0, 0},
      {{"of=dst", "src"}, "src", "dst", nullptr, false, true, 0, 0},
      {{"if=src", "dst"}, "src", "dst", nullptr, false, true, 0, 0},
      {{"if=a", "if=src", "of=b", "of=dst"}, "src", "dst", nullptr, false, true, 0, 0},
      {{"if=", "of="}, "", "", nullptr, false, true, 0, 0},
      {{"-l", "src"}, "src", nullptr, nullptr, true, true, 0, 0},
      {{"-l", "-x", "src", "dst"}, "src", "dst", nullptr, false, true, 0, 0},
      {{"-x", "-l", "src"}, "src", nullptr, nullptr, true, true, 0, 0},
      {{"-ld+", "src"}, "src", nullptr, nullptr, true, true, 0, 0},
      {{"-d+", "src", "dst"}, "src", "dst", nullptr, false, false, 0, 0},
      {{"-d+", "-d-", "src", "dst"}, "src", "dst", nullptr, false, true, 0, 0},
      {{"-d+", "-d", "src", "dst"}, "src", "dst", nullptr, false, false, 0, 0},
      {{"-d+", "-dx", "src", "dst"}, "src", "dst", nullptr, false, false, 0, 0},
      {{"-", "src", "dst"}, "src", "dst", nullptr, false, true, 0, 0},
      {{"- l", "src", "dst"}, "src", "dst", nullptr, false, true, 0, 0},
      {{"-L", "one", "log=two", "src", "dst"}, "src", "dst", "two", false, true, 0, 0},
      {{"log=one", "-L", "-l", "src", "dst"}, "src", "dst", "-l", false, true, 0, 0},
      {{"-m", "-5", "-M", "7", "src", "dst"}, "src", "dst", nullptr, false, true, -5, 7},
      {{"-m", " +12abc", "-M", "-1", "src", "dst"}, "src", "dst", nullptr, false, true, 12, 0xFFFFFFFFu},
      {{"-m", "xyz", "-M", "2147483647", "src", "dst"}, "src", "dst", nullptr, false, true, 0, 2147483647u},
      {{"-m", "-2147483648", "src", "dst"}, "src", "dst", nullptr, false, true, INT32_MIN, 0},
  };
  for (const Settings& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += " " + a;
    ASSERT_EQ(1, Parse(c.args)) << line;
    EXPECT_EQ("", MemConsole()) << line;
    EXPECT_EQ(Text(c.source), Text(RunState.SourcePath)) << line;
    EXPECT_EQ(Text(c.target), Text(RunState.TargetPath)) << line;
    EXPECT_EQ(Text(c.log), Text(RunState.LogPath)) << line;
    EXPECT_EQ(c.list_only, RunState.ListOnly) << line;
    EXPECT_EQ(c.exclude_deleted, RunState.ExcludeDeleted) << line;
    EXPECT_EQ(c.start_message, RunState.StartMessage) << line;
    EXPECT_EQ(c.max_messages, RunState.MaxMessages) << line;
    EXPECT_EQ(0, RunState.StartOffset) << line;
  }
}

TEST_F(CommandLine, StartOffsetsAndUnits) {
  struct {
    std::vector<std::string> options;
    int64_t offset;
    uint64_t multiplier;
  } cases[] = {
      {{"-o", "10M"}, 10485760, 1048576},
      {{"-ok", "10"}, 10240, 1024},
      {{"-o", "4096"}, 4096, 1},
      {{"-ob", "3"}, 6144, 2048},
      {{"-om", "2"}, 2097152, 1048576},
      {{"-oG", "1"}, 1073741824, 1073741824},
      {{"-oo", "3k"}, 3072, 1024},          // "o" is no multiplier: the value's unit
      {{"-ok", "3M"}, 3072, 1024},          // the switch's own unit decides
      {{"seek=4k"}, 4096, 1024},
      {{"seek=3M"}, 3145728, 1048576},
      {{"seek=5G"}, 5368709120LL, 1073741824},
      {{"seek=2g"}, 2147483648LL, 1073741824},
      {{"seek=7"}, 7, 1},
      {{"seek=5000"}, 5000, 1},
      {{"seek=xyz"}, 0, 1},
      {{"seek=3b"}, 6144, 2048},
      {{"seek=4kb"}, 4096, 1024},
      {{"seek=3bk"}, 6144, 2048},
      {{"seek=1K"}, 1, 1},
      {{"seek=9o"}, 9, 1},
      {{"seek= 12"}, 12, 1},
      {{"seek=9223372036854775807"}, INT64_MAX, 1},
      {{"seek=4503599627370495b"}, INT64_MAX - 2047, 2048},
      {{"seek=3k", "-o", "xyz"}, 3072, 1},     // no number: the offset stays
      {{"seek=2k", "-ok", "x"}, 2097152, 1024},  // ... and is scaled again
      {{"seek=8", "seek=x"}, 8, 1},
      {{"-o", "7", "seek=1k"}, 1024, 1024},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.options;
    args.push_back("src");
    args.push_back("dst");
    std::string line;
    for (const std::string& a : c.options) line += " " + a;
    ASSERT_EQ(1, Parse(args)) << line << "\n" << MemConsole();
    EXPECT_EQ(c.offset, RunState.StartOffset) << line;
    EXPECT_EQ(c.multiplier, RunState.UnitMultiplier) << line;
  }
}

TEST(ParseUnitSuffix, FirstMultiplierLetterDecides) {
  struct {
    const char* text;
    uint64_t multiplier;
    int note;  // -1: left as it was
  } cases[] = {
      {"", 1, -1},          {"123", 1, -1},       {"K", 1, -1},
      {"B", 1, -1},         {"O", 1, -1},         {"o", 1, UnitNoteBytes},
      {"k", 1024, UnitNoteBytes},                 {"12k", 1024, UnitNoteBytes},
      {"M", 1048576, UnitNoteBytes},              {"m", 1048576, UnitNoteBytes},
      {"G", 1073741824, UnitNoteBytes},           {"g", 1073741824, UnitNoteBytes},
      {"b", 2048, UnitNoteBlocks},                {"ob", 2048, UnitNoteBlocks},
      {"kb", 1024, UnitNoteBytes},                {"bG", 2048, UnitNoteBlocks},
      {"xyzM", 1048576, UnitNoteBytes},
  };
  for (const auto& c : cases) {
    int note = -1;
    EXPECT_EQ(c.multiplier, ParseUnitSuffix(c.text, &note)) << c.text;
    EXPECT_EQ(c.note, note) << c.text;
  }
}

TEST(ReadDecimal, ReadsLikeScanfAndRefusesWhatDoesNotFit) {
  struct {
    const char* text;
    int r32;
    int32_t v32;
    int r64;
    int64_t v64;
  } cases[] = {
      {"42", 1, 42, 1, 42},
      {" \t\n\v\f\r-7x", 1, -7, 1, -7},
      {"+3 4", 1, 3, 1, 3},
      {"007", 1, 7, 1, 7},
      {"", 0, 99, 0, 99},
      {"x1", 0, 99, 0, 99},
      {"-", 0, 99, 0, 99},
      {"- 5", 0, 99, 0, 99},
      {"2147483647", 1, INT32_MAX, 1, 2147483647},
      {"-2147483648", 1, INT32_MIN, 1, -2147483648LL},
      {"2147483648", -1, 99, 1, 2147483648LL},
      {"-2147483649", -1, 99, 1, -2147483649LL},
      {"9223372036854775807", -1, 99, 1, INT64_MAX},
      {"-9223372036854775808", -1, 99, 1, INT64_MIN},
      {"9223372036854775808", -1, 99, -1, 99},
      {"-9223372036854775809", -1, 99, -1, 99},
      {"184467440737095516160000", -1, 99, -1, 99},
  };
  for (const auto& c : cases) {
    int32_t v32 = 99;
    int64_t v64 = 99;
    EXPECT_EQ(c.r32, ReadDecimal32(c.text, &v32)) << c.text;
    EXPECT_EQ(c.v32, v32) << c.text;
    EXPECT_EQ(c.r64, ReadDecimal64(c.text, &v64)) << c.text;
    EXPECT_EQ(c.v64, v64) << c.text;
  }
}

TEST(SplitCommandLine, QuotesGroupAndBackslashesAreOrdinary) {
  struct {
    const char* text;
    std::vector<std::string> args;
  } cases[] = {
      {"prog \"my file.tbb\" out.tbb", {"prog", "my file.tbb", "out.tbb"}},
      {"\"a\"b", {"ab"}},
      {"a\"b c\"d e", {"ab cd", "e"}},
      {"x \"\" y", {"x", "", "y"}},
      {"\"\"\"\"", {""}},
      {"a\\b \"c\\\" d", {"a\\b", "c\\", "d"}},
      {"a\vb\fc d", {"a\vb\fc", "d"}},
      {"  a \t\r\n  b  ", {"a", "b"}},
      {"\"open quote", {"open quote"}},
      {"", {}},
      {" \t ", {}},
  };
  for (const auto& c : cases) {
    int count = -1;
    char** args = SplitCommandLine(c.text, &count);
    ASSERT_NE(nullptr, args) << c.text;
    ASSERT_EQ((int)c.args.size(), count) << c.text;
    for (int k = 0; k < count; k++) EXPECT_EQ(c.args[k], args[k]) << c.text << " #" << k;
    EXPECT_EQ(nullptr, args[count]) << c.text;
  }
}

}  // namespace
