// End-to-end tests of the launcher_stub executable. Each test builds, in a fresh temp directory,
// an install (a copy of the stub, its bootstrap document and a seed whose entry is the test
// runtime) and a state root with installed slots, runs the stub as a child process and checks
// its exit code, its lines on standard error and the state documents it leaves behind.
//
// The stub's waits (60000 ms of health before a commit, 120000 ms of health deadline, 30 s of
// failed writes, 5000 ms of lock wait) run under libfaketime with an accelerated clock: the
// library speeds up the monotonic clock and shortens nanosleep/usleep in the stub and, through
// the inherited LD_PRELOAD, in the runtimes it starts.

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "records/Records.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using launcher_stub::Attempt;
using launcher_stub::Boot;
using launcher_stub::Bootstrap;
using launcher_stub::Pending;
using launcher_stub::serialize;

constexpr const char* kStubBinary = LAUNCHER_STUB_PATH;
constexpr const char* kRuntimeBinary = TEST_RUNTIME_PATH;
constexpr const char* kFailWritesLibrary = FAIL_WRITES_PATH;
constexpr const char* kSubreaper = SUBREAPER_PATH;
constexpr const char* kFaketimeLibrary = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

const std::string kActive = "aaaa1111";
const std::string kCandidate = "cccc3333";
const std::string kRequest = "request-0001";
const std::string kDeliveryA(64, 'a');
const std::string kDeliveryB(64, 'b');

// Real time, for the test's own timeouts.
std::uint64_t steadyMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool writeFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

std::string lines(const std::vector<std::string>& messages) {
  std::string text;
  for (const std::string& m : messages) text += "launcher_stub: " + m + "\n";
  return text;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Permission bits of a path, as an octal text.
std::string modeOf(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return "missing";
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return text;
}

bool haveFaketime() { return fs::exists(kFaketimeLibrary); }

#define REQUIRE_FAKETIME()                                                                 \
  do {                                                                                     \
    if (!haveFaketime())                                                                   \
      GTEST_SKIP() << "libfaketime (" << kFaketimeLibrary                                  \
                   << ") is not installed; the stub's long waits cannot be accelerated"; \
  } while (false)

// Whether the process exists and has not ended (a zombie has ended: its descriptors, and so its
// locks, are gone).
bool running(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  std::size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size()) return false;
  char state = stat[paren + 2];
  return state != 'Z' && state != 'X';
}

// Whether an exclusive flock on `path` can be taken now (the file is not created).
bool lockFree(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return true;
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

// An exclusive flock held by the test process, as another stub would hold it.
class HeldLock {
 public:
  explicit HeldLock(const fs::path& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() { release(); }
  bool held() const { return held_; }
  void release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    held_ = false;
  }

 private:
  int fd_;
  bool held_ = false;
};

// What the stub's standard error is.
enum class ErrorOutput {
  File,      // a file that the test reads afterwards
  DeadPipe,  // a pipe whose reader has gone: every write raises SIGPIPE and fails
};

struct RunOptions {
  std::vector<std::string> args = {};   // forwarded to the runtime
  std::vector<std::string> env = {};    // NAME=value entries, replacing inherited ones
  std::vector<std::string> unset = {};  // names removed from the inherited environment
  int rate = 0;                     // > 0: under libfaketime, the clock this many times faster
  bool failWrites = false;          // preload the write fault injection
  // A command that execs the stub (its path follows), e.g. to start it with a signal ignored
  // or as another account.
  std::vector<std::string> prefix = {};
  std::vector<int> closed = {};     // standard descriptors the stub starts without
  ErrorOutput errorOutput = ErrorOutput::File;
  std::optional<mode_t> umask = {};  // the stub's file-creation mask, when not the test's own
};

struct RunResult {
  int code = -1;    // exit status, or 128 + the signal that ended the stub
  std::string err;  // everything the stub and its runtimes wrote to standard error
};

struct Running {
  pid_t pid = -1;
  fs::path errPath;
};

// One line of the runtime's "log" command: the attempt's slot and nonce.
struct LogLine {
  std::string slot;
  std::string nonce;
};

// One block of the runtime's "record" command.
struct Record {
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::vector<int> fds;
  std::uint64_t blocked = 0;  // signal mask, bit n-1 for signal n
  std::uint64_t ignored = 0;  // signals whose disposition is "ignore"
  std::string umask;          // octal, as the kernel shows it ("0022")
};

bool hasSignal(std::uint64_t set, int signal) { return ((set >> (signal - 1)) & 1u) != 0; }

std::vector<Record> parseRecords(const std::string& text) {
  std::vector<Record> records(1);
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line == "end") {
      records.emplace_back();
    } else if (startsWith(line, "arg ")) {
      std::size_t space = line.find(' ', 4);
      records.back().args.push_back(space == std::string::npos ? "" : line.substr(space + 1));
    } else if (startsWith(line, "env ")) {
      records.back().env.push_back(line.substr(4));
    } else if (startsWith(line, "fd ")) {
      records.back().fds.push_back(std::atoi(line.c_str() + 3));
    } else if (startsWith(line, "SigBlk ")) {
      records.back().blocked = std::stoull(line.substr(7), nullptr, 16);
    } else if (startsWith(line, "SigIgn ")) {
      records.back().ignored = std::stoull(line.substr(7), nullptr, 16);
    } else if (startsWith(line, "Umask ")) {
      records.back().umask = line.substr(6);
    }
  }
  records.pop_back();
  return records;
}

