// libFuzzer target: the export's mbox and .eml transforms over arbitrary
// text in arbitrary pieces, against their rules and read back.
#include <cstdio>
#include <cstdlib>

#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problems = FuzzCheckTransform(data, size);
  if (!problems.empty()) {
    fprintf(stderr, "%s", problems.substr(0, 4000).c_str());
    abort();
  }
  return 0;
}
