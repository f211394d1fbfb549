#include "test_platform.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "cli/command_line.h"

namespace {

struct MemFile {
  std::vector<uint8_t> bytes;
  uint64_t sparse_size = 0;  // non-zero: reads give zeros up to this size
  bool sparse = false;
  bool device = false;
  bool directory = false;
  bool pipe = false;
  int geometry_answer = 1;
  DiskGeometry geometry{};
  int64_t modified = 0;
};

struct Handle {
  std::shared_ptr<MemFile> file;
  int64_t position = 0;
  bool used = false;
  bool is_target = false;
  bool is_source = false;
  bool unbuffered = false;
};

std::map<std::string, std::shared_ptr<MemFile>> Files;
std::map<std::string, int> OpenedOnce;
Handle Handles[32];
MemFaults Faults;
MemCounters Counters;
std::string Console;
std::string ErrorText;
int LastError = 0;
PlatformOps RealOps;
bool Installed = false;

Handle* Get(FileRef f) {
  if (f < 0 || f >= 32 || !Handles[f].used) return nullptr;
  return &Handles[f];
}

uint64_t SizeOf(const MemFile& m) { return m.sparse ? m.sparse_size : m.bytes.size(); }

FileRef MemOpen(const char* path, OpenKind kind, bool unbuffered) {
  Counters.opens++;
  Counters.unbuffered_opens.push_back(unbuffered);
  std::string p = path;
  if (Faults.open_fail_after_first && OpenedOnce[p]++ > 0) {
    LastError = 5;
    return NoFile;
  }
  auto it = Files.find(p);
  if (it != Files.end() && it->second->directory) {
    LastError = 21;
    return NoFile;
  }
  if (kind == OpenStandardOutput) {
    p = "-";
    it = Files.find(p);
    if (it == Files.end()) MemPutPipe(p);
    it = Files.find(p);
  }
  if (kind == OpenOutputNew && it != Files.end()) {
    // The name goes, a link with it; what it led to stays as it was.
    Files.erase(it);
    it = Files.end();
  }
  if (kind == OpenOutputUnused && it != Files.end() && !it->second->device && !it->second->pipe &&
      SizeOf(*it->second) > 0) {
    LastError = ErrorExists;
    return NoFile;
  }
  if (it == Files.end()) {
    if (kind == OpenSource || kind == OpenTargetExisting || p.empty()) {
      LastError = 2;
      return NoFile;
    }
    it = Files.emplace(p, std::make_shared<MemFile>()).first;
  }
  if (kind == OpenLogReplace) it->second->bytes.clear();
  for (int k = 0; k < 32; k++) {
    if (!Handles[k].used) {
      Handles[k] = Handle();
      Handles[k].used = true;
      Handles[k].file = it->second;
      Handles[k].is_source = kind == OpenSource;
      Handles[k].is_target = kind == OpenTargetExisting || kind == OpenTargetAlways;
      Handles[k].unbuffered = unbuffered;
      return k;
    }
  }
  LastError = 24;
  return NoFile;
}

int MemClose(FileRef f) {
  if (Handle* h = Get(f)) *h = Handle();
  return 1;
}

int MemSeek(FileRef f, int64_t offset) {
  Handle* h = Get(f);
  if (h && h->file->pipe) {
    LastError = 29;  // ESPIPE
    return 0;
  }
  if (!h || offset < 0) {
    LastError = 22;
    return 0;
  }
  h->position = offset;
  return 1;
}

int MemSeekEnd(FileRef f, int64_t* end) {
  Handle* h = Get(f);
  if (!h || h->file->device || h->file->pipe) {
    LastError = h && h->file->pipe ? 29 : 1;
    return 0;
  }
  h->position = (int64_t)SizeOf(*h->file);
  *end = h->position;
  return 1;
}

// An unbuffered transfer off the alignment the test asked for is refused.
bool Unaligned(const Handle& h, const void* data, uint32_t n) {
  uint32_t a = Faults.unbuffered_alignment;
  if (!h.unbuffered || a == 0 || (h.position % a == 0 && n % a == 0 && (uintptr_t)data % a == 0)) return false;
  Counters.refused_unaligned++;
  LastError = 22;  // EINVAL
  return true;
}

int64_t MemRead(FileRef f, void* into, uint32_t n) {
  Counters.reads++;
  Handle* h = Get(f);
  if (!h) return -1;
  if (h->file->pipe) {
    LastError = 9;  // EBADF: the write end of a pipe
    return -1;
  }
  if (Unaligned(*h, into, n)) return -1;
  if (h->is_source && h->position == Faults.read_fail_offset) {
    LastError = Faults.read_fail_error;
    return -1;
  }
  uint64_t size = SizeOf(*h->file);
  uint64_t pos = (uint64_t)h->position;
  uint64_t avail = pos < size ? size - pos : 0;
  uint32_t got = (uint32_t)(avail < n ? avail : n);
  if (h->is_source && h->position == Faults.short_read_offset) got /= 2;
  // A read across a failing offset stops short before it.
  for (int64_t at : {Faults.read_fail_offset, Faults.short_read_offset})
    if (h->is_source && at > h->position && at < h->position + (int64_t)got) got = (uint32_t)(at - h->position);
  if (h->file->sparse) {
    memset(into, 0, got);
    uint64_t stored = h->file->bytes.size();
    // Bytes stored in a sparse file sit at its end.
    uint64_t base = size - stored;
    for (uint32_t k = 0; k < got; k++)
      if (pos + k >= base) ((uint8_t*)into)[k] = h->file->bytes[pos + k - base];
  } else if (got) {
    memcpy(into, h->file->bytes.data() + pos, got);
  }
  h->position += got;
  LastError = 0;
  return got;
}

int64_t MemWrite(FileRef f, const void* from, uint32_t n) {
  Counters.writes++;
  Handle* h = Get(f);
  if (!h) return -1;
  if (Unaligned(*h, from, n)) return -1;
  if (h->file->pipe) h->position = (int64_t)h->file->bytes.size();
  uint32_t put = n;
  bool fail = false;
  int64_t at = Faults.write_fail_offset;
  if (h->is_target && at >= h->position && at < h->position + (int64_t)n && Faults.write_fail_times > 0) {
    fail = true;
    put = (uint32_t)(at - h->position);
    if (at == h->position && n <= 65536) {
      Faults.write_fail_times--;
      put = Faults.write_short ? n / 2 : 0;
    }
  }
  if (h->is_target && Faults.target_capacity >= 0 && h->position + (int64_t)n > Faults.target_capacity) {
    fail = true;
    uint32_t room = h->position < Faults.target_capacity ? (uint32_t)(Faults.target_capacity - h->position) : 0;
    if (room < put) put = room;
  }
  std::vector<uint8_t>& b = h->file->bytes;
  if (b.size() < (uint64_t)h->position + put) b.resize(h->position + put);
  if (put) memcpy(b.data() + h->position, from, put);
  h->position += put;
  if (fail) {
    Counters.failed_writes++;
    LastError = Faults.write_fail_error;
    return put ? (int64_t)put : -1;
  }
  return put;
}

int MemLastError(void) { return LastError; }

int MemDriveGeometry(FileRef f, DiskGeometry* g) {
  Handle* h = Get(f);
  if (!h || !h->file->device || !h->file->geometry_answer) return 0;
  *g = h->file->geometry;
  return 1;
}

int MemSameFile(const char* a, const char* b) {
  auto x = Files.find(a), y = Files.find(b);
  return x != Files.end() && y != Files.end() && x->second == y->second;
}

int MemSamePath(const char* a, const char* b) { return (*a && strcmp(a, b) == 0) || MemSameFile(a, b); }

int MemTruncate(FileRef f, int64_t size) {
  Handle* h = Get(f);
  if (!h || h->file->device || h->file->pipe || h->file->sparse || size < 0) return 0;
  h->file->bytes.resize((size_t)size);
  return 1;
}

void MemErrorWrite(const char* text, size_t n) { ErrorText.append(text, n); }
int MemIsTerminal(int stream) { return stream == 1 ? Faults.console_is_terminal : 0; }
int MemMakeDirectory(const char* path) {
  auto it = Files.find(path);
  if (it != Files.end()) return it->second->directory ? 1 : 0;
  MemPutDirectory(path);
  return 1;
}
int MemSetModifiedTime(FileRef f, int64_t seconds) {
  Handle* h = Get(f);
  if (!h) return 0;
  h->file->modified = seconds;
  return 1;
}

void MemSleep(uint32_t) { Counters.sleeps++; }
void MemConsoleWrite(const char* text, size_t n) {
  if (!Faults.console_fails) Console.append(text, n);
}
int MemConsoleFlush(void) {
  if (!Faults.console_fails) return 1;
  LastError = 28;
  return 0;
}
const char* MemErrorText(int code) {
  switch (code) {
    case 2: return "No such file or directory";
    case 5: return "Input/output error";
    case 28: return "No space left on device";
    default: return "Unknown error";
  }
}
int MemRemove(const char* path) {
  auto it = Files.find(path);
  if (it == Files.end() || it->second->directory) {
    LastError = it == Files.end() ? 2 : 21;
    return 0;
  }
  Files.erase(it);
  return 1;
}

void* MemAllocate(size_t n, size_t alignment) {
  if (Faults.alloc_fail_above && n > Faults.alloc_fail_above) return nullptr;
  return RealOps.Allocate(n, alignment);
}

}  // namespace

