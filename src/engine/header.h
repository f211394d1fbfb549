// The 48-byte message header of a TBB message base, read and changed in
// place at any byte offset (no alignment), little-endian.
#pragma once
#include <cstdint>

constexpr uint32_t HeaderLengthOffset = 4;
constexpr uint32_t FlagsOffset = 20;
constexpr uint32_t MessageLengthOffset = 36;
constexpr uint32_t MustBeZeroOffset = 44;

inline uint32_t ReadU32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline void WriteU32(uint8_t* p, uint32_t value) {
  p[0] = (uint8_t)value;
  p[1] = (uint8_t)(value >> 8);
  p[2] = (uint8_t)(value >> 16);
  p[3] = (uint8_t)(value >> 24);
}

// True when the 4 bytes at p are the header signature "!" TAB "p" 0x19.
inline bool HasSignature(const uint8_t* p) { return p[0] == 0x21 && p[1] == 0x09 && p[2] == 0x70 && p[3] == 0x19; }

// True when the 48 bytes at p form a message header: the signature, a
// header length of 48 and a zero word at offset 44.
inline bool IsMessageHeader(const uint8_t* p) {
  return HasSignature(p) && ReadU32(p + HeaderLengthOffset) == 48 && ReadU32(p + MustBeZeroOffset) == 0;
}

inline uint32_t HeaderLength(const uint8_t* p) { return ReadU32(p + HeaderLengthOffset); }
inline uint32_t MessageLength(const uint8_t* p) { return ReadU32(p + MessageLengthOffset); }
inline bool IsDeleted(const uint8_t* p) { return (p[FlagsOffset] & 1) != 0; }
inline void ClearDeleted(uint8_t* p) { p[FlagsOffset] &= (uint8_t)~1u; }
inline void SetMessageLength(uint8_t* p, uint32_t length) { WriteU32(p + MessageLengthOffset, length); }

// The length that a message whose header lies at `header_at` must store to
// lead exactly to `next` (the next header found, or the end of the source),
// in 64 bits. The one judgement of what a stored length should be: the
// recovery reports and stores its low 32 bits, the checker the whole of it.
inline int64_t RightLength(int64_t header_at, int64_t next) { return next - header_at - 48; }

// The largest length a header can carry and still be read as positive.
constexpr int64_t MaxMessageLength = 0x7FFFFFFF;

// True when a length field can hold `length` (0 to MaxMessageLength).
inline bool LengthFits(int64_t length) { return length >= 0 && length <= MaxMessageLength; }

// Where a message's text ends: at `reached` (the next header found, or the
// end of what was read), unless its stored length ends before that and the
// bytes after the stored end are no mail: it is the last message, or they
// hold a NUL (a gap; no mail holds one). What the export writes and what
// the check judges clean both follow from this one rule.
inline int64_t TextEnd(int64_t stored_end, int64_t reached, bool last, bool nul_after_end) {
  return stored_end < reached && (last || nul_after_end) ? stored_end : reached;
}

// Where the next header should begin: this header's offset plus both
// lengths, the fields taken as unsigned, in 64 bits.
inline int64_t NextHeaderOffset(int64_t header_offset, const uint8_t* p) {
  return (int64_t)((uint64_t)header_offset + HeaderLength(p) + MessageLength(p));
}
