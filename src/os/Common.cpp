#include "os/Common.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "os/Layout.hpp"
#include "os/Os.hpp"

namespace launcher_stub::os {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    const int incoming = other.release();
    if (fd_ >= 0) ::close(fd_);
    fd_ = incoming;
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  // Never retried: Linux releases the descriptor even when close reports an error.
  if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

InstallLayout installLayout() { return installLayout(executablePath()); }

bool exists(const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  // An error (for instance a directory on the way that cannot be searched) leaves the status
  // unknown, which counts as absent just like not-found.
  return std::filesystem::status_known(status) &&
         status.type() != std::filesystem::file_type::not_found;
}

bool remove(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);  // false without an error: it was absent already
  return !ec;
}

std::uint64_t monotonicMs() {
  const auto sinceOrigin = std::chrono::steady_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(sinceOrigin).count();
  return static_cast<std::uint64_t>(ns) / 1000000u;
}

std::string nonce() {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device device("default");
  std::string out(kNonceLength, '0');
  for (char& c : out) c = kDigits[device() % 16u];
  return out;
}

bool read(const std::filesystem::path& path, std::string& out) {
  // O_NONBLOCK keeps open from waiting for a writer when a FIFO sits at the path; anything that
  // is not a regular file is then refused before a read could wait for data. Regular files
  // ignore the flag. O_NOCTTY keeps a terminal at the path from becoming ours.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;

  // One more byte than the bound tells an over-long file from one of exactly the bound. A file
  // system may hand a file out in pieces (FUSE with direct I/O, some network file systems), so
  // a short count is not the end: only a read that returns 0 is. The buffer is a fixed one on
  // the stack and left uninitialised, so only the pages that receive data are touched.
  std::array<char, kMaxDocument + 1> buffer;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  std::size_t got = 0;
  while (got < buffer.size()) {
    const ssize_t n = ::read(fd.get(), buffer.data() + got, buffer.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > kMaxDocument) return false;
  out.assign(buffer.data(), got);
  return true;
}

}  // namespace launcher_stub::os