void MemReset(void) {
  if (!Installed) {
    RealOps = Platform;
    Installed = true;
  }
  Files.clear();
  OpenedOnce.clear();
  for (Handle& h : Handles) h = Handle();
  Faults = MemFaults();
  Counters = MemCounters();
  Console.clear();
  ErrorText.clear();
  LastError = 0;
  Platform = RealOps;
  Platform.Open = MemOpen;
  Platform.Close = MemClose;
  Platform.Seek = MemSeek;
  Platform.SeekEnd = MemSeekEnd;
  Platform.Read = MemRead;
  Platform.Write = MemWrite;
  Platform.LastError = MemLastError;
  Platform.DriveGeometry = MemDriveGeometry;
  Platform.SameFile = MemSameFile;
  Platform.Sleep = MemSleep;
  Platform.ConsoleWrite = MemConsoleWrite;
  Platform.ConsoleFlush = MemConsoleFlush;
  Platform.Allocate = MemAllocate;
  Platform.Truncate = MemTruncate;
  Platform.ErrorWrite = MemErrorWrite;
  Platform.IsTerminal = MemIsTerminal;
  Platform.MakeDirectory = MemMakeDirectory;
  Platform.SetModifiedTime = MemSetModifiedTime;
  Platform.SamePath = MemSamePath;
  Platform.ErrorText = MemErrorText;
  Platform.Remove = MemRemove;
}

