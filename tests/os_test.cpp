// Platform services against the real system: files in a fresh temporary directory per test,
// locks contended by forked processes, and runtimes started through Child from test_runtime.
#include "os/Os.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "os/Common.hpp"
#include "os/Layout.hpp"

namespace fs = std::filesystem;
namespace os = launcher_stub::os;

namespace {

constexpr const char* kRuntime = TEST_RUNTIME_PATH;
constexpr uid_t kOtherUid = 65534;
constexpr const char* kOtherAccount = "state root belongs to another account";

void sleepMs(long ms) {
  timespec want{ms / 1000, (ms % 1000) * 1000000};
  while (::nanosleep(&want, &want) != 0 && errno == EINTR) {
  }
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

unsigned modeOf(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    out.push_back(entry.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Bytes 0 to 255 over and over, so embedded zero bytes are part of every long document.
std::string bytes(std::size_t n) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i % 256);
  return out;
}

bool waitForFile(const fs::path& path, long timeoutMs = 10000) {
  for (long waited = 0; waited < timeoutMs; waited += 5) {
    std::error_code ec;
    if (fs::exists(path, ec) && fs::file_size(path, ec) > 0) return true;
    sleepMs(5);
  }
  return false;
}

// Runs `body` in a forked process and returns its exit status, or -1 when it did not end within
// `timeoutMs` (it is then killed). Keeps a call that might block from hanging the suite.
int inChild(const std::function<int()>& body, long timeoutMs = 5000) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  if (pid < 0) return -2;
  int status = 0;
  for (long waited = 0;; waited += 5) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (waited >= timeoutMs) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    sleepMs(5);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Sets (or with nullopt unsets) an environment variable and restores it on destruction.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Sends standard error to a file until finish().
class StderrCapture {
 public:
  explicit StderrCapture(fs::path file) : path_(std::move(file)) {
    std::fflush(stderr);
    file_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    saved_ = ::dup(2);
    ::dup2(file_, 2);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() { finish(); }

  std::string finish() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      ::dup2(saved_, 2);
      ::close(saved_);
      ::close(file_);
      saved_ = -1;
    }
    return readFile(path_);
  }

 private:
  fs::path path_;
  int file_ = -1;
  int saved_ = -1;
};

// What test_runtime's "record" command wrote.
struct Recorded {
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::set<int> fds;
  bool complete = false;
};

Recorded parseRecord(const std::string& text) {
  Recorded out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line == "end") {
      out.complete = true;
      break;
    }
    if (line.rfind("arg ", 0) == 0) {
      out.args.push_back(line.substr(line.find(' ', 4) + 1));
    } else if (line.rfind("env ", 0) == 0) {
      out.env.push_back(line.substr(4));
    } else if (line.rfind("fd ", 0) == 0) {
      out.fds.insert(std::stoi(line.substr(3)));
    }
  }
  return out;
}

std::string envValue(const Recorded& r, const std::string& name) {
  for (const std::string& entry : r.env) {
    if (entry.rfind(name + "=", 0) == 0) return entry.substr(name.size() + 1);
  }
  return "<absent>";
}

bool descriptorFree(int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

// Descriptors of this process that a spawned program inherits (no close-on-exec).
std::set<int> inheritableDescriptors() {
  std::set<int> out;
  for (const std::string& name : entries("/proc/self/fd")) {
    const int fd = std::atoi(name.c_str());
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) out.insert(fd);
  }
  return out;
}

// Moves whatever holds the given descriptor numbers (a test runner may pass some on) to high
// numbers for the life of the object, then puts it back with its close-on-exec flag.
class DescriptorsAside {
 public:
  explicit DescriptorsAside(std::initializer_list<int> fds) {
    for (const int fd : fds) {
      const int flags = ::fcntl(fd, F_GETFD);
      if (flags < 0) continue;
      moved_.push_back({fd, ::fcntl(fd, F_DUPFD_CLOEXEC, 100), (flags & FD_CLOEXEC) != 0});
      ::close(fd);
    }
  }
  DescriptorsAside(const DescriptorsAside&) = delete;
  DescriptorsAside& operator=(const DescriptorsAside&) = delete;
  ~DescriptorsAside() {
    for (const Moved& m : moved_) {
      if (m.saved < 0) continue;
      ::dup3(m.saved, m.fd, m.cloexec ? O_CLOEXEC : 0);
      ::close(m.saved);
    }
  }

 private:
  struct Moved {
    int fd;
    int saved;
    bool cloexec;
  };
  std::vector<Moved> moved_;
};

bool isZombie(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// Runs a program found on PATH and returns its exit status (-1 when it cannot be started).
int runProgram(std::vector<std::string> argv) {
  std::vector<char*> list;
  list.reserve(argv.size() + 1);
  for (std::string& a : argv) list.push_back(a.data());
  list.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, list[0], nullptr, nullptr, list.data(), environ) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "os_test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  fs::path dir_;
};

// ---------------------------------------------------------------------------------------------
// Install layout, executable path, state root

TEST(InstallLayoutTest, DerivedFromTheExecutablePathAlone) {
  static const struct {
    const char* executable;
    const char* root;
    const char* bootstrap;
    const char* seedEntry;
  } kCases[] = {
      {"/opt/app/stub", "/opt/app", "/opt/app/bootstrap-v1.json", "/opt/app/seed/entry-v1"},
      {"/stub", "/", "/bootstrap-v1.json", "/seed/entry-v1"},
      {"", "", "bootstrap-v1.json", "seed/entry-v1"},
      {"/no/such/dir/stub", "/no/such/dir", "/no/such/dir/bootstrap-v1.json",
       "/no/such/dir/seed/entry-v1"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.executable);
    const os::InstallLayout layout = os::installLayout(fs::path(c.executable));
    EXPECT_EQ(layout.root.native(), c.root);
    EXPECT_EQ(layout.bootstrap.native(), c.bootstrap);
    EXPECT_EQ(layout.seedEntry.native(), c.seedEntry);
  }
}

