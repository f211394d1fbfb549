// mendrake-export: the messages of a base into an mbox file or .eml files.
#include "export/export.h"
#include "core/platform.h"

int main(int argc, char** argv) { return PlatformKeepWindow(RunExport(argc, argv)); }