std::string& MemErrors(void) { return ErrorText; }

void MemRestore(void) {
  if (Installed) Platform = RealOps;
}

void MemPut(const std::string& path, const std::vector<uint8_t>& bytes) {
  auto f = std::make_shared<MemFile>();
  f->bytes = bytes;
  Files[path] = f;
}

void MemPutText(const std::string& path, const std::string& text) {
  MemPut(path, std::vector<uint8_t>(text.begin(), text.end()));
}

void MemPutDevice(const std::string& path, const DiskGeometry& geometry, int answer,
                  const std::vector<uint8_t>& bytes) {
  auto f = std::make_shared<MemFile>();
  f->bytes = bytes;
  f->device = true;
  f->geometry = geometry;
  f->geometry_answer = answer;
  Files[path] = f;
}

void MemPutSparse(const std::string& path, uint64_t size, const std::vector<uint8_t>& tail) {
  auto f = std::make_shared<MemFile>();
  f->bytes = tail;
  f->sparse = true;
  f->sparse_size = size;
  Files[path] = f;
}

void MemPutPipe(const std::string& path) {
  auto f = std::make_shared<MemFile>();
  f->pipe = true;
  Files[path] = f;
}

void MemLink(const std::string& alias, const std::string& path) { Files[alias] = Files.at(path); }

void MemPutDirectory(const std::string& path) {
  auto f = std::make_shared<MemFile>();
  f->directory = true;
  Files[path] = f;
}

bool MemExists(const std::string& path) { return Files.count(path) != 0; }

std::vector<uint8_t> MemGet(const std::string& path) {
  auto it = Files.find(path);
  return it == Files.end() ? std::vector<uint8_t>() : it->second->bytes;
}

std::string MemGetText(const std::string& path) {
  std::vector<uint8_t> b = MemGet(path);
  return std::string(b.begin(), b.end());
}

MemFaults& MemFault(void) { return Faults; }
MemCounters& MemCount(void) { return Counters; }
std::string& MemConsole(void) { return Console; }

int MemRun(const std::vector<std::string>& args) {
  std::vector<std::string> copies = args;
  std::vector<char*> argv;
  for (std::string& a : copies) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  Console.clear();
  return StartProgram((int)copies.size(), argv.data());
}