TEST(InstallLayoutTest, RunningExecutableIsFoundThroughProc) {
  const fs::path expected = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(os::executablePath(), expected);
  EXPECT_EQ(os::executableDir(), expected.parent_path());
  const os::InstallLayout layout = os::installLayout();
  EXPECT_EQ(layout.root, expected.parent_path());
  EXPECT_EQ(layout.bootstrap, expected.parent_path() / "bootstrap-v1.json");
  EXPECT_EQ(layout.seedEntry, expected.parent_path() / "seed" / "entry-v1");
}

TEST(InstallLayoutTest, IsInsideBundleComparesWholeComponents) {
  static const struct {
    const char* path;
    const char* bundle;
    bool inside;
  } kCases[] = {
      {"/a/b/c", "/a/b", true},         {"/a/b", "/a/b", true},   {"/a/./b//c", "/a/b", true},
      {"/a/x/../b/c", "/a/b", true},    {"/a/bc", "/a/b", false}, {"/a/b/../c", "/a/b", false},
      {"/a/b/c", "/a/b/", false},       {"/a/b/", "/a/b/", true}, {"/a", "/a/b", false},
      {"a/b", "/a/b", false},           {"/a/b", "", true},       {"", "", true},
      {"relative/x", "relative", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.path) + " in " + c.bundle);
    EXPECT_EQ(os::isInsideBundle(c.path, c.bundle), c.inside);
  }
}

TEST(StateRootTest, OverrideThenXdgThenHome) {
  using Opt = std::optional<std::string>;
  static const struct {
    const char* override = nullptr;
    Opt xdg;
    Opt home;
    const char* expected = nullptr;
  } kCases[] = {
      {"/abs/state", "/x", "/home/u", "/abs/state"},
      {"state", "/x", "/home/u", "/opt/app/state"},
      {"../state", std::nullopt, std::nullopt, "/opt/app/../state"},
      {"", "/x", "/home/u", "/x/vorlent/brindlecove/native"},
      {"", "/x/", "/home/u", "/x/vorlent/brindlecove/native"},
      {"", "relative", "/home/u", "/home/u/.local/state/vorlent/brindlecove/native"},
      {"", "", "/home/u", "/home/u/.local/state/vorlent/brindlecove/native"},
      {"", std::nullopt, "/home/u", "/home/u/.local/state/vorlent/brindlecove/native"},
      {"", std::nullopt, "", ".local/state/vorlent/brindlecove/native"},
      {"", std::nullopt, "rel", "rel/.local/state/vorlent/brindlecove/native"},
      {"", "relative", std::nullopt, ""},
      {"", std::nullopt, std::nullopt, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("override=") + c.override + " xdg=" + c.xdg.value_or("<unset>") +
                 " home=" + c.home.value_or("<unset>"));
    const ScopedEnv xdg("XDG_STATE_HOME", c.xdg);
    const ScopedEnv home("HOME", c.home);
    EXPECT_EQ(os::stateRoot("/opt/app", c.override).native(), c.expected);
  }
  // A NUL would cut every path handed to the system short: "/victim\0/state" names no state
  // root, rather than "/victim".
  using namespace std::string_literals;
  for (const std::string& override : {"/victim\0/state"s, "victim\0"s, "\0"s}) {
    SCOPED_TRACE(override.size());
    EXPECT_EQ(os::stateRoot("/opt/app", override).native(), "");
  }
}

// ---------------------------------------------------------------------------------------------
// Existence, removal, bounded reads

using FilesTest = TempDirTest;

TEST_F(FilesTest, ExistsFollowsLinksAndTreatsErrorsAsAbsent) {
  writeFile(dir_ / "file", "x");
  fs::create_directory(dir_ / "dir");
  fs::create_symlink(dir_ / "file", dir_ / "link");
  fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  EXPECT_TRUE(os::exists(dir_ / "file"));
  EXPECT_TRUE(os::exists(dir_ / "dir"));
  EXPECT_TRUE(os::exists(dir_ / "link"));
  EXPECT_FALSE(os::exists(dir_ / "dangling"));
  EXPECT_FALSE(os::exists(dir_ / "missing"));
  EXPECT_FALSE(os::exists(dir_ / "file" / "below"));  // ENOTDIR on the way
}

TEST_F(FilesTest, RemoveIsTrueWhenTheEntryIsGone) {
  writeFile(dir_ / "file", "x");
  fs::create_directory(dir_ / "empty");
  fs::create_directory(dir_ / "full");
  writeFile(dir_ / "full" / "inner", "x");
  fs::create_symlink(dir_ / "file", dir_ / "link");

  EXPECT_TRUE(os::remove(dir_ / "link"));
  EXPECT_TRUE(fs::exists(dir_ / "file")) << "the link's target must stay";
  EXPECT_FALSE(fs::is_symlink(dir_ / "link"));
  EXPECT_TRUE(os::remove(dir_ / "file"));
  EXPECT_FALSE(fs::exists(dir_ / "file"));
  EXPECT_TRUE(os::remove(dir_ / "missing"));
  EXPECT_TRUE(os::remove(dir_ / "empty"));
  EXPECT_FALSE(fs::exists(dir_ / "empty"));
  EXPECT_FALSE(os::remove(dir_ / "full"));
  EXPECT_TRUE(fs::exists(dir_ / "full" / "inner"));
}

