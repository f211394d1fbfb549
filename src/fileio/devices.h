// File access: the size query with its drive-geometry fallback, the refusal
// of block devices, and the switch to and from unbuffered access.
#pragma once
#include <cstdint>

#include "core/platform.h"

// The file's size, or -1 when none can be had. A size that only the drive
// geometry gives marks the file as a block device and sets BlockSize to the
// device's sector size.
int64_t QueryFileSize(FileRef file, bool* is_block_device);

// At the end of opening: reopens source and target unbuffered for a block
// device or a large source. Returns 0, or the exit code of a failed reopen.
int ApplyUnbufferedRule(void);

// Refuses a block device as source or target. Returns 0 or ExitBlockDevice.
int CheckTarget(void);

// Before the final pass: back to buffered access when the run was
// unbuffered. Returns 0, or the exit code of a failed reopen.
int ReopenFiles(void);
