// libFuzzer target: the export's header-field reader and subject decoding
// over arbitrary header sections.
#include <cstdio>
#include <cstdlib>

#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problems = FuzzCheckFields(data, size);
  if (!problems.empty()) {
    fprintf(stderr, "%s", problems.substr(0, 4000).c_str());
    abort();
  }
  return 0;
}
