// A stand-in for the runtime that the launcher starts, built for the tests only. It carries out
// a short script of commands: the lines of "<argv[0]>.plan" when that file exists (so a test can
// install it as an entry executable and still receive forwarded arguments untouched), else one
// command per argument. It writes what it saw (arguments, environment, descriptors), writes the
// markers and restart requests that the launcher reads, and builds process trees to be ended.
//
// Exit codes: 0 after the last command, or the code of "exit N"; 99 for an unknown or malformed
// command; 98 when "wait-for", "wait-for-text" or "lock-until-waited" times out; 97 when a file
// cannot be written.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/Records.hpp"

namespace {

constexpr int kExitBadCommand = 99;
constexpr int kExitTimeout = 98;
constexpr int kExitWriteFailed = 97;
constexpr std::uint64_t kDefaultWaitMs = 60000;
// An orphan that nobody kills ends itself after this long, so a failed test cannot leave it
// behind for good.
constexpr std::uint64_t kOrphanLifetimeMs = 600000;

std::string errnoText(std::string_view what, int errorNumber) {
  std::string text(what);
  text += ": ";
  text += std::strerror(errorNumber);
  return text;
}

[[noreturn]] void fail(int code, const std::string& message) {
  std::fprintf(stderr, "test_runtime: %s\n", message.c_str());
  std::exit(code);
}

void pauseMs(std::uint64_t ms) {
  timespec want{};
  want.tv_sec = static_cast<time_t>(ms / 1000);
  want.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
  timespec left{};
  while (::nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

std::uint64_t nowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// Polls `done` every 10 ms until it is true; after `limitMs` the runtime ends with kExitTimeout
// and `failure`.
template <class Done>
void waitUntil(std::uint64_t limitMs, const std::string& failure, Done done) {
  const std::uint64_t start = nowMs();
  while (!done()) {
    if (nowMs() - start >= limitMs) fail(kExitTimeout, failure);
    pauseMs(10);
  }
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Empty optional when the file cannot be read.
std::optional<std::string> readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// Replaces the file's content in one step (temporary file and rename), so a reader never sees
// a half-written document. Returns an error text, empty on success.
std::string replaceFile(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".test_runtime-" + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errnoText("open " + temporary, errno);
  if (!writeAll(fd, text)) {
    const int saved = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    return errnoText("write " + temporary, saved);
  }
  if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    return errnoText("replace " + path, saved);
  }
  return {};
}

// Appends with one write request on an O_APPEND descriptor. Returns an error text, empty on
// success.
std::string appendFile(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return errnoText("open " + path, errno);
  const bool written = writeAll(fd, text);
  const int saved = errno;
  ::close(fd);
  return written ? std::string() : errnoText("write " + path, saved);
}

void mustReplace(const std::string& path, std::string_view text) {
  const std::string problem = replaceFile(path, text);
  if (!problem.empty()) fail(kExitWriteFailed, problem);
}

void mustAppend(const std::string& path, std::string_view text) {
  const std::string problem = appendFile(path, text);
  if (!problem.empty()) fail(kExitWriteFailed, problem);
}

// Open descriptors of this process, ascending, without the one used to list them.
std::vector<int> openDescriptors() {
  std::vector<int> out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return out;
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != own) out.push_back(fd);
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end());
  return out;
}

int leaseDescriptor() {
  const char* text = std::getenv("VORLENT_BOOT_LEASE");
  return text != nullptr && *text != '\0' ? std::atoi(text) : -1;
}

std::optional<std::uint64_t> number(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

std::optional<int> signalNumber(const std::string& name) {
  static const struct {
    const char* name;
    int number;
  } kSignals[] = {
      {"KILL", SIGKILL}, {"TERM", SIGTERM}, {"SEGV", SIGSEGV}, {"ABRT", SIGABRT}, {"INT", SIGINT}};
  for (const auto& s : kSignals) {
    if (name == s.name) return s.number;
  }
  const std::optional<std::uint64_t> n = number(name);
  if (n && *n > 0 && *n < static_cast<std::uint64_t>(NSIG)) return static_cast<int>(*n);
  return std::nullopt;
}

struct Runtime {
  int argc = 0;
  char** argv = nullptr;
  std::string attemptDir;
  bool attemptLoaded = false;
  std::string slot = "none";
  std::string nonce = "none";

  std::string resolve(const std::string& path) const {
    if (path.empty() || path[0] == '/' || attemptDir.empty()) return path;
    return attemptDir + "/" + path;
  }

  // The slot and nonce of this attempt, from its attempt record.
  void loadAttempt() {
    if (attemptLoaded) return;
    attemptLoaded = true;
    if (attemptDir.empty()) return;
    const std::optional<std::string> text =
        readFile(attemptDir + "/" + std::string(launcher_stub::kBoot));
    if (!text) return;
    launcher_stub::Attempt attempt;
    std::string error;
    if (!launcher_stub::parseAttempt(*text, attempt, error)) return;
    slot = attempt.slot;
    nonce = attempt.nonce;
  }

  void record(const std::string& path) const {
    const std::vector<int> fds = openDescriptors();  // before the output file is opened
    std::string text;
    for (int i = 0; i < argc; ++i) {
      text += "arg " + std::to_string(i) + " " + argv[i] + "\n";
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
      text += "env ";
      text += *entry;
      text += "\n";
    }
    for (const int fd : fds) text += "fd " + std::to_string(fd) + "\n";
    // The signal state and file-creation mask that this process was started with.
    const std::optional<std::string> status = readFile("/proc/self/status");
    for (const char* field : {"SigBlk:", "SigIgn:", "Umask:"}) {
      const std::size_t at = status ? status->find(std::string("\n") + field) : std::string::npos;
      if (at == std::string::npos) continue;
      const std::size_t valueAt = status->find_first_not_of(" \t", at + 1 + std::strlen(field));
      const std::size_t lineEnd = status->find('\n', valueAt);
      text += std::string(field, std::strlen(field) - 1) + " " +
              status->substr(valueAt, lineEnd - valueAt) + "\n";
    }
    text += "end\n";
    mustAppend(path, text);
  }

  void log(const std::string& path) {
    loadAttempt();
    std::string line = slot + " " + nonce + " ";
    for (int i = 1; i < argc; ++i) {
      if (i > 1) line += " ";
      line += argv[i];
    }
    line += "\n";
    mustAppend(path, line);
  }

  void marker(const std::string& name, const std::string& markerSlot,
              const std::string& markerNonce) const {
    launcher_stub::Marker m;
    m.slot = markerSlot;
    m.nonce = markerNonce;
    mustReplace(resolve(name), launcher_stub::serialize(m));
  }

  void restart(const std::optional<std::string>& requestId) {
    loadAttempt();
    launcher_stub::Restart r;
    r.slot = slot;
    r.nonce = nonce;
    r.requestId = requestId;
    mustReplace(resolve(std::string(launcher_stub::kRestart)), launcher_stub::serialize(r));
  }

  // In a forked helper process: writes its pid to `pidFile` (when given) and then tells the
  // parent through the pipe that it is in place.
  static void announce(const std::optional<std::string>& pidFile, int syncWrite) {
    if (pidFile) {
      const std::string problem = replaceFile(*pidFile, std::to_string(::getpid()));
      if (!problem.empty()) {
        std::fprintf(stderr, "test_runtime: %s\n", problem.c_str());
        ::_exit(kExitWriteFailed);
      }
    }
    const char done = 'x';
    static_cast<void>(::write(syncWrite, &done, 1));
    ::close(syncWrite);
  }

  // In the parent: waits until the helper has announced itself (or has ended).
  static void awaitAnnouncement(const int sync[2]) {
    ::close(sync[1]);
    char done = 0;
    while (::read(sync[0], &done, 1) < 0 && errno == EINTR) {
    }
    ::close(sync[0]);
  }

  // A member of this process group that ignores every signal it can. It is forked from a
  // keeper that leaves the group and does nothing but reap it, so the orphan's end is always
  // collected even where no init process reaps orphans; otherwise its zombie would keep the
  // group alive. With `restartAtEnd` the keeper, once the orphan has died and while its zombie
  // still keeps the group alive, writes this attempt's restart request (without request id),
  // and only then reaps it: the request exists only after the whole group is gone. Returns once
  // the orphan is in the group and its pid file is written.
  void orphan(const std::string& pidFile, bool restartAtEnd) {
    if (restartAtEnd) loadAttempt();
    const pid_t group = ::getpgrp();
    int sync[2];
    if (::pipe2(sync, O_CLOEXEC) != 0) fail(kExitWriteFailed, errnoText("pipe2", errno));
    std::fflush(nullptr);
    const pid_t keeper = ::fork();
    if (keeper < 0) fail(kExitWriteFailed, errnoText("fork", errno));
    if (keeper == 0) {
      ::close(sync[0]);
      ::setpgid(0, 0);
      const pid_t child = ::fork();
      if (child == 0) {
        if (::setpgid(0, group) != 0) ::_exit(1);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        for (int s = 1; s < NSIG; ++s) {
          if (s != SIGKILL && s != SIGSTOP) ::sigaction(s, &ignore, nullptr);
        }
        announce(pidFile, sync[1]);
        pauseMs(kOrphanLifetimeMs);
        ::_exit(0);
      }
      ::close(sync[1]);
      if (child > 0 && restartAtEnd) {
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) < 0 &&
               errno == EINTR) {
        }
        restart(std::nullopt);
      }
      int status = 0;
      while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      ::_exit(0);
    }
    awaitAnnouncement(sync);
  }