class StubTest : public ::testing::Test {
 public:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "stub_test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    rootDir = fs::canonical(pattern);
    installDir = rootDir / "install";
    stateDir = rootDir / "state";
    workDir = rootDir / "work";
    fs::create_directories(installDir / "seed");
    fs::create_directories(workDir);
    // A copy, not a link: the stub finds its install through /proc/self/exe.
    fs::copy_file(kStubBinary, installDir / "launcher_stub");
    ASSERT_TRUE(writeBootstrap(bootstrapFor(stateDir.string())));
    fs::create_symlink(kRuntimeBinary, installDir / "seed" / "entry-v1");
    setPlan(installDir / "seed", defaultPlan());
  }

  void TearDown() override {
    for (pid_t pid : started_) {
      ::kill(pid, SIGKILL);
      int status = 0;
      ::waitpid(pid, &status, 0);
    }
    started_.clear();
    killLeftovers();
    std::error_code ec;
    fs::remove_all(rootDir, ec);
  }

  // --- the install and the state root ---

  static std::string bootstrapFor(const std::string& stateRoot) {
    Bootstrap bootstrap;
    bootstrap.installId = "test-install";
    bootstrap.stateRoot = stateRoot;
    return serialize(bootstrap);
  }
  bool writeBootstrap(const std::string& text) {
    return writeFile(installDir / "bootstrap-v1.json", text);
  }

  std::string runsLog() const { return (workDir / "runs.log").string(); }
  std::string work(const std::string& name) const { return (workDir / name).string(); }
  fs::path control() const { return workDir / "fail-control"; }

  // A transition repeated every 250 ms fails at its first write each time, so each attempt
  // leaves one note of the injection, with the time of the stub's (accelerated) clock. The
  // policy gives up at the first failure 30 seconds or more after the first one: every failure
  // before the last came less than 30 seconds after the first, and the last one 30 seconds or
  // more after it. How many attempts fit in between depends on how fast the machine is; that
  // the 250 ms pause keeps them apart does not.
  void expectRepeatedFor30Seconds() const {
    std::istringstream injected(readFile(workDir / "injected.log"));
    std::vector<std::uint64_t> times;
    std::string line;
    while (std::getline(injected, line)) {
      times.push_back(std::stoull(line.substr(line.rfind(' ') + 1)));
    }
    ASSERT_GE(times.size(), 2u);
    // A note is made a moment before the stub reads its clock for the same failure; this much
    // of the stub's clock covers that moment on a slow machine (50 ms at ten times the speed).
    constexpr std::uint64_t kSlackMs = 500;
    const std::uint64_t first = times.front();
    EXPECT_GE(times.back() - first + kSlackMs, 30000u) << "gave up too early";
    EXPECT_LT(times[times.size() - 2] - first, 30000u + kSlackMs) << "went on after 30 seconds";
    EXPECT_LE(times.size(), 30000u / 250 + 2) << "repeated without the 250 ms pause";
  }

  // Logs the launch, reports ready and exits 0.
  std::vector<std::string> defaultPlan() const { return {"log " + runsLog(), "ready", "exit 0"}; }

  // A runtime command: waits until "boot-v1.json" names the candidate as the active slot, for at
  // most 600000 ms of its clock. The runtime then ends after its commit however slowly the
  // machine lets the stub get there.
  std::string waitForCommit() const {
    return "wait-for-text " + (stateDir / launcher_stub::kBoot).string() + " 600000 \"active\":\"" +
           kCandidate + "\"";
  }

  static void setPlan(const fs::path& entryDir, const std::vector<std::string>& commands) {
    std::string text;
    for (const std::string& c : commands) text += c + "\n";
    ASSERT_TRUE(writeFile(entryDir / "entry-v1.plan", text));
  }
  void seedPlan(const std::vector<std::string>& commands) const {
    setPlan(installDir / "seed", commands);
  }
  void seedDelivery(const std::string& text) const {
    ASSERT_TRUE(writeFile(installDir / "seed" / "delivery-v1.json", text));
  }
  static std::string delivery(const std::string& id) {
    return R"({"deliveryId":")" + id + R"(","schemaVersion":1})";
  }

  void makeStateRoot() const {
    fs::create_directories(stateDir);
    fs::permissions(stateDir, fs::perms::owner_all);
  }

  // A complete slot under "slots": "COMPLETE-v1", "entry-v1" (the test runtime) and its plan.
  void makeSlot(const std::string& id, const std::vector<std::string>& commands,
                const std::optional<std::string>& deliveryText = std::nullopt) const {
    makeStateRoot();
    fs::path dir = stateDir / "slots" / id;
    fs::create_directories(dir);
    ASSERT_TRUE(writeFile(dir / "COMPLETE-v1", ""));
    fs::create_symlink(kRuntimeBinary, dir / "entry-v1");
    setPlan(dir, commands);
    if (deliveryText) {
      ASSERT_TRUE(writeFile(dir / "delivery-v1.json", *deliveryText));
    }
  }
  void makeSlot(const std::string& id) const { makeSlot(id, defaultPlan()); }

  void writeBoot(const Boot& boot, std::string_view name = launcher_stub::kBoot) const {
    makeStateRoot();
    ASSERT_TRUE(writeFile(stateDir / name, serialize(boot)));
  }
  void writePending(const Pending& pending) const {
    makeStateRoot();
    ASSERT_TRUE(writeFile(stateDir / launcher_stub::kPending, serialize(pending)));
  }
  std::string stateFile(std::string_view name) const { return readFile(stateDir / name); }

  // Everything under the state root goes; the install stays.
  void resetState() const {
    std::error_code ec;
    fs::remove_all(stateDir, ec);
    fs::remove(runsLog(), ec);
  }

  // The launches logged by the runtimes so far, in order.
  std::vector<LogLine> runs() const {
    std::vector<LogLine> result;
    std::istringstream in(readFile(runsLog()));
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      LogLine entry;
      words >> entry.slot >> entry.nonce;
      result.push_back(entry);
    }
    return result;
  }
  std::vector<std::string> runSlots() const {
    std::vector<std::string> slots;
    for (const LogLine& l : runs()) slots.push_back(l.slot);
    return slots;
  }

  std::optional<Attempt> attemptRecord(const std::string& nonce) const {
    Attempt attempt;
    std::string error;
    std::string text = readFile(stateDir / "attempts" / nonce / "boot-v1.json");
    if (!launcher_stub::parseAttempt(text, attempt, error)) return std::nullopt;
    return attempt;
  }

  std::set<std::string> attemptDirs() const {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(stateDir / "attempts", ec), end; !ec && it != end;
         it.increment(ec)) {
      names.insert(it->path().filename().string());
    }
    return names;
  }

  // --- running the stub ---

  std::vector<std::string> environmentFor(const RunOptions& o) const {
    std::vector<std::string> dropped = o.unset;
    for (const std::string& e : o.env) dropped.push_back(e.substr(0, e.find('=')));
    for (const char* managed : {"LD_PRELOAD", "FAKETIME", "ASAN_OPTIONS", "FAIL_WRITES_CONTROL",
                                "FAIL_WRITES_LOG"}) {
      dropped.emplace_back(managed);
    }
    std::vector<std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
      std::string entry(*p);
      std::string name = entry.substr(0, entry.find('='));
      if (std::find(dropped.begin(), dropped.end(), name) == dropped.end()) env.push_back(entry);
    }
    const char* inheritedAsan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = inheritedAsan != nullptr ? inheritedAsan : "";
    std::string preload;
    if (o.rate > 0) preload = kFaketimeLibrary;
    if (o.failWrites) preload += (preload.empty() ? "" : ":") + std::string(kFailWritesLibrary);
    if (!preload.empty()) {
      env.push_back("LD_PRELOAD=" + preload);
      // A sanitized program refuses to start when a preloaded library comes before its runtime.
      asanOptions += (asanOptions.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    }
    if (!asanOptions.empty()) env.push_back("ASAN_OPTIONS=" + asanOptions);
    if (o.rate > 0) env.push_back("FAKETIME=+0 x" + std::to_string(o.rate));
    if (o.failWrites) {
      env.push_back("FAIL_WRITES_CONTROL=" + control().string());
      env.push_back("FAIL_WRITES_LOG=" + work("injected.log"));
    }
    for (const std::string& e : o.env) env.push_back(e);
    return env;
  }

  Running start(const RunOptions& o = {}) {
    Running r;
    r.errPath = workDir / ("stderr-" + std::to_string(++runCount_) + ".txt");
    std::string stub = (installDir / "launcher_stub").string();
    std::vector<std::string> argText = o.prefix;
    argText.push_back(stub);
    argText.insert(argText.end(), o.args.begin(), o.args.end());
    std::vector<std::string> envText = environmentFor(o);
    std::vector<char*> argv, envp;
    for (std::string& a : argText) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    int deadPipe[2] = {-1, -1};
    if (o.errorOutput == ErrorOutput::DeadPipe) {
      // The reader is gone before the stub starts, so its first message meets no reader.
      EXPECT_EQ(::pipe2(deadPipe, O_CLOEXEC), 0);
      ::close(deadPipe[0]);
      posix_spawn_file_actions_adddup2(&actions, deadPipe[1], 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, r.errPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    for (int fd : o.closed) posix_spawn_file_actions_addclose(&actions, fd);
    // Nothing of the test process reaches the stub but the three standard descriptors.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // The mask is process-wide: set for the spawn only (each test runs in a process of its own).
    const mode_t testMask = o.umask ? ::umask(*o.umask) : 0;
    int rc = ::posix_spawn(&r.pid, argText[0].c_str(), &actions, nullptr, argv.data(),
                           envp.data());
    if (o.umask) ::umask(testMask);
    if (deadPipe[1] >= 0) ::close(deadPipe[1]);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << "cannot start " << stub;
    if (rc != 0) r.pid = -1;
    if (r.pid > 0) started_.push_back(r.pid);
    return r;
  }

  // Waits for the stub to end; one that hangs is killed after `timeoutMs` of real time.
  RunResult finish(Running& r, std::uint64_t timeoutMs = 120000) {
    RunResult result;
    if (r.pid <= 0) return result;
    std::uint64_t deadline = steadyMs() + timeoutMs;
    int status = 0;
    for (;;) {
      pid_t done = ::waitpid(r.pid, &status, WNOHANG);
      if (done == r.pid) break;
      if (done < 0 && errno != EINTR) {
        ADD_FAILURE() << "waitpid failed";
        return result;
      }
      if (steadyMs() >= deadline) {
        ADD_FAILURE() << "the stub did not end within " << timeoutMs << " ms; killed";
        ::kill(r.pid, SIGKILL);
        ::waitpid(r.pid, &status, 0);
        break;
      }
      sleepMs(2);
    }
    started_.erase(std::remove(started_.begin(), started_.end(), r.pid), started_.end());
    r.pid = -1;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.err = readFile(r.errPath);
    return result;
  }

  RunResult run(const RunOptions& o = {}) {
    Running r = start(o);
    return finish(r);
  }

  // Polls for a file (real time).
  static bool waitFor(const fs::path& path, std::uint64_t timeoutMs = 60000) {
    std::uint64_t deadline = steadyMs() + timeoutMs;
    while (!fs::exists(path)) {
      if (steadyMs() >= deadline) return false;
      sleepMs(2);
    }
    return true;
  }
  static bool waitForText(const fs::path& path, const std::string& text,
                          std::uint64_t timeoutMs = 60000) {
    std::uint64_t deadline = steadyMs() + timeoutMs;
    while (readFile(path).find(text) == std::string::npos) {
      if (steadyMs() >= deadline) return false;
      sleepMs(2);
    }
    return true;
  }

  // Kills every process started for this install that is still alive (runtimes left behind by
  // a killed stub, lease holders), found by the install directory in its environment.
  void killLeftovers() const {
    const std::string mark = "VORLENT_BOOT_INSTALL_DIR=" + installDir.string();
    int quietRounds = 0;
    for (int round = 0; round < 200 && quietRounds < 2; ++round) {
      std::vector<pid_t> found;
      std::error_code ec;
      for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
        std::string environment = readFile(it->path() / "environ");
        std::size_t at = 0;
        while (at < environment.size()) {
          std::size_t endOfEntry = environment.find('\0', at);
          if (endOfEntry == std::string::npos) endOfEntry = environment.size();
          if (environment.compare(at, endOfEntry - at, mark) == 0) {
            found.push_back(static_cast<pid_t>(std::stol(name)));
            break;
          }
          at = endOfEntry + 1;
        }
      }
      if (found.empty()) {
        ++quietRounds;
        sleepMs(10);
        continue;
      }
      quietRounds = 0;
      for (pid_t pid : found) ::kill(pid, SIGKILL);
      std::uint64_t deadline = steadyMs() + 5000;
      for (pid_t pid : found) {
        while (running(pid) && steadyMs() < deadline) sleepMs(2);
      }
    }
  }

  fs::path rootDir, installDir, stateDir, workDir;

 private:
  std::vector<pid_t> started_;
  int runCount_ = 0;
};

// The road of one launch starts from here: boot document generation 5 with active slot A, and a
// pending request against generation 5 naming candidate X, whose runtime follows `candidate`.
Boot roadScene(const StubTest& t, const std::vector<std::string>& candidate) {
  Boot before;
  before.generation = 5;
  before.active = kActive;
  t.writeBoot(before);
  t.makeSlot(kActive);
  t.makeSlot(kCandidate, candidate);
  t.writePending(Pending{kRequest, 5, kCandidate});
  return before;
}

Boot bootOf(std::uint64_t generation, std::optional<std::string> active,
            std::optional<std::string> previous, std::optional<std::string> candidate,
            std::uint32_t attemptCount, std::optional<std::string> lastRequestId,
            std::vector<std::string> rejected = {}, bool recovered = false) {
  Boot boot;
  boot.generation = generation;
  boot.active = std::move(active);
  boot.previous = std::move(previous);
  boot.candidate = std::move(candidate);
  boot.attemptCount = attemptCount;
  boot.lastRequestId = std::move(lastRequestId);
  boot.rejected = std::move(rejected);
  boot.recovered = recovered;
  return boot;
}

const std::nullopt_t none = std::nullopt;

// ---------------------------------------------------------------------------------------------
// The road of one launch.

TEST_F(StubTest, PendingCandidateIsAdoptedStartedAndCommittedAfterStayingHealthy) {
  REQUIRE_FAKETIME();
  const Boot before = roadScene(*this, {"log " + runsLog(), "touch " + work("started"),
                                        "wait-for " + work("go") + " 6000000", "ready", "healthy",
                                        "sleep 150000", "exit 0"});
  Running stub = start({.rate = 50});
  ASSERT_TRUE(waitFor(workDir / "started"));

  // Before the candidate ran: adoption (generation 6) and its first attempt are on disk, the
  // document from before is kept as the previous one, and the request is gone.
  const Boot launched = bootOf(6, kActive, none, kCandidate, 1, kRequest);
  EXPECT_EQ(stateFile(launcher_stub::kBoot), serialize(launched));
  EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), serialize(before));
  EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPending));
  std::vector<LogLine> started = runs();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].slot, kCandidate);
  std::optional<Attempt> attempt = attemptRecord(started[0].nonce);
  ASSERT_TRUE(attempt.has_value()) << "no attempt record for " << started[0].nonce;
  EXPECT_EQ(attempt->slot, kCandidate);
  EXPECT_EQ(attempt->nonce, started[0].nonce);
  ASSERT_TRUE(writeFile(workDir / "go", ""));

  RunResult result = finish(stub);
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(7, kCandidate, kActive, none, 0, kRequest)));
  EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), serialize(launched));
  EXPECT_EQ(runSlots(), std::vector<std::string>{kCandidate});
}

TEST_F(StubTest, CandidateExitingCleanlyBeforeItsCommitGetsItsAttemptBack) {
  REQUIRE_FAKETIME();
  const Boot before =
      roadScene(*this, {"log " + runsLog(), "ready", "healthy", "sleep 20000", "exit 0"});
  RunResult result = run({.rate = 50});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(6, kActive, none, kCandidate, 0, kRequest)));
  EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), serialize(before));
  EXPECT_EQ(runSlots(), std::vector<std::string>{kCandidate});
}

// The first attempt fails; the second is healthy in its own attempt directory, where its
// markers must be looked for, and is committed.
TEST_F(StubTest, CandidateRetriedAfterAFailedAttemptIsCommitted) {
  REQUIRE_FAKETIME();
  const Boot before =
      roadScene(*this, {"log " + runsLog(), "skip-if-exists " + work("failed-once") + " 2",
                        "touch " + work("failed-once"), "exit 7", "ready", "healthy",
                        waitForCommit(), "exit 0"});
  RunResult result = run({.rate = 20});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  const std::vector<LogLine> launches = runs();
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launches[1].slot, kCandidate);
  EXPECT_NE(launches[0].nonce, launches[1].nonce);
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(7, kCandidate, kActive, none, 0, kRequest)));
  EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot),
            serialize(bootOf(6, kActive, none, kCandidate, 2, kRequest)));
}

