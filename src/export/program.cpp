// One export from its command line to its exit code: the output refused
// when it is the source, the mapfile read, the source opened, the output
// prepared, the passes read through the export's writer, the summary.
#include <cinttypes>
#include <cstring>

#include "cli/command_line.h"
#include "core/report.h"
#include "core/run_state.h"
#include "export/export.h"
#include "run/companion.h"
#include "run/driver.h"

const char* const ExportProgramName = "mendrake-export";
ExportSettingsRecord ExportSettings;

namespace {

void PrintSummary(void) {
  ErrorPrint("%s: %" PRIu32 " messages exported (%" PRIu32 " of them deleted), %" PRIu32 " without a date, %" PRIu32
             " given a final line end\n",
             ExportProgramName, Counts.exported, Counts.deleted, Counts.undated, Counts.line_end_added);
  ErrorPrint("%s: left out: %" PRId64 " bytes before the first message, %" PRId64 " after the last\n",
             ExportProgramName, Counts.leading, Counts.trailing);
  ErrorPrint("%s: %" PRIu32 " gaps, %" PRId64 " bytes left out between messages\n", ExportProgramName, Counts.gaps,
             Counts.gap_bytes);
  int64_t outside = Counts.unread_leading + Counts.unread_gaps + Counts.unread_trailing;
  if (outside > 0)
    ErrorPrint("%s: unreadable: %" PRId64 " bytes outside any message (%" PRId64 " before the first, %" PRId64
               " in gaps, %" PRId64 " after the last): a message may have stood there\n",
               ExportProgramName, outside, Counts.unread_leading, Counts.unread_gaps, Counts.unread_trailing);
  if (MapfileLoaded())
    ErrorPrint("%s: %" PRIu32 " messages hit by unreadable areas, %" PRId64 " bytes affected\n", ExportProgramName,
               Counts.hit, Counts.hit_bytes);
}

int Export(void) {
  const char* output = ExportSettings.Output;
  // Refused before anything is opened or created: the source is never
  // written, not even cut to nothing by a replacing open.
  if (strcmp(output, "-") != 0 && Platform.SamePath(output, RunState.SourcePath)) {
    OutputRefused(output, "refused: it is the source");
    return CompanionFailed;
  }
  if (ExportSettings.Mapfile) {
    int code = LoadMapfile(ExportProgramName, ExportSettings.Mapfile);
    if (code != 0) return code;
  }
  RunState.QuietReport = true;
  RunState.ListOnly = false;
  const FormatOps* format = ExportSettings.Format;
  StartExportWriter(format);
  int code = OpenCompanionSource(ExportProgramName);
  if (code != 0) return code;
  CompanionReading reading;
  // A start beyond the end is refused by the pass loop; no output is made.
  int64_t start = RunState.StartOffset - RunState.StartOffset % (int64_t)BlockSize;
  if (start > RunFiles.SourceSize) return ReadCompanionSource(ExportProgramName, !ExportSettings.Quiet, &reading);
  if (!format->Prepare()) return CompanionFailed;
  code = ReadCompanionSource(ExportProgramName, !ExportSettings.Quiet, &reading);
  if (ReadAgain.read_failed) {
    PrintReadFailure(ExportProgramName, ReadAgain);
    code = CompanionFailed;
  }
  if (!format->Close()) code = CompanionFailed;
  if (!ExportSettings.Quiet) PrintSummary();
  return code != 0 || OutputFailed ? CompanionFailed : CompanionClean;
}

}  // namespace

int RunExport(int argc, char** argv) {
  ResetRun();
  ForgetMapfile();
  PlatformStart();
  int count = 0;
  char** args = ProgramArguments(argc, argv, &count);
  if (!args) {
    ErrorPrint("%s: out of memory\n", ExportProgramName);
    return CompanionFailed;
  }
  int parsed = ParseExportOptions(count, args);
  if (!FlushOutput()) {
    // The help or the version could not be written.
    OutputError("-", "write failed", Platform.LastError());
    return CompanionFailed;
  }
  if (parsed != ParsedRun) return parsed == ParsedDone ? CompanionClean : CompanionUsage;
  int code = Export();
  FlushOutput();
  return code;
}
