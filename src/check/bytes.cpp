// The byte judgement: what the bytes after a header tell as they pass. Two
// things, both cheap enough to keep pace with the reading:
//  - a NUL byte between the header's stored end and the next header makes
//    those bytes a gap (mail text holds no NUL); they are looked at only
//    where a stored length falls short of the next header, and only until
//    the first NUL;
//  - a run of ZeroRunLength NUL bytes in the text: one byte in every
//    ZeroRunLength is looked at (a run that long holds one of them), and a
//    NUL there is followed both ways to the run's exact ends.
#include <cstring>

#include "check/check.h"

namespace {

constexpr int64_t SampleStep = ZeroRunLength;
// How far back before the bytes handed a run is followed.
constexpr uint32_t TailRoom = 1024;

inline int64_t Max(int64_t a, int64_t b) { return a > b ? a : b; }
inline int64_t Min(int64_t a, int64_t b) { return a < b ? a : b; }

// The run of NUL bytes [from, to) has ended: noted where it is long enough,
// once in the header's own text and once in the walked message's.
void CloseRun(ByteJudge* j, int64_t to) {
  int64_t from = j->run_start;
  j->run_start = -1;
  HeaderSeen* h = j->current;
  int64_t a = Max(from, h->at + 48), e = Min(to, StoredEnd(*h));
  if (h->zero_size == 0 && e - a >= ZeroRunLength) {
    h->zero_at = a;
    h->zero_size = e - a;
  }
  if (j->walk_end == 0) return;
  a = Max(from, j->walk_from);
  e = Min(to, j->walk_end);
  if (j->walk_zero_size == 0 && e - a >= ZeroRunLength) {
    j->walk_zero_at = a;
    j->walk_zero_size = e - a;
  }
}

// The first offset in [a, c) whose byte is not NUL, or c.
int64_t NextNonZero(const uint8_t* b, int64_t from, int64_t a, int64_t c) {
  const uint8_t* p = b + (a - from);
  const uint8_t* end = b + (c - from);
  while (p < end && ((uintptr_t)p & 7)) {
    if (*p) return from + (p - b);
    p++;
  }
  // Long runs go by four words at a time.
  while (end - p >= 32) {
    uint64_t w[4];
    memcpy(w, p, 32);
    if (w[0] | w[1] | w[2] | w[3]) break;
    p += 32;
  }
  while (end - p >= 8) {
    uint64_t word;
    memcpy(&word, p, 8);
    if (word) break;
    p += 8;
  }
  while (p < end && !*p) p++;
  return from + (p - b);
}

// Where the run of NUL bytes that holds offset s (in this segment) begins:
// back through this segment and the NUL bytes that ended the ones before,
// never before the header (whose first byte is none).
int64_t RunBegins(const ByteJudge* j, const uint8_t* b, int64_t from, int64_t s) {
  int64_t p = s;
  while (p > from && p > j->current->at && !b[p - 1 - from]) p--;
  return p == from ? Max(j->current->at, from - (int64_t)j->tail_zeros) : p;
}

void FindZeroRuns(ByteJudge* j, const uint8_t* b, int64_t from, int64_t to) {
  HeaderSeen* h = j->current;
  // Runs count in the text: after the header, up to its stored end or, while
  // a walk is on, the walked message's end.
  int64_t low = h->at + 48, high = Max(StoredEnd(*h), j->walk_end);
  int64_t a = Max(from, low), c = Min(to, high);
  if (j->run_start >= 0) {
    int64_t x = NextNonZero(b, from, from, Max(from, c));
    if (x < c || to >= high) {
      CloseRun(j, x < c ? x : high);
      a = Max(a, x);
    } else {
      return;
    }
  }
  for (int64_t s = (a + SampleStep - 1) / SampleStep * SampleStep; s < c; s += SampleStep) {
    if (b[s - from]) continue;
    j->run_start = RunBegins(j, b, from, s);
    int64_t x = NextNonZero(b, from, s, c);
    if (x == c && c < high) return;  // it goes on past this segment
    CloseRun(j, x);
    s = x;
    s -= s % SampleStep;
  }
}

// The NUL bytes that end the bytes handed so far: a count, since a run is
// followed back over nothing else.
void CountTailZeros(ByteJudge* j, const uint8_t* b, uint32_t n) {
  uint32_t k = 0;
  while (k < n && k < TailRoom && !b[n - 1 - k]) k++;
  j->tail_zeros = k < n ? k : j->tail_zeros + n < TailRoom ? j->tail_zeros + n : TailRoom;
}

}  // namespace

void StartBytes(ByteJudge* j, int64_t position, bool zero_runs) {
  memset(j, 0, sizeof *j);
  j->position = position;
  j->zero_runs = zero_runs;
  j->run_start = -1;
}

void JudgeBytes(ByteJudge* j, const uint8_t* b, uint32_t n) {
  int64_t from = j->position, to = from + n;
  HeaderSeen* h = j->current;
  if (h) {
    int64_t end = StoredEnd(*h);
    if (!h->nul_after_end && to > end) {
      int64_t a = Max(end, from);
      if (memchr(b + (a - from), 0, (size_t)(to - a))) h->nul_after_end = true;
    }
    if (j->zero_runs) FindZeroRuns(j, b, from, to);
  }
  if (j->zero_runs) CountTailZeros(j, b, n);
  j->position = to;
}

void EndBytes(ByteJudge* j) {
  if (j->run_start >= 0) CloseRun(j, j->position);
}