// The commit falls due while the candidate holds "state.lock"; the candidate ends while the stub
// waits for the lock. The commit must not be written for a runtime that has ended: its clean
// exit gives the attempt back instead. A ready marker that the candidate writes while the stub
// waits is found only after the exit, and must not make the ended candidate's commit due again.
TEST_F(StubTest, CommitOfACandidateThatHasEndedIsNotWritten) {
  REQUIRE_FAKETIME();
  const std::string holdStateLock =
      "lock-until-waited " + (stateDir / "state.lock").string() + " 600000";
  struct Case {
    const char* name;
    std::vector<std::string> plan;
  } cases[] = {
      {"ready before the commit falls due",
       {"log " + runsLog(), "ready", "healthy", holdStateLock, "exit 0"}},
      {"ready while the commit waits for the lock",
       {"log " + runsLog(), "healthy", holdStateLock, "ready", "exit 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetState();
    const Boot before = roadScene(*this, c.plan);
    // A slower clock than elsewhere: the stub's 5000 ms wait for the lock must outlast the
    // candidate's end and its helper's, also on a loaded machine.
    RunResult result = run({.rate = 10});
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(runSlots(), std::vector<std::string>{kCandidate});
    EXPECT_EQ(stateFile(launcher_stub::kBoot),
              serialize(bootOf(6, kActive, none, kCandidate, 0, kRequest)));
    EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), serialize(before));
  }
}

TEST_F(StubTest, CandidateNeverHealthyIsEndedAtItsDeadlineAndRejected) {
  REQUIRE_FAKETIME();
  // Two attempts used up already: the third one times out after 120000 ms.
  writeBoot(bootOf(6, kActive, none, kCandidate, 2, kRequest));
  makeSlot(kActive);
  makeSlot(kCandidate, {"log " + runsLog(), "ready", "sleep 6000000", "exit 0"});
  RunResult result = run({.rate = 50});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ((runSlots()), (std::vector<std::string>{kCandidate, kActive}));
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(7, kActive, none, none, 0, kRequest, {kCandidate})));
  EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot),
            serialize(bootOf(6, kActive, none, kCandidate, 3, kRequest)));
}

TEST_F(StubTest, CandidateFailingThreeTimesIsRejectedAndTheNextSlotRuns) {
  struct Case {
    const char* name;
    bool withActive;
    std::string fallback;
  } cases[] = {{"active slot runs next", true, kActive}, {"seed runs next", false, "seed"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetState();
    Boot before;
    before.generation = 5;
    if (c.withActive) {
      before.active = kActive;
      makeSlot(kActive);
    }
    writeBoot(before);
    makeSlot(kCandidate, {"log " + runsLog(), "exit 7"});
    writePending(Pending{kRequest, 5, kCandidate});

    RunResult result = run();
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, "");
    std::vector<LogLine> launches = runs();
    ASSERT_EQ(launches.size(), 4u);
    std::set<std::string> nonces;
    for (std::size_t i = 0; i < launches.size(); ++i) {
      EXPECT_EQ(launches[i].slot, i < 3 ? kCandidate : c.fallback) << "launch " << i;
      std::optional<Attempt> attempt = attemptRecord(launches[i].nonce);
      ASSERT_TRUE(attempt.has_value()) << "launch " << i;
      EXPECT_EQ(attempt->slot, launches[i].slot);
      nonces.insert(launches[i].nonce);
    }
    EXPECT_EQ(nonces.size(), 4u) << "each attempt has a nonce of its own";
    const std::optional<std::string> active =
        c.withActive ? std::optional<std::string>(kActive) : std::nullopt;
    EXPECT_EQ(stateFile(launcher_stub::kBoot),
              serialize(bootOf(7, active, none, none, 0, kRequest, {kCandidate})));
    // The document held before the rejection: the third attempt's.
    EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot),
              serialize(bootOf(6, active, none, kCandidate, 3, kRequest)));
  }
}

TEST_F(StubTest, CandidateWithItsAttemptsUsedUpIsRejectedAtStartUp) {
  writeBoot(bootOf(5, kActive, none, kCandidate, 3, kRequest));
  makeSlot(kActive);
  makeSlot(kCandidate);
  RunResult result = run();
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{kActive});
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(6, kActive, none, none, 0, kRequest, {kCandidate})));
}

TEST_F(StubTest, PendingRequestThatDoesNotQualifyIsDeletedWithoutAdoption) {
  struct Case {
    const char* name;
    Pending pending;
    std::vector<std::string> rejected;
    bool complete;
  } cases[] = {
      {"stale generation", {"request-0002", 4, kCandidate}, {}, true},
      {"request id already adopted", {kRequest, 5, kCandidate}, {}, true},
      {"rejected slot", {"request-0002", 5, kCandidate}, {kCandidate}, true},
      {"slot not complete", {"request-0002", 5, kCandidate}, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetState();
    const Boot before = bootOf(5, kActive, none, none, 0, kRequest, c.rejected);
    writeBoot(before);
    makeSlot(kActive);
    makeSlot(kCandidate);
    if (!c.complete) fs::remove(stateDir / "slots" / kCandidate / "COMPLETE-v1");
    writePending(c.pending);
    RunResult result = run();
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(runSlots(), std::vector<std::string>{kActive});
    EXPECT_EQ(stateFile(launcher_stub::kBoot), serialize(before));
    EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPending));
  }
}

TEST_F(StubTest, EntryThatCannotBeStartedIsAFailedAttempt) {
  const std::string activeEntry = (stateDir / "slots" / kActive / "entry-v1").string();
  const std::string candidateEntry = (stateDir / "slots" / kCandidate / "entry-v1").string();
  // A regular file without execute permission: it exists, so the slot is complete, but it
  // cannot be started.
  const auto unstartable = [](const fs::path& entry) {
    fs::remove(entry);
    ASSERT_TRUE(writeFile(entry, "not a program\n"));
    fs::permissions(entry, fs::perms::owner_read | fs::perms::owner_write);
  };
  {
    SCOPED_TRACE("active slot: the seed runs next");
    writeBoot(bootOf(5, kActive, none, none, 0, none));
    makeSlot(kActive);
    unstartable(activeEntry);
    RunResult result = run();
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, lines({"cannot start " + activeEntry}));
    EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});
  }
  {
    SCOPED_TRACE("candidate: three attempts, rejected, the active slot runs next");
    resetState();
    writeBoot(bootOf(5, kActive, none, kCandidate, 0, kRequest));
    makeSlot(kActive);
    makeSlot(kCandidate);
    unstartable(candidateEntry);
    RunResult result = run();
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, lines({"cannot start " + candidateEntry, "cannot start " + candidateEntry,
                                 "cannot start " + candidateEntry}));
    EXPECT_EQ(runSlots(), std::vector<std::string>{kActive});
    EXPECT_EQ(stateFile(launcher_stub::kBoot),
              serialize(bootOf(6, kActive, none, none, 0, kRequest, {kCandidate})));
  }
}

// ---------------------------------------------------------------------------------------------
// Restart requests.

TEST_F(StubTest, RestartRequestIsHonouredOnlyWhenItNamesThisAttempt) {
  const std::string pendingText =
      serialize(Pending{"request-0002", 99, "dddd4444"});  // stale, names no installed slot
  struct Case {
    const char* name;
    std::vector<std::string> request;  // commands that leave the request before the exit
    int firstExit;
    std::vector<std::string> expectedRuns;
    int expectedCode;
  } cases[] = {
      {"without request id", {"restart"}, 0, {kActive, kActive}, 4},
      {"with the last adopted request id", {"restart " + kRequest}, 0, {kActive, kActive}, 4},
      {"with the id of the pending request on disk",
       {"write " + (stateDir / "pending-v1.json").string() + " " + pendingText,
        "restart request-0002"},
       0,
       {kActive, kActive},
       4},
      {"with another request id", {"restart request-0009"}, 0, {kActive}, 0},
      {"naming another attempt",
       {R"(write restart-v1.json {"nonce":"0123456789abcdef0123456789abcdef","schemaVersion":1,"slot":")" +
        kActive + R"("})"},
       0,
       {kActive},
       0},
      {"that does not parse", {R"(write restart-v1.json {"schemaVersion":1})"}, 0, {kActive}, 0},
      {"followed by a non-zero exit", {"restart"}, 5, {kActive, "seed"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetState();
    std::error_code ec;
    fs::remove(workDir / "restarted", ec);
    writeBoot(bootOf(5, kActive, none, none, 0, kRequest));
    // The first run leaves the request; the run after a relaunch reports ready and exits 4.
    std::vector<std::string> plan = {
        "log " + runsLog(),
        "skip-if-exists " + work("restarted") + " " + std::to_string(c.request.size() + 2),
        "touch " + work("restarted")};
    plan.insert(plan.end(), c.request.begin(), c.request.end());
    plan.push_back("exit " + std::to_string(c.firstExit));
    plan.insert(plan.end(), {"ready", "sleep 1000", "exit 4"});
    makeSlot(kActive, plan);

    RunResult result = run();
    EXPECT_EQ(result.code, c.expectedCode);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(runSlots(), c.expectedRuns);
    std::vector<LogLine> launches = runs();
    if (launches.size() == 2) {
      EXPECT_NE(launches[0].nonce, launches[1].nonce) << "a relaunch is a new attempt";
      EXPECT_EQ(attemptDirs(), (std::set<std::string>{launches[0].nonce, launches[1].nonce}));
    }
    // A relaunch reads everything again: the pending request is examined and deleted then.
    EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPending));
  }
}

// The request is written by a process outside the group once the group's last member has died
// and before that member is reaped: it exists only after the group is gone, and is honoured
// only if the stub reads it after it has ended the whole group.
TEST_F(StubTest, RestartRequestIsReadOnceTheWholeGroupIsGone) {
  writeBoot(bootOf(5, kActive, none, none, 0, none));
  makeSlot(kActive, {"log " + runsLog(), "skip-if-exists " + work("restarted") + " 3",
                     "touch " + work("restarted"), "orphan " + work("orphan.pid") + " restart",
                     "exit 0", "ready", "sleep 1000", "exit 4"});
  RunResult result = run();
  EXPECT_EQ(result.code, 4);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), (std::vector<std::string>{kActive, kActive}));
}

// ---------------------------------------------------------------------------------------------
// Slot scan and start-up reads.

TEST_F(StubTest, SlotWhoseDeliveryDiffersFromTheSeedIsIgnored) {
  const std::string ignored = "ignoring slot " + kActive + ": delivery differs from seed";
  struct Case {
    const char* name;
    std::optional<std::string> seedRecord;
    std::optional<std::string> slotRecord;
    std::string expectedRun;
    std::string expectedErr;
  } cases[] = {
      {"different delivery ids", delivery(kDeliveryA), delivery(kDeliveryB), "seed",
       lines({ignored})},
      {"no record in the slot", delivery(kDeliveryA), std::nullopt, "seed", lines({ignored})},
      {"seed record that does not parse", R"({"schemaVersion":1})", delivery(kDeliveryA), "seed",
       lines({ignored})},
      {"equal delivery ids", delivery(kDeliveryA), delivery(kDeliveryA), kActive, ""},
      {"no record in the seed", std::nullopt, delivery(kDeliveryB), kActive, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetState();
    std::error_code ec;
    fs::remove(installDir / "seed" / "delivery-v1.json", ec);
    if (c.seedRecord) seedDelivery(*c.seedRecord);
    // Active and previous name the same slot: it is examined, and logged, once.
    writeBoot(bootOf(5, kActive, kActive, none, 0, none));
    makeSlot(kActive, defaultPlan(), c.slotRecord);
    RunResult result = run();
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, c.expectedErr);
    EXPECT_EQ(runSlots(), std::vector<std::string>{c.expectedRun});
  }
}

