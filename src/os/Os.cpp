#include "os/Os.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "os/Common.hpp"

namespace launcher_stub::os {
namespace {

constexpr std::string_view kOtherAccount = "state root belongs to another account";
constexpr std::string_view kNoPrivateModes =
    "filesystem does not support private directory permissions";
constexpr std::string_view kBootPrefix = "VORLENT_BOOT_";
// Between a target's name and the writer's process id in the name of a temporary file.
constexpr std::string_view kTemporaryMark = ".tmp-";

// File-system type numbers (statfs f_type) whose permission bits are not stored.
constexpr long kFatMagic = 0x4d44;
constexpr long kExfatMagic = 0x2011bab0;

constexpr std::uint64_t kLockWaitMs = 5000;
constexpr useconds_t kLockPauseUs = 50000;
constexpr std::uint64_t kTreeDeadlineMs = 30000;
constexpr std::uint64_t kFastPhaseMs = 2000;
constexpr std::uint64_t kFastPauseMs = 20;
constexpr std::uint64_t kSlowPauseMs = 500;

// Runs a clean-up on every way out of a scope.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() { f_(); }

 private:
  F f_;
};

// Whether `pgid` names a group that spawn recorded. -1 is "none"; 0 and 1 can never be a spawned
// group, and kill(-1, ...) would signal every process there is.
bool groupRecorded(int pgid) { return pgid > 1; }

// Sleeps `ms` milliseconds; an interrupted sleep goes on for the time that was left.
void pauseMs(std::uint64_t ms) {
  timespec want{};
  want.tv_sec = static_cast<time_t>(ms / 1000);
  want.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
  timespec left{};
  while (::nanosleep(&want, &left) != 0) {
    if (errno != EINTR) return;
    want = left;
  }
}

// Wait status of the entry process: a signal counts as exit code 1.
void decodeStatus(int status, int& code, bool& clean) {
  code = (status & 0x7f) != 0 ? 1 : (status >> 8) & 0xff;
  clean = (status & 0xff7f) == 0;
}

// Whether `name` is the name of a temporary file that atomicWrite() makes for a target named
// `target` in the same directory: `target`, ".tmp-", a decimal process id, "-" and a nonce.
bool isTemporaryName(std::string_view name, std::string_view target) {
  if (name.substr(0, target.size()) != target) return false;
  name.remove_prefix(target.size());
  if (name.substr(0, kTemporaryMark.size()) != kTemporaryMark) return false;
  name.remove_prefix(kTemporaryMark.size());
  const std::size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos) return false;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(dash), digit)) {
    return false;
  }
  name.remove_prefix(dash + 1);
  const auto lowerHex = [&digit](char c) { return digit(c) || (c >= 'a' && c <= 'f'); };
  return name.size() == kNonceLength && std::all_of(name.begin(), name.end(), lowerHex);
}

// Reaps every child of the stub's own that belongs to group `pgid`, until none is left. Where
// the stub is PID 1 (a container's entry point) or a child subreaper, the members that an entry
// process left behind become its children once the entry has gone; their zombies would keep the
// group alive until the stub reaped them, which nobody else can do. Where the stub is neither,
// its only child in the group is the entry process. True when the entry process `entry` was
// among them, with its wait status in `entryStatus`.
bool reapGroupMembers(int pgid, int entry, int& entryStatus) {
  bool entryReaped = false;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(-pgid, &status, WNOHANG);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return entryReaped;  // none ended (0) or none left (ECHILD)
    if (r == entry) {
      entryReaped = true;
      entryStatus = status;
    }
  }
}

// Sets `dir` to 0700. On FAT and exFAT, which keep no permission bits, the mode is left alone,
// `*unsupported` is set and one warning per process is written; that still counts as success.
bool privateMode(const std::filesystem::path& dir, bool* unsupported) {
  static bool warned = false;
  const auto warnOnce = [] {
    if (!warned) {
      error(std::string(kNoPrivateModes));
      warned = true;
    }
  };

  struct statfs fs {};
  if (::statfs(dir.c_str(), &fs) == 0 &&
      (static_cast<long>(fs.f_type) == kFatMagic || static_cast<long>(fs.f_type) == kExfatMagic)) {
    *unsupported = true;
    warnOnce();
    return true;
  }
  *unsupported = false;
  if (::chmod(dir.c_str(), 0700) == 0) return true;
  if (errno == ENOTSUP) {
    *unsupported = true;
    warnOnce();
    return true;
  }
  return false;
}

