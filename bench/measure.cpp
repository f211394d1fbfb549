// measure: runs one command as a child process and prints, on one line,
// its wall-clock time in seconds, its peak resident memory in KiB, its exit
// status (128 + N when killed by signal N) and the processor time it spent
// in user space and in the kernel, in seconds.
//
//   measure OUT command [args...]
//
// The command's standard output goes to OUT, opened as a shell's "> OUT"
// would open it (created, truncated); standard input is /dev/null. The time
// runs from just before the fork to the end of the wait, so it includes the
// opening of OUT, as it would for "command > OUT".
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: measure OUT command [args...]\n");
    return 2;
  }
  double start = Now();
  pid_t child = fork();
  if (child < 0) {
    perror("fork");
    return 2;
  }
  if (child == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || out < 0) {
      perror(argv[1]);
      _exit(127);
    }
    dup2(in, 0);
    dup2(out, 1);
    close(in);
    close(out);
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      perror("wait4");
      return 2;
    }
  }
  double seconds = Now() - start;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  double user = (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6;
  double system = (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
  printf("%.6f %ld %d %.6f %.6f\n", seconds, (long)usage.ru_maxrss, code, user, system);
  return 0;
}