TEST_F(StubTest, CandidateWithAnotherDeliveryKeepsItsAttemptsAndIsNotRejected) {
  seedDelivery(delivery(kDeliveryA));
  const Boot before = bootOf(5, kActive, none, kCandidate, 7, kRequest);
  writeBoot(before);
  makeSlot(kActive, defaultPlan(), delivery(kDeliveryA));
  makeSlot(kCandidate, defaultPlan(), delivery(kDeliveryB));
  RunResult result = run();
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, lines({"ignoring slot " + kCandidate + ": delivery differs from seed"}));
  EXPECT_EQ(runSlots(), std::vector<std::string>{kActive});
  EXPECT_EQ(stateFile(launcher_stub::kBoot), serialize(before));
  EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPreviousBoot));
}

TEST_F(StubTest, UnreadableBootDocumentIsRecoveredFromThePreviousOne) {
  const Boot previous = bootOf(7, kActive, none, none, 0, kRequest);
  struct Case {
    const char* name;
    std::string bootText;
    std::uint64_t expectedGeneration;  // max(previous, salvaged floor) + 1
  } cases[] = {
      {"salvaged generation above the previous one", R"({"generation":12,"schemaVersion":1})",
       13},
      {"salvaged generation below the previous one", R"({"generation":3})", 8},
      {"another schema version", R"({"attemptCount":0,"generation":12,"rejected":[],"schemaVersion":2})",
       13},
      {"not JSON", "{\"generation\":12", 8},
      {"generation as a string", R"({"generation":"12"})", 8},
      {"generation with a fraction", R"({"generation":12.0})", 8},
      {"empty file", "", 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetState();
    makeStateRoot();
    ASSERT_TRUE(writeFile(stateDir / "boot-v1.json", c.bootText));
    writeBoot(previous, launcher_stub::kPreviousBoot);
    makeSlot(kActive);
    RunResult result = run();
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(runSlots(), std::vector<std::string>{kActive});
    EXPECT_EQ(stateFile(launcher_stub::kBoot),
              serialize(bootOf(c.expectedGeneration, kActive, none, none, 0, kRequest, {}, true)));
    // The unreadable document is not kept; the previous one is saved as it was read.
    EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), serialize(previous));
  }
}

// The salvaged generation is read by the documents' own rule for numbers. The largest one that
// fits in 64 bits is a floor the recovery cannot advance; one past it names no generation, nor
// does a number that a reading wrapping around 64 bits would take for the largest.
TEST_F(StubTest, SalvagedGenerationAtTheEdgeOf64Bits) {
  const Boot previous = bootOf(7, kActive, none, none, 0, kRequest);
  struct Case {
    const char* name;
    std::string generation;
    bool overflow;  // else recovered from the previous document alone, at generation 8
  } cases[] = {
      {"the largest generation", "18446744073709551615", true},
      {"one past the largest", "18446744073709551616", false},
      {"2 to the 65th less one", "36893488147419103231", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetState();
    makeStateRoot();
    const std::string bootText = R"({"generation":)" + c.generation + R"(,"schemaVersion":1})";
    ASSERT_TRUE(writeFile(stateDir / "boot-v1.json", bootText));
    writeBoot(previous, launcher_stub::kPreviousBoot);
    makeSlot(kActive);
    RunResult result = run();
    EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), serialize(previous));
    if (c.overflow) {
      EXPECT_EQ(result.code, 1);
      EXPECT_EQ(result.err, lines({"generation overflow"}));
      EXPECT_EQ(stateFile(launcher_stub::kBoot), bootText);
      EXPECT_EQ(runSlots(), std::vector<std::string>{});
      EXPECT_EQ(attemptDirs(), std::set<std::string>{});
    } else {
      EXPECT_EQ(result.code, 0);
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(stateFile(launcher_stub::kBoot),
                serialize(bootOf(8, kActive, none, none, 0, kRequest, {}, true)));
      EXPECT_EQ(runSlots(), std::vector<std::string>{kActive});
    }
  }
}

TEST_F(StubTest, RecoveredGenerationIsWhatAPendingRequestMustExpect) {
  makeStateRoot();
  ASSERT_TRUE(writeFile(stateDir / "boot-v1.json", R"({"generation":12})"));
  const Boot previous = bootOf(7, kActive, none, none, 0, none);
  writeBoot(previous, launcher_stub::kPreviousBoot);
  makeSlot(kActive);
  makeSlot(kCandidate, {"log " + runsLog(), "exit 0"});
  writePending(Pending{kRequest, 13, kCandidate});
  RunResult result = run();
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{kCandidate});
  // Recovery (13) and adoption (14) in one transition; the clean exit gave the attempt back.
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(14, kActive, none, kCandidate, 0, kRequest, {}, true)));
  EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), serialize(previous));
  EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPending));
}

TEST_F(StubTest, BootFileThatCannotBeReadWithoutPreviousLeavesOnlyTheSeed) {
  struct Case {
    const char* name;
    bool directory;
  } cases[] = {{"invalid document", false}, {"directory", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetState();
    makeStateRoot();
    if (c.directory) {
      fs::create_directories(stateDir / "boot-v1.json");
    } else {
      ASSERT_TRUE(writeFile(stateDir / "boot-v1.json", R"({"generation":9,"active":"aaaa1111"})"));
    }
    makeSlot(kActive);
    writePending(Pending{kRequest, 9, kActive});
    RunResult result = run();
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});
    if (!c.directory) {
      EXPECT_EQ(stateFile(launcher_stub::kBoot), R"({"generation":9,"active":"aaaa1111"})");
    }
    EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPreviousBoot));
    EXPECT_TRUE(fs::exists(stateDir / launcher_stub::kPending)) << "left for a later start-up";
  }
}

TEST_F(StubTest, FreshInstallWritesTheFirstBootDocumentAndAdoptsAtTheNextStart) {
  makeSlot(kCandidate, {"log " + runsLog(), "exit 0"});
  writePending(Pending{kRequest, 1, kCandidate});

  RunResult first = run();
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});
  const std::string firstBoot = R"({"attemptCount":0,"generation":1,"rejected":[],"schemaVersion":1})";
  EXPECT_EQ(stateFile(launcher_stub::kBoot), firstBoot);
  EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPreviousBoot));
  EXPECT_TRUE(fs::exists(stateDir / launcher_stub::kPending)) << "not examined at a first start";

  RunResult second = run();
  EXPECT_EQ(second.code, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ((runSlots()), (std::vector<std::string>{"seed", kCandidate}));
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(2, none, none, kCandidate, 0, kRequest)));
  EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), firstBoot);
  EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPending));
}

TEST_F(StubTest, OldAttemptDirectoriesArePrunedButTheNewestAtStartUp) {
  makeStateRoot();
  fs::path attempts = stateDir / "attempts";
  auto now = fs::file_time_type::clock::now();
  const std::pair<const char*, int> old[] = {{"old-1", 300}, {"old-2", 100}, {"old-3", 200}};
  for (const auto& [name, ageSeconds] : old) {
    fs::create_directories(attempts / name);
    fs::last_write_time(attempts / name, now - std::chrono::seconds(ageSeconds));
  }
  ASSERT_TRUE(writeFile(attempts / "not-a-directory", ""));
  RunResult result = run();
  EXPECT_EQ(result.code, 0);
  std::vector<LogLine> launches = runs();
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(attemptDirs(),
            (std::set<std::string>{"old-2", "not-a-directory", launches[0].nonce}));
}

// ---------------------------------------------------------------------------------------------
// Start-up failures and the bootstrap document.

struct StartupCase {
  const char* name;
  void (*prepare)(StubTest&);
  std::string err;  // the whole of standard error
  int code;
  bool stateUntouched;  // the state root is not even created
  bool needsRoot = false;
  bool withoutHome = false;
};

void PrintTo(const StartupCase& c, std::ostream* out) { *out << c.name; }

