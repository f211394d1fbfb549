// The search for one byte value in a stretch of memory, as fast as the
// processor allows on every system the tool is built for: the scanner's
// search for each header's first byte and the export's for line ends.
#pragma once
#include <cstddef>
#include <cstdint>

// The first byte equal to `value` in p[0..n), or null. The C library's
// memchr where it is known to be fast (glibc); elsewhere the routines below,
// SSE2 where the processor has it and the system lets programs use it, a
// machine word at a time otherwise. Never reads outside p[0..n).
const uint8_t* FindByte(const uint8_t* p, uint8_t value, size_t n);

// The project's own searches (FindByte's choice where memchr is not used);
// FindByteSse2 only where ProcessorHasSse2.
const uint8_t* FindByteWords(const uint8_t* p, uint8_t value, size_t n);
const uint8_t* FindByteSse2(const uint8_t* p, uint8_t value, size_t n);
bool ProcessorHasSse2(void);