TEST_F(FilesTest, ReadTakesWholeFilesUpToTheBound) {
  static const struct {
    const char* name;
    std::size_t size;
    bool ok;
  } kCases[] = {
      {"empty", 0, true},
      {"small", 5, true},
      {"at the bound", 65536, true},
      {"one past the bound", 65537, false},
      {"far past the bound", 200000, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir_ / "doc";
    const std::string content = bytes(c.size);
    writeFile(path, content);
    std::string out = "sentinel";
    EXPECT_EQ(os::read(path, out), c.ok);
    EXPECT_EQ(out, c.ok ? content : "sentinel");
  }
}

TEST_F(FilesTest, ReadFollowsLinksToRegularFiles) {
  writeFile(dir_ / "doc", "{\"a\":1}");
  fs::create_symlink(dir_ / "doc", dir_ / "link");
  std::string out;
  ASSERT_TRUE(os::read(dir_ / "link", out));
  EXPECT_EQ(out, "{\"a\":1}");
}

// Every refusal must come back at once: a FIFO would otherwise block in open (no writer) or in
// read (a writer that sends nothing). Each case runs in a forked process with a time limit.
TEST_F(FilesTest, ReadRefusesWhatIsNotARegularFileWithoutBlocking) {
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directory(dir_ / "dir");
  fs::create_symlink(fifo, dir_ / "link-to-fifo");
  fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  static const struct {
    const char* name;
    const char* path;  // relative to the temporary directory, or absolute
    bool writer;       // hold the FIFO open for writing while reading
  } kCases[] = {
      {"fifo without a writer", "fifo", false},  {"fifo with a silent writer", "fifo", true},
      {"link to a fifo", "link-to-fifo", false}, {"directory", "dir", false},
      {"missing file", "missing", false},        {"dangling link", "dangling", false},
      {"character device", "/dev/null", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir_ / c.path;
    const int status = inChild([&] {
      if (c.writer && ::open(fifo.c_str(), O_RDWR | O_NONBLOCK) < 0) return 3;
      std::string out = "sentinel";
      if (os::read(path, out)) return 1;
      return out == "sentinel" ? 0 : 2;
    });
    EXPECT_EQ(status, 0) << "-1: blocked; 1: accepted; 2: output changed";
  }
}

// ---------------------------------------------------------------------------------------------
// Atomic writes

using AtomicWriteTest = TempDirTest;

TEST_F(AtomicWriteTest, WritesContentPrivatelyAndLeavesNoTemporary) {
  static const struct {
    const char* name;
    std::size_t size;
  } kCases[] = {{"empty", 0}, {"small", 17}, {"at the bound", 65536}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path target = dir_ / "doc.json";
    writeFile(target, "old content");
    fs::permissions(target, fs::perms(0644));
    const std::string data = bytes(c.size);
    ASSERT_TRUE(os::atomicWrite(target, data));
    EXPECT_EQ(readFile(target), data);
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_EQ(entries(dir_), std::vector<std::string>{"doc.json"});
  }
}

TEST_F(AtomicWriteTest, CreatesAMissingTarget) {
  ASSERT_TRUE(os::atomicWrite(dir_ / "new.json", ""));
  EXPECT_TRUE(fs::is_regular_file(dir_ / "new.json"));
  EXPECT_EQ(fs::file_size(dir_ / "new.json"), 0u);
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"new.json"});
}

TEST_F(AtomicWriteTest, RefusesDataOverTheBoundAndTouchesNothing) {
  EXPECT_FALSE(os::atomicWrite(dir_ / "doc.json", bytes(65537)));
  EXPECT_TRUE(entries(dir_).empty());
  writeFile(dir_ / "doc.json", "old");
  EXPECT_FALSE(os::atomicWrite(dir_ / "doc.json", bytes(65537)));
  EXPECT_EQ(readFile(dir_ / "doc.json"), "old");
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"doc.json"});
}

TEST_F(AtomicWriteTest, FailureBeforeTheRenameKeepsTheTargetAndNoTemporary) {
  // The temporary file cannot be created: its directory is missing.
  EXPECT_FALSE(os::atomicWrite(dir_ / "missing" / "doc.json", "new"));
  EXPECT_TRUE(entries(dir_).empty());

  // The rename fails: a non-empty directory is in the target's place.
  fs::create_directory(dir_ / "doc.json");
  writeFile(dir_ / "doc.json" / "inner", "x");
  EXPECT_FALSE(os::atomicWrite(dir_ / "doc.json", "new"));
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"doc.json"});
  EXPECT_EQ(readFile(dir_ / "doc.json" / "inner"), "x");
}

TEST_F(AtomicWriteTest, FailedWriteUnlinksTheTemporary) {
  // A file size limit makes the second write fail with EFBIG after a short first one.
  const fs::path target = dir_ / "doc.json";
  writeFile(target, "old");
  const int status = inChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
    return os::atomicWrite(target, bytes(1000)) ? 1 : 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readFile(target), "old");
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"doc.json"});
}

TEST_F(AtomicWriteTest, DirectoryThatCannotBeOpenedFailsAfterTheRename) {
  // Write and search permission but no read permission: the temporary file can be made and
  // renamed, but the directory cannot be opened to sync it. Root ignores permission bits, so the
  // write then runs in a child under another account.
  const fs::path box = dir_ / "box";
  fs::create_directory(box);
  writeFile(box / "doc.json", "old");
  const bool root = ::geteuid() == 0;
  if (root) {
    fs::permissions(dir_, fs::perms(0711));
    ASSERT_EQ(::chown(box.c_str(), kOtherUid, kOtherUid), 0);
    ASSERT_EQ(::chown((box / "doc.json").c_str(), kOtherUid, kOtherUid), 0);
  }
  fs::permissions(box, fs::perms(0300));
  const int status = inChild([&] {
    if (root &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kOtherUid) != 0 || ::setuid(kOtherUid) != 0)) {
      return 3;
    }
    return os::atomicWrite(box / "doc.json", "new") ? 1 : 0;
  });
  fs::permissions(box, fs::perms(0700));
  EXPECT_EQ(status, 0) << "3: could not change account";
  EXPECT_EQ(readFile(box / "doc.json"), "new");
  EXPECT_EQ(entries(box), std::vector<std::string>{"doc.json"});
}

