// mendrake-faults: the tool with faults put in through the platform seam,
// for end-to-end tests of failing disks. A test build only: the faults come
// from the environment variable MENDRAKE_FAULTS, a comma-separated list of
//   read_fail=OFFSET      a source read that starts at OFFSET fails (error
//                         5); one that runs across it delivers the bytes
//                         before it
//   short_read=OFFSET     the same, but a read that starts at OFFSET
//                         delivers half its bytes
//   read_call_fail=OFFSET a source read that starts at OFFSET fails (error
//                         5); reads across it do not (one failing call, as
//                         when bytes are read again from an odd offset)
//   write_fail=OFFSET     a target write that starts at OFFSET fails (error
//                         28); one that runs across it puts the bytes before
//                         it and fails ...
//   write_times=N         ... until N writes of at most a block (64 KiB)
//                         that start there have failed (default: always)
//   short_write=1         such a write puts half its bytes first
//   geometry=C:T:S:B      the source has no end position and answers the
//                         geometry request with C cylinders, T tracks per
//                         cylinder, S sectors per track, B bytes per sector
//   target_geometry=C:T:S:B   the same for the target
//   no_geometry=1         the source has no end position and no geometry
//   reopen_fail=N         the N-th open (counting from 1) fails
//   no_sleep=1            the pause after a failed read is skipped
//   shrink=OFFSET:SIZE    when a source read reaches OFFSET, the source
//                         file is cut to SIZE bytes (another process
//                         truncating it while it is read)
//   one_at_a_time=1       passes read and blocks written one at a time, as
//                         the batched reading and writing must match
// and on the output files a companion names or makes (not the target):
//   output_capacity=N     they share a file system of N bytes: a write
//                         beyond it puts what fits and fails (error 28)
//   output_fail=TEXT      writes to one whose path holds TEXT put half and
//                         fail (error 28)
//   output_holes=1        a write of zeros only leaves a hole instead (the
//                         file system keeps huge outputs sparse)
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "cli/command_line.h"
#include "core/platform.h"
#include "core/run_state.h"

// The program under faults: mendrake, unless the build names a companion's
// whole-program entry (RunExport, CheckProgram).
#ifndef FAULT_ENTRY
#define FAULT_ENTRY StartProgram
#else
int FAULT_ENTRY(int argc, char** argv);
#endif

