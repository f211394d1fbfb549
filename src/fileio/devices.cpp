#include "fileio/devices.h"

#include <cinttypes>

#include "fileio/files.h"
#include "core/report.h"
#include "core/run_state.h"

int64_t QueryFileSize(FileRef file, bool* is_block_device) {
  *is_block_device = false;
  int64_t end = 0;
  if (Platform.SeekEnd(file, &end)) return end;
  // No end position: perhaps a disk, which knows its geometry.
  DiskGeometry g = DiskGeometry();
  if (!Platform.DriveGeometry(file, &g)) return -1;
  *is_block_device = true;
  uint64_t per_cylinder = (uint64_t)g.tracks_per_cylinder * g.sectors_per_track * g.bytes_per_sector;
  // Formed in 64 bits, wrapping as the product of the record's fields does.
  int64_t size = (int64_t)((uint64_t)g.cylinders * per_cylinder);
  if (size <= 0) return -1;
  BlockSize = g.bytes_per_sector;
  return size;
}

namespace {

// Closes the source and the target and opens them again with the current
// `Unbuffered` setting. Returns 0 or the exit code of the failed open.
int ReopenBoth(void) {
  Platform.Close(RunFiles.Source);
  RunFiles.Source = NoFile;
  if (RunFiles.Target != NoFile) {
    Platform.Close(RunFiles.Target);
    RunFiles.Target = NoFile;
  }
  int code = OpenSourceFile();
  if (code == 0 && !RunState.ListOnly) code = OpenTargetFile();
  return code;
}

}  // namespace

int ApplyUnbufferedRule(void) {
  if (RunState.Unbuffered) return 0;
  if (RunFiles.SourceIsBlockDevice) {
    ConsoleText("Force using NO_CACHE on block devices\n");
  } else if (RunFiles.SourceSize >= (int64_t)RunState.SizeFactor * 1073741824LL) {
    ConsoleText("Force using NO_CACHE on large file\n");
  } else {
    return 0;
  }
  RunState.Unbuffered = true;
  return ReopenBoth();
}

int CheckTarget(void) {
  int64_t target_size = -1;
  if (RunFiles.Target != NoFile) target_size = QueryFileSize(RunFiles.Target, &RunFiles.TargetIsBlockDevice);
  if (!RunFiles.SourceIsBlockDevice && !RunFiles.TargetIsBlockDevice) return 0;
  if (RunState.Profile == ProfileLegacy) {
    ConsoleText("Block device not supported. \nexiting...\n");
  } else {
    // Name the refused device with its size (0 for one that holds nothing);
    // the size required is the source's.
    bool source = RunFiles.SourceIsBlockDevice;
    ConsolePrint("Block device %s too small: %" PRId64 " bytes, required %" PRId64 "\nexiting...\n",
                 source ? RunState.SourcePath : RunState.TargetPath,
                 source ? RunFiles.SourceSize : (target_size < 0 ? 0 : target_size), RunFiles.SourceSize);
  }
  return ExitBlockDevice;
}

int ReopenFiles(void) {
  if (!RunState.Unbuffered) return 0;
  RunState.Unbuffered = false;
  return ReopenBoth();
}