// ---------------------------------------------------------------------------------------------
// Private directories

using PrivateDirectoryTest = TempDirTest;

TEST_F(PrivateDirectoryTest, CreatesEveryMissingLevelPrivate) {
  const fs::path a = dir_ / "a";
  fs::create_directory(a);
  fs::permissions(a, fs::perms(0755));
  std::string error = "keep";
  ASSERT_TRUE(os::privateDirectory(a / "b" / "c", &error));
  EXPECT_EQ(modeOf(a), 0755u) << "an existing parent is not changed";
  EXPECT_EQ(modeOf(a / "b"), 0700u);
  EXPECT_EQ(modeOf(a / "b" / "c"), 0700u);
  EXPECT_EQ(error, "keep");
}

TEST_F(PrivateDirectoryTest, MakesAnExistingDirectoryPrivateOnEveryCall) {
  const fs::path d = dir_ / "d";
  fs::create_directory(d);
  for (const unsigned mode : {0755u, 0777u, 0700u, 0500u}) {
    SCOPED_TRACE(mode);
    fs::permissions(d, fs::perms(mode));
    EXPECT_TRUE(os::privateDirectory(d, nullptr));
    EXPECT_EQ(modeOf(d), 0700u);
  }
}

TEST_F(PrivateDirectoryTest, PathEndingWithASeparatorIsCreated) {
  const fs::path d = dir_.native() + "/x/y/";
  ASSERT_TRUE(os::privateDirectory(d, nullptr));
  EXPECT_TRUE(fs::is_directory(dir_ / "x" / "y"));
  EXPECT_EQ(modeOf(dir_ / "x"), 0700u);
  EXPECT_EQ(modeOf(dir_ / "x" / "y"), 0700u);
  EXPECT_TRUE(os::privateDirectory(d, nullptr)) << "and accepted once it exists";
}

TEST_F(PrivateDirectoryTest, WhatCannotBeADirectoryIsRefusedWithoutText) {
  writeFile(dir_ / "file", "x");
  fs::create_symlink(dir_ / "file", dir_ / "link-to-file");
  for (const fs::path& path : {dir_ / "file", dir_ / "link-to-file", dir_ / "file" / "below",
                               dir_ / "file" / "below" / "deeper"}) {
    SCOPED_TRACE(path);
    std::string error = "keep";
    EXPECT_FALSE(os::privateDirectory(path, &error));
    EXPECT_EQ(error, "keep");
  }
  EXPECT_EQ(readFile(dir_ / "file"), "x");
}

TEST_F(PrivateDirectoryTest, DirectoryOfAnotherAccountIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory to another account";
  const fs::path d = dir_ / "theirs";
  fs::create_directory(d);
  fs::permissions(d, fs::perms(0755));
  ASSERT_EQ(::chown(d.c_str(), kOtherUid, kOtherUid), 0);

  std::string error = "keep";
  EXPECT_FALSE(os::privateDirectory(d, &error));
  EXPECT_EQ(error, kOtherAccount);
  EXPECT_EQ(modeOf(d), 0700u) << "the mode is changed before the owner is checked";

  StderrCapture capture(dir_ / "stderr");
  EXPECT_FALSE(os::privateDirectory(d, nullptr));
  EXPECT_EQ(capture.finish(), "");

  // Only the directory handed over is checked: below it, a new directory is the caller's own.
  error = "keep";
  EXPECT_TRUE(os::privateDirectory(d / "mine", &error));
  EXPECT_EQ(error, "keep");
}

// FAT keeps no owners or permission bits: the directories are accepted as they are and one
// warning is written per process.
TEST_F(PrivateDirectoryTest, FatFileSystemIsAcceptedWithOneWarning) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting an image needs root";
  const std::string filesystems = readFile("/proc/filesystems");
  if (filesystems.find("\tvfat\n") == std::string::npos) {
    GTEST_SKIP() << "the kernel has no vfat file system";
  }
  const fs::path image = dir_ / "fat.img";
  const fs::path mountPoint = dir_ / "mnt";
  fs::create_directory(mountPoint);
  {
    std::ofstream out(image, std::ios::binary);
    out.seekp(8 * 1024 * 1024 - 1);
    out.put('\0');
  }
  if (runProgram({"mkfs.vfat", image.string()}) != 0) {
    GTEST_SKIP() << "mkfs.vfat is missing or failed";
  }
  if (runProgram({"mount", "-o", "loop", image.string(), mountPoint.string()}) != 0) {
    GTEST_SKIP() << "cannot loop-mount an image here";
  }
  std::string error = "keep";
  bool first = false;
  bool second = false;
  std::string lines;
  {
    StderrCapture capture(dir_ / "stderr");
    first = os::privateDirectory(mountPoint / "a" / "b", &error);
    second = os::privateDirectory(mountPoint / "a", &error);
    lines = capture.finish();
  }
  ::umount2(mountPoint.c_str(), MNT_DETACH);
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
  EXPECT_EQ(error, "keep");
  EXPECT_EQ(lines, "launcher_stub: filesystem does not support private directory permissions\n");
}

// ---------------------------------------------------------------------------------------------
// Locks

class LockTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    path_ = dir_ / "state.lock";
  }
  void TearDown() override {
    if (holder_ > 0) {
      ::kill(holder_, SIGKILL);
      ::waitpid(holder_, nullptr, 0);
    }
    TempDirTest::TearDown();
  }

  // A forked process takes the lock through its own open file description and keeps it for
  // `holdMs`; returns once the lock is held.
  void holdElsewhere(long holdMs) {
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    std::fflush(nullptr);
    holder_ = ::fork();
    if (holder_ == 0) {
      const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
      static_cast<void>(::write(ready[1], "x", 1));
      sleepMs(holdMs);
      ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    const ssize_t n = ::read(ready[0], &byte, 1);
    ::close(ready[0]);
    ASSERT_EQ(n, 1) << "the holder could not take the lock";
  }

  fs::path path_;
  pid_t holder_ = -1;
};

