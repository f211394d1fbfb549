// The platform layer over POSIX (Linux). Devices answer the geometry request
// from the kernel's block-device queries; "unbuffered" is O_DIRECT, with a
// buffered companion descriptor for the reads and writes the kernel refuses
// for alignment.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "core/platform.h"

namespace {

constexpr int MaxFiles = 16;

struct OpenFile {
  bool used;
  int fd;
  bool stream;      // standard output: written where it stands, never moved in
  int buffered_fd;  // opened on the first refused direct transfer
  bool direct;
  int flags;        // open flags without O_DIRECT, for the companion
  char* path;
  // Files that can seek keep their position here and move data with
  // pread/pwrite: one system call per transfer instead of two.
  bool seekable;
  int64_t position;
};

OpenFile Files[MaxFiles];
int LastErrorCode = 0;

OpenFile* Lookup(FileRef file) {
  if (file < 0 || file >= MaxFiles || !Files[file].used) return nullptr;
  return &Files[file];
}

// Returns the descriptor, or -1. Directories are refused in every mode: they
// are never a message base, a target or a log. Nothing waits at the open: a
// FIFO opened for reading does not wait for a writer (its size query fails
// later), and one written to is opened write-only, so that it is refused
// (ENXIO) while no reader holds it instead of filling up unread and blocking
// the run, and a reader that goes away fails the writes (EPIPE). A FIFO is
// never opened for direct transfers (on a pipe that means packets).
int OpenDescriptor(const char* path, int flags) {
  struct stat st;
  if (stat(path, &st) == 0 && S_ISFIFO(st.st_mode)) {
    flags &= ~O_DIRECT;
    if ((flags & O_ACCMODE) != O_RDONLY) flags = (flags & ~(O_ACCMODE | O_CREAT | O_TRUNC)) | O_WRONLY;
  }
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return -1;
  }
  // Transfers wait as usual once the file is open.
  int now = fcntl(fd, F_GETFL);
  if (now >= 0) fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
  return fd;
}