  // A member of this process group that sleeps `ms` and ends, and that nobody here waits for:
  // once this process has exited it is an orphan of whoever reaps orphans.
  static void linger(std::uint64_t ms) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) fail(kExitWriteFailed, errnoText("fork", errno));
    if (child == 0) {
      pauseMs(ms);
      ::_exit(0);
    }
  }

  // Takes an exclusive lock on `path` and returns once the parent process (the launcher) has
  // a descriptor open on that file (waiting at most `limitMs`), which it does only while it waits
  // for the lock or holds it. The lock is held on by a helper in a session of its own until this
  // process has ended (it is a zombie or gone), so whoever takes the lock next finds this process
  // ended.
  static void lockUntilWaited(const std::string& path, std::uint64_t limitMs) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0) fail(kExitWriteFailed, errnoText("open " + path, errno));
    if (::flock(fd, LOCK_EX) != 0) fail(kExitWriteFailed, errnoText("flock " + path, errno));
    struct stat own {};
    if (::fstat(fd, &own) != 0) fail(kExitWriteFailed, errnoText("fstat " + path, errno));
    const pid_t self = ::getpid();
    // This process keeps the write end until it ends, so the helper sleeps in a read until then
    // instead of competing for the processor while the launcher waits.
    int ended[2];
    if (::pipe2(ended, O_CLOEXEC) != 0) fail(kExitWriteFailed, errnoText("pipe", errno));
    std::fflush(nullptr);
    const pid_t holder = ::fork();
    if (holder < 0) fail(kExitWriteFailed, errnoText("fork", errno));
    if (holder == 0) {
      // The same open file description, so the same lock; it goes when this helper ends.
      ::setsid();
      ::close(ended[1]);
      char byte = 0;
      while (::read(ended[0], &byte, 1) < 0 && errno == EINTR) {
      }
      // The descriptors go a moment before the process becomes a zombie.
      const std::string stat = "/proc/" + std::to_string(self) + "/stat";
      for (const std::uint64_t start = nowMs(); nowMs() - start < limitMs; pauseMs(1)) {
        const std::optional<std::string> text = readFile(stat);
        const std::size_t paren = text ? text->rfind(')') : std::string::npos;
        if (paren == std::string::npos || paren + 2 >= text->size() || (*text)[paren + 2] == 'Z') {
          break;
        }
      }
      ::_exit(0);
    }
    ::close(ended[0]);
    const std::string parentFds = "/proc/" + std::to_string(::getppid()) + "/fd";
    // Every 10 ms: the launcher waits up to 5000 ms for a lock.
    waitUntil(limitMs, "nobody waited for " + path, [&] {
      DIR* dir = ::opendir(parentFds.c_str());
      bool found = false;
      while (dir != nullptr && !found) {
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) break;
        struct stat info {};
        found = entry->d_name[0] != '.' &&
                ::stat((parentFds + "/" + entry->d_name).c_str(), &info) == 0 &&
                info.st_dev == own.st_dev && info.st_ino == own.st_ino;
      }
      if (dir != nullptr) ::closedir(dir);
      return found;
    });
  }

  // A process outside the group (its own session) that keeps only the lease and the standard
  // descriptors. Returns once its pid file is written.
  void holdLease(std::uint64_t ms, const std::optional<std::string>& pidFile) const {
    const int lease = leaseDescriptor();
    int sync[2];
    if (::pipe2(sync, O_CLOEXEC) != 0) fail(kExitWriteFailed, errnoText("pipe2", errno));
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) fail(kExitWriteFailed, errnoText("fork", errno));
    if (child == 0) {
      ::setsid();
      for (const int fd : openDescriptors()) {
        if (fd >= 3 && fd != lease && fd != sync[1]) ::close(fd);
      }
      announce(pidFile, sync[1]);
      pauseMs(ms);
      ::_exit(0);
    }
    awaitAnnouncement(sync);
  }
};