TEST_F(LockTest, TakesAndReleasesAPrivateLockFile) {
  os::Lock lock;
  ASSERT_TRUE(lock.acquire(path_, false));
  EXPECT_GE(lock.fd, 0);
  EXPECT_FALSE(lock.busy);
  EXPECT_EQ(modeOf(path_), 0600u);
  EXPECT_NE(::fcntl(lock.fd, F_GETFD) & FD_CLOEXEC, 0) << "a runtime gets it only as the lease";
  lock.close();
  EXPECT_EQ(lock.fd, -1);
  lock.close();  // harmless when released
  EXPECT_EQ(lock.fd, -1);
  os::Lock again;
  EXPECT_TRUE(again.acquire(path_, false)) << "close released it";
}

TEST_F(LockTest, HeldByAnotherProcessIsBusyWithoutWaiting) {
  holdElsewhere(20000);
  os::Lock lock;
  const std::uint64_t start = os::monotonicMs();
  EXPECT_FALSE(lock.acquire(path_, false));
  EXPECT_LT(os::monotonicMs() - start, 1000u) << "one attempt, no wait";
  EXPECT_TRUE(lock.busy);
  EXPECT_EQ(lock.fd, -1);
}

TEST_F(LockTest, TwoLocksOfOneProcessConflict) {
  os::Lock first;
  os::Lock second;
  ASSERT_TRUE(first.acquire(path_, false));
  EXPECT_FALSE(second.acquire(path_, false));
  EXPECT_TRUE(second.busy);
  EXPECT_EQ(second.fd, -1);
  first.close();
  EXPECT_TRUE(second.acquire(path_, false));
  EXPECT_FALSE(second.busy) << "each acquire starts by clearing busy";
}

// A Lock taken again (as the runner's state lock is at every start-up) lets go of its first
// hold: the first descriptor is closed, not left open with the lock on it.
TEST_F(LockTest, TakingALockAgainReleasesTheFirstHold) {
  os::Lock lock;
  ASSERT_TRUE(lock.acquire(path_, false));
  const int first = lock.fd;
  ASSERT_TRUE(lock.acquire(path_, false)) << "the first hold would make this one busy";
  EXPECT_FALSE(lock.busy);
  if (lock.fd != first) {
    EXPECT_EQ(::fcntl(first, F_GETFD), -1) << "descriptor " << first << " of the first hold leaked";
  }
  lock.close();
  os::Lock other;
  EXPECT_TRUE(other.acquire(path_, false)) << "nothing of either hold is left";
}

TEST_F(LockTest, WaitGivesUpAfterAboutFiveSeconds) {
  os::Lock holder;
  ASSERT_TRUE(holder.acquire(path_, false));
  os::Lock waiter;
  const std::uint64_t start = os::monotonicMs();
  EXPECT_FALSE(waiter.acquire(path_, true));
  const std::uint64_t waited = os::monotonicMs() - start;
  EXPECT_GE(waited, 4900u);
  EXPECT_LE(waited, 5300u);
  EXPECT_TRUE(waiter.busy);
  EXPECT_EQ(waiter.fd, -1);
}

TEST_F(LockTest, WaitEndsWhenTheHolderLetsGo) {
  holdElsewhere(300);
  os::Lock lock;
  const std::uint64_t start = os::monotonicMs();
  ASSERT_TRUE(lock.acquire(path_, true));
  const std::uint64_t waited = os::monotonicMs() - start;
  EXPECT_GE(waited, 200u);
  EXPECT_LT(waited, 4000u);
  EXPECT_GE(lock.fd, 0);
}

TEST_F(LockTest, MissingDirectoryFailsWithoutBusyOrFile) {
  os::Lock lock;
  EXPECT_FALSE(lock.acquire(dir_ / "missing" / "state.lock", true));
  EXPECT_FALSE(lock.busy);
  EXPECT_EQ(lock.fd, -1);
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

// The runtime's duplicate (the lease) keeps the lock after the stub closed its own descriptor.
TEST_F(LockTest, LeaseInheritedByARuntimeKeepsTheLockHeld) {
  os::Lock lease;
  ASSERT_TRUE(lease.acquire(path_, false));
  os::Child child;
  const fs::path go = dir_ / "go";
  ASSERT_TRUE(child.spawn(kRuntime, {"wait-for " + go.string() + " 20000", "exit 0"}, dir_, dir_,
                          dir_, lease));
  lease.close();

  os::Lock other;
  EXPECT_FALSE(other.acquire(path_, false));
  EXPECT_TRUE(other.busy);

  writeFile(go, "");
  int code = -1;
  bool clean = false;
  for (int i = 0; i < 4000 && !child.entryExited(code, clean); ++i) sleepMs(5);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(other.acquire(path_, false)) << "the lease ended with the runtime";
}

// ---------------------------------------------------------------------------------------------
// Supervised runtime

class ChildTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_TRUE(lease_.acquire(dir_ / "launch.lock", false));
    attempt_ = dir_ / "attempts" / "0123456789abcdef0123456789abcdef";
    fs::create_directories(attempt_);
  }

  bool spawn(os::Child& child, const fs::path& executable, const std::vector<std::string>& args) {
    return child.spawn(executable, args, dir_ / "install", dir_ / "state", attempt_, lease_);
  }

  // Polls entryExited until it reports; false when nothing came within 20 s.
  static bool awaitExit(os::Child& child, int& code, bool& clean) {
    for (int i = 0; i < 4000; ++i) {
      if (child.entryExited(code, clean)) return true;
      sleepMs(5);
    }
    return false;
  }

  Recorded runRecord(const fs::path& executable, const std::vector<std::string>& args,
                     const fs::path& out) {
    os::Child child;
    EXPECT_TRUE(spawn(child, executable, args));
    int code = -1;
    bool clean = false;
    EXPECT_TRUE(awaitExit(child, code, clean));
    EXPECT_EQ(code, 0);
    return parseRecord(readFile(out));
  }

  os::Lock lease_;
  fs::path attempt_;
};

