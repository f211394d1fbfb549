// libFuzzer target: the export's date parser over arbitrary bytes; every
// accepted date formats to asctime's 24 characters and reads back the same.
#include <cstdio>
#include <cstdlib>

#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problems = FuzzCheckDate(data, size);
  if (!problems.empty()) {
    fprintf(stderr, "%s", problems.substr(0, 4000).c_str());
    abort();
  }
  return 0;
}
