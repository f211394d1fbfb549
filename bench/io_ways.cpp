// io_ways: times ways of reading (and copying) a message base through the
// steps a recovery run takes, outside mendrake, so that a change of its
// reading or writing can be weighed before it is made. Each way reads the
// whole source, looks for every header signature as the scanner does
// (memchr for "!", then the next three bytes), and, for the copy ways,
// writes every byte to a new target that is removed afterwards.
//
//   io_ways SOURCE TARGET_DIR [ROUNDS]
//
// Prints, per way, the median wall time, user and system time over ROUNDS
// (default 5) rounds; the ways of a round run one after another. The source
// should be in the page cache (cat it first). Built by hand:
//   c++ -O2 -pthread -o io_ways bench/io_ways.cpp
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

int Source = -1;
int64_t SourceSize = 0;
std::string TargetPath;
uint64_t Headers = 0;  // found by the last way: all ways must agree

double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// The scanner's search: every "!" followed by TAB "p" 0x19. Bytes of a
// signature cut by the end of [p, p + n) are not looked at (few, and every
// way cuts at the same places only when the piece sizes agree; the count is
// a check that all bytes were seen, not the recovery's answer).
uint64_t Scan(const uint8_t* p, size_t n) {
  uint64_t found = 0;
  const uint8_t* end = p + n;
  while (p < end) {
    const uint8_t* bang = (const uint8_t*)memchr(p, 0x21, (size_t)(end - p));
    if (!bang) break;
    if (end - bang >= 4 && bang[1] == 0x09 && bang[2] == 0x70 && bang[3] == 0x19) found++;
    p = bang + 1;
  }
  return found;
}

int OpenTarget(void) {
  int fd = open(TargetPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    perror(TargetPath.c_str());
    exit(1);
  }
  return fd;
}

void WriteAll(int fd, const uint8_t* p, size_t n, int64_t at) {
  while (n > 0) {
    ssize_t put = pwrite(fd, p, n, at);
    if (put <= 0) {
      perror("pwrite");
      exit(1);
    }
    p += put;
    n -= (size_t)put;
    at += put;
  }
}

size_t ReadAt(uint8_t* into, size_t n, int64_t at) {
  ssize_t got = pread(Source, into, n, at);
  if (got < 0) {
    perror("pread");
    exit(1);
  }
  return (size_t)got;
}

// List-only: pread pieces of `piece` bytes and scan them.
void ListPread(size_t piece) {
  std::vector<uint8_t> buffer(piece);
  uint64_t found = 0;
  for (int64_t at = 0; at < SourceSize;) {
    size_t got = ReadAt(buffer.data(), piece, at);
    if (got == 0) break;
    found += Scan(buffer.data(), got);
    at += (int64_t)got;
  }
  Headers = found;
}

// List-only over a mapping of the whole source: no copy into user space.
void ListMapped(void) {
  void* area = mmap(nullptr, (size_t)SourceSize, PROT_READ, MAP_PRIVATE, Source, 0);
  if (area == MAP_FAILED) {
    perror("mmap");
    exit(1);
  }
  madvise(area, (size_t)SourceSize, MADV_SEQUENTIAL);
  uint64_t found = 0;
  for (int64_t at = 0; at < SourceSize; at += 65536) {
    size_t n = (size_t)std::min<int64_t>(65536, SourceSize - at);
    found += Scan((const uint8_t*)area + at, n);
  }
  munmap(area, (size_t)SourceSize);
  Headers = found;
}

// A ring of filled pieces between two threads: the producer fills slot k
// while the consumer works on an earlier one; order is kept.
struct Ring {
  static constexpr int Slots = 4;
  std::vector<uint8_t> slot[Slots];
  size_t length[Slots];
  int64_t offset[Slots];
  int filled = 0, head = 0, tail = 0;
  bool done = false;
  std::mutex lock;
  std::condition_variable changed;
  explicit Ring(size_t piece) {
    for (auto& s : slot) s.resize(piece);
  }
  int BeginFill(void) {
    std::unique_lock<std::mutex> l(lock);
    changed.wait(l, [&] { return filled < Slots; });
    return tail;
  }
  void EndFill(size_t n, int64_t at) {
    std::lock_guard<std::mutex> l(lock);
    length[tail] = n;
    offset[tail] = at;
    tail = (tail + 1) % Slots;
    filled++;
    changed.notify_all();
  }
  void Finish(void) {
    std::lock_guard<std::mutex> l(lock);
    done = true;
    changed.notify_all();
  }
  int BeginTake(void) {  // -1 when finished
    std::unique_lock<std::mutex> l(lock);
    changed.wait(l, [&] { return filled > 0 || done; });
    return filled > 0 ? head : -1;
  }
  void EndTake(void) {
    std::lock_guard<std::mutex> l(lock);
    head = (head + 1) % Slots;
    filled--;
    changed.notify_all();
  }
};

