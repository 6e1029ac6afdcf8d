/* Fault injection for the end-to-end tests, loaded with LD_PRELOAD into the stub (and, through
 * the inherited environment, into the runtimes it starts). The file named by
 * FAIL_WRITES_CONTROL says which fault is on; it is read again at every intercepted call, so a
 * test or a runtime can switch faults while the stub runs. Its text, without a final line feed:
 *
 *   (missing), "0"       no fault
 *   "1"                  creating or renaming the temporary file of a "boot-v1..." document (a
 *                        name holding ".tmp-") fails with EIO, so the durable replacement of the
 *                        boot document, the previous boot document and attempt records fails
 *                        before the target is touched
 *   "document NAME"      the same, only for the temporary files of documents named NAME
 *                        ("document boot-v1.json" spares "boot-v1.previous.json")
 *   "fsync-file"         fsync and fdatasync of a regular file fail with EIO
 *   "fsync-dir"          fsync and fdatasync of a directory fail with EIO
 *   "write-eintr"        every other write to a temporary file (a name holding ".tmp-") fails with
 *                        EINTR before writing anything, the first one included
 *   "fchmod"             fchmod fails with EPERM, as on file systems that keep no modes
 *   "short-read"         read hands out at most 16 bytes per call, as some FUSE and network file
 *                        systems do
 *   "trace-waits"        no fault: every waitpid call is noted, with its pid argument as the path
 *
 * Every injected failure is noted as one line, "<call> <path> <monotonic ms>", in the file named
 * by FAIL_WRITES_LOG, when set; short reads are not failures and are not noted. Under libfaketime
 * (preloaded first) the time is the process's accelerated clock. Built without the sanitizers: a
 * preloaded library must not bring their runtime along. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

typedef int (*OpenFn)(const char *, int, ...);
typedef int (*OpenatFn)(int, const char *, int, ...);
typedef int (*RenameFn)(const char *, const char *);
typedef int (*RenameatFn)(int, const char *, int, const char *);
typedef int (*Renameat2Fn)(int, const char *, int, const char *, unsigned int);
typedef int (*FdFn)(int);
typedef int (*FchmodFn)(int, mode_t);
typedef ssize_t (*WriteFn)(int, const void *, size_t);
typedef ssize_t (*ReadFn)(int, void *, size_t);
typedef pid_t (*WaitpidFn)(pid_t, int *, int);

enum Fault {
  kNone,
  kCreate,
  kDocument,
  kFsyncFile,
  kFsyncDir,
  kWriteEintr,
  kFchmod,
  kShortRead,
  kTraceWaits
};

enum { kShortReadBytes = 16 };

/* The next definition of `name` after this library; a data pointer turned into a function
 * pointer through memcpy, which ISO C allows where a cast is not. */
static void lookUp(const char *name, void *fn, size_t size) {
  void *symbol = dlsym(RTLD_NEXT, name);
  memcpy(fn, &symbol, size);
}

static const char *baseName(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash != NULL ? slash + 1 : path;
}

/* The fault that the control file names, and for kDocument the document's name in `document`.
 * Raw system calls only, so that this library never re-enters itself or any other interposed
 * function. */