TEST_F(ChildTest, LeaseGoesToTheLowestFreeNumberBesideTheLock) {
  static const struct {
    int lockFd;
    int leaseFd;
  } kCases[] = {{3, 4}, {5, 3}};
  lease_.close();
  const DescriptorsAside aside({3, 4, 5});
  // NOLINTNEXTLINE(cppcoreguidelines-special-member-functions): a local guard, never copied
  struct ReleaseFirst {  // the lock must not hold a number when the others are put back
    os::Lock& lock;
    ~ReleaseFirst() { lock.close(); }
  } releaseFirst{lease_};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lockFd);
    ASSERT_TRUE(lease_.acquire(dir_ / "launch.lock", false));
    if (lease_.fd != c.lockFd) {
      ASSERT_EQ(::dup3(lease_.fd, c.lockFd, O_CLOEXEC), c.lockFd);
      ::close(lease_.fd);
      lease_.fd = c.lockFd;
    }
    const fs::path out = dir_ / ("record-" + std::to_string(c.lockFd));
    std::set<int> expectedFds = inheritableDescriptors();
    expectedFds.insert(c.leaseFd);
    const Recorded r = runRecord(kRuntime, {"record " + out.string()}, out);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(envValue(r, "VORLENT_BOOT_LEASE"), std::to_string(c.leaseFd));
    EXPECT_EQ(r.fds, expectedFds) << "only the lease is added; the lock's own number is not";
    lease_.close();
  }
}

// A runtime installed as a link to test_runtime plus a plan, so the forwarded arguments are free.
TEST_F(ChildTest, ArgumentsAndEnvironmentAreHandedOver) {
  const fs::path entry = dir_ / "slot" / "entry-v1";
  fs::create_directories(entry.parent_path());
  fs::create_symlink(kRuntime, entry);
  const fs::path out = dir_ / "record";
  writeFile(entry.native() + ".plan", "# the whole run\nrecord " + out.string() + "\n");

  const ScopedEnv stale("VORLENT_BOOT_STATE_ROOT", "/stale");
  const ScopedEnv other("VORLENT_BOOT_SOMETHING", "x");
  const ScopedEnv bare("VORLENT_BOOT_", "");
  const ScopedEnv nearMiss("VORLENT_BOOTX", "kept");
  const ScopedEnv lowerCase("vorlent_boot_lower", "kept");
  std::vector<std::string> expectedEnv;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "VORLENT_BOOT_", 13) != 0) expectedEnv.emplace_back(*e);
  }
  int leaseFd = 3;
  while (leaseFd == lease_.fd || !descriptorFree(leaseFd)) ++leaseFd;
  expectedEnv.push_back("VORLENT_BOOT_STATE_ROOT=" + (dir_ / "state").string());
  expectedEnv.push_back("VORLENT_BOOT_ATTEMPT_DIR=" + attempt_.string());
  expectedEnv.push_back("VORLENT_BOOT_LEASE=" + std::to_string(leaseFd));
  expectedEnv.push_back("VORLENT_BOOT_INSTALL_DIR=" + (dir_ / "install").string());

  const std::vector<std::string> forwarded = {"a b", "", "--flag=1", "record /elsewhere"};
  const Recorded r = runRecord(entry, forwarded, out);
  ASSERT_TRUE(r.complete);
  std::vector<std::string> expectedArgs = {entry.string()};
  expectedArgs.insert(expectedArgs.end(), forwarded.begin(), forwarded.end());
  EXPECT_EQ(r.args, expectedArgs);
  EXPECT_EQ(r.env, expectedEnv);
}

TEST_F(ChildTest, ExitStatusIsDecodedAndReportedOnce) {
  static const struct {
    const char* command;
    int code;
    bool clean;
  } kCases[] = {
      {"exit 0", 0, true},       {"exit 3", 3, false},    {"exit 255", 255, false},
      {"signal KILL", 1, false}, {"signal 15", 1, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.command);
    os::Child child;
    ASSERT_TRUE(spawn(child, kRuntime, {c.command}));
    EXPECT_GT(child.pid, 0);
    EXPECT_EQ(child.pgid, child.pid);
    EXPECT_EQ(::getpgid(child.pid), child.pid) << "the entry leads a group of its own";
    int code = -1;
    bool clean = !c.clean;
    ASSERT_TRUE(awaitExit(child, code, clean));
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(clean, c.clean);
    EXPECT_FALSE(child.lost);
    EXPECT_EQ(child.pid, -1);
    EXPECT_TRUE(child.statusKnown);

    int again = -7;
    bool againClean = false;
    EXPECT_FALSE(child.entryExited(again, againClean)) << "one report per launch";
    EXPECT_EQ(again, -7);
    EXPECT_TRUE(child.terminate()) << "nothing is left of the group";
  }
}