// List-only with a reading thread: the next piece is read while this one is
// scanned.
void ListReadAhead(size_t piece) {
  Ring ring(piece);
  std::thread reader([&] {
    for (int64_t at = 0; at < SourceSize;) {
      int k = ring.BeginFill();
      size_t got = ReadAt(ring.slot[k].data(), piece, at);
      if (got == 0) break;
      ring.EndFill(got, at);
      at += (int64_t)got;
    }
    ring.Finish();
  });
  uint64_t found = 0;
  for (int k; (k = ring.BeginTake()) >= 0; ring.EndTake()) found += Scan(ring.slot[k].data(), ring.length[k]);
  reader.join();
  Headers = found;
}

// Copy as mendrake does it: read a piece, scan it, gather it into an output
// block of `block` bytes (one copy in user space), write the block whole.
void CopyGathered(size_t piece, size_t block) {
  int target = OpenTarget();
  std::vector<uint8_t> buffer(piece), out(block);
  size_t fill = 0;
  int64_t written = 0;
  uint64_t found = 0;
  for (int64_t at = 0; at < SourceSize;) {
    size_t got = ReadAt(buffer.data(), piece, at);
    if (got == 0) break;
    found += Scan(buffer.data(), got);
    for (size_t k = 0; k < got;) {
      size_t n = std::min(got - k, block - fill);
      memcpy(out.data() + fill, buffer.data() + k, n);
      fill += n;
      k += n;
      if (fill == block) {
        WriteAll(target, out.data(), fill, written);
        written += (int64_t)fill;
        fill = 0;
      }
    }
    at += (int64_t)got;
  }
  WriteAll(target, out.data(), fill, written);
  close(target);
  Headers = found;
}

// Copy straight from the read buffer: no gathering copy.
void CopyDirect(size_t piece) {
  int target = OpenTarget();
  std::vector<uint8_t> buffer(piece);
  uint64_t found = 0;
  for (int64_t at = 0; at < SourceSize;) {
    size_t got = ReadAt(buffer.data(), piece, at);
    if (got == 0) break;
    found += Scan(buffer.data(), got);
    WriteAll(target, buffer.data(), got, at);
    at += (int64_t)got;
  }
  close(target);
  Headers = found;
}

// Copy with a writing thread: this thread reads and scans, the other writes
// the pieces in order.
void CopyWriteBehind(size_t piece) {
  int target = OpenTarget();
  Ring ring(piece);
  std::thread writer([&] {
    for (int k; (k = ring.BeginTake()) >= 0; ring.EndTake())
      WriteAll(target, ring.slot[k].data(), ring.length[k], ring.offset[k]);
  });
  uint64_t found = 0;
  for (int64_t at = 0; at < SourceSize;) {
    int k = ring.BeginFill();
    size_t got = ReadAt(ring.slot[k].data(), piece, at);
    if (got == 0) break;
    found += Scan(ring.slot[k].data(), got);
    ring.EndFill(got, at);
    at += (int64_t)got;
  }
  ring.Finish();
  writer.join();
  close(target);
  Headers = found;
}

// Copy from a mapping: scan the mapped source, write from the mapping (one
// copy, by the kernel's write).
void CopyMapped(size_t piece) {
  int target = OpenTarget();
  void* area = mmap(nullptr, (size_t)SourceSize, PROT_READ, MAP_PRIVATE, Source, 0);
  if (area == MAP_FAILED) {
    perror("mmap");
    exit(1);
  }
  madvise(area, (size_t)SourceSize, MADV_SEQUENTIAL);
  uint64_t found = 0;
  for (int64_t at = 0; at < SourceSize; at += (int64_t)piece) {
    size_t n = (size_t)std::min<int64_t>((int64_t)piece, SourceSize - at);
    found += Scan((const uint8_t*)area + at, n);
    WriteAll(target, (const uint8_t*)area + at, n, at);
  }
  munmap(area, (size_t)SourceSize);
  close(target);
  Headers = found;
}

// Copy by the kernel: scan what pread brought, then copy_file_range the
// same stretch from the source's page cache to the target.
void CopyInKernel(size_t piece) {
  int target = OpenTarget();
  std::vector<uint8_t> buffer(piece);
  uint64_t found = 0;
  for (int64_t at = 0; at < SourceSize;) {
    size_t got = ReadAt(buffer.data(), piece, at);
    if (got == 0) break;
    found += Scan(buffer.data(), got);
    loff_t in = at, out = at;
    size_t left = got;
    while (left > 0) {
      ssize_t moved = copy_file_range(Source, &in, target, &out, left, 0);
      if (moved <= 0) {
        perror("copy_file_range");
        exit(1);
      }
      left -= (size_t)moved;
    }
    at += (int64_t)got;
  }
  close(target);
  Headers = found;
}

