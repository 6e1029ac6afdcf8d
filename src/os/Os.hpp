// Linux services of the launcher: the executable's location, the state root and its private
// directories, durable atomic writes, messages on standard error, advisory file locks, and the
// supervised runtime process tree. Failures are false results or empty paths; nothing throws
// for reasons of its own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace launcher_stub::os {

// Path of the running executable from "/proc/self/exe"; empty on failure.
std::filesystem::path executablePath();
// Its parent directory; empty on failure.
std::filesystem::path executableDir();

// The state root: a non-empty `override` (resolved against `base` when relative), else
// $XDG_STATE_HOME/vorlent/brindlecove/native when that variable is absolute, else
// $HOME/.local/state/vorlent/brindlecove/native; empty when HOME is unset, and for an override
// that holds a NUL character, which no path handed to the system can carry.
std::filesystem::path stateRoot(const std::filesystem::path& base, const std::string& override);

// Makes `dir` (and every missing parent, outermost first) a directory of mode 0700 owned by the
// user. False when it cannot; "state root belongs to another account" is assigned to `*error`
// (when given) only when an existing `dir` belongs to another user. Writes no message, except a
// one-time warning on file systems without permission bits.
[[nodiscard]] bool privateDirectory(const std::filesystem::path& dir, std::string* error);

// Replaces `target` durably: temporary file beside it (mode 0600), full write, fsync, rename,
// directory fsync. False before the rename leaves the target as it was and no temporary file;
// false after it means the new content is in place but its durability is not confirmed.
[[nodiscard]] bool atomicWrite(const std::filesystem::path& target, const std::string& data);

// Removes the regular files and symbolic links (the links themselves) of `dir` whose names are
// those of temporary files of atomicWrite() for one of `targets` (the target's name, ".tmp-", a
// decimal process id, "-" and a nonce): what an interrupted write left behind. Only for a caller that holds the lock under which every such write happens; failures
// are ignored, and nothing else in `dir` is touched.
void removeTemporaries(const std::filesystem::path& dir,
                       std::initializer_list<std::string_view> targets);

// Makes the process state that the stub was started with safe to run in, before it opens any
// file: each of the descriptors 0, 1 and 2 that is closed is opened on "/dev/null", and SIGCHLD
// is set back to its default disposition (a parent that ignores it would have the kernel reap
// the runtime). False when a missing standard descriptor cannot be supplied.
[[nodiscard]] bool prepareProcess();

// An operational note: "launcher_stub: <message>\n" on standard error. A message that cannot
// be written (for instance to a pipe whose reader has gone) is lost; it never raises SIGPIPE,
// and the signal mask is as it was afterwards.
void error(const std::string& message);
// A message for the user; on this platform the same line as error().
void showError(const std::string& message);
// Waits at most `ms` for an error dialog to close; there is none here, so it returns at once.
void waitForErrorDialog(std::uint64_t ms);

// An exclusive advisory lock (flock) on a lock file, held through an open descriptor opened
// with close-on-exec. Released by close() and by destruction.
class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  ~Lock();

  // Takes the lock on `path`, creating the file (mode 0600) when missing. Without `wait` one
  // attempt; with it, attempts every 50 ms until 5000 ms after the file was opened. On false
  // `fd` is -1 and `busy` tells whether another holder had the lock.
  [[nodiscard]] bool acquire(const std::filesystem::path& path, bool wait);
  // Releases the lock if held; harmless when released.
  void close();

  int fd = -1;
  bool busy = false;
};

// One supervised runtime process tree: the entry process leads a new process group, which is
// the unit that is ended. Polled, never waited on with blocking calls. Destruction calls close().
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  // Starts `executable` with `arguments` after its own path, the stub's environment less every
  // "VORLENT_BOOT_" entry followed by VORLENT_BOOT_STATE_ROOT, VORLENT_BOOT_ATTEMPT_DIR,
  // VORLENT_BOOT_LEASE and VORLENT_BOOT_INSTALL_DIR, and a duplicate of the lease's descriptor
  // under the lowest free number from 3 up.
  [[nodiscard]] bool spawn(const std::filesystem::path& executable,
                           const std::vector<std::string>& arguments,
                           const std::filesystem::path& installDir,
                           const std::filesystem::path& stateRoot,
                           const std::filesystem::path& attemptDir, const Lock& lease);
  // True exactly once per launch, when the entry process has ended; `code` and `clean` are
  // written only then. A failed wait marks the child lost and still reports an end.
  [[nodiscard]] bool entryExited(int& code, bool& clean);
  // True while some process of the group exists. A group found gone after its entry process
  // was reaped is forgotten (`pgid` -1): its number may be reused by an unrelated group, which
  // must never be signalled.
  bool treeAlive();
  // Kills the whole group with SIGKILL until it is gone, reaping the entry process and every
  // other member that is the stub's own child (where the stub is PID 1 or a subreaper); gives
  // up (false, `lost` set) 30000 ms after the first call since the last reset. On success the
  // group is forgotten; a status reaped here is still delivered by the next entryExited().
  [[nodiscard]] bool terminate();
  // Final clean-up: one SIGKILL to a live group, waits for the entry process (and only for it)
  // until the deadline, then forgets the group and any status not yet delivered. Never fails.
  void close();

  bool lost = false;
  bool reported = false;
  std::uint64_t deadline = 0;
  int pid = -1;
  int pgid = -1;
  bool statusKnown = false;
  int exitCode = 1;
  bool cleanExit = false;
};

// The command-line arguments after the program name.
std::vector<std::string> arguments(int argc, const char* const argv[]);

// Replaces the process with `executable`, passing the arguments after the program name. Returns
// 127 only when that fails.
int forward(const std::filesystem::path& executable, int argc, const char* const argv[]);

}  // namespace launcher_stub::os
