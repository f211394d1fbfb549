// The process-wide state of one recovery run and the constants every
// subsystem shares. One run per process; tests reset it between runs.
#pragma once
#include <cstdint>

#include "fileio/platform.h"

// Size of a full pass, of each half of the pass buffer, of the output block
// and of the message buffer's first allocation.
constexpr uint32_t ChunkSize = 65536;
// Bytes held back at the end of every non-final pass and examined again at
// the start of the next one, so that a header straddling two passes is seen
// whole (48 header bytes plus 13 spare).
constexpr uint32_t ScanHoldback = 61;
constexpr uint32_t HeaderSize = 48;
// The longest first line a list entry shows.
constexpr uint32_t FirstLineLimit = 2047;
// Alignment of the pass buffer and the output block, enough for reads and
// writes that bypass the system cache.
constexpr uint32_t BufferAlignment = 4096;
constexpr uint32_t DefaultBlockSize = 2048;

// The unit of start offsets and end-of-file passes; a device's sector size
// once the size query found one.
extern uint32_t BlockSize;

// Exit codes of a run.
constexpr int ExitDone = 0;
constexpr int ExitSourceOpen = -1;
constexpr int ExitNoMemory = -2;
constexpr int ExitTargetOpen = -3;
constexpr int ExitNoSize = -4;
constexpr int ExitBlockDevice = -5;
constexpr int ExitLogCreate = -6;
constexpr int ExitBeyondEnd = -7;
constexpr int ExitWriteFailed = -8;
constexpr int ExitReadFailed = -9;

// Growable area holding the message being copied: its header, then its text.
struct MessageBufferRecord {
  uint8_t* data;
  uint32_t capacity;
  uint32_t length;
  // The message outgrew the memory to be had and went on to the target in
  // pieces: the buffer no longer begins with its header.
  bool streamed;
};

struct RunStateRecord {
  // Settings from the command line.
  const char* SourcePath;
  const char* TargetPath;
  const char* LogPath;
  int64_t StartOffset;
  uint64_t UnitMultiplier;
  bool ListOnly;
  bool ExcludeDeleted;
  int32_t StartMessage;
  uint32_t MaxMessages;
  // Run flags.
  bool Copying;
  bool Unbuffered;
  // Progress of the scan.
  uint32_t MessagesFound;
  uint32_t MessagesExtracted;
  int64_t CurrentHeaderOffset;
  int64_t ExpectedNextHeader;
  int32_t LastMessageLength;
  MessageBufferRecord Message;
  // Totals.
  int64_t BytesProcessed;
  // Platform profile: legacy (narrow, factor 2) or wide (factor 100).
  int Profile;
  uint32_t SizeFactor;
};

extern RunStateRecord RunState;

// The files and buffers the run driver owns for the whole run.
struct RunFilesRecord {
  FileRef Source;
  FileRef Target;
  FileRef Log;
  bool SourceIsBlockDevice;
  bool TargetIsBlockDevice;
  int64_t SourceSize;
  uint8_t* PassBuffer;  // 2 x ChunkSize bytes
};

extern RunFilesRecord RunFiles;

// Puts RunState, RunFiles, the output block and BlockSize back to their
// process-start values, releasing the buffers of an earlier run.
void ResetRunState(void);
