/* A minimal runtime for the benchmark. Its first action is to read the monotonic clock; it then
 * writes that reading (in nanoseconds) to the file named by BENCH_OUT, followed by its own CPU
 * time so far (user + system, in microseconds), and acts by its argument:
 *   start       exit at once (launch overhead)
 *   exit        read the clock again right before exiting and write that instead (exit delay)
 *   sleep SECS  sleep quietly, then exit (supervision cost)
 *   ready SECS  the same, after writing the attempt's ready marker as a runtime does once it is
 *               up (the seed's attempt directory is VORLENT_BOOT_ATTEMPT_DIR, named by the
 *               attempt's nonce) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
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
  struct rusage self;
  long long cpuUs = 0;
  if (getrusage(RUSAGE_SELF, &self) == 0) {
    cpuUs = (long long)(self.ru_utime.tv_sec + self.ru_stime.tv_sec) * 1000000LL +
            self.ru_utime.tv_usec + self.ru_stime.tv_usec;
  }
  FILE* f = fopen(path, "w");
  if (f == NULL) return;
  /* A reading that did not reach the file would be taken as zero: fail the run instead. */
  const int written = fprintf(f, "%lld %lld\n", ns, cpuUs);
  if (fclose(f) != 0 || written < 0) _exit(1);
}

static void reportReady(void) {
  const char* dir = getenv("VORLENT_BOOT_ATTEMPT_DIR");
  if (dir == NULL) return;
  const char* slash = strrchr(dir, '/');
  const char* nonce = slash == NULL ? dir : slash + 1;
  char temporary[4096];
  char marker[4096];
  /* A marker that is not in place would leave this run measuring a runtime that never reported
   * ready: fail it instead. */
  const int temporaryLength = snprintf(temporary, sizeof temporary, "%s/ready-v1.tmp", dir);
  const int markerLength = snprintf(marker, sizeof marker, "%s/ready-v1", dir);
  if (temporaryLength < 0 || (size_t)temporaryLength >= sizeof temporary || markerLength < 0 ||
      (size_t)markerLength >= sizeof marker) {
    _exit(1);
  }
  FILE* f = fopen(temporary, "w");
  if (f == NULL) _exit(1);
  const int written = fprintf(f, "{\"nonce\":\"%s\",\"schemaVersion\":1,\"slot\":\"seed\"}", nonce);
  if (fclose(f) != 0 || written < 0 || rename(temporary, marker) != 0) _exit(1);
}

int main(int argc, char** argv) {
  long long first = nowNs();
  const char* mode = argc > 1 ? argv[1] : "start";
  if (strcmp(mode, "exit") == 0) {
    record(nowNs());
    return 0;
  }
  record(first);
  if (strcmp(mode, "ready") == 0) reportReady();
  if ((strcmp(mode, "sleep") == 0 || strcmp(mode, "ready") == 0) && argc > 2) {
    struct timespec ts = {strtol(argv[2], NULL, 10), 0};
    while (nanosleep(&ts, &ts) != 0) {
    }
  }
  return 0;
}
