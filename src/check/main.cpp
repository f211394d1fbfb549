// mendrake-check BASE: judges a message base without writing anything.
#include "check/check.h"

int main(int argc, char** argv) { return CheckProgram(argc, argv); }