// A new file in place of whatever the name held: the name is removed (a
// link goes, never what it leads to) and the file created exclusively, which
// never follows a link. A name that comes back between the two (another
// process) is removed again, a few times. Returns the descriptor, or -1.
int CreateInPlace(const char* path) {
  for (int tries = 0; tries < 8; tries++) {
    if (unlink(path) != 0 && errno != ENOENT) return -1;
    int fd;
    do {
      fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// A new file, or an existing one that holds nothing yet; an existing file
// with bytes in it is refused untouched (EEXIST). Returns the descriptor, or -1.
int CreateUnused(const char* path) {
  int fd;
  do {
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0 || errno != EEXIST) return fd;
  fd = OpenDescriptor(path, O_WRONLY);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    close(fd);
    errno = EEXIST;
    return -1;
  }
  return fd;
}

FileRef PosixOpen(const char* path, OpenKind kind, bool unbuffered) {
  int flags = O_RDONLY;
  switch (kind) {
    case OpenSource: flags = O_RDONLY; break;
    case OpenTargetExisting: flags = O_RDWR; break;
    case OpenTargetAlways: flags = O_RDWR | O_CREAT; break;
    case OpenLogReplace: flags = O_RDWR | O_CREAT | O_TRUNC; break;
    case OpenOutputNew:
    case OpenOutputUnused:
    case OpenStandardOutput: flags = O_WRONLY; unbuffered = false; break;
  }
  int slot = 0;
  while (slot < MaxFiles && Files[slot].used) slot++;
  if (slot == MaxFiles) {
    LastErrorCode = EMFILE;
    return NoFile;
  }
  bool direct = false;
  int fd = -1;
  if (kind == OpenOutputNew) {
    fd = CreateInPlace(path);
  } else if (kind == OpenOutputUnused) {
    fd = CreateUnused(path);
  } else if (kind == OpenStandardOutput) {
    fd = fcntl(1, F_DUPFD_CLOEXEC, 3);
  } else if (unbuffered) {
    fd = OpenDescriptor(path, flags | O_DIRECT);
    direct = fd >= 0;
    // A file system that refuses O_DIRECT gets the file through the cache.
    if (fd < 0 && errno == EINVAL) fd = OpenDescriptor(path, flags);
  } else {
    fd = OpenDescriptor(path, flags);
  }
  if (fd < 0) {
    LastErrorCode = errno;
    return NoFile;
  }
  if (kind == OpenSource) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  OpenFile& f = Files[slot];
  f.used = true;
  f.fd = fd;
  f.buffered_fd = -1;
  f.direct = direct;
  f.flags = flags & ~(O_CREAT | O_TRUNC);
  f.path = strdup(kind == OpenStandardOutput ? "-" : path);
  f.stream = kind == OpenStandardOutput;
  f.seekable = !f.stream && lseek(fd, 0, SEEK_CUR) >= 0;
  f.position = 0;
  return slot;
}

int PosixClose(FileRef file) {
  OpenFile* f = Lookup(file);
  if (!f) return 1;
  int closed = close(f->fd) == 0;
  if (!closed) LastErrorCode = errno;
  if (f->buffered_fd >= 0 && close(f->buffered_fd) != 0 && closed) {
    closed = 0;
    LastErrorCode = errno;
  }
  free(f->path);
  *f = OpenFile();
  return closed;
}

int PosixSeek(FileRef file, int64_t offset) {
  OpenFile* f = Lookup(file);
  if (!f) return 0;
  if (f->seekable && offset >= 0) {
    f->position = offset;
    return 1;
  }
  if (f->stream) {
    LastErrorCode = ESPIPE;
    return 0;
  }
  if (lseek(f->fd, (off_t)offset, SEEK_SET) < 0) {
    LastErrorCode = errno;
    return 0;
  }
  return 1;
}

bool IsBlockDevice(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
}

// A device has no end position here, as on the systems the tool was first
// written for; its size comes from the geometry request instead.
int PosixSeekEnd(FileRef file, int64_t* end) {
  OpenFile* f = Lookup(file);
  if (!f) return 0;
  if (f->stream || IsBlockDevice(f->fd)) {
    LastErrorCode = ESPIPE;
    return 0;
  }
  off_t pos = lseek(f->fd, 0, SEEK_END);
  if (pos < 0) {
    LastErrorCode = errno;
    return 0;
  }
  *end = (int64_t)pos;
  f->position = (int64_t)pos;
  return 1;
}

// The descriptor that takes a transfer the kernel refused to do directly.
int Companion(OpenFile* f) {
  if (f->buffered_fd < 0) f->buffered_fd = OpenDescriptor(f->path, f->flags);
  return f->buffered_fd;
}

// One read or write of at most n bytes at the file's position: pread/pwrite
// where it can seek, read/write on a pipe or terminal.
ssize_t MoveOnce(OpenFile* f, int fd, uint8_t* data, uint32_t n, bool writing) {
  if (!f->seekable) return writing ? write(fd, data, n) : read(fd, data, n);
  return writing ? pwrite(fd, data, n, (off_t)f->position) : pread(fd, data, n, (off_t)f->position);
}

// Moves n bytes at the position of f. Returns the count moved (short only
// at the end of the file), or -1 with errno set.
int64_t Transfer(OpenFile* f, uint8_t* data, uint32_t n, bool writing) {
  uint32_t done = 0;
  int fd = f->fd;
  while (done < n) {
    ssize_t got = MoveOnce(f, fd, data + done, n - done, writing);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EINVAL && f->direct && f->seekable && fd == f->fd) {
      // Refused for alignment: the rest goes through the cache, at the same
      // position, by the buffered companion descriptor.
      fd = Companion(f);
      if (fd < 0) return -1;
      continue;
    }
    // A write that fails part-way reports what it put: those bytes are in
    // the file, and the caller keeps count of them.
    if (got < 0) return writing && done > 0 ? (int64_t)done : -1;
    if (got == 0) break;
    done += (uint32_t)got;
    if (f->seekable) f->position += got;
  }
  return done;
}

int64_t PosixRead(FileRef file, void* into, uint32_t n) {
  OpenFile* f = Lookup(file);
  if (!f) {
    LastErrorCode = EBADF;
    return -1;
  }
  errno = 0;
  int64_t got = Transfer(f, (uint8_t*)into, n, false);
  // A short count at the end of the file is no error: report code 0.
  LastErrorCode = got < 0 ? errno : 0;
  return got;
}

int64_t PosixWrite(FileRef file, const void* from, uint32_t n) {
  OpenFile* f = Lookup(file);
  if (!f) {
    LastErrorCode = EBADF;
    return -1;
  }
  errno = 0;
  int64_t put = Transfer(f, (uint8_t*)from, n, true);
  if (put < 0 || put < n) LastErrorCode = errno ? errno : ENOSPC;
  return put;
}

int PosixLastError(void) { return LastErrorCode; }

int PosixDriveGeometry(FileRef file, DiskGeometry* geometry) {
  OpenFile* f = Lookup(file);
  if (!f || !IsBlockDevice(f->fd)) return 0;
  uint64_t bytes = 0;
  int sector = 0;
  if (ioctl(f->fd, BLKGETSIZE64, &bytes) != 0 || ioctl(f->fd, BLKSSZGET, &sector) != 0 ||
      sector <= 0) {
    LastErrorCode = errno;
    return 0;
  }
  // The kernel knows no cylinders: describe the disk as one sector per track.
  geometry->cylinders = (int64_t)(bytes / (uint64_t)sector);
  geometry->media_type = 12;  // fixed media
  geometry->tracks_per_cylinder = 1;
  geometry->sectors_per_track = 1;
  geometry->bytes_per_sector = (uint32_t)sector;
  return 1;
}

int PosixSameFile(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return 0;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Room for a path made absolute and canonical.
constexpr size_t PathRoom = PATH_MAX + 1;

// Appends one component to the canonical path `out` (with `used` bytes):
// "." stays, ".." goes up (never above "/"), a name is added behind a "/".
// Returns false when the result would not fit.
bool AddComponent(char* out, size_t* used, const char* name, size_t n) {
  if (n == 1 && name[0] == '.') return true;
  if (n == 2 && name[0] == '.' && name[1] == '.') {
    char* slash = strrchr(out, '/');
    *used = slash == out ? 1 : (size_t)(slash - out);
    out[*used] = '\0';
    return true;
  }
  size_t sep = out[*used - 1] == '/' ? 0 : 1;
  if (*used + sep + n >= PathRoom) return false;
  if (sep) out[(*used)++] = '/';
  memcpy(out + *used, name, n);
  *used += n;
  out[*used] = '\0';
  return true;
}

// The absolute, canonical form of a path whose file need not exist: the
// longest existing part of its directory resolved by realpath (".", "..",
// symbolic links), the missing rest taken as written (a directory that does
// not exist is no link), and the last component as it stands. Returns false
// for an empty path or one that does not fit.
bool CanonicalPath(const char* path, char* out) {
  char whole[PathRoom];
  if (!*path) return false;
  if (path[0] == '/') {
    if (strlen(path) >= PathRoom) return false;
    strcpy(whole, path);
  } else {
    if (!getcwd(whole, PathRoom)) return false;
    size_t cwd = strlen(whole);
    if (cwd + 1 + strlen(path) >= PathRoom) return false;
    whole[cwd] = '/';
    strcpy(whole + cwd + 1, path);
  }
  // The components: starts and lengths, empty ones (a doubled or trailing
  // "/") left out.
  const char* start[PathRoom / 2];
  size_t length[PathRoom / 2];
  size_t count = 0;
  for (const char* p = whole; *p;) {
    while (*p == '/') p++;
    const char* q = p;
    while (*q && *q != '/') q++;
    if (q > p) {
      start[count] = p;
      length[count++] = (size_t)(q - p);
    }
    p = q;
  }
  // A last component "." or ".." names a directory: all of it is resolved.
  size_t dirs = count;
  if (count > 0) {
    const char* last = start[count - 1];
    bool dots = (length[count - 1] == 1 && last[0] == '.') ||
                (length[count - 1] == 2 && last[0] == '.' && last[1] == '.');
    if (!dots) dirs = count - 1;
  }
  // The longest leading part of the directory that realpath resolves.
  size_t resolved = dirs;
  for (;; resolved--) {
    char prefix[PathRoom];
    size_t end = resolved == 0 ? 0 : (size_t)(start[resolved - 1] + length[resolved - 1] - whole);
    memcpy(prefix, whole, end);
    prefix[end] = '\0';
    if (end == 0) strcpy(prefix, "/");
    if (realpath(prefix, out)) break;
    if (resolved == 0) return false;
  }
  size_t used = strlen(out);
  for (size_t k = resolved; k < count; k++)
    if (!AddComponent(out, &used, start[k], length[k])) return false;
  return true;
}

// The same existing file, or the same canonical name; where a name cannot
// be made canonical, the same text.
int PosixSamePath(const char* a, const char* b) {
  if (PosixSameFile(a, b)) return 1;
  char ca[PathRoom], cb[PathRoom];
  if (CanonicalPath(a, ca) && CanonicalPath(b, cb)) return strcmp(ca, cb) == 0;
  return *a && strcmp(a, b) == 0;
}

void PosixSleep(uint32_t milliseconds) {
  struct timespec t;
  t.tv_sec = milliseconds / 1000;
  t.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

// Console output goes straight out on a terminal (the progress dots show as
// the passes run) and through a buffer when redirected.
constexpr size_t ConsoleBufferSize = 65536;
char ConsoleBuffer[ConsoleBufferSize];
size_t ConsoleFill = 0;
int ConsoleIsTerminal = -1;
// Some console output could not be written: a closed console must not stop
// the recovery, but a report that did not arrive is the companions' failure.
bool ConsoleLost = false;
int ConsoleError = 0;

void WriteOut(const char* text, size_t n) {
  while (n > 0) {
    ssize_t put = write(1, text, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (!ConsoleLost) ConsoleError = put < 0 ? errno : ENOSPC;
      ConsoleLost = true;
      return;
    }
    text += put;
    n -= (size_t)put;
  }
}

int PosixConsoleFlush(void) {
  WriteOut(ConsoleBuffer, ConsoleFill);
  ConsoleFill = 0;
  if (!ConsoleLost) return 1;
  LastErrorCode = ConsoleError;
  return 0;
}

void PosixConsoleWrite(const char* text, size_t n) {
  if (ConsoleIsTerminal < 0) ConsoleIsTerminal = isatty(1);
  if (ConsoleIsTerminal) {
    WriteOut(text, n);
    return;
  }
  if (ConsoleFill + n > ConsoleBufferSize) PosixConsoleFlush();
  if (n >= ConsoleBufferSize) {
    WriteOut(text, n);
    return;
  }
  memcpy(ConsoleBuffer + ConsoleFill, text, n);
  ConsoleFill += n;
}

void* PosixAllocate(size_t n, size_t alignment) {
  if (alignment <= alignof(max_align_t)) return malloc(n ? n : 1);
  void* area = nullptr;
  if (posix_memalign(&area, alignment, n ? n : 1) != 0) return nullptr;
  return area;
}

void PosixRelease(void* area) { free(area); }

int PosixTruncate(FileRef file, int64_t size) {
  OpenFile* f = Lookup(file);
  struct stat st;
  if (!f || fstat(f->fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  if (ftruncate(f->fd, (off_t)size) != 0) {
    LastErrorCode = errno;
    return 0;
  }
  return 1;
}

void PosixErrorWrite(const char* text, size_t n) {
  while (n > 0) {
    ssize_t put = write(2, text, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    text += put;
    n -= (size_t)put;
  }
}

int PosixIsTerminal(int stream) { return isatty(stream == 2 ? 2 : 1) ? 1 : 0; }

int PosixMakeDirectory(const char* path) {
  if (mkdir(path, 0777) == 0) return 1;
  struct stat st;
  if (errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 1;
  LastErrorCode = errno;
  return 0;
}

int PosixSetModifiedTime(FileRef file, int64_t seconds) {
  OpenFile* f = Lookup(file);
  if (!f) return 0;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = (time_t)seconds;
  times[1].tv_nsec = 0;
  if (futimens(f->fd, times) != 0) {
    LastErrorCode = errno;
    return 0;
  }
  return 1;
}

const char* PosixErrorText(int code) { return strerror(code); }

int PosixRemove(const char* path) {
  if (unlink(path) == 0) return 1;
  LastErrorCode = errno;
  return 0;
}

// Every kernel this builds for keeps the SSE registers of each process.
int PosixVectorStateSaved(void) { return 1; }

}  // namespace

const int ErrorExists = EEXIST;

PlatformOps Platform = {
    PosixOpen,  PosixClose,         PosixSeek,     PosixSeekEnd, PosixRead,
    PosixWrite, PosixLastError,     PosixDriveGeometry, PosixSameFile, PosixSleep,
    PosixConsoleWrite, PosixConsoleFlush, PosixAllocate, PosixRelease,
    PosixTruncate, PosixErrorWrite, PosixIsTerminal, PosixMakeDirectory, PosixSetModifiedTime,
    PosixSamePath, PosixErrorText, PosixRemove, PosixVectorStateSaved,
};

void PlatformStart(void) {
  // A standard stream the caller closed (>&-) is opened on /dev/null, the
  // way round that makes its transfers fail: no file this run opens may
  // take its number, or an output would receive the error lines meant for
  // the closed stream, and a report to a closed stream still fails.
  for (int fd = 0; fd <= 2; fd++)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
  // A reader that goes away (mendrake -l base | head) must not kill a run
  // that is still writing its target.
  signal(SIGPIPE, SIG_IGN);
}

int PlatformWindows(void) { return 0; }

// A terminal window outlives the programs run in it.
int PlatformKeepWindow(int exit_code) { return exit_code; }

// Every Linux runs the wide profile: arguments come whole from the system.
int PlatformProfile(void) { return ProfileWide; }

const char* PlatformCommandLine(void) { return ""; }

void PlatformArgumentList(int argc, char** argv, int* count, char*** args) {
  *count = argc;
  *args = argv;
}
