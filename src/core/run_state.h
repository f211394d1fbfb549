// The process-wide state of one recovery run and the constants every
// subsystem shares. One run per process; tests reset it between runs.
#pragma once
#include <cstdint>

#include "core/platform.h"  // FileRef

// Size of a full pass, of each half of the pass buffer, of the output block
// and of the message buffer's first allocation.
constexpr uint32_t ChunkSize = 65536;
// Bytes held back at the end of every non-final pass and examined again at
// the start of the next one, so that a header straddling two passes is seen
// whole (48 header bytes plus 13 spare).
constexpr uint32_t ScanHoldback = 61;
// Loop passes read in one call, and full output blocks written in one call:
// fewer, larger transfers. What a run reads, scans, prints and writes is
// that of passes read and blocks written one at a time (a failure is found
// again pass by pass or block by block); tests set 1 to compare the two.
constexpr uint32_t MostPassesPerRead = 16;
constexpr uint32_t MostBlocksPerWrite = 16;
extern uint32_t PassesPerRead;
extern uint32_t BlocksPerWrite;
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
  // The last header found was taken (listed, and copied in a copy run).
  bool LastHeaderTaken;
  // Totals.
  int64_t BytesProcessed;
  // A companion's run: the recovery's list and warnings are not shown.
  bool QuietReport;
  // A companion needs no more of the source (reading part of it again
  // failed): the pass loop ends after the pass being scanned.
  bool StopReading;
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
  uint8_t* PassBuffer;  // (1 + MostPassesPerRead) x ChunkSize bytes
};

extern RunFilesRecord RunFiles;

// The output block: ChunkSize bytes that gather the copied bytes and go to
// the target whole, at consecutive aligned offsets. Up to BlocksPerWrite
// full blocks wait in one area and go out in one write. Allocated by the
// run driver, used by the output writer.
struct OutputBlockRecord {
  uint8_t* block;         // MostBlocksPerWrite x ChunkSize bytes
  uint32_t fill;          // bytes of the area in use, the waiting blocks included
  int64_t output_offset;  // where the block's first byte goes in the target
  bool retrying;          // the last write failed; the block waits for a retry
  bool gave_up;           // a retry failed too: later bytes are dropped
  bool any_failed;        // some write of this run failed
  // Bytes of the block that its failed writes put in the target all the
  // same (a short write): recovered bytes that a cut must keep and a later
  // repair must reach.
  uint32_t landed;
  // Bytes handed to the writer so far, written or not: the target offset
  // the next handed byte belongs at.
  int64_t handed;
  // Where the header of the message being copied lies in the target, and in
  // the source; -1 while no taken message is being copied.
  int64_t message_at;
  int64_t message_source_at;
  // Full blocks at the area's start whose writes are put off, and for each
  // the place in the held console text where it became full and where the
  // writer's next call came (when it has come).
  uint32_t due;
  // Handed bytes that follow the area's (none while it holds any) and are
  // written from where the scanner had them, without a copy.
  const uint8_t* direct;
  uint32_t direct_length;
  uint32_t due_mark[MostBlocksPerWrite];
  uint32_t next_mark[MostBlocksPerWrite];
  bool next_seen[MostBlocksPerWrite];
};

extern OutputBlockRecord OutputBlock;

// Puts RunState, RunFiles, the output block and BlockSize back to their
// process-start values, releasing the buffers and files of an earlier run.
void ResetRunState(void);

// Empties the output block for a new run and forgets earlier failures;
// keeps the allocation.
void ResetOutputBlock(void);
