// mendrake-check BASE: judges a message base without writing anything.
#include "check/check.h"
#include "core/platform.h"

int main(int argc, char** argv) { return PlatformKeepWindow(CheckProgram(argc, argv)); }
