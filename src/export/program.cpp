// One export from its command line to its exit code: the output refused
// when it is the source, the source opened, the output prepared, the passes
// read through the export's writer, the summary.
#include <cinttypes>

#include "cli/command_line.h"
#include "core/report.h"
#include "core/run_state.h"
#include "export/export.h"
#include "run/companion.h"
#include "run/driver.h"

const char* const ExportProgramName = "mendrake-export";
ExportSettingsRecord ExportSettings;

namespace {

void PrintSummary(const CompanionReading& reading) {
  // Past the last header when it was a message left out (deleted): what
  // lies beyond its stored length is no mail either.
  int64_t read_end = reading.read_failed ? reading.failed_offset : RunFiles.SourceSize;
  if (!LastHeaderExported && RunState.MessagesFound > 0 && read_end > RunState.ExpectedNextHeader)
    Counts.trailing += read_end - RunState.ExpectedNextHeader;
  ErrorPrint("%s: %" PRIu32 " messages exported (%" PRIu32 " of them deleted), %" PRIu32 " without a date, %" PRIu32
             " given a final line end\n",
             ExportProgramName, Counts.exported, Counts.deleted, Counts.undated, Counts.line_end_added);
  ErrorPrint("%s: left out: %" PRId64 " bytes before the first message, %" PRId64 " after the last\n",
             ExportProgramName, Counts.leading, Counts.trailing);
}

int Export(void) {
  // Refused before anything is opened or created: the source is never
  // written, not even cut to nothing by a replacing open.
  if (Platform.SamePath(ExportSettings.Output, RunState.SourcePath)) {
    ErrorPrint("%s: %s: refused: it is the source\n", ExportProgramName, ExportSettings.Output);
    return CompanionFailed;
  }
  RunState.QuietReport = true;
  RunState.ListOnly = false;
  Writer = &ExportWriter;
  const FormatOps* format = ExportSettings.Format == FormatMbox ? &MboxFormat : &EmlFormat;
  StartExportWriter(format);
  int code = OpenCompanionSource(ExportProgramName);
  if (code != 0) return code;
  CompanionReading reading;
  // A start beyond the end is refused by the pass loop; no output is made.
  int64_t start = RunState.StartOffset - RunState.StartOffset % (int64_t)BlockSize;
  if (start > RunFiles.SourceSize) return ReadCompanionSource(ExportProgramName, !ExportSettings.Quiet, &reading);
  if (!format->Prepare()) return CompanionFailed;
  code = ReadCompanionSource(ExportProgramName, !ExportSettings.Quiet, &reading);
  if (!format->Close()) code = CompanionFailed;
  if (!ExportSettings.Quiet) PrintSummary(reading);
  return code != 0 || OutputFailed ? CompanionFailed : CompanionClean;
}

}  // namespace

int RunExport(int argc, char** argv) {
  ResetRun();
  PlatformStart();
  int count = 0;
  char** args = ProgramArguments(argc, argv, &count);
  if (!args) {
    ErrorPrint("%s: out of memory\n", ExportProgramName);
    return CompanionFailed;
  }
  int parsed = ParseExportOptions(count, args);
  FlushOutput();
  if (parsed != ParsedRun) return parsed == ParsedDone ? CompanionClean : CompanionUsage;
  int code = Export();
  FlushOutput();
  return code;
}