// An existing `dir`, whose stat() (symbolic links followed) is `info`: it must be a directory;
// it is set to 0700 and must belong to the user.
bool existingPrivateDirectory(const std::filesystem::path& dir, const struct stat& info,
                              std::string* error) {
  if (!S_ISDIR(info.st_mode)) return false;
  // The mode is changed before the owner is checked, so a directory of another account that
  // the process may change (as root) is still left private.
  bool unsupported = false;
  const bool changed = privateMode(dir, &unsupported);
  if (changed && unsupported) return true;  // no owners to trust on such a file system
  const bool own = info.st_uid == ::getuid();
  if (!own && error != nullptr) *error = kOtherAccount;
  return changed && own;
}

bool privateDirectoryImpl(const std::filesystem::path& dir, std::string* error) {
  // One stat() answers both what is there and who owns it. Its failures are read as
  // std::filesystem::status reads them: ENOENT and ENOTDIR mean missing, EOVERFLOW something that
  // exists (and is no usable directory), and any other error leaves it unknown.
  struct stat info {};
  if (::stat(dir.c_str(), &info) == 0) return existingPrivateDirectory(dir, info, error);
  if (errno == EOVERFLOW) return false;

  // Missing (or unknown): make the parents first, outermost first.
  const std::filesystem::path parent = dir.parent_path();
  // A path that ends with a separator has itself as its parent path ("a/b/" -> "a/b"); making
  // the parent makes the directory, and creating it once more would only find it existing.
  if (!dir.has_filename() && dir.has_relative_path() && parent != dir) {
    return privateDirectoryImpl(parent, error);
  }
  if (!parent.empty() && parent != dir) {
    std::error_code ec;
    const std::filesystem::file_status parentStatus = std::filesystem::status(parent, ec);
    const bool parentKnown = std::filesystem::status_known(parentStatus);
    if (!parentKnown || parentStatus.type() == std::filesystem::file_type::not_found) {
      if (!privateDirectoryImpl(parent, error)) return false;
      if (!parentKnown) return false;
    }
  }
  if (::mkdir(dir.c_str(), 0777) != 0) {
    // Another process of the user made it at the same moment (two starts at once): it gets the
    // same checks, mode and owner, as a directory that was there before.
    if (errno != EEXIST) return false;
    if (::stat(dir.c_str(), &info) != 0) return false;
    return existingPrivateDirectory(dir, info, error);
  }
  bool unsupported = false;
  return privateMode(dir, &unsupported);
}

}  // namespace

std::filesystem::path executablePath() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0) return {};
  return std::filesystem::path(std::string(buffer, static_cast<std::size_t>(n)));
}

std::filesystem::path executableDir() { return executablePath().parent_path(); }

std::filesystem::path stateRoot(const std::filesystem::path& base, const std::string& override) {
  if (!override.empty()) {
    // The system's paths end at the first NUL: "victim\0/state" would act on "victim". A text
    // that holds one names no directory at all.
    if (override.find('\0') != std::string::npos) return {};
    const std::filesystem::path chosen(override);
    return chosen.has_root_directory() ? chosen : base / chosen;
  }
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && *xdg != '\0' && std::filesystem::path(xdg).has_root_directory()) {
    return std::filesystem::path(xdg) / "vorlent/brindlecove/native";
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr) return {};
  return std::filesystem::path(home) / ".local/state/vorlent/brindlecove/native";
}

bool privateDirectory(const std::filesystem::path& dir, std::string* error) {
  return privateDirectoryImpl(dir, error);
}

