// libFuzzer target: mendrake-check in process over arbitrary source bytes,
// checked against the scanner's view of the same bytes and a model of the
// walk and the gap rule (check_check.h).
#include <cstdio>
#include <cstdlib>

#include "check_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problems = checkcheck::CheckCheckInput(data, size);
  if (!problems.empty()) {
    fprintf(stderr, "%s", problems.substr(0, 6000).c_str());
    abort();
  }
  return 0;
}
