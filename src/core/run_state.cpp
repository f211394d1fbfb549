#include "core/run_state.h"

uint32_t BlockSize = DefaultBlockSize;
uint32_t PassesPerRead = MostPassesPerRead;
uint32_t BlocksPerWrite = MostBlocksPerWrite;
RunStateRecord RunState;
RunFilesRecord RunFiles = {NoFile, NoFile, NoFile, false, false, 0, nullptr};
OutputBlockRecord OutputBlock;

void ResetRunState(void) {
  // Buffers of an earlier run in this process (tests run many) go back.
  if (RunFiles.PassBuffer) Platform.Release(RunFiles.PassBuffer);
  if (OutputBlock.block) Platform.Release(OutputBlock.block);
  OutputBlock.block = nullptr;
  if (RunFiles.Source != NoFile) Platform.Close(RunFiles.Source);
  if (RunFiles.Target != NoFile) Platform.Close(RunFiles.Target);
  if (RunFiles.Log != NoFile) Platform.Close(RunFiles.Log);
  RunState = RunStateRecord();
  RunState.ExcludeDeleted = true;
  RunState.Copying = true;
  RunState.SizeFactor = 100;
  RunFiles = RunFilesRecord();
  RunFiles.Source = RunFiles.Target = RunFiles.Log = NoFile;
  BlockSize = DefaultBlockSize;
  ResetOutputBlock();
}

void ResetOutputBlock(void) {
  uint8_t* block = OutputBlock.block;
  OutputBlock = OutputBlockRecord();
  OutputBlock.block = block;
  OutputBlock.message_at = -1;
  OutputBlock.message_source_at = -1;
}