std::vector<std::string> splitWords(const std::string& command, std::size_t maxWords) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (words.size() + 1 < maxWords) {
    const std::size_t space = command.find(' ', start);
    if (space == std::string::npos) break;
    words.push_back(command.substr(start, space - start));
    start = space + 1;
  }
  words.push_back(command.substr(start));
  return words;
}

[[noreturn]] void badCommand(const std::string& command) {
  fail(kExitBadCommand, "unknown command: " + command);
}

std::uint64_t numberOrFail(const std::string& text, const std::string& command) {
  const std::optional<std::uint64_t> n = number(text);
  if (!n) badCommand(command);
  return *n;
}

std::vector<std::string> commands(int argc, char** argv) {
  std::vector<std::string> out;
  if (argc > 0) {
    const std::string plan = std::string(argv[0]) + ".plan";
    if (exists(plan)) {
      const std::optional<std::string> text = readFile(plan);
      if (!text) fail(kExitBadCommand, "cannot read " + plan);
      std::size_t start = 0;
      while (start <= text->size()) {
        std::size_t end = text->find('\n', start);
        if (end == std::string::npos) end = text->size();
        std::string line = text->substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] != '#') out.push_back(line);
        start = end + 1;
      }
      return out;
    }
  }
  for (int i = 1; i < argc; ++i) out.emplace_back(argv[i]);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Runtime runtime;
  runtime.argc = argc;
  runtime.argv = argv;
  if (const char* dir = std::getenv("VORLENT_BOOT_ATTEMPT_DIR")) runtime.attemptDir = dir;

  const std::vector<std::string> script = commands(argc, argv);
  for (std::size_t i = 0; i < script.size(); ++i) {
    const std::string& command = script[i];
    const std::string name = command.substr(0, command.find(' '));
    // A command that takes a text has it as its last word, up to the end of the line.
    std::size_t maxWords = SIZE_MAX;
    if (name == "write" || name == "append") maxWords = 3;
    if (name == "wait-for-text") maxWords = 4;
    const std::vector<std::string> w = splitWords(command, maxWords);
    const std::size_t n = w.size();

    if (name == "record" && n == 2) {
      runtime.record(runtime.resolve(w[1]));
    } else if (name == "log" && n == 2) {
      runtime.log(runtime.resolve(w[1]));
    } else if ((name == "ready" || name == "healthy") && n == 1) {
      runtime.loadAttempt();
      runtime.marker(std::string(name == "ready" ? launcher_stub::kReady : launcher_stub::kHealthy),
                     runtime.slot, runtime.nonce);
    } else if (name == "marker" && n == 4) {
      runtime.marker(w[1], w[2], w[3]);
    } else if (name == "restart" && (n == 1 || n == 2)) {
      runtime.restart(n == 2 ? std::optional<std::string>(w[1]) : std::nullopt);
    } else if (name == "write" && (n == 2 || n == 3)) {
      mustReplace(runtime.resolve(w[1]), n == 3 ? w[2] : std::string());
    } else if (name == "append" && (n == 2 || n == 3)) {
      mustAppend(runtime.resolve(w[1]), (n == 3 ? w[2] : std::string()) + "\n");
    } else if (name == "touch" && n == 2) {
      mustAppend(runtime.resolve(w[1]), "");
    } else if (name == "sleep" && n == 2) {
      pauseMs(numberOrFail(w[1], command));
    } else if (name == "wait-for" && (n == 2 || n == 3)) {
      const std::string path = runtime.resolve(w[1]);
      const std::uint64_t limit = n == 3 ? numberOrFail(w[2], command) : kDefaultWaitMs;
      waitUntil(limit, "timed out waiting for " + path, [&] { return exists(path); });
    } else if (name == "wait-for-text" && n == 4) {
      // "wait-for-text PATH MS TEXT": until the file holds TEXT (the rest of the line).
      const std::string path = runtime.resolve(w[1]);
      waitUntil(numberOrFail(w[2], command), "timed out waiting for " + w[3], [&] {
        const std::optional<std::string> text = readFile(path);
        return text && text->find(w[3]) != std::string::npos;
      });
    } else if ((name == "skip-if-exists" || name == "skip-unless-exists") && n == 3) {
      const std::uint64_t count = numberOrFail(w[2], command);
      const bool present = exists(runtime.resolve(w[1]));
      if (present == (name == "skip-if-exists")) {
        i += static_cast<std::size_t>(std::min<std::uint64_t>(count, script.size()));
      }
    } else if (name == "exit" && n == 2) {
      // Ends at once, as a killed process does: no exit handlers, so no leak check of a sanitized
      // build, which makes the end of a runtime slow on a loaded machine.
      std::fflush(nullptr);
      ::_exit(static_cast<int>(numberOrFail(w[1], command) & 0xff));
    } else if (name == "signal" && n == 2) {
      const std::optional<int> signal = signalNumber(w[1]);
      if (!signal) badCommand(command);
      // Default action and unblocked, so an inherited disposition cannot swallow it.
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      ::sigaction(*signal, &dfl, nullptr);
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, *signal);
      ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
      std::fflush(nullptr);
      ::raise(*signal);
    } else if (name == "orphan" && (n == 2 || (n == 3 && w[2] == "restart"))) {
      runtime.orphan(runtime.resolve(w[1]), n == 3);
    } else if (name == "linger" && n == 2) {
      Runtime::linger(numberOrFail(w[1], command));
    } else if (name == "lock-until-waited" && (n == 2 || n == 3)) {
      Runtime::lockUntilWaited(runtime.resolve(w[1]),
                               n == 3 ? numberOrFail(w[2], command) : kDefaultWaitMs);
    } else if (name == "hold-lease" && (n == 2 || n == 3)) {
      const std::uint64_t ms = numberOrFail(w[1], command);
      runtime.holdLease(ms,
                        n == 3 ? std::optional<std::string>(runtime.resolve(w[2])) : std::nullopt);
    } else if (name == "close-lease" && n == 1) {
      const int lease = leaseDescriptor();
      if (lease >= 0) ::close(lease);
    } else {
      badCommand(command);
    }
  }
  return 0;
}