class StartupTest : public StubTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(StartupTest, EndsWithItsMessageAndExitCode) {
  const StartupCase& c = GetParam();
  if (c.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "changing a directory's owner needs root";
  c.prepare(*this);
  RunOptions options;
  if (c.withoutHome) options.unset = {"HOME", "XDG_STATE_HOME"};
  RunResult result = run(options);
  EXPECT_EQ(result.code, c.code);
  EXPECT_EQ(result.err, c.err);
  if (c.stateUntouched) {
    EXPECT_FALSE(fs::exists(stateDir));
  }
  EXPECT_EQ(runSlots(), std::vector<std::string>{});
}

const std::string kMissingBootstrap = lines({"missing bootstrap-v1.json"});

INSTANTIATE_TEST_SUITE_P(
    Failures, StartupTest,
    ::testing::Values(
        StartupCase{"MissingBootstrap",
                    [](StubTest& sandbox) { fs::remove(sandbox.installDir / "bootstrap-v1.json"); },
                    kMissingBootstrap, 1, true},
        StartupCase{"BootstrapIsADirectory",
                    [](StubTest& sandbox) {
                      fs::remove(sandbox.installDir / "bootstrap-v1.json");
                      fs::create_directory(sandbox.installDir / "bootstrap-v1.json");
                    },
                    kMissingBootstrap, 1, true},
        StartupCase{"BootstrapOf65537Bytes",
                    [](StubTest& sandbox) {
                      std::string text = StubTest::bootstrapFor(sandbox.stateDir.string());
                      text.resize(65537, ' ');
                      ASSERT_TRUE(sandbox.writeBootstrap(text));
                    },
                    kMissingBootstrap, 1, true},
        StartupCase{"EmptyBootstrap", [](StubTest& sandbox) { ASSERT_TRUE(sandbox.writeBootstrap("")); },
                    lines({"invalid bootstrap-v1.json: missing value"}), 1, true},
        StartupCase{"BootstrapNotAnObject",
                    [](StubTest& sandbox) { ASSERT_TRUE(sandbox.writeBootstrap("[]")); },
                    lines({"invalid bootstrap-v1.json: expected object"}), 1, true},
        StartupCase{"BootstrapCutShort", [](StubTest& sandbox) { ASSERT_TRUE(sandbox.writeBootstrap("{")); },
                    lines({"invalid bootstrap-v1.json: object syntax"}), 1, true},
        StartupCase{"BootstrapWithoutSchemaVersion",
                    [](StubTest& sandbox) {
                      ASSERT_TRUE(sandbox.writeBootstrap(R"({"installId":"x","seedSlot":"seed"})"));
                    },
                    lines({"invalid bootstrap-v1.json: missing schemaVersion"}), 1, true},
        StartupCase{"BootstrapWithEmptyInstallId",
                    [](StubTest& sandbox) {
                      ASSERT_TRUE(sandbox.writeBootstrap(
                          R"({"installId":"","schemaVersion":1,"seedSlot":"seed"})"));
                    },
                    lines({"invalid bootstrap-v1.json: invalid bootstrap"}), 1, true},
        StartupCase{"NoStateRootWithoutHome",
                    [](StubTest& sandbox) {
                      ASSERT_TRUE(sandbox.writeBootstrap(
                          R"({"installId":"x","schemaVersion":1,"seedSlot":"seed"})"));
                    },
                    lines({"cannot create private state root"}), 1, true, false, true},
        StartupCase{"StateRootIsAFile",
                    [](StubTest& sandbox) { ASSERT_TRUE(writeFile(sandbox.stateDir, "")); },
                    lines({"cannot create private state root"}), 1, false},
        StartupCase{"AttemptsIsAFile",
                    [](StubTest& sandbox) {
                      sandbox.makeStateRoot();
                      ASSERT_TRUE(writeFile(sandbox.stateDir / "attempts", ""));
                    },
                    lines({"cannot create private state root"}), 1, false},
        StartupCase{"StateRootOfAnotherAccount",
                    [](StubTest& sandbox) {
                      sandbox.makeStateRoot();
                      ASSERT_EQ(::chown(sandbox.stateDir.c_str(), 65534, 65534), 0);
                    },
                    lines({"state root belongs to another account"}), 1, false, true},
        StartupCase{"LaunchLockIsADirectory",
                    [](StubTest& sandbox) {
                      sandbox.makeStateRoot();
                      fs::create_directory(sandbox.stateDir / "launch.lock");
                    },
                    lines({"cannot acquire launch lease"}), 1, false},
        StartupCase{"SeedFailingBeforeReady",
                    [](StubTest& sandbox) { sandbox.seedPlan({"exit 3"}); }, lines({"No runnable runtime"}),
                    1, false}),
    [](const ::testing::TestParamInfo<StartupCase>& p) { return std::string(p.param.name); });

// The system's paths end at a NUL character: "victim\u0000/state" must not make the stub act on
// "victim", whichever schema version the bootstrap document has.
TEST_F(StubTest, StateRootWithANulCharacterIsRefusedAndTouchesNothing) {
  const fs::path victim = rootDir / "victim";
  const std::string root = victim.string() + R"(\u0000/state)";
  const std::string bootstraps[] = {
      R"({"installId":"test-install","schemaVersion":1,"seedSlot":"seed","stateRoot":")" + root +
          R"("})",
      R"({"schemaVersion":2,"stateRoot":")" + root + R"("})"};
  for (const std::string& bootstrap : bootstraps) {
    SCOPED_TRACE(bootstrap);
    fs::create_directories(victim);
    fs::permissions(victim, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    ASSERT_TRUE(writeBootstrap(bootstrap));
    RunResult result = run();
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, lines({"cannot create private state root"}));
    EXPECT_EQ(modeOf(victim), "0755");
    EXPECT_TRUE(fs::is_empty(victim));
    EXPECT_EQ(runSlots(), std::vector<std::string>{});
  }
}

TEST_F(StubTest, NoSeedEntryOnAFreshInstallStillWritesTheFirstBootDocument) {
  fs::remove(installDir / "seed" / "entry-v1");
  RunResult result = run();
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(result.err, lines({"No runnable runtime"}));
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            R"({"attemptCount":0,"generation":1,"rejected":[],"schemaVersion":1})");
}

TEST_F(StubTest, GenerationAtItsLimitWritesNothing) {
  const Boot limit = bootOf(18446744073709551615u, kActive, none, none, 0, none);
  writeBoot(limit);
  makeSlot(kActive);
  RunResult result = run();
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(result.err, lines({"generation overflow"}));
  EXPECT_EQ(stateFile(launcher_stub::kBoot), serialize(limit));
  EXPECT_EQ(attemptDirs(), std::set<std::string>{});
}

TEST_F(StubTest, BootstrapOfExactly65536BytesIsRead) {
  std::string text = bootstrapFor(stateDir.string());
  text.resize(65536, ' ');
  ASSERT_TRUE(writeBootstrap(text));
  RunResult result = run();
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});
}

TEST_F(StubTest, BootstrapOfAnotherVersionGivesTheStateRootAndTurnsCandidatesOff) {
  ASSERT_TRUE(writeBootstrap(R"({"futureMember":true,"schemaVersion":2,"stateRoot":")" +
                             stateDir.string() + R"("})"));
  const Boot before = bootOf(5, kActive, none, kCandidate, 0, none);
  writeBoot(before);
  makeSlot(kCandidate);
  // The active slot asks once for a restart with the pending request's id: honoured, since that
  // request is on disk, and the relaunch keeps candidates off as well.
  makeSlot(kActive, {"log " + runsLog(), "skip-if-exists " + work("restarted") + " 3",
                     "touch " + work("restarted"), "restart request-0002", "exit 0", "exit 0"});
  writePending(Pending{"request-0002", 5, kCandidate});
  const std::string pendingText = stateFile(launcher_stub::kPending);

  RunResult result = run();
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ((runSlots()), (std::vector<std::string>{kActive, kActive}));
  EXPECT_EQ(stateFile(launcher_stub::kPending), pendingText) << "never read, never deleted";
  EXPECT_EQ(stateFile(launcher_stub::kBoot), serialize(before));
}

TEST_F(StubTest, BootstrapOfAnotherVersionWithoutStringStateRootUsesTheDefault) {
  ASSERT_TRUE(writeBootstrap(R"({"schemaVersion":2,"stateRoot":5})"));
  const fs::path xdg = rootDir / "xdg";
  RunResult result = run({.env = {"XDG_STATE_HOME=" + xdg.string()}});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});
  EXPECT_EQ(readFile(xdg / "vorlent/brindlecove/native/boot-v1.json"),
            R"({"attemptCount":0,"generation":1,"rejected":[],"schemaVersion":1})");
  EXPECT_FALSE(fs::exists(stateDir));
}

TEST_F(StubTest, PendingRequestOfAnotherVersionTurnsCandidatesOffForThatStart) {
  const Boot before = bootOf(5, kActive, none, kCandidate, 0, none);
  writeBoot(before);
  makeSlot(kActive);
  makeSlot(kCandidate);
  const std::string pendingText =
      R"({"candidate":"cccc3333","expectedGeneration":5,"requestId":"request-0002","schemaVersion":2})";
  ASSERT_TRUE(writeFile(stateDir / launcher_stub::kPending, pendingText));
  RunResult result = run();
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{kActive});
  EXPECT_EQ(stateFile(launcher_stub::kPending), pendingText);
  EXPECT_EQ(stateFile(launcher_stub::kBoot), serialize(before));
}

// ---------------------------------------------------------------------------------------------
// The runtime's side: arguments, environment, lease, exit status and process group.

TEST_F(StubTest, RuntimeGetsItsArgumentsEnvironmentAndLease) {
  seedPlan({"record " + work("record.txt"), "ready", "exit 0"});
  RunOptions options;
  options.args = {"--flag", "two words", "x=y", ""};
  options.env = {"VORLENT_BOOT_STATE_ROOT=/elsewhere", "VORLENT_BOOT_EXTRA=1",
                 "VORLENT_BOOTX=kept", "vorlent_boot_lower=kept", "STUB_TEST_MARK=hello"};
  RunResult result = run(options);
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  std::vector<Record> records = parseRecords(readFile(workDir / "record.txt"));
  ASSERT_EQ(records.size(), 1u);
  const Record& r = records[0];

  EXPECT_EQ(r.args, (std::vector<std::string>{(installDir / "seed" / "entry-v1").string(),
                                              "--flag", "two words", "x=y", ""}));

  std::vector<std::string> inherited;
  for (const std::string& e : environmentFor(options)) {
    if (!startsWith(e, "VORLENT_BOOT_")) inherited.push_back(e);
  }
  ASSERT_EQ(r.env.size(), inherited.size() + 4);
  EXPECT_EQ(std::vector<std::string>(r.env.begin(), r.env.end() - 4), inherited);
  const std::set<std::string> attempts = attemptDirs();
  ASSERT_EQ(attempts.size(), 1u);
  const std::string nonce = *attempts.begin();
  const std::string lease = r.env[r.env.size() - 2];
  ASSERT_TRUE(startsWith(lease, "VORLENT_BOOT_LEASE="));
  const int leaseFd = std::atoi(lease.c_str() + std::string("VORLENT_BOOT_LEASE=").size());
  EXPECT_EQ(std::vector<std::string>(r.env.end() - 4, r.env.end()),
            (std::vector<std::string>{
                "VORLENT_BOOT_STATE_ROOT=" + stateDir.string(),
                "VORLENT_BOOT_ATTEMPT_DIR=" + (stateDir / "attempts" / nonce).string(),
                "VORLENT_BOOT_LEASE=" + std::to_string(leaseFd),
                "VORLENT_BOOT_INSTALL_DIR=" + installDir.string()}));
  EXPECT_GE(leaseFd, 3);
  EXPECT_EQ(r.fds, (std::vector<int>{0, 1, 2, leaseFd}));

  std::optional<Attempt> attempt = attemptRecord(nonce);
  ASSERT_TRUE(attempt.has_value());
  EXPECT_EQ(attempt->slot, "seed");
  EXPECT_EQ(attempt->nonce, nonce);
}

struct ExitCase {
  const char* name;
  std::vector<std::string> activePlan;  // after the launch is logged
  int code;
  std::vector<std::string> runs;
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

class ExitStatusTest : public StubTest, public ::testing::WithParamInterface<ExitCase> {};

// A runtime whose ready marker was seen passes its exit status on; one that ends before it is a
// failed attempt, and the next slot (the seed) runs.
TEST_P(ExitStatusTest, PropagatesOrFallsBack) {
  const ExitCase& c = GetParam();
  writeBoot(bootOf(5, kActive, none, none, 0, none));
  std::vector<std::string> plan = {"log " + runsLog()};
  plan.insert(plan.end(), c.activePlan.begin(), c.activePlan.end());
  makeSlot(kActive, plan);
  RunResult result = run();
  EXPECT_EQ(result.code, c.code);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), c.runs);
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, ExitStatusTest,
    ::testing::Values(
        ExitCase{"ReadyThenExit3", {"ready", "sleep 1000", "exit 3"}, 3, {kActive}},
        ExitCase{"ReadyThenExit255", {"ready", "sleep 1000", "exit 255"}, 255, {kActive}},
        ExitCase{"ReadyThenKilled", {"ready", "sleep 1000", "signal KILL"}, 1, {kActive}},
        ExitCase{"ReadyThenTerminated", {"ready", "sleep 1000", "signal TERM"}, 1, {kActive}},
        ExitCase{"CleanExitWithoutReady", {"exit 0"}, 0, {kActive}},
        ExitCase{"Exit3BeforeReady", {"exit 3"}, 0, {kActive, "seed"}},
        ExitCase{"KilledBeforeReady", {"signal KILL"}, 0, {kActive, "seed"}},
        ExitCase{"MarkerOfAnotherAttempt",
                 {"marker ready-v1 " + kActive + " 0123456789abcdef0123456789abcdef",
                  "sleep 1000", "exit 3"},
                 0,
                 {kActive, "seed"}}),
    [](const ::testing::TestParamInfo<ExitCase>& p) { return std::string(p.param.name); });

