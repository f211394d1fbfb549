// tbbgen: writes a seeded TBB message base with chosen damage.
//
//   tbbgen --out FILE [--seed N] [--messages N | --total BYTES] [--min N]
//          [--max N] [--leading N] [--style plain|email|bang|mail]
//          [--line-ends drawn|crlf|lf]
//          [--deleted PCT] [--wrong PCT] [--negative PCT] [--garbage PCT]
//          [--nul PCT] [--long PCT] [--decoys PCT] [--boundary PCT]
//          [--truncate N] [--at OFFSET] [--size BYTES] [--manifest FILE]
//   tbbgen --help
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

const char* const UsageText =
    "usage: tbbgen --out FILE [--seed N] [--messages N | --total BYTES] [--min N] [--max N]\n"
    "              [--leading N] [--style plain|email|bang|mail] [--deleted PCT] [--wrong PCT]\n"
    "              [--negative PCT] [--garbage PCT] [--nul PCT] [--long PCT] [--decoys PCT]\n"
    "              [--boundary PCT] [--truncate N] [--at OFFSET] [--size BYTES] [--manifest FILE]\n"
    "              [--line-ends drawn|crlf|lf]\n";

// The bad-option answer: the usage on stderr, exit 2.
int Usage(void) {
  fputs(UsageText, stderr);
  return 2;
}

int Help(void) {
  fputs(UsageText, stdout);
  fputs("\n"
        "Writes a TBB message base with chosen damage; the same options and seed\n"
        "always give the same bytes. Numbers take a k, M or G suffix (powers of 1024).\n"
        "\n"
        "  --out FILE        the base to write\n"
        "  --seed N          seed of the random choices (default 1)\n"
        "  --messages N      number of messages (default 20)\n"
        "  --total BYTES     instead: add messages until the base is this long\n"
        "  --min N, --max N  range of a message's text length (default 0 to 2000)\n"
        "  --leading N       junk bytes before the first header\n"
        "  --style S         plain: short texts with CR LF lines; email: headers, prose,\n"
        "                    base64 and HTML; bang: every other byte is \"!\"; mail: mail\n"
        "                    as folders hold it (varied headers and dates, odd subjects,\n"
        "                    \"From \" body lines, mixed line ends; give --min 1500 or so\n"
        "                    for whole header sections)\n"
        "  --line-ends E     the mail style's line ends: drawn for each message (CR LF,\n"
        "                    LF or mixed; the default), or crlf or lf everywhere\n"
        "Damage, in percent of messages:\n"
        "  --deleted PCT     deleted mark set\n"
        "  --wrong PCT       stored length larger or smaller than the text\n"
        "  --negative PCT    stored length with its top bit set\n"
        "  --garbage PCT     junk bytes after the message\n"
        "  --nul PCT         a NUL byte in the first line\n"
        "  --long PCT        a first line of 2,047 bytes or more\n"
        "  --decoys PCT      near-miss headers inside the text\n"
        "  --boundary PCT    next header close to a 64 KiB read boundary\n"
        "  --truncate N      cut N bytes off the end\n"
        "Placement:\n"
        "  --at OFFSET       write the base from this file offset on (a hole before it)\n"
        "  --size BYTES      the file's final size (a hole after the base)\n"
        "  --manifest FILE   one line per header: offset, stored length, text length,\n"
        "                    junk bytes after it, deleted mark (1 or 0)\n",
        stdout);
  return 0;
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
    if (a == "--help" || a == "-h") return Help();
    if (k + 1 >= argc) return Usage();
    const char* v = argv[++k];
    uint64_t n = 0;
    if (a == "--out") { out = v; continue; }
    if (a == "--manifest") { manifest = v; continue; }
    if (a == "--style") {
      if (!strcmp(v, "plain")) o.style = GenPlain;
      else if (!strcmp(v, "email")) o.style = GenEmail;
      else if (!strcmp(v, "bang")) o.style = GenBang;
      else if (!strcmp(v, "mail")) o.style = GenMail;
      else return Usage();
      continue;
    }
    if (a == "--line-ends") {
      if (!strcmp(v, "drawn")) o.line_ends = GenEndsDrawn;
      else if (!strcmp(v, "crlf")) o.line_ends = GenEndsCrLf;
      else if (!strcmp(v, "lf")) o.line_ends = GenEndsLf;
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