bool atomicWrite(const std::filesystem::path& target, const std::string& data) {
  if (data.size() > kMaxDocument) return false;

  // The temporary file lies beside the target, so the rename stays within one file system.
  std::string temporary = target.native();
  temporary += kTemporaryMark;
  temporary += std::to_string(::getpid());
  temporary += '-';
  temporary += nonce();
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) return false;
  const auto discard = [&] {
    fd = UniqueFd();
    ::unlink(temporary.c_str());
    return false;
  };
  // The umask is the user's and may take the owner's own bits away (0277 would leave 0400), so
  // state documents are set to exactly 0600. File systems that keep no modes of their own (FAT
  // or exFAT mounted for everyone, some network and FUSE file systems) refuse the change; the
  // state root's checks accept them on purpose, and the write goes on, as for the lock files.
  static_cast<void>(::fchmod(fd.get(), 0600));

  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd.get(), next, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return discard();
    next += n;
    left -= static_cast<std::size_t>(n);
  }
  // The content is on disk before the name points at it, so a crash never leaves a target
  // that names an incomplete file.
  int synced;
  while ((synced = ::fsync(fd.get())) != 0 && errno == EINTR) {
  }
  if (synced != 0) return discard();
  if (::close(fd.release()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }

  // The rename itself is durable only once the directory holding the name is synced. From here
  // on a failure leaves the new content in place, unconfirmed.
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return false;
  int dirSynced;
  while ((dirSynced = ::fsync(dir.get())) != 0 && errno == EINTR) {
  }
  const bool closed = ::close(dir.release()) == 0;
  return dirSynced == 0 && closed;
}

void removeTemporaries(const std::filesystem::path& dir,
                       std::initializer_list<std::string_view> targets) {
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return;
  const ScopeExit closeListing([listing] { ::closedir(listing); });
  // Advancing the listing reports an error only through errno; an error ends it like its end.
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (std::none_of(targets.begin(), targets.end(),
                     [name](std::string_view target) { return isTemporaryName(name, target); })) {
      continue;
    }
    const std::filesystem::path path = dir / name;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat info {};
      if (::lstat(path.c_str(), &info) != 0) continue;
      type = S_ISREG(info.st_mode) ? DT_REG : S_ISLNK(info.st_mode) ? DT_LNK : DT_UNKNOWN;
    }
    // unlink removes a symbolic link itself, never what it points to. A failure leaves the file
    // for the next start-up.
    if (type == DT_REG || type == DT_LNK) static_cast<void>(::unlink(path.c_str()));
  }
}

void error(const std::string& message) {
  // Standard error may be a pipe whose reader has gone. The write must not raise a SIGPIPE that
  // ends the stub (and orphans the runtime), yet the signal state that the runtime inherits must
  // stay the one the stub was given. So SIGPIPE is blocked for the write only, and a SIGPIPE
  // that this write raised is taken off the pending set before the mask is restored. One that
  // was pending already (blocked by whoever started the stub) is left alone.
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t previousMask;
  const bool blocked = ::sigprocmask(SIG_BLOCK, &pipeOnly, &previousMask) == 0;
  sigset_t pending;
  const bool pendingBefore =
      blocked && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;

  // A message that cannot be written has nowhere else to go.
  static_cast<void>(std::fprintf(stderr, "launcher_stub: %s\n", message.c_str()));

  if (!blocked) return;
  if (!pendingBefore && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
    const timespec noWait{0, 0};
    while (::sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
}

bool prepareProcess() {
  // A closed 0, 1 or 2 would be handed to the next file the stub opens (a lock file, a state
  // document), and messages would land in it. Each is opened on /dev/null first, in order, so
  // every open takes the lowest free number, which is the one that is missing.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened;
    while ((opened = ::open("/dev/null", O_RDWR | O_NOCTTY)) < 0 && errno == EINTR) {
    }
    if (opened < 0) return false;
    if (opened != fd) {
      // Not the lowest free number after all: move it into place.
      const int moved = ::dup2(opened, fd);
      ::close(opened);
      if (moved != fd) return false;
    }
  }
  // A parent that ignores SIGCHLD passes that on through exec, and the kernel would then reap
  // the runtime itself, so its end could never be waited for. The default is restored; the
  // runtime starts with it too.
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  return ::sigaction(SIGCHLD, &defaultAction, nullptr) == 0;
}

void showError(const std::string& message) { error(message); }

void waitForErrorDialog(std::uint64_t ms) { static_cast<void>(ms); }

Lock::~Lock() { close(); }

bool Lock::acquire(const std::filesystem::path& path, bool wait) {
  close();  // a lock still held would otherwise leak its descriptor
  busy = false;
  fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // A lock file made under a strict umask (0277 gives 0400) could not be opened for writing by
  // the next run; it is always 0600. A file of another account stays as it is.
  static_cast<void>(::fchmod(fd, 0600));
  // The wait is counted from the opening of the file, and the clock is read before each pause,
  // so the last attempt may come one pause after the deadline.
  const std::uint64_t deadline = monotonicMs() + (wait ? kLockWaitMs : 0);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    const int flockErrno = errno;
    if (flockErrno == EINTR) continue;
    busy = flockErrno == EWOULDBLOCK;
    if (busy && wait && monotonicMs() < deadline) {
      ::usleep(kLockPauseUs);  // cut short by a signal: the next attempt just comes sooner
      continue;
    }
    close();
    return false;
  }
}

