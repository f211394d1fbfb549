// libFuzzer target: the option parser over arbitrary argument vectors and the
// legacy splitter over arbitrary command-line text.
#include <cstdio>
#include <cstdlib>

#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problems = FuzzCheckCli(data, size);
  if (!problems.empty()) {
    fprintf(stderr, "%s", problems.c_str());
    abort();
  }
  return 0;
}
