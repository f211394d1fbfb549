// tbbgen: writes a seeded TBB message base with chosen damage.
//
//   tbbgen --out FILE [--seed N] [--messages N | --total BYTES] [--min N]
//          [--max N] [--leading N] [--style plain|email|bang]
//          [--deleted PCT] [--wrong PCT] [--negative PCT] [--garbage PCT]
//          [--nul PCT] [--long PCT] [--decoys PCT] [--boundary PCT]
//          [--truncate N] [--at OFFSET] [--size BYTES] [--manifest FILE]
//
// --at writes the base from that file offset on, leaving a hole before it
// (a sparse file); --size then sets the file's final size (holes again).
// --manifest writes one line per header: offset (from the start of the
// file), stored length, text length, garbage after it, deleted mark.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "generator.h"

namespace {

int Usage(void) {
  fprintf(stderr,
          "usage: tbbgen --out FILE [--seed N] [--messages N | --total BYTES] [--min N] [--max N]\n"
          "              [--leading N] [--style plain|email|bang] [--deleted PCT] [--wrong PCT]\n"
          "              [--negative PCT] [--garbage PCT] [--nul PCT] [--long PCT] [--decoys PCT]\n"
          "              [--boundary PCT] [--truncate N] [--at OFFSET] [--size BYTES] [--manifest FILE]\n");
  return 2;
}

// Reads a number with an optional k/M/G suffix (powers of 1024).
bool Number(const char* text, uint64_t* value) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno || end == text) return false;
  if (*end == 'k' || *end == 'K') v <<= 10, end++;
  else if (*end == 'M') v <<= 20, end++;
  else if (*end == 'G') v <<= 30, end++;
  if (*end) return false;
  *value = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  GenOptions o;
  const char* out = nullptr;
  const char* manifest = nullptr;
  uint64_t at = 0, size = 0;
  bool have_size = false;
  for (int k = 1; k < argc; k++) {
    std::string a = argv[k];
    if (k + 1 >= argc) return Usage();
    const char* v = argv[++k];
    uint64_t n = 0;
    if (a == "--out") { out = v; continue; }
    if (a == "--manifest") { manifest = v; continue; }
    if (a == "--style") {
      if (!strcmp(v, "plain")) o.style = GenPlain;
      else if (!strcmp(v, "email")) o.style = GenEmail;
      else if (!strcmp(v, "bang")) o.style = GenBang;
      else return Usage();
      continue;
    }
    if (!Number(v, &n)) return Usage();
    if (a == "--seed") o.seed = n;
    else if (a == "--messages") o.messages = (uint32_t)n;
    else if (a == "--total") o.total_bytes = n;
    else if (a == "--min") o.min_text = (uint32_t)n;
    else if (a == "--max") o.max_text = (uint32_t)n;
    else if (a == "--leading") o.leading_bytes = (uint32_t)n;
    else if (a == "--deleted") o.deleted_pct = (uint32_t)n;
    else if (a == "--wrong") o.wrong_pct = (uint32_t)n;
    else if (a == "--negative") o.negative_pct = (uint32_t)n;
    else if (a == "--garbage") o.garbage_pct = (uint32_t)n;
    else if (a == "--nul") o.nul_pct = (uint32_t)n;
    else if (a == "--long") o.long_pct = (uint32_t)n;
    else if (a == "--decoys") o.decoy_pct = (uint32_t)n;
    else if (a == "--boundary") o.boundary_pct = (uint32_t)n;
    else if (a == "--truncate") o.truncate_tail = (uint32_t)n;
    else if (a == "--at") at = n;
    else if (a == "--size") size = n, have_size = true;
    else return Usage();
  }
  if (!out) return Usage();
  FILE* f = fopen(out, "wb");
  if (!f) {
    perror(out);
    return 1;
  }
  static char buffer[1 << 20];
  setvbuf(f, buffer, _IOFBF, sizeof buffer);
  if (at && fseeko(f, (off_t)at, SEEK_SET) != 0) {
    perror("seek");
    return 1;
  }
  std::vector<GenRecord> records;
  int64_t n = GenerateToStream(o, f, manifest ? &records : nullptr);
  if (n < 0 || fclose(f) != 0) {
    fprintf(stderr, "tbbgen: writing %s failed\n", out);
    return 1;
  }
  uint64_t end = at + (uint64_t)n;
  if (o.truncate_tail) end = o.truncate_tail < end - at ? end - o.truncate_tail : at;
  if (have_size) end = size;
  if (truncate(out, (off_t)end) != 0) {
    perror("truncate");
    return 1;
  }
  if (manifest) {
    FILE* m = fopen(manifest, "w");
    if (!m) {
      perror(manifest);
      return 1;
    }
    for (const GenRecord& r : records)
      fprintf(m, "%" PRIu64 " %u %u %u %d\n", at + r.offset, r.stored_length, r.text_length, r.garbage_after,
              r.deleted ? 1 : 0);
    fclose(m);
  }
  return 0;
}