// A runtime that reports ready and exits a few milliseconds later, before any tick looked: its
// ready marker, not the timing, decides that its status is the run's. Many runs in a row, so
// that a tick happening to look in between cannot hide a fault. (Without the marker the same
// exit falls back: Exit3BeforeReady above.)
TEST_F(StubTest, RuntimeReportingReadyAndExitingAtOncePassesItsStatusOn) {
  const std::vector<std::string> plan = {"log " + runsLog(), "ready", "exit 3"};
  for (const bool seed : {false, true}) {
    SCOPED_TRACE(seed ? "seed" : "active slot");
    for (int i = 0; i < 15; ++i) {
      SCOPED_TRACE("run " + std::to_string(i));
      resetState();
      if (seed) {
        seedPlan(plan);
      } else {
        seedPlan(defaultPlan());
        writeBoot(bootOf(5, kActive, none, none, 0, none));
        makeSlot(kActive, plan);
      }
      RunResult result = run();
      EXPECT_EQ(result.code, 3);
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(runSlots(), std::vector<std::string>{seed ? "seed" : kActive});
      if (HasFailure()) return;
    }
  }
}

TEST_F(StubTest, WholeProcessGroupIsEndedWhenTheEntryExits) {
  writeBoot(bootOf(5, kActive, none, none, 0, none));
  makeSlot(kActive, {"log " + runsLog(), "orphan " + work("orphan.pid"),
                     "wait-for " + work("orphan.pid") + " 10000", "exit 3"});
  RunResult result = run();
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ((runSlots()), (std::vector<std::string>{kActive, "seed"}));
  const pid_t orphan = static_cast<pid_t>(std::atol(readFile(workDir / "orphan.pid").c_str()));
  ASSERT_GT(orphan, 0);
  std::uint64_t deadline = steadyMs() + 5000;
  while (running(orphan) && steadyMs() < deadline) sleepMs(5);
  EXPECT_FALSE(running(orphan)) << "the member that ignores signals survived its group";
}

// The runtime is watched every 250 ms: the stub asks once per cycle whether the entry process has
// ended, and the times of those questions on the stub's own clock are 250 ms apart, plus what
// the cycle's own work and a loaded machine add. Nothing here depends on how fast the machine is
// but the upper bound, which only one interval in the run has to meet.
TEST_F(StubTest, WatchesTheRuntimeAboutEveryQuarterSecond) {
  seedPlan({"ready", "sleep 2500", "exit 3"});
  ASSERT_TRUE(writeFile(control(), "trace-waits"));
  RunResult result = run({.failWrites = true});
  EXPECT_EQ(result.code, 3);
  EXPECT_EQ(result.err, "");
  // The polls of the entry process: waits for a positive process id (those for a negative one
  // ask about the group's other members).
  std::vector<std::uint64_t> polls;
  std::istringstream notes(readFile(workDir / "injected.log"));
  for (std::string call, pid, time; notes >> call >> pid >> time;) {
    if (call == "waitpid" && std::stol(pid) > 0) polls.push_back(std::stoull(time));
  }
  ASSERT_GE(polls.size(), 5u) << "a runtime living 2.5 s is looked at about ten times";
  std::uint64_t shortest = UINT64_MAX;
  for (std::size_t i = 1; i < polls.size(); ++i) {
    const std::uint64_t interval = polls[i] - polls[i - 1];
    // Milliseconds cut from both times: 250 ms may show as 249.
    EXPECT_GE(interval, 249u) << "poll " << i << " came early";
    shortest = std::min(shortest, interval);
  }
  EXPECT_LT(shortest, 350u) << "no cycle took about 250 ms";
}

// ---------------------------------------------------------------------------------------------
// The launch lock, the lease and the state lock.

TEST_F(StubTest, SecondStubExitsQuietlyWhileTheFirstRuns) {
  writeBoot(bootOf(5, kActive, none, none, 0, none));
  makeSlot(kActive, {"log " + runsLog(), "touch " + work("started"),
                     "wait-for " + work("go") + " 600000", "ready", "exit 0"});
  Running first = start();
  ASSERT_TRUE(waitFor(workDir / "started"));
  const std::set<std::string> attemptsBefore = attemptDirs();
  const std::string bootBefore = stateFile(launcher_stub::kBoot);

  RunResult second = run();
  EXPECT_EQ(second.code, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(attemptDirs(), attemptsBefore) << "the second stub pruned or launched";
  EXPECT_EQ(stateFile(launcher_stub::kBoot), bootBefore);

  ASSERT_TRUE(writeFile(workDir / "go", ""));
  RunResult result = finish(first);
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{kActive});
}

TEST_F(StubTest, RuntimeKeepingTheLeaseKeepsTheNextStubOut) {
  seedPlan({"log " + runsLog(), "skip-if-exists " + work("holder.pid") + " 1",
            "hold-lease 600000 " + work("holder.pid"), "ready", "exit 0"});
  RunResult first = run();
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(first.err, "");
  std::uint64_t deadline = steadyMs() + 10000;
  while (std::atol(readFile(workDir / "holder.pid").c_str()) <= 0 && steadyMs() < deadline) {
    sleepMs(5);
  }
  EXPECT_FALSE(lockFree(stateDir / "launch.lock")) << "the lease outlives the stub";

  RunResult second = run();
  EXPECT_EQ(second.code, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});

  const pid_t holder = static_cast<pid_t>(std::atol(readFile(workDir / "holder.pid").c_str()));
  ASSERT_GT(holder, 0);
  ::kill(holder, SIGKILL);
  deadline = steadyMs() + 5000;
  while (running(holder) && steadyMs() < deadline) sleepMs(5);

  RunResult third = run();
  EXPECT_EQ(third.code, 0);
  EXPECT_EQ(third.err, "");
  EXPECT_EQ((runSlots()), (std::vector<std::string>{"seed", "seed"}));
}

TEST_F(StubTest, StateLockHeldElsewhereTimesOut) {
  REQUIRE_FAKETIME();
  makeStateRoot();
  HeldLock other(stateDir / "state.lock");
  ASSERT_TRUE(other.held());
  RunResult result = run({.rate = 50});
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(result.err, lines({"state lock timeout"}));
  EXPECT_TRUE(lockFree(stateDir / "launch.lock")) << "the launch lock is released on the way out";
  EXPECT_FALSE(fs::exists(stateDir / "boot-v1.json"));
  EXPECT_EQ(runSlots(), std::vector<std::string>{});
}

TEST_F(StubTest, StateLockReleasedDuringTheWaitIsTaken) {
  makeStateRoot();
  HeldLock other(stateDir / "state.lock");
  ASSERT_TRUE(other.held());
  Running stub = start();
  ASSERT_TRUE(waitFor(stateDir / "launch.lock", 10000));
  sleepMs(500);
  other.release();
  RunResult result = finish(stub);
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});
}

// ---------------------------------------------------------------------------------------------
// The process state that a shell or a desktop hands the stub: closed standard descriptors, a
// standard error whose reader has gone, inherited signal dispositions, a strict umask, another
// account, and several starts at the same moment.

// Runs a command with a signal ignored or blocked, as a parent process may leave it.
std::vector<std::string> envPrefix(const std::string& option) { return {"/usr/bin/env", option}; }

struct HandedCase {
  const char* name;
  RunOptions options;
  bool pipeIgnored;  // what the runtime must start with: what the stub was started with
  bool pipeBlocked;
};

void PrintTo(const HandedCase& c, std::ostream* out) { *out << c.name; }

class HandedStateTest : public StubTest, public ::testing::WithParamInterface<HandedCase> {};

// The start-up logs a line (a slot whose delivery differs from the seed's), then the seed runs,
// reports ready and exits with 3. Whatever the stub was handed, that line must neither kill it
// nor land in a file of the state root, the runtime must start with the signal state that the
// stub was started with (SIGCHLD back at its default), and its status must be the run's.
TEST_P(HandedStateTest, RunGoesOnAndTheRuntimeGetsTheStubsSignalState) {
  const HandedCase& c = GetParam();
  if (!c.options.prefix.empty() && !fs::exists(c.options.prefix[0])) {
    GTEST_SKIP() << c.options.prefix[0] << " is missing";
  }
  seedDelivery(delivery(kDeliveryA));
  makeSlot(kActive, defaultPlan(), delivery(kDeliveryB));
  writeBoot(bootOf(5, kActive, none, none, 0, none));
  seedPlan({"record " + work("record.txt"), "log " + runsLog(), "ready", "sleep 600", "exit 3"});

  RunResult result = run(c.options);
  EXPECT_EQ(result.code, 3);
  const bool errorVisible = c.options.errorOutput == ErrorOutput::File &&
                            std::find(c.options.closed.begin(), c.options.closed.end(), 2) ==
                                c.options.closed.end();
  if (errorVisible) {
    EXPECT_EQ(result.err, lines({"ignoring slot " + kActive + ": delivery differs from seed"}));
  }
  EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});
  for (const char* lock : {"launch.lock", "state.lock"}) {
    EXPECT_EQ(stateFile(lock), "") << lock << " must never receive a message";
  }

  const std::vector<Record> records = parseRecords(readFile(workDir / "record.txt"));
  ASSERT_EQ(records.size(), 1u);
  const Record& r = records[0];
  const std::vector<int> standard = {0, 1, 2};
  EXPECT_TRUE(std::includes(r.fds.begin(), r.fds.end(), standard.begin(), standard.end()));
  EXPECT_EQ(hasSignal(r.ignored, SIGPIPE), c.pipeIgnored);
  EXPECT_EQ(hasSignal(r.blocked, SIGPIPE), c.pipeBlocked);
  EXPECT_FALSE(hasSignal(r.ignored, SIGCHLD));
}

INSTANTIATE_TEST_SUITE_P(
    Handed, HandedStateTest,
    ::testing::Values(
        HandedCase{"ErrorPipeWithoutReader", {.errorOutput = ErrorOutput::DeadPipe}, false, false},
        HandedCase{"ErrorPipeWithoutReaderAndPipeSignalIgnored",
                   {.prefix = envPrefix("--ignore-signal=PIPE"),
                    .errorOutput = ErrorOutput::DeadPipe},
                   true, false},
        HandedCase{"ErrorPipeWithoutReaderAndPipeSignalBlocked",
                   {.prefix = envPrefix("--block-signal=PIPE"),
                    .errorOutput = ErrorOutput::DeadPipe},
                   false, true},
        HandedCase{"StandardErrorClosed", {.closed = {2}}, false, false},
        HandedCase{"StandardInputClosed", {.closed = {0}}, false, false},
        HandedCase{"AllStandardDescriptorsClosed", {.closed = {0, 1, 2}}, false, false},
        HandedCase{"ChildSignalIgnored", {.prefix = envPrefix("--ignore-signal=CHLD")}, false,
                   false}),
    [](const ::testing::TestParamInfo<HandedCase>& p) { return std::string(p.param.name); });

TEST_F(StubTest, RestartRequestIsHonouredUnderAParentIgnoringChildSignals) {
  writeBoot(bootOf(5, kActive, none, none, 0, none));
  makeSlot(kActive, {"log " + runsLog(), "ready", "skip-if-exists " + work("again") + " 2",
                     "touch " + work("again"), "restart", "exit 0"});
  RunResult result = run({.prefix = envPrefix("--ignore-signal=CHLD")});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), (std::vector<std::string>{kActive, kActive}));
}

