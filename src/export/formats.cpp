// The export's formats: each is one file with its operations and one entry
// here. The command line, the usage line and the help text come from this
// table, and the run drives whichever entry was chosen.
#include "export/export.h"

extern const FormatOps MboxFormat;
extern const FormatOps EmlFormat;
extern const FormatOps TbbFormat;

const FormatOps* const ExportFormats[] = {&MboxFormat, &EmlFormat, &TbbFormat, nullptr};
