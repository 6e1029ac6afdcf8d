/* Fault injection for the end-to-end tests, loaded with LD_PRELOAD into the stub (and, through
 * the inherited environment, into the runtimes it starts). While the file named by
 * FAIL_WRITES_CONTROL exists and its first byte is '1', every attempt to create or rename a
 * temporary file of a "boot-v1..." document (a name holding ".tmp-") fails with EIO, so the
 * durable replacement of the boot document, the previous boot document and attempt records
 * fails before the target is touched. Every injected failure is noted as one line in the file
 * named by FAIL_WRITES_LOG, when set. Built without the sanitizers: a preloaded library must
 * not bring their runtime along. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

typedef int (*OpenFn)(const char *, int, ...);
typedef int (*OpenatFn)(int, const char *, int, ...);
typedef int (*RenameFn)(const char *, const char *);
typedef int (*RenameatFn)(int, const char *, int, const char *);
typedef int (*Renameat2Fn)(int, const char *, int, const char *, unsigned int);

/* The next definition of `name` after this library; a data pointer turned into a function
 * pointer through memcpy, which ISO C allows where a cast is not. */
static void lookUp(const char *name, void *fn, size_t size) {
  void *symbol = dlsym(RTLD_NEXT, name);
  memcpy(fn, &symbol, size);
}

static int targeted(const char *path) {
  const char *base;
  if (path == NULL) return 0;
  base = strrchr(path, '/');
  base = base != NULL ? base + 1 : path;
  return strncmp(base, "boot-v1", 7) == 0 && strstr(base, ".tmp-") != NULL;
}

/* Raw system calls for the control and log files, so that this library never re-enters itself
 * or any other interposed function. */
static int armed(void) {
  const char *control = getenv("FAIL_WRITES_CONTROL");
  char first = 0;
  long fd;
  ssize_t n;
  if (control == NULL) return 0;
  fd = syscall(SYS_openat, AT_FDCWD, control, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  n = read((int)fd, &first, 1);
  close((int)fd);
  return n == 1 && first == '1';
}

static void note(const char *call, const char *path) {
  const char *log = getenv("FAIL_WRITES_LOG");
  char line[4200];
  long fd;
  int length;
  if (log == NULL) return;
  length = snprintf(line, sizeof line, "%s %s\n", call, path);
  if (length <= 0 || (size_t)length >= sizeof line) return;
  fd = syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (write((int)fd, line, (size_t)length) < 0) {
    /* A lost note only weakens what a test can check; the failure is injected all the same. */
  }
  close((int)fd);
}

/* True when this call is to fail: errno is set and the failure noted. */
static int inject(const char *call, const char *path) {
  int saved = errno;
  if (!targeted(path) || !armed()) {
    errno = saved;
    return 0;
  }
  note(call, path);
  errno = EIO;
  return 1;
}

static int creates(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

static mode_t modeArgument(int flags, va_list args) {
  return creates(flags) ? (mode_t)va_arg(args, unsigned int) : 0;
}

int open(const char *path, int flags, ...) {
  static OpenFn next;
  va_list args;
  mode_t mode;
  va_start(args, flags);
  mode = modeArgument(flags, args);
  va_end(args);
  if ((flags & O_CREAT) != 0 && inject("open", path)) return -1;
  if (next == NULL) lookUp("open", &next, sizeof next);
  return next(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
  static OpenFn next;
  va_list args;
  mode_t mode;
  va_start(args, flags);
  mode = modeArgument(flags, args);
  va_end(args);
  if ((flags & O_CREAT) != 0 && inject("open64", path)) return -1;
  if (next == NULL) lookUp("open64", &next, sizeof next);
  return next(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
  static OpenatFn next;
  va_list args;
  mode_t mode;
  va_start(args, flags);
  mode = modeArgument(flags, args);
  va_end(args);
  if ((flags & O_CREAT) != 0 && inject("openat", path)) return -1;
  if (next == NULL) lookUp("openat", &next, sizeof next);
  return next(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
  static OpenatFn next;
  va_list args;
  mode_t mode;
  va_start(args, flags);
  mode = modeArgument(flags, args);
  va_end(args);
  if ((flags & O_CREAT) != 0 && inject("openat64", path)) return -1;
  if (next == NULL) lookUp("openat64", &next, sizeof next);
  return next(dirfd, path, flags, mode);
}

int rename(const char *from, const char *to) {
  static RenameFn next;
  if (inject("rename", from)) return -1;
  if (next == NULL) lookUp("rename", &next, sizeof next);
  return next(from, to);
}

int renameat(int fromDir, const char *from, int toDir, const char *to) {
  static RenameatFn next;
  if (inject("renameat", from)) return -1;
  if (next == NULL) lookUp("renameat", &next, sizeof next);
  return next(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags) {
  static Renameat2Fn next;
  if (inject("renameat2", from)) return -1;
  if (next == NULL) lookUp("renameat2", &next, sizeof next);
  return next(fromDir, from, toDir, to, flags);
}