// A message written mid-run (a failed commit write) to a standard error without reader must not
// end the stub: the runtime keeps its supervisor and the commit is made at a later tick.
TEST_F(StubTest, ErrorPipeWithoutReaderDoesNotStopACommit) {
  REQUIRE_FAKETIME();
  roadScene(*this, {"log " + runsLog(), "ready", "healthy", "write " + control().string() + " 1",
                    "sleep 75000", "write " + control().string() + " 0", "sleep 30000",
                    "exit 0"});
  RunResult result =
      run({.rate = 20, .failWrites = true, .errorOutput = ErrorOutput::DeadPipe});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(7, kCandidate, kActive, none, 0, kRequest)));
}

// As a container's first process or a child subreaper, the stub becomes the parent of what the
// runtime leaves behind once the runtime has gone; their zombies stay members of the group until
// the stub itself reaps them. The runtime leaves a member sleeping for 30 s and exits 0: the run
// ends with 0 at once, not with "cannot end runtime process tree" after 30 s.
TEST_F(StubTest, StubAsSubreaperReapsWhatTheRuntimeLeftBehind) {
  seedPlan({"log " + runsLog(), "linger 30000", "exit 0"});
  RunResult result = run({.prefix = {kSubreaper}});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});
}

// The stub run as an ordinary account, as users run it. As root, permission checks do not
// apply, so the test switches to "nobody" with setpriv and hands the test's files over to it;
// the seed entry becomes a copy, since the build tree may be out of that account's reach.
std::optional<std::vector<std::string>> asOrdinaryAccount(const StubTest& t, std::string& why) {
  if (::geteuid() != 0) return std::vector<std::string>{};
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr || nobody->pw_uid == 0) {
    why = "no unprivileged account named nobody";
    return std::nullopt;
  }
  if (!fs::exists("/usr/bin/setpriv")) {
    why = "setpriv is missing";
    return std::nullopt;
  }
  const fs::path entry = t.installDir / "seed" / "entry-v1";
  fs::remove(entry);
  fs::copy_file(kRuntimeBinary, entry);
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(t.rootDir)) {
    if (::lchown(e.path().c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
      why = "cannot hand " + e.path().string() + " over";
      return std::nullopt;
    }
  }
  if (::chown(t.rootDir.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
    why = "cannot hand the test directory over";
    return std::nullopt;
  }
  return std::vector<std::string>{"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                                  "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups",
                                  "--"};
}

// Under umask 0277 every file the stub creates is still 0600 and every directory 0700, so the
// next run of the same account can open its lock files again; the runtime keeps the umask.
TEST_F(StubTest, StrictUmaskLeavesPrivateFilesThatLaterRunsCanUse) {
  seedPlan({"record " + work("record.txt"), "log " + runsLog(), "ready", "exit 0"});
  // The runtime's own files exist beforehand: made under its umask they would be read-only.
  ASSERT_TRUE(writeFile(work("record.txt"), ""));
  ASSERT_TRUE(writeFile(runsLog(), ""));
  std::string why;
  const std::optional<std::vector<std::string>> prefix = asOrdinaryAccount(*this, why);
  RunOptions options{.prefix = prefix.value_or(std::vector<std::string>{}), .umask = 0277};

  RunResult first = run(options);
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(first.err, "");
  const std::set<std::string> attempts = attemptDirs();
  ASSERT_EQ(attempts.size(), 1u);
  const fs::path attempt = stateDir / "attempts" / *attempts.begin();
  for (const fs::path& file : {stateDir / "launch.lock", stateDir / "state.lock",
                               stateDir / "boot-v1.json", attempt / "boot-v1.json"}) {
    EXPECT_EQ(modeOf(file), "0600") << file;
  }
  for (const fs::path& dir : {stateDir, stateDir / "attempts", stateDir / "slots", attempt}) {
    EXPECT_EQ(modeOf(dir), "0700") << dir;
  }
  const std::vector<Record> records = parseRecords(readFile(workDir / "record.txt"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].umask, "0277");

  if (!prefix) GTEST_SKIP() << "the second run needs an unprivileged account: " << why;
  RunResult second = run(options);
  EXPECT_EQ(second.code, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(runSlots(), (std::vector<std::string>{"seed", "seed"}));
}

// A double click right after the install: many stubs at once on a state root that does not
// exist yet. One of them runs the runtime; every other one finds the launch lease held and
// leaves quietly, whichever of them made the directories.
TEST_F(StubTest, ManyFirstStartsAtOnceRunOneRuntimeAndTheRestLeaveQuietly) {
  constexpr int kStubs = 40;
  constexpr int kRounds = 4;
  const fs::path gate = workDir / "gate";
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    resetState();
    fs::remove(work("go"));
    seedPlan({"log " + runsLog(), "wait-for " + work("go") + " 60000", "exit 0"});
    // Every stub waits at the gate (a FIFO) and all are let go at once.
    ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0);
    std::vector<Running> stubs;
    stubs.reserve(kStubs);
    for (int i = 0; i < kStubs; ++i) {
      stubs.push_back(start({.prefix = {"/bin/sh", "-c", "read x < \"$0\"; exec \"$@\"",
                                        gate.string()}}));
    }
    {
      const int fd = ::open(gate.c_str(), O_WRONLY | O_CLOEXEC);  // waits for every reader
      ASSERT_GE(fd, 0);
      sleepMs(50);  // let the last readers open the gate too
      ::close(fd);
    }
    // Every stub but one leaves; the one left supervises the only runtime.
    int quiet = 0;
    std::vector<Running*> left;
    const std::uint64_t deadline = steadyMs() + 30000;
    while (steadyMs() < deadline) {
      left.clear();
      for (Running& stub : stubs) {
        if (stub.pid > 0 && !running(stub.pid)) {
          RunResult result = finish(stub);
          EXPECT_EQ(result.code, 0);
          EXPECT_EQ(result.err, "");
          ++quiet;
        }
        if (stub.pid > 0) left.push_back(&stub);
      }
      if (left.size() <= 1) break;
      sleepMs(5);
    }
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(quiet, kStubs - 1);
    ASSERT_TRUE(writeFile(work("go"), ""));
    RunResult last = finish(*left[0]);
    EXPECT_EQ(last.code, 0);
    EXPECT_EQ(last.err, "");
    EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});
    fs::remove(gate);
  }
}

// A pending request may name the slot that already is active: it is tried as the candidate, and
// its commit keeps the previous slot as the fallback.
TEST_F(StubTest, CommittingTheActiveSlotAgainKeepsThePreviousSlot) {
  REQUIRE_FAKETIME();
  const std::string kPrevious = "bbbb2222";
  writeBoot(bootOf(5, kActive, kPrevious, none, 0, none));
  makeSlot(kPrevious);
  makeSlot(kActive, {"log " + runsLog(), "ready", "healthy", "sleep 75000", "exit 0"});
  writePending(Pending{kRequest, 5, kActive});
  RunResult result = run({.rate = 20});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), std::vector<std::string>{kActive});
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(7, kActive, kPrevious, none, 0, kRequest)));
}

// ---------------------------------------------------------------------------------------------
// Failed state writes: the retry policy and the tick policy.

TEST_F(StubTest, LaunchWritesThatKeepFailingEndTheRunAfter30Seconds) {
  REQUIRE_FAKETIME();
  ASSERT_TRUE(writeFile(control(), "1"));
  Running stub = start({.rate = 10, .failWrites = true});
  ASSERT_TRUE(waitForText(stub.errPath, "retrying"));
  // The start-up keeps its hold on "state.lock" while it repeats the transition.
  const bool stateLockFree = lockFree(stateDir / "state.lock");
  RunResult result = finish(stub);
  EXPECT_FALSE(stateLockFree);
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(result.err, lines({"launch transition write failed; retrying",
                               "cannot write launcher state",
                               "launch transition write failed for 30 seconds; exiting"}));
  EXPECT_FALSE(fs::exists(stateDir / "boot-v1.json"));
  EXPECT_EQ(runSlots(), std::vector<std::string>{});
  expectRepeatedFor30Seconds();
  for (const fs::directory_entry& e : fs::directory_iterator(stateDir)) {
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
  }
}

TEST_F(StubTest, LaunchWriteFailingOnceIsRetried) {
  ASSERT_TRUE(writeFile(control(), "1"));
  Running stub = start({.failWrites = true});
  ASSERT_TRUE(waitForText(stub.errPath, "retrying"));
  ASSERT_TRUE(writeFile(control(), "0"));
  RunResult result = finish(stub);
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, lines({"launch transition write failed; retrying"}));
  EXPECT_EQ(runSlots(), std::vector<std::string>{"seed"});
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            R"({"attemptCount":0,"generation":1,"rejected":[],"schemaVersion":1})");
}

// What the file system does to the durable writes of a first start. A sync that fails is a
// write that failed (repeated, then given up after 30 seconds); an interrupted write is repeated
// where it stopped; a refused mode change is no failure.
struct WriteFaultCase {
  const char* name;
  const char* fault;  // the text of the shim's control file
  int code;
  std::vector<std::string> err;
  bool bootWritten;  // "boot-v1.json" holds the first boot document afterwards
};

void PrintTo(const WriteFaultCase& c, std::ostream* out) { *out << c.name; }

class WriteFaultTest : public StubTest, public ::testing::WithParamInterface<WriteFaultCase> {};

TEST_P(WriteFaultTest, RunEndsAsTheFaultRequires) {
  REQUIRE_FAKETIME();
  const WriteFaultCase& c = GetParam();
  ASSERT_TRUE(writeFile(control(), c.fault));
  RunResult result = run({.rate = 50, .failWrites = true});
  EXPECT_EQ(result.code, c.code);
  EXPECT_EQ(result.err, lines(c.err));
  EXPECT_EQ(
      stateFile(launcher_stub::kBoot),
      c.bootWritten ? R"({"attemptCount":0,"generation":1,"rejected":[],"schemaVersion":1})" : "");
  EXPECT_EQ(runSlots(),
            c.code == 0 ? std::vector<std::string>{"seed"} : std::vector<std::string>{});
  if (c.code == 0) {
    for (const std::string& nonce : attemptDirs()) {
      std::optional<Attempt> attempt = attemptRecord(nonce);
      ASSERT_TRUE(attempt.has_value()) << "the attempt record reads whole";
      EXPECT_EQ(attempt->slot, "seed");
    }
  }
  for (const fs::directory_entry& e : fs::directory_iterator(stateDir)) {
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
  }
}

const std::vector<std::string> kLaunchGivenUp = {
    "launch transition write failed; retrying", "cannot write launcher state",
    "launch transition write failed for 30 seconds; exiting"};

INSTANTIATE_TEST_SUITE_P(
    FileSystem, WriteFaultTest,
    ::testing::Values(WriteFaultCase{"FileSyncFails", "fsync-file", 1, kLaunchGivenUp, false},
                      // The rename stands; only its durability is not confirmed.
                      WriteFaultCase{"DirectorySyncFails", "fsync-dir", 1, kLaunchGivenUp, true},
                      WriteFaultCase{"WritesInterrupted", "write-eintr", 0, {}, true},
                      WriteFaultCase{"ModeChangeRefused", "fchmod", 0, {}, true}),
    [](const ::testing::TestParamInfo<WriteFaultCase>& p) { return std::string(p.param.name); });