// The references: what cat does. To /dev/null: 128 KiB reads, no scan.
void CatToNull(void) {
  std::vector<uint8_t> buffer(128 << 10);
  for (int64_t at = 0; at < SourceSize;) {
    size_t got = ReadAt(buffer.data(), buffer.size(), at);
    if (got == 0) break;
    at += (int64_t)got;
  }
  Headers = 0;
}

// To a file: the kernel copies the whole file, nothing comes to user space.
void CatToFile(void) {
  int target = OpenTarget();
  loff_t in = 0, out = 0;
  while (in < SourceSize) {
    ssize_t moved = copy_file_range(Source, &in, target, &out, (size_t)(SourceSize - in), 0);
    if (moved <= 0) {
      perror("copy_file_range");
      exit(1);
    }
  }
  close(target);
  Headers = 0;
}

struct Way {
  const char* name;
  void (*run)(void);
  bool copies;
};

const Way Ways[] = {
    {"list reference: pread 128 KiB, no scan (as cat > /dev/null)", CatToNull, false},
    {"list: pread 64 KiB + scan (as mendrake -l)", [] { ListPread(64 << 10); }, false},
    {"list: pread 128 KiB + scan", [] { ListPread(128 << 10); }, false},
    {"list: pread 256 KiB + scan", [] { ListPread(256 << 10); }, false},
    {"list: pread 1 MiB + scan", [] { ListPread(1 << 20); }, false},
    {"list: reading thread, 64 KiB pieces", [] { ListReadAhead(64 << 10); }, false},
    {"list: reading thread, 256 KiB pieces", [] { ListReadAhead(256 << 10); }, false},
    {"list: mmap + scan", ListMapped, false},
    {"copy reference: copy_file_range, no scan (as cat > copy)", CatToFile, true},
    {"copy: 64 KiB read, gathered, 64 KiB write (as mendrake)", [] { CopyGathered(64 << 10, 64 << 10); }, true},
    {"copy: 64 KiB read, gathered, 256 KiB write", [] { CopyGathered(64 << 10, 256 << 10); }, true},
    {"copy: 256 KiB read, gathered, 256 KiB write", [] { CopyGathered(256 << 10, 256 << 10); }, true},
    {"copy: 64 KiB read, gathered, 1 MiB write", [] { CopyGathered(64 << 10, 1 << 20); }, true},
    {"copy: 256 KiB read and write, not gathered", [] { CopyDirect(256 << 10); }, true},
    {"copy: 64 KiB read and write, not gathered", [] { CopyDirect(64 << 10); }, true},
    {"copy: 1 MiB read and write, not gathered", [] { CopyDirect(1 << 20); }, true},
    {"copy: writing thread, 64 KiB pieces", [] { CopyWriteBehind(64 << 10); }, true},
    {"copy: writing thread, 256 KiB pieces", [] { CopyWriteBehind(256 << 10); }, true},
    {"copy: mmap + scan + write from the mapping, 256 KiB", [] { CopyMapped(256 << 10); }, true},
    {"copy: pread + scan + copy_file_range, 256 KiB", [] { CopyInKernel(256 << 10); }, true},
};
constexpr int WayCount = sizeof Ways / sizeof Ways[0];

double Seconds(const struct timeval& t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: io_ways SOURCE TARGET_DIR [ROUNDS]\n");
    return 2;
  }
  Source = open(argv[1], O_RDONLY);
  struct stat st;
  if (Source < 0 || fstat(Source, &st) != 0) {
    perror(argv[1]);
    return 1;
  }
  SourceSize = st.st_size;
  TargetPath = std::string(argv[2]) + "/io_ways.copy";
  int rounds = argc > 3 ? atoi(argv[3]) : 5;
  std::vector<double> wall[WayCount], user[WayCount], sys[WayCount];
  uint64_t headers[WayCount] = {};
  for (int r = 0; r < rounds; r++) {
    for (int w = 0; w < WayCount; w++) {
      // Each copy starts with no dirty pages from the one before.
      if (Ways[w].copies) sync();
      struct rusage before, after;
      getrusage(RUSAGE_SELF, &before);
      double start = Now();
      Ways[w].run();
      wall[w].push_back(Now() - start);
      getrusage(RUSAGE_SELF, &after);
      user[w].push_back(Seconds(after.ru_utime) - Seconds(before.ru_utime));
      sys[w].push_back(Seconds(after.ru_stime) - Seconds(before.ru_stime));
      headers[w] = Headers;
      unlink(TargetPath.c_str());
    }
  }
  printf("| way | median s | user s | sys s | signatures seen |\n|---|---:|---:|---:|---:|\n");
  for (int w = 0; w < WayCount; w++)
    printf("| %s | %.3f | %.3f | %.3f | %llu |\n", Ways[w].name, Median(wall[w]), Median(user[w]), Median(sys[w]),
           (unsigned long long)headers[w]);
  return 0;
}
