// Small platform services shared by the runner: the running program's install layout, existence
// tests and removal, bounded whole-file reads, the monotonic millisecond clock and fresh nonces.
// Failures are false results; nothing here writes to standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "os/Layout.hpp"

namespace launcher_stub::os {

// Documents are at most this many bytes, for reads and for atomic writes alike.
inline constexpr std::size_t kMaxDocument = 65536;

// Owns one file descriptor and closes it on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  // Gives up ownership without closing; the caller closes and can check the result.
  int release();
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The install layout of the running executable (through "/proc/self/exe"); an empty root when
// the executable's path cannot be read.
InstallLayout installLayout();

// True when `path` names something that exists, symbolic links followed; errors count as absent.
bool exists(const std::filesystem::path& path);

// Removes a file, symbolic link (not its target) or empty directory. True when it is gone,
// also when it was absent already.
bool remove(const std::filesystem::path& path);

// Milliseconds of the monotonic clock; only differences are meaningful.
std::uint64_t monotonicMs();

// A nonce has this many characters.
inline constexpr std::size_t kNonceLength = 32;

// kNonceLength random lower-case hexadecimal characters.
std::string nonce();

// Reads a whole regular file of at most 65536 bytes into `out`. Never blocks: a FIFO, a device,
// a directory or any other file that is not regular (after symbolic links) is refused. On
// failure `out` is left untouched.
[[nodiscard]] bool read(const std::filesystem::path& path, std::string& out);

}  // namespace launcher_stub::os
