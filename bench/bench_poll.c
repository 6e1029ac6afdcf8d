/* The benchmark's reference for the supervision cost: starts the command given as its arguments
 * and does nothing but poll it with waitpid(WNOHANG) every 250 ms until it has ended, the least
 * that any 250 ms poll can cost. With --look PATH it also opens PATH on every poll (closing it
 * again when it exists), as a supervisor does that looks for a marker file each time.
 * Usage: bench_poll [--look PATH] EXECUTABLE [ARGUMENTS...] */
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  const char* look = NULL;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "--look") == 0) {
    look = argv[2];
    first = 3;
  }
  if (argc <= first) {
    (void)fprintf(stderr, "usage: %s [--look PATH] EXECUTABLE [ARGUMENTS...]\n", argv[0]);
    return 2;
  }
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[first], NULL, NULL, argv + first, environ) != 0) return 1;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return 0;
    if (look != NULL) {
      const int fd = open(look, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      if (fd >= 0) (void)close(fd);
    }
    struct timespec pause = {0, 250000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }
}
