/* A minimal runtime for the benchmark. Its first action is to read the monotonic clock; it then
 * writes that reading (in nanoseconds) to the file named by BENCH_OUT and acts by its argument:
 *   start       exit at once (launch overhead)
 *   exit        read the clock again right before exiting and write that instead (exit delay)
 *   sleep SECS  sleep quietly, then exit (supervision cost) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static long long nowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void record(long long ns) {
  const char* path = getenv("BENCH_OUT");
  if (path == NULL) return;
  FILE* f = fopen(path, "w");
  if (f == NULL) return;
  /* A reading that did not reach the file would be taken as zero: fail the run instead. */
  const int written = fprintf(f, "%lld\n", ns);
  if (fclose(f) != 0 || written < 0) _exit(1);
}

int main(int argc, char** argv) {
  long long first = nowNs();
  const char* mode = argc > 1 ? argv[1] : "start";
  if (strcmp(mode, "exit") == 0) {
    record(nowNs());
    return 0;
  }
  record(first);
  if (strcmp(mode, "sleep") == 0 && argc > 2) {
    struct timespec ts = {strtol(argv[2], NULL, 10), 0};
    while (nanosleep(&ts, &ts) != 0) {
    }
  }
  return 0;
}