namespace {

PlatformOps Real;
int64_t ReadFail = -1, ShortRead = -1, WriteFail = -1, ReadCallFail = -1;
long WriteTimes = -1;
bool ShortWrite = false, NoSleep = false, NoGeometry = false;
int ReopenFail = 0, Opens = 0;
bool HaveGeometry[2] = {false, false};
DiskGeometry Geometry[2];
int InjectedError = 0;
int64_t ShrinkAt = -1, ShrinkTo = 0;
std::string SourcePath;
enum Role { RoleNone, RoleSource, RoleTarget, RoleOutput };
Role Roles[64];
int64_t OutputCapacity = -1, OutputUsed = 0;
std::string OutputFail;
bool OutputHoles = false;
std::string Paths[64];
int64_t Ends[64];  // how far each output reaches, holes included

Role RoleOf(FileRef f) { return f >= 0 && f < 64 ? Roles[f] : RoleNone; }

// Where each file stands, followed through the seeks and transfers.
int64_t Positions[64];

FileRef FaultOpen(const char* path, OpenKind kind, bool unbuffered) {
  if (++Opens == ReopenFail) {
    InjectedError = 5;
    return NoFile;
  }
  FileRef f = Real.Open(path, kind, unbuffered);
  if (f >= 0 && f < 64 && kind == OpenSource) SourcePath = path;
  if (f >= 0 && f < 64) {
    Roles[f] = kind == OpenSource ? RoleSource
               : (kind == OpenTargetExisting || kind == OpenTargetAlways) ? RoleTarget
               : (kind == OpenOutputNew || kind == OpenOutputUnused || kind == OpenStandardOutput) ? RoleOutput
                                                                                                   : RoleNone;
    Positions[f] = 0;
    Paths[f] = path;
    Ends[f] = 0;
  }
  return f;
}

int FaultSeek(FileRef f, int64_t offset) {
  if (f >= 0 && f < 64) Positions[f] = offset;
  return Real.Seek(f, offset);
}

int FaultSeekEnd(FileRef f, int64_t* end) {
  Role r = RoleOf(f);
  if ((r == RoleSource && (HaveGeometry[0] || NoGeometry)) || (r == RoleTarget && HaveGeometry[1])) {
    InjectedError = 1;
    return 0;
  }
  return Real.SeekEnd(f, end);
}

int FaultDriveGeometry(FileRef f, DiskGeometry* g) {
  Role r = RoleOf(f);
  int which = r == RoleSource ? 0 : r == RoleTarget ? 1 : -1;
  if (which >= 0 && HaveGeometry[which]) {
    *g = Geometry[which];
    return 1;
  }
  return Real.DriveGeometry(f, g);
}

// A real read of n bytes at the file's position, followed.
int64_t ReadOn(FileRef f, uint8_t* into, uint32_t n) {
  int64_t got = Real.Read(f, into, n);
  Positions[f] += got > 0 ? got : 0;
  return got;
}

int64_t FaultRead(FileRef f, void* into, uint32_t n) {
  InjectedError = 0;
  if (RoleOf(f) != RoleSource) return Real.Read(f, into, n);
  int64_t at = Positions[f];
  if (at == ReadFail || at == ReadCallFail) {
    InjectedError = 5;
    return -1;
  }
  uint32_t limit = at == ShortRead ? n / 2 : n;
  for (int64_t stop : {ReadFail, ShortRead})
    if (stop > at && stop < at + (int64_t)limit) limit = (uint32_t)(stop - at);
  uint8_t* bytes = (uint8_t*)into;
  if (ShrinkAt < at || ShrinkAt >= at + (int64_t)limit) return ReadOn(f, bytes, limit);
  // The bytes before the cut come from the file as it was.
  uint32_t before = (uint32_t)(ShrinkAt - at);
  int64_t got = before ? ReadOn(f, bytes, before) : 0;
  if (got < (int64_t)before) return got;
  if (truncate(SourcePath.c_str(), (off_t)ShrinkTo) != 0) perror("shrink");
  int64_t rest = ReadOn(f, bytes + before, limit - before);
  return rest < 0 ? (before ? (int64_t)before : -1) : (int64_t)before + rest;
}

// An output write under the output faults; -2 when none applies.
int64_t OutputWrite(FileRef f, const void* from, uint32_t n) {
  bool full = OutputCapacity >= 0 && OutputUsed + n > OutputCapacity;
  bool failing = !OutputFail.empty() && Paths[f].find(OutputFail) != std::string::npos;
  if (full || failing) {
    uint32_t fits = full ? (uint32_t)(OutputCapacity - OutputUsed) : n / 2;
    int64_t put = fits ? Real.Write(f, from, fits) : 0;
    OutputUsed += put > 0 ? put : 0;
    Positions[f] += put > 0 ? put : 0;
    InjectedError = 28;
    return put > 0 ? put : -1;
  }
  const uint8_t* bytes = (const uint8_t*)from;
  bool zeros = OutputHoles && n > 0 && bytes[0] == 0 && memcmp(bytes, bytes + 1, n - 1) == 0;
  if (!zeros) return -2;
  if (!Real.Seek(f, Positions[f] + n)) return -1;
  Positions[f] += n;
  if (Positions[f] > Ends[f]) Ends[f] = Positions[f];
  return n;
}

int FaultClose(FileRef f) {
  // A hole at the end: the file reaches as far as the writes did.
  int64_t size = 0;
  if (RoleOf(f) == RoleOutput && Ends[f] > 0 && Real.SeekEnd(f, &size) && size < Ends[f]) Real.Truncate(f, Ends[f]);
  if (f >= 0 && f < 64) Roles[f] = RoleNone;
  return Real.Close(f);
}

int64_t FaultWrite(FileRef f, const void* from, uint32_t n) {
  InjectedError = 0;
  if (RoleOf(f) == RoleOutput) {
    int64_t put = OutputWrite(f, from, n);
    if (put != -2) return put;
    put = Real.Write(f, from, n);
    OutputUsed += put > 0 ? put : 0;
    Positions[f] += put > 0 ? put : 0;
    if (Positions[f] > Ends[f]) Ends[f] = Positions[f];
    return put;
  }
  int64_t at = f >= 0 && f < 64 ? Positions[f] : -1;
  if (RoleOf(f) == RoleTarget && WriteFail >= at && WriteFail < at + (int64_t)n && WriteTimes != 0) {
    InjectedError = 28;
    uint32_t put = (uint32_t)(WriteFail - at);
    if (WriteFail == at && n <= 65536) {
      if (WriteTimes > 0) WriteTimes--;
      put = ShortWrite ? n / 2 : 0;
    }
    if (put == 0) return -1;
    int64_t done = Real.Write(f, from, put);
    Positions[f] += done > 0 ? done : 0;
    return done;
  }
  int64_t put = Real.Write(f, from, n);
  if (f >= 0 && f < 64) Positions[f] += put > 0 ? put : 0;
  return put;
}

int FaultLastError(void) { return InjectedError ? InjectedError : Real.LastError(); }

void FaultSleep(uint32_t ms) {
  if (!NoSleep) Real.Sleep(ms);
}

bool ReadGeometry(const char* text, DiskGeometry* g) {
  long long c = 0;
  unsigned t = 0, s = 0, b = 0;
  if (sscanf(text, "%lld:%u:%u:%u", &c, &t, &s, &b) != 4) return false;
  *g = DiskGeometry{c, 12, t, s, b};
  return true;
}

void Configure(const char* list) {
  std::string all = list;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find(',', start);
    if (end == std::string::npos) end = all.size();
    std::string item = all.substr(start, end - start);
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq);
    const char* value = eq == std::string::npos ? "1" : item.c_str() + eq + 1;
    if (key == "read_fail") ReadFail = strtoll(value, nullptr, 10);
    else if (key == "read_call_fail") ReadCallFail = strtoll(value, nullptr, 10);
    else if (key == "short_read") ShortRead = strtoll(value, nullptr, 10);
    else if (key == "write_fail") WriteFail = strtoll(value, nullptr, 10);
    else if (key == "write_times") WriteTimes = strtol(value, nullptr, 10);
    else if (key == "short_write") ShortWrite = true;
    else if (key == "no_sleep") NoSleep = true;
    else if (key == "one_at_a_time") PassesPerRead = BlocksPerWrite = 1;
    else if (key == "no_geometry") NoGeometry = true;
    else if (key == "reopen_fail") ReopenFail = atoi(value);
    else if (key == "shrink") sscanf(value, "%" SCNd64 ":%" SCNd64, &ShrinkAt, &ShrinkTo);
    else if (key == "geometry") HaveGeometry[0] = ReadGeometry(value, &Geometry[0]);
    else if (key == "target_geometry") HaveGeometry[1] = ReadGeometry(value, &Geometry[1]);
    else if (key == "output_capacity") OutputCapacity = strtoll(value, nullptr, 10);
    else if (key == "output_fail") OutputFail = value;
    else if (key == "output_holes") OutputHoles = true;
    else if (!key.empty()) fprintf(stderr, "mendrake-faults: unknown fault '%s'\n", key.c_str());
    start = end + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Real = Platform;
  if (const char* list = getenv("MENDRAKE_FAULTS")) Configure(list);
  Platform.Open = FaultOpen;
  Platform.Close = FaultClose;
  Platform.Seek = FaultSeek;
  Platform.SeekEnd = FaultSeekEnd;
  Platform.DriveGeometry = FaultDriveGeometry;
  Platform.Read = FaultRead;
  Platform.Write = FaultWrite;
  Platform.LastError = FaultLastError;
  Platform.Sleep = FaultSleep;
  return FAULT_ENTRY(argc, argv);
}
