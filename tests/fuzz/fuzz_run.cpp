// libFuzzer target: a whole run in process over arbitrary source bytes and an
// option set taken from the input, checked against the reference walk.
#include <cstdio>
#include <cstdlib>

#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problems = FuzzCheckRun(data, size);
  if (!problems.empty()) {
    fprintf(stderr, "%s", problems.substr(0, 4000).c_str());
    abort();
  }
  return 0;
}
