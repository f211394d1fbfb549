// The output writers: where the scanner's copied bytes go. mendrake's own
// writer packs them into the target; an export turns them into mail files.
// Messages arrive as a stream of bytes (never held whole), so a length that
// needs repair is set where the message's header has gone by then.
#pragma once
#include <cstdint>

struct WriterOps {
  // The next n bytes of the copied region, in order: in a run from offset 0
  // the file's leading bytes, then each taken message, header first.
  void (*Bytes)(const uint8_t* bytes, uint32_t n);
  // The next bytes handed begin a taken message: its 48-byte header lies at
  // `header` (as it will be handed: the deleted mark cleared when deleted
  // messages are taken) and at file offset `at`; `number` as in the list;
  // `deleted`: the source had it marked deleted.
  void (*MessageStarts)(int64_t at, uint32_t number, const uint8_t* header, bool deleted);
  // The message being copied is to carry `length` in its header. Returns 1
  // when set, 0 when not (too little of it was copied, or it is out of
  // reach: reported).
  int (*SetLength)(uint32_t length);
  // The run is over (its final pass, or a failed read): what is held goes
  // out. Returns 0, or -1 when something could not be written.
  int (*Finish)(void);
  // A header was found: the message being copied (if any) ended before it,
  // whether or not the new one is taken. May be left null.
  void (*MessageEnds)(void);
};

// The writer the scanner hands to; mendrake's target writer unless a
// companion puts its own in place before the run.
extern const WriterOps* Writer;
extern const WriterOps TargetWriter;

// Hands n bytes to the target writer; final writes out whatever the block
// holds. Full blocks are written BlocksPerWrite at a time (what reaches the
// target, and every failure line, are those of blocks written one at a
// time as each became full). Returns n when the bytes fit (0 for a final call while not
// copying), 1 for a split append and in list-only mode, 0 for a non-final
// call while not copying, -1 when a write failed or the writer has given up.
int WriteToTarget(const uint8_t* bytes, uint32_t n, bool final);

// Writes the full blocks the target writer has put off (before the target
// is closed and opened again). The bytes of a block not yet full stay.
void WriteWaitingBlocks(void);

// The target writer's Bytes refers to handed bytes where they lie, without
// a copy, while they follow one another; the scanner's pass buffer stays as
// it is until this call, made before it is read into again: the full blocks
// among them are written, the rest copied to the writer's own area.
void KeepHandedBytes(void);

// Sets `n` bytes at target offset `at` that were already handed to the
// target writer: in the block while they are there, else in the target
// itself. Returns 1 set, 0 not (reported).
int PatchOutput(int64_t at, const uint8_t* bytes, uint32_t n);
