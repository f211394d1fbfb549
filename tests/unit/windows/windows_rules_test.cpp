// The Windows layer's judgements that need no system: the verbatim form of
// long paths, the roots the folder walk stops at, and when a companion's
// window waits for Enter.
#include <gtest/gtest.h>

#include <string>

#include "fileio/windows_rules.h"

namespace {

// A full path of `length` units: `head`, then "x" names in folders of nine.
std::wstring Padded(const std::wstring& head, size_t length) {
  std::wstring path = head;
  while (path.size() < length) path += path.size() % 10 == 9 ? L'\\' : L'x';
  return path;
}

TEST(WindowsRules, LongPathsTakeTheVerbatimForm) {
  const size_t limit = ClassicPathLimit;
  struct {
    std::wstring full;
    std::wstring want;  // how the system's text begins; empty: the path as it stands
    size_t root;
  } cases[] = {
      {Padded(L"C:\\", limit - 1), L"", 3},
      {Padded(L"C:\\", limit), L"\\\\?\\C:\\xx", 3},
      {Padded(L"z:\\", 400), L"\\\\?\\z:\\xx", 3},
      {Padded(L"\\\\server\\share\\", limit - 1), L"", 15},
      {Padded(L"\\\\server\\share\\", limit), L"\\\\?\\UNC\\server\\share\\xx", 15},
      {Padded(L"\\\\?\\C:\\", 400), L"", 0},
      {Padded(L"\\\\.\\PhysicalDrive0\\", 400), L"", 0},
      {Padded(L"\\\\server\\\\", 400), L"", 0},  // no share name
      {Padded(L"\\\\\\share\\", 400), L"", 0},  // no server
      {Padded(L"relative\\", 400), L"", 0},
      {Padded(L"\\rooted\\", 400), L"", 0},
      {Padded(L"1:\\", 400), L"", 0},               // not a drive letter
  };
  for (const auto& c : cases) {
    std::string name(c.full.begin(), c.full.begin() + 16);
    const wchar_t* prefix = nullptr;
    size_t skip = 0;
    int made = LongPathForm(c.full.c_str(), c.full.size(), &prefix, &skip);
    EXPECT_EQ(!c.want.empty(), made == 1) << name << " of " << c.full.size();
    if (made == 1 && !c.want.empty()) {
      std::wstring verbatim = prefix + c.full.substr(skip);
      EXPECT_TRUE(verbatim.compare(0, c.want.size(), c.want) == 0) << name;
      EXPECT_TRUE(verbatim.compare(verbatim.size() - 20, 20, c.full, c.full.size() - 20, 20) == 0) << name;
    }
    EXPECT_EQ(c.root, FullPathRoot(c.full.c_str(), c.full.size())) << name;
  }
}

TEST(WindowsRules, DevicesAreNamesWithNothingAfterTheDevice) {
  struct {
    const char* path;
    bool device;
  } cases[] = {
      {"\\\\.\\PhysicalDrive0", true}, {"\\\\.\\C:", true},   {"//./C:", true},
      {"\\\\?\\Volume{1}", true},      {"\\\\.\\pipe\\x", false}, {"\\\\?\\C:\\base.tbb", false},
      {"\\\\server\\share", false},    {"\\\\.", false},           {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.device, NamesDevice(c.path)) << c.path;
}

TEST(WindowsRules, OnlyAWindowOfItsOwnWaits) {
  struct {
    int attached;
    bool input, output, waits;
  } cases[] = {
      {1, true, true, true},     // double-click or drop: the window is the program's own
      {2, true, true, false},    // typed at cmd.exe
      {3, true, true, false},    // a script, or a pipe between two programs
      {1, false, true, false},   // input from a file or a pipe: no Enter to read
      {1, true, false, false},   // output to a file: nothing shown to read
      {0, true, true, false},    // the system cannot tell (the 9x family)
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.waits, KeepsWindowOpen(c.attached, c.input, c.output))
        << c.attached << " " << c.input << " " << c.output;
}

}  // namespace