static enum Fault currentFault(char *document, size_t size) {
  const char *control = getenv("FAIL_WRITES_CONTROL");
  char text[256];
  long fd;
  long n;
  if (control == NULL) return kNone;
  fd = syscall(SYS_openat, AT_FDCWD, control, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kNone;
  n = syscall(SYS_read, (int)fd, text, sizeof text - 1);
  syscall(SYS_close, (int)fd);
  if (n <= 0) return kNone;
  text[n] = '\0';
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
  if (strcmp(text, "1") == 0) return kCreate;
  if (strcmp(text, "fsync-file") == 0) return kFsyncFile;
  if (strcmp(text, "fsync-dir") == 0) return kFsyncDir;
  if (strcmp(text, "write-eintr") == 0) return kWriteEintr;
  if (strcmp(text, "fchmod") == 0) return kFchmod;
  if (strcmp(text, "short-read") == 0) return kShortRead;
  if (strcmp(text, "trace-waits") == 0) return kTraceWaits;
  if (strncmp(text, "document ", 9) == 0 && (size_t)(n - 9) < size) {
    memcpy(document, text + 9, (size_t)(n - 9) + 1);
    return kDocument;
  }
  return kNone;
}

/* The path behind a descriptor, for the notes and the ".tmp-" test; empty when unknown. */
static void pathOf(int fd, char *path, size_t size) {
  char link[64];
  long n;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  n = syscall(SYS_readlinkat, AT_FDCWD, link, path, size - 1);
  path[n > 0 ? n : 0] = '\0';
}

static void note(const char *call, const char *path) {
  const char *log = getenv("FAIL_WRITES_LOG");
  char line[4300];
  struct timespec now;
  long fd;
  int length;
  if (log == NULL) return;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) now.tv_sec = now.tv_nsec = 0;
  length = snprintf(line, sizeof line, "%s %s %lld\n", call, path,
                    (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
  if (length <= 0 || (size_t)length >= sizeof line) return;
  fd = syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  /* A lost note only weakens what a test can check; the failure is injected all the same. */
  syscall(SYS_write, (int)fd, line, (size_t)length);
  syscall(SYS_close, (int)fd);
}

/* Fails the call with `error` when it is to fail: errno is set and the failure noted. */
static int injectError(const char *call, const char *path, int error) {
  note(call, path);
  errno = error;
  return 1;
}

/* The creation or rename of a temporary file of a targeted document. */
static int inject(const char *call, const char *path) {
  int saved = errno;
  char document[256];
  const char *base;
  enum Fault fault;
  if (path == NULL) return 0;
  base = baseName(path);
  if (strstr(base, ".tmp-") == NULL) return 0;
  fault = currentFault(document, sizeof document);
  if (fault == kCreate && strncmp(base, "boot-v1", 7) == 0) return injectError(call, path, EIO);
  if (fault == kDocument && strncmp(base, document, strlen(document)) == 0 &&
      strncmp(base + strlen(document), ".tmp-", 5) == 0) {
    return injectError(call, path, EIO);
  }
  errno = saved;
  return 0;
}

/* A sync of a regular file or a directory, as the fault asks. */
static int injectSync(const char *call, int fd) {
  int saved = errno;
  char document[256];
  char path[4096];
  struct stat info;
  enum Fault fault = currentFault(document, sizeof document);
  if ((fault == kFsyncFile || fault == kFsyncDir) && fstat(fd, &info) == 0 &&
      ((fault == kFsyncFile && S_ISREG(info.st_mode)) ||
       (fault == kFsyncDir && S_ISDIR(info.st_mode)))) {
    pathOf(fd, path, sizeof path);
    return injectError(call, path, EIO);
  }
  errno = saved;
  return 0;
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

int fsync(int fd) {
  static FdFn next;
  if (injectSync("fsync", fd)) return -1;
  if (next == NULL) lookUp("fsync", &next, sizeof next);
  return next(fd);
}

int fdatasync(int fd) {
  static FdFn next;
  if (injectSync("fdatasync", fd)) return -1;
  if (next == NULL) lookUp("fdatasync", &next, sizeof next);
  return next(fd);
}

int fchmod(int fd, mode_t mode) {
  static FchmodFn next;
  int saved = errno;
  char document[256];
  char path[4096];
  if (currentFault(document, sizeof document) == kFchmod) {
    pathOf(fd, path, sizeof path);
    injectError("fchmod", path, EPERM);
    return -1;
  }
  errno = saved;
  if (next == NULL) lookUp("fchmod", &next, sizeof next);
  return next(fd, mode);
}

ssize_t write(int fd, const void *data, size_t size) {
  static WriteFn next;
  static int interrupted; /* whether the last write to a temporary file was failed */
  int saved = errno;
  char document[256];
  char path[4096];
  if (currentFault(document, sizeof document) == kWriteEintr) {
    pathOf(fd, path, sizeof path);
    if (strstr(baseName(path), ".tmp-") != NULL) {
      interrupted = !interrupted;
      if (interrupted) {
        injectError("write", path, EINTR);
        return -1;
      }
    }
  }
  errno = saved;
  if (next == NULL) lookUp("write", &next, sizeof next);
  return next(fd, data, size);
}

ssize_t read(int fd, void *data, size_t size) {
  static ReadFn next;
  int saved = errno;
  char document[256];
  if (size > kShortReadBytes && currentFault(document, sizeof document) == kShortRead) {
    size = kShortReadBytes;
  }
  errno = saved;
  if (next == NULL) lookUp("read", &next, sizeof next);
  return next(fd, data, size);
}

pid_t waitpid(pid_t pid, int *status, int options) {
  static WaitpidFn next;
  int saved = errno;
  char document[256];
  if (currentFault(document, sizeof document) == kTraceWaits) {
    char target[32];
    snprintf(target, sizeof target, "%d", (int)pid);
    note("waitpid", target);
  }
  errno = saved;
  if (next == NULL) lookUp("waitpid", &next, sizeof next);
  return next(pid, status, options);
}