TEST_F(ChildTest, TerminateKillsTheWholeGroupAndReapsTheEntry) {
  const fs::path pidFile = dir_ / "orphan.pid";
  os::Child child;
  ASSERT_TRUE(spawn(child, kRuntime, {"orphan " + pidFile.string(), "sleep 60000"}));
  ASSERT_TRUE(waitForFile(pidFile));
  const pid_t orphan = std::stoi(readFile(pidFile));
  EXPECT_EQ(::getpgid(orphan), child.pgid);
  EXPECT_TRUE(child.treeAlive());

  ASSERT_TRUE(child.terminate());
  EXPECT_FALSE(child.lost);
  EXPECT_FALSE(child.treeAlive());
  EXPECT_EQ(::kill(orphan, 0), -1) << "the member that ignores signals is gone too";
  EXPECT_EQ(child.pid, -1);
  EXPECT_TRUE(child.statusKnown);
  // Once the group is gone its number may be taken by an unrelated group at any time: it is
  // forgotten, so no later check or clean-up can signal that group.
  EXPECT_EQ(child.pgid, -1) << "a group confirmed gone is forgotten";
  EXPECT_FALSE(child.treeAlive());
  EXPECT_TRUE(child.terminate());

  // The status that terminate reaped is what the next entryExited delivers.
  int code = -1;
  bool clean = true;
  ASSERT_TRUE(child.entryExited(code, clean));
  EXPECT_EQ(code, 1);
  EXPECT_FALSE(clean);
  EXPECT_FALSE(child.entryExited(code, clean));
}

TEST_F(ChildTest, TerminateOfAnEndedEntryDeliversItsStatus) {
  os::Child child;
  ASSERT_TRUE(spawn(child, kRuntime, {"exit 4"}));
  for (int i = 0; i < 4000 && !isZombie(child.pid); ++i) sleepMs(5);
  ASSERT_TRUE(isZombie(child.pid));
  EXPECT_TRUE(child.treeAlive()) << "an unreaped entry still counts";
  ASSERT_TRUE(child.terminate());
  int code = -1;
  bool clean = true;
  ASSERT_TRUE(child.entryExited(code, clean));
  EXPECT_EQ(code, 4);
  EXPECT_FALSE(clean);
}

TEST_F(ChildTest, GroupFoundGoneIsForgottenAndItsUndeliveredStatusGoesWithClose) {
  os::Child child;
  ASSERT_TRUE(spawn(child, kRuntime, {"exit 6"}));
  for (int i = 0; i < 4000 && !isZombie(child.pid); ++i) sleepMs(5);
  ASSERT_TRUE(isZombie(child.pid));
  // terminate reaps the entry and finds the group gone: forgotten, status still owed.
  ASSERT_TRUE(child.terminate());
  EXPECT_EQ(child.pgid, -1);
  EXPECT_TRUE(child.statusKnown);
  EXPECT_FALSE(child.reported);
  // close before the delivery drops it: the launch is over for good.
  child.close();
  int code = -1;
  bool clean = true;
  EXPECT_FALSE(child.entryExited(code, clean));
  EXPECT_EQ(code, -1);
}