// A file system that hands files out 16 bytes at a time: the bootstrap document, the boot
// document, the pending request, the delivery records, the ready marker and the restart request
// all read whole, so the run goes as it does on any other file system. The active slot reports
// ready, asks for a restart once, and then exits with 3.
TEST_F(StubTest, DocumentsHandedOutInPiecesAreReadWhole) {
  seedDelivery(delivery(kDeliveryA));
  const Boot before = bootOf(5, kActive, none, none, 0, kRequest);
  writeBoot(before);
  makeSlot(kActive,
           {"log " + runsLog(), "ready", "sleep 600", "skip-if-exists " + work("again") + " 3",
            "touch " + work("again"), "restart", "exit 0", "exit 3"},
           delivery(kDeliveryA));
  writePending(Pending{"request-0002", 4, kActive});  // stale: examined, deleted, not adopted
  ASSERT_TRUE(writeFile(control(), "short-read"));
  RunResult result = run({.failWrites = true});
  EXPECT_EQ(result.code, 3);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(runSlots(), (std::vector<std::string>{kActive, kActive}));
  EXPECT_EQ(stateFile(launcher_stub::kBoot), serialize(before));
  EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPending));
  EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPreviousBoot)) << "nothing was recovered";
}

// Before a boot document of a new generation replaces the old one, the old one is saved as
// "boot-v1.previous.json": while the new one cannot be written, the old text is held twice.
TEST_F(StubTest, DocumentHeldBeforeANewGenerationIsSavedBeforeTheNewOne) {
  const Boot before = roadScene(*this, defaultPlan());
  ASSERT_TRUE(writeFile(control(), "document boot-v1.json"));
  Running stub = start({.failWrites = true});
  ASSERT_TRUE(waitForText(stub.errPath, "retrying"));
  EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), serialize(before));
  EXPECT_EQ(stateFile(launcher_stub::kBoot), serialize(before));
  ASSERT_TRUE(writeFile(control(), "0"));
  RunResult result = finish(stub);
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, lines({"launch transition write failed; retrying"}));
  EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), serialize(before));
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(6, kActive, none, kCandidate, 0, kRequest)));
}

TEST_F(StubTest, ExitWritesThatKeepFailingEndTheRunAfter30Seconds) {
  REQUIRE_FAKETIME();
  // The candidate turns the failures on and exits cleanly: giving its attempt back must be
  // written.
  roadScene(*this, {"log " + runsLog(), "write " + control().string() + " 1", "exit 0"});
  RunResult result = run({.rate = 10, .failWrites = true});
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(result.err, lines({"exit transition write failed; retrying",
                               "cannot write launcher state",
                               "exit transition write failed for 30 seconds; exiting"}));
  expectRepeatedFor30Seconds();
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(6, kActive, none, kCandidate, 1, kRequest)));
}

TEST_F(StubTest, CommitWritesThatKeepFailingAreDroppedAfter30Seconds) {
  REQUIRE_FAKETIME();
  // Failures from before the commit (60 s after healthy) until some time after dropping mode
  // began (30 s later); then writes work again, but the dropped commit is not tried again, and
  // the candidate's clean exit is written.
  const Boot before = roadScene(*this, {"log " + runsLog(), "ready", "healthy",
                                        "write " + control().string() + " 1", "sleep 115000",
                                        "write " + control().string() + " 0", "sleep 40000",
                                        "exit 0"});
  RunResult result = run({.rate = 25, .failWrites = true});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, lines({"tick metadata write failed; retrying",
                               "cannot write launcher state",
                               "tick metadata write failed for 30 seconds; dropping write"}));
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(6, kActive, none, kCandidate, 0, kRequest)));
  EXPECT_EQ(stateFile(launcher_stub::kPreviousBoot), serialize(before));
}

TEST_F(StubTest, CommitWriteFailingForAWhileIsMadeAtALaterTick) {
  REQUIRE_FAKETIME();
  roadScene(*this, {"log " + runsLog(), "ready", "healthy", "write " + control().string() + " 1",
                    "sleep 75000", "write " + control().string() + " 0", "sleep 30000",
                    "exit 0"});
  RunResult result = run({.rate = 20, .failWrites = true});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, lines({"tick metadata write failed; retrying"}));
  EXPECT_EQ(stateFile(launcher_stub::kBoot),
            serialize(bootOf(7, kCandidate, kActive, none, 0, kRequest)));
}

// A stub killed between the creation and the rename of an atomic write leaves its temporary
// file. The next start-up removes exactly those of the two boot documents (a symbolic link as a
// link), and nothing that only looks like one.
TEST_F(StubTest, TemporaryFilesOfInterruptedWritesAreRemovedAtStartUp) {
  const std::string nonce = "0123456789abcdef0123456789abcdef";
  const std::vector<std::string> leftovers = {
      "boot-v1.json.tmp-123-" + nonce, "boot-v1.previous.json.tmp-4567-" + nonce,
      "boot-v1.json.tmp-9-fedcba9876543210fedcba9876543210"};
  const std::vector<std::string> lookAlikes = {
      "boot-v1.json.tmp-123-" + nonce.substr(1),
      "boot-v1.json.tmp-123-" + nonce + "0",
      "boot-v1.json.tmp-123-0123456789ABCDEF0123456789ABCDEF",
      "boot-v1.json.tmp--" + nonce,
      "boot-v1.json.tmp-12a-" + nonce,
      "boot-v1.json.tmp-123" + nonce,
      "pending-v1.json.tmp-123-" + nonce,
      "xboot-v1.json.tmp-123-" + nonce,
      "boot-v1.json.tmp-123-" + nonce + ".tmp-1-" + nonce.substr(0, 31)};
  makeStateRoot();
  ASSERT_TRUE(writeFile(stateDir / leftovers[0], "{\"generation\":"));
  ASSERT_TRUE(writeFile(stateDir / leftovers[1], ""));
  ASSERT_TRUE(writeFile(workDir / "linked", "kept"));
  fs::create_symlink(workDir / "linked", stateDir / leftovers[2]);
  for (const std::string& name : lookAlikes) ASSERT_TRUE(writeFile(stateDir / name, "x"));
  const std::string directory = "boot-v1.previous.json.tmp-77-" + nonce;
  fs::create_directory(stateDir / directory);

  RunResult result = run();
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  std::set<std::string> expected(lookAlikes.begin(), lookAlikes.end());
  expected.insert(directory);
  std::set<std::string> left;
  for (const fs::directory_entry& e : fs::directory_iterator(stateDir)) {
    const std::string name = e.path().filename().string();
    if (name.find(".tmp") != std::string::npos) left.insert(name);
  }
  EXPECT_EQ(left, expected);
  EXPECT_EQ(readFile(workDir / "linked"), "kept") << "a link goes, not what it points to";
}

// ---------------------------------------------------------------------------------------------
// Crash consistency: the stub killed at random instants of the road of one launch.

struct CrashShard {
  const char* name;
  unsigned seed;
};

void PrintTo(const CrashShard& c, std::ostream* out) { *out << c.name; }

class CrashTest : public StubTest, public ::testing::WithParamInterface<CrashShard> {
 public:
  // Every state document present reads whole; a killed write may only leave a temporary file,
  // which the next start-up removes (`temporariesAllowed` false after that run).
  void expectWholeDocuments(const std::string& when, bool temporariesAllowed) const {
    SCOPED_TRACE(when);
    const std::set<std::string> known = {"boot-v1.json", "boot-v1.previous.json", "pending-v1.json",
                                         "state.lock",   "launch.lock",           "attempts",
                                         "slots"};
    for (const fs::directory_entry& e : fs::directory_iterator(stateDir)) {
      const std::string name = e.path().filename().string();
      EXPECT_TRUE(known.count(name) != 0 ||
                  (temporariesAllowed && name.find(".tmp-") != std::string::npos))
          << name;
    }
    Boot boot;
    std::string error;
    EXPECT_TRUE(launcher_stub::parseBoot(stateFile(launcher_stub::kBoot), boot, error)) << error;
    if (fs::exists(stateDir / launcher_stub::kPreviousBoot)) {
      EXPECT_TRUE(launcher_stub::parseBoot(stateFile(launcher_stub::kPreviousBoot), boot, error))
          << error;
    }
    for (const std::string& nonce : attemptDirs()) {
      fs::path record = stateDir / "attempts" / nonce / "boot-v1.json";
      if (!fs::exists(record)) continue;
      Attempt attempt;
      EXPECT_TRUE(launcher_stub::parseAttempt(readFile(record), attempt, error))
          << nonce << ": " << error;
    }
  }
};

TEST_P(CrashTest, StubKilledAnywhereLeavesDocumentsTheNextRunCompletes) {
  REQUIRE_FAKETIME();
  constexpr int kRuns = 8;
  constexpr int kRate = 200;  // the commit comes 300 ms after the start, the exit 750 ms
  std::mt19937 random(GetParam().seed);
  std::uniform_int_distribution<int> early(0, 40);    // within the start-up's writes
  std::uniform_int_distribution<int> anywhere(0, 900);
  std::bernoulli_distribution pickEarly(0.5);
  for (int i = 0; i < kRuns; ++i) {
    const int killAfterMs = pickEarly(random) ? early(random) : anywhere(random);
    SCOPED_TRACE("run " + std::to_string(i) + ", killed after " + std::to_string(killAfterMs) +
                 " ms");
    resetState();
    roadScene(*this, {"ready", "healthy", "sleep 150000", "exit 0"});

    Running stub = start({.rate = kRate});
    sleepMs(killAfterMs);
    ::kill(stub.pid, SIGKILL);
    finish(stub);
    killLeftovers();
    std::uint64_t deadline = steadyMs() + 10000;
    while (!lockFree(stateDir / "launch.lock") && steadyMs() < deadline) {
      killLeftovers();
      sleepMs(5);
    }
    ASSERT_TRUE(lockFree(stateDir / "launch.lock")) << "a runtime of the killed stub survived";
    expectWholeDocuments("after the kill", true);

    // Whatever the kill interrupted, the next run ends with the candidate committed.
    RunResult result = run({.rate = kRate});
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, "");
    expectWholeDocuments("after the next run", false);
    EXPECT_EQ(stateFile(launcher_stub::kBoot),
              serialize(bootOf(7, kCandidate, kActive, none, 0, kRequest)));
    Boot previous;
    std::string error;
    ASSERT_TRUE(launcher_stub::parseBoot(stateFile(launcher_stub::kPreviousBoot), previous, error))
        << error;
    EXPECT_EQ(previous.generation, 6u);
    EXPECT_EQ(previous.candidate, kCandidate);
    EXPECT_EQ(previous.active, kActive);
    EXPECT_FALSE(fs::exists(stateDir / launcher_stub::kPending));
    if (HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    RandomKills, CrashTest,
    ::testing::Values(CrashShard{"Seed1", 1}, CrashShard{"Seed2", 2}, CrashShard{"Seed3", 3},
                      CrashShard{"Seed4", 4}),
    [](const ::testing::TestParamInfo<CrashShard>& p) { return std::string(p.param.name); });

}  // namespace
