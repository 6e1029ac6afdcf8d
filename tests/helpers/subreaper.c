/* Starts a command as a child subreaper, as a container's first process or a service manager
 * starts it: the orphans of its descendants become its own children, which only it can reap.
 * The attribute survives the exec. Usage: subreaper PROGRAM [ARGUMENT...]. Exits 126 when the
 * attribute cannot be set and 127 when the program cannot be started. */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: subreaper PROGRAM [ARGUMENT...]\n");
    return 127;
  }
  if (prctl(PR_SET_CHILD_SUBREAPER, 1L, 0L, 0L, 0L) != 0) {
    perror("subreaper: prctl");
    return 126;
  }
  execv(argv[1], argv + 1);
  perror("subreaper: execv");
  return 127;
}