void Lock::close() {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

Child::~Child() { close(); }

bool Child::spawn(const std::filesystem::path& executable,
                  const std::vector<std::string>& arguments,
                  const std::filesystem::path& installDir, const std::filesystem::path& stateRoot,
                  const std::filesystem::path& attemptDir, const Lock& lease) {
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return false;
  const ScopeExit releaseActions([&] { ::posix_spawn_file_actions_destroy(&actions); });

  // The lowest number from 3 up that is free here is also free in the child: every other
  // descriptor of the stub is close-on-exec, and the child's 0 to 2 are its own.
  int leaseNumber = 3;
  for (;; ++leaseNumber) {
    if (leaseNumber == lease.fd) continue;
    if (::fcntl(leaseNumber, F_GETFD) == -1 && errno == EBADF) break;
  }
  // dup2 in the child clears close-on-exec on the copy only: the runtime holds the lock
  // through that number and nothing else.
  if (::posix_spawn_file_actions_adddup2(&actions, lease.fd, leaseNumber) != 0) return false;

  std::vector<std::string> argumentTexts;
  argumentTexts.reserve(arguments.size() + 1);
  argumentTexts.push_back(executable.native());
  argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(argumentTexts.size() + 1);
  for (std::string& text : argumentTexts) argv.push_back(text.data());
  argv.push_back(nullptr);

  std::string added[] = {
      "VORLENT_BOOT_STATE_ROOT=" + stateRoot.native(),
      "VORLENT_BOOT_ATTEMPT_DIR=" + attemptDir.native(),
      "VORLENT_BOOT_LEASE=" + std::to_string(leaseNumber),
      "VORLENT_BOOT_INSTALL_DIR=" + installDir.native(),
  };
  std::vector<char*> envp;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, kBootPrefix.data(), kBootPrefix.size()) == 0) continue;
    envp.push_back(*entry);
  }
  for (std::string& entry : added) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawnattr_t attributes;
  if (::posix_spawnattr_init(&attributes) != 0) return false;
  const ScopeExit releaseAttributes([&] { ::posix_spawnattr_destroy(&attributes); });

  // Group 0 makes the child lead a new group named by its own pid. Only that flag: the signal
  // mask and dispositions are inherited as they are, and the session stays the stub's.
  bool started = ::posix_spawnattr_setpgroup(&attributes, 0) == 0 &&
                 ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP) == 0;
  if (started) {
    pid_t child = -1;
    // A file that cannot be executed is reported here too: glibc waits for the exec.
    started = ::posix_spawn(&child, executable.c_str(), &actions, &attributes, argv.data(),
                            envp.data()) == 0;
    if (started) pid = child;
  }
  if (!started) {
    pid = -1;
    return false;
  }
  deadline = 0;
  statusKnown = false;
  pgid = pid;
  reported = false;
  return true;
}

