// The block scanner: finds message headers in each pass, checks and repairs
// message lengths, lists the messages and hands the copied ones to the
// writer (engine/writer.h).
#pragma once
#include <cstdint>

// Scans a pass the driver has read into the pass buffer: bytes_read bytes
// at file offset `offset`, lying from pass + ChunkSize on, behind the last
// ScanHoldback bytes of the pass before (unless first). A final pass hands
// the writer its Finish.
void ScanPass(uint8_t* pass, int64_t offset, uint32_t bytes_read, bool first, bool final);

// The read of the pass at `offset` (from pass + ChunkSize on) failed: the
// bytes held back from the pass before (none when the failed pass was the
// first) are scanned as the run's final window and the writer finishes, so
// nothing that was read is lost.
void ScanHeldBack(uint8_t* pass, int64_t offset, bool first);

enum HeaderOutcome { HeaderTaken, HeaderSkipped, HeaderBeyondLimit };

// What the scanner does with each header it finds at position i of the pass
// buffer (file offset header_offset; the window ends at window_end). The
// recovery's own judgement (TakeHeader) unless a companion puts its own in
// place before the run; HeaderBeyondLimit ends the pass's scan.
typedef HeaderOutcome (*HeaderHook)(uint8_t* buffer, uint32_t i, int64_t header_offset, uint32_t window_end);
extern HeaderHook OnHeader;
HeaderOutcome TakeHeader(uint8_t* buffer, uint32_t i, int64_t header_offset, uint32_t window_end);