// A member of `pgid` that cannot be made to vanish: the child of a parent outside the group that
// does not reap it until `release` is closed, so after SIGKILL its zombie stays a member, and
// the caller (not its parent) cannot reap it. Returns that parent's pid once the member has
// joined the group.
pid_t unreapedMember(pid_t pgid, int& release) {
  int sync[2];
  int joined[2];
  if (::pipe2(sync, O_CLOEXEC) != 0 || ::pipe2(joined, O_CLOEXEC) != 0) return -1;
  std::fflush(nullptr);
  const pid_t parent = ::fork();
  if (parent == 0) {
    ::close(sync[1]);
    ::close(joined[0]);
    const pid_t member = ::fork();
    if (member == 0) {
      if (::setpgid(0, pgid) != 0) ::_exit(1);  // its end closes `joined`: the caller sees it
      static_cast<void>(::write(joined[1], "x", 1));
      for (;;) ::pause();
    }
    ::close(joined[1]);
    char byte = 0;
    while (::read(sync[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::waitpid(member, nullptr, 0);
    ::_exit(0);
  }
  ::close(sync[0]);
  ::close(joined[1]);
  char byte = 0;
  ssize_t n = 0;
  while ((n = ::read(joined[0], &byte, 1)) < 0 && errno == EINTR) {
  }
  ::close(joined[0]);
  release = sync[1];
  return n == 1 ? parent : -1;
}

TEST_F(ChildTest, TerminateGivesUpAtItsDeadline) {
  os::Child child;
  ASSERT_TRUE(spawn(child, kRuntime, {"sleep 60000"}));
  int release = -1;
  const pid_t parent = unreapedMember(child.pgid, release);
  ASSERT_GT(parent, 0) << "no member joined the group";

  child.deadline = os::monotonicMs() + 150;  // in place of the 30 s of a first call
  EXPECT_FALSE(child.terminate());
  EXPECT_TRUE(child.lost);
  EXPECT_NE(child.deadline, 0u) << "the deadline stays for later calls";
  EXPECT_FALSE(child.terminate()) << "past the deadline: one pass, then give up";

  ::close(release);
  ::waitpid(parent, nullptr, 0);
  EXPECT_TRUE(child.terminate()) << "with the zombie gone the group is empty";
  child.close();
  EXPECT_EQ(child.deadline, 0u);
  EXPECT_EQ(child.pgid, -1);
  EXPECT_TRUE(child.lost) << "lost stays set";
}

// Where the caller is PID 1 or a subreaper, the members that the entry left behind become its
// own children, and nobody else would ever reap their zombies. Here the member is a child of
// the test's own from the start: terminate reaps it with the entry, and the group is gone.
TEST_F(ChildTest, TerminateReapsTheGroupMembersThatAreItsOwnChildren) {
  os::Child child;
  ASSERT_TRUE(spawn(child, kRuntime, {"exit 5"}));
  std::fflush(nullptr);
  const pid_t member = ::fork();
  if (member == 0) {
    ::setpgid(0, child.pgid);
    for (;;) ::pause();
  }
  ASSERT_GT(member, 0);
  ::setpgid(member, child.pgid);
  for (int i = 0; i < 1000 && ::getpgid(member) != child.pgid; ++i) sleepMs(1);
  ASSERT_EQ(::getpgid(member), child.pgid);
  for (int i = 0; i < 4000 && !isZombie(child.pid); ++i) sleepMs(5);

  child.deadline = os::monotonicMs() + 5000;  // a failure is seen in 5 s, not 30
  EXPECT_TRUE(child.terminate());
  EXPECT_FALSE(child.lost);
  EXPECT_EQ(::waitpid(member, nullptr, WNOHANG), -1) << "the member was reaped";
  int code = -1;
  bool clean = true;
  ASSERT_TRUE(child.entryExited(code, clean)) << "the entry's status is kept";
  EXPECT_EQ(code, 5);
  EXPECT_FALSE(clean);
}

TEST_F(ChildTest, CloseKillsAndForgetsARunningTree) {
  os::Child child;
  ASSERT_TRUE(spawn(child, kRuntime, {"sleep 60000"}));
  const pid_t pid = child.pid;
  child.close();
  EXPECT_EQ(child.pid, -1);
  EXPECT_EQ(child.pgid, -1);
  EXPECT_EQ(child.deadline, 0u);
  EXPECT_FALSE(child.statusKnown) << "close does not record the status";
  EXPECT_FALSE(child.reported);
  EXPECT_EQ(::kill(pid, 0), -1) << "reaped";
  int code = -1;
  bool clean = false;
  EXPECT_FALSE(child.entryExited(code, clean));
}

TEST_F(ChildTest, CloseOfAChildThatNeverStartedChangesNothing) {
  os::Child child;
  child.close();
  EXPECT_FALSE(child.lost);
  EXPECT_FALSE(child.reported);
  EXPECT_EQ(child.deadline, 0u);
  EXPECT_EQ(child.pid, -1);
  EXPECT_EQ(child.pgid, -1);
  EXPECT_FALSE(child.statusKnown);
  EXPECT_EQ(child.exitCode, 1);
  EXPECT_FALSE(child.cleanExit);
  EXPECT_FALSE(child.treeAlive());
  EXPECT_TRUE(child.terminate());
}

TEST_F(ChildTest, SpawnOfAMissingPathFailsAndKeepsTheGroup) {
  os::Child child;
  EXPECT_FALSE(spawn(child, dir_ / "missing", {}));
  EXPECT_EQ(child.pid, -1);
  EXPECT_EQ(child.pgid, -1);

  // Over a recorded group, a failed spawn leaves that group as it was.
  ASSERT_TRUE(spawn(child, kRuntime, {"sleep 60000"}));
  const pid_t first = child.pid;
  EXPECT_FALSE(spawn(child, dir_ / "missing", {}));
  EXPECT_EQ(child.pid, -1);
  EXPECT_EQ(child.pgid, first);
  ::kill(-first, SIGKILL);
  ::waitpid(first, nullptr, 0);
}

TEST_F(ChildTest, SpawnWithoutAHeldLeaseFails) {
  lease_.close();
  os::Child child;
  EXPECT_FALSE(spawn(child, kRuntime, {"exit 0"}));
  EXPECT_EQ(child.pgid, -1);
}

// ---------------------------------------------------------------------------------------------
// Command line, clock, nonces, messages

TEST(ArgumentsTest, EverythingAfterTheProgramName) {
  const char* const prog[] = {"prog", nullptr};
  const char* const three[] = {"prog", "a", "", "b c", nullptr};
  EXPECT_EQ(os::arguments(0, prog), std::vector<std::string>{});
  EXPECT_EQ(os::arguments(1, prog), std::vector<std::string>{});
  EXPECT_EQ(os::arguments(4, three), (std::vector<std::string>{"a", "", "b c"}));
}

using ForwardTest = TempDirTest;

TEST_F(ForwardTest, ReplacesTheProcessWithTheSameArguments) {
  const fs::path out = dir_ / "record";
  const std::string recordCommand = "record " + out.string();
  const int status = inChild(
      [&] {
        const char* const argv[] = {"prog", recordCommand.c_str(), "exit 7", nullptr};
        return os::forward(kRuntime, 3, argv) == 127 ? 50 : 51;
      },
      20000);
  EXPECT_EQ(status, 7);
  const Recorded r = parseRecord(readFile(out));
  EXPECT_EQ(r.args, (std::vector<std::string>{kRuntime, recordCommand, "exit 7"}));

  const char* const argv[] = {"prog", nullptr};
  EXPECT_EQ(os::forward(dir_ / "missing", 1, argv), 127);
}

TEST(ClockTest, MonotonicMillisecondsAdvance) {
  const std::uint64_t before = os::monotonicMs();
  sleepMs(30);
  const std::uint64_t after = os::monotonicMs();
  EXPECT_GE(after - before, 29u);
  EXPECT_LT(after - before, 60000u);
}

TEST(NonceTest, ThirtyTwoLowerHexDigitsAndFresh) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string n = os::nonce();
    ASSERT_EQ(n.size(), 32u);
    EXPECT_EQ(n.find_first_not_of("0123456789abcdef"), std::string::npos) << n;
    seen.insert(n);
  }
  EXPECT_EQ(seen.size(), 50u);
}

using MessagesTest = TempDirTest;

TEST_F(MessagesTest, OneLinePerMessageOnStandardError) {
  StderrCapture capture(dir_ / "stderr");
  os::error("cannot start /x/entry-v1");
  os::showError("No runnable runtime");
  os::error("100% %s %d");  // passed as text, never as a format
  os::error("");
  EXPECT_EQ(capture.finish(),
            "launcher_stub: cannot start /x/entry-v1\n"
            "launcher_stub: No runnable runtime\n"
            "launcher_stub: 100% %s %d\n"
            "launcher_stub: \n");
}

TEST(MessagesDialogTest, WaitForErrorDialogReturnsAtOnce) {
  const std::uint64_t start = os::monotonicMs();
  os::waitForErrorDialog(30000);
  EXPECT_LT(os::monotonicMs() - start, 1000u);
}

}  // namespace