bool Child::entryExited(int& code, bool& clean) {
  // A group already forgotten (it was confirmed gone) may still owe its reaped status.
  if (!groupRecorded(pgid) && !statusKnown) return false;
  if (reported) return false;
  if (!statusKnown) {
    int status = 0;
    // pid -1 would wait for any child at all; with no entry process left the wait has
    // nothing to ask about, which is the same as a failed wait.
    const pid_t r = pid > 0 ? ::waitpid(pid, &status, WNOHANG) : -1;
    const int waitErrno = pid > 0 ? errno : ECHILD;
    if (r == 0) return false;
    if (r < 0 && waitErrno == EINTR) return false;
    if (r < 0) {
      lost = true;
    } else {
      decodeStatus(status, exitCode, cleanExit);
    }
    pid = -1;
    statusKnown = true;
  }
  reported = true;
  code = exitCode;
  clean = cleanExit;
  return true;
}

bool Child::treeAlive() {
  if (!groupRecorded(pgid)) return false;
  if (::kill(-pgid, 0) == 0) return true;
  if (errno != ESRCH) return true;  // EPERM and the like: something is there
  // The group is gone. While the entry process is not reaped its number (the group id) cannot
  // be reused, so the group is only forgotten once it is reaped; from then on the number may
  // name an unrelated group at any time, and it is never signalled again.
  if (pid == -1) pgid = -1;
  return false;
}

bool Child::terminate() {
  if (!groupRecorded(pgid)) return true;
  const std::uint64_t start = monotonicMs();
  const std::uint64_t fastEnd = start + kFastPhaseMs;
  if (deadline == 0) deadline = start + kTreeDeadlineMs;
  for (;;) {
    if (pid > 0) {
      int status = 0;
      const pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        decodeStatus(status, exitCode, cleanExit);
        statusKnown = true;
        pid = -1;
      } else if (!(r == 0 || (r < 0 && errno == EINTR))) {
        lost = true;
        return false;
      }
    }
    // Every pass signals the whole group again, so members started meanwhile are reached too.
    if (::kill(-pgid, SIGKILL) != 0 && errno != ESRCH) {
      lost = true;
      return false;
    }
    int entryStatus = 0;
    if (reapGroupMembers(pgid, pid, entryStatus)) {
      decodeStatus(entryStatus, exitCode, cleanExit);
      statusKnown = true;
      pid = -1;
    }
    if (!treeAlive()) return true;
    const std::uint64_t now = monotonicMs();
    if (now >= deadline) {
      lost = true;
      return false;
    }
    pauseMs(std::min(now < fastEnd ? kFastPauseMs : kSlowPauseMs, deadline - now));
  }
}

void Child::close() {
  if (deadline == 0) deadline = monotonicMs() + kTreeDeadlineMs;
  // A status reaped but not yet delivered belongs to the launch being forgotten here.
  if (statusKnown) reported = true;
  if (treeAlive()) static_cast<void>(::kill(-pgid, SIGKILL));
  // Only the entry process is waited for. The group's other members belong to their parents,
  // or, where the stub is a reaper, to the stub: terminate() reaps those while it ends a group.
  // A status reaped here is not kept.
  int status = 0;
  while (pid > 0) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) {
      pid = -1;
      break;
    }
    if (r < 0 && errno != EINTR) break;
    const std::uint64_t now = monotonicMs();
    if (now >= deadline) break;
    pauseMs(std::min(kFastPauseMs, deadline - now));
  }
  pgid = -1;
  deadline = 0;
}

std::vector<std::string> arguments(int argc, const char* const argv[]) {
  std::vector<std::string> out;
  for (int i = 1; i < argc; ++i) out.emplace_back(argv[i]);
  return out;
}

int forward(const std::filesystem::path& executable, int argc, const char* const argv[]) {
  std::vector<char*> list;
  list.push_back(const_cast<char*>(executable.c_str()));
  for (int i = 1; i < argc; ++i) list.push_back(const_cast<char*>(argv[i]));
  list.push_back(nullptr);
  ::execv(executable.c_str(), list.data());
  return 127;  // execv returns only when it failed
}

}  // namespace launcher_stub::os
