// The fuzzers' checks, compiled without coverage instrumentation: coverage
// guidance is for the tool's own code, not for the reference walk.
#include "checks.h"

#include "cli_check.h"
#include "mail_check.h"
#include "run_check.h"
#include "transform_check.h"

std::string FuzzCheckRun(const uint8_t* data, size_t size) { return runcheck::CheckRunInput(data, size); }
std::string FuzzCheckCli(const uint8_t* data, size_t size) { return clicheck::CheckCliInput(data, size); }
std::string FuzzCheckDate(const uint8_t* data, size_t size) { return mailcheck::CheckDateInput(data, size); }
std::string FuzzCheckFields(const uint8_t* data, size_t size) { return mailcheck::CheckFieldsInput(data, size); }
std::string FuzzCheckTransform(const uint8_t* data, size_t size) {
  return transformcheck::CheckTransformInput(data, size);
}
