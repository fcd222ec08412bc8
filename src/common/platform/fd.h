// Descriptors: the one owner of a file descriptor and the one read and write
// loop of the tree, so that every early return closes its files and no
// caller writes its own retry of an interrupted call.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "common/platform/status.h"

namespace platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the owned descriptor and takes `fd` instead.
  void Reset(int fd = -1);
  // Hands the descriptor over to a new owner.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// Repeats a system call while it fails with EINTR; returns its last result.
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  for (;;) {
    auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

// Opens `path` with `flags` (O_RDONLY, O_WRONLY | O_CREAT | ...) and `mode`,
// never blocking on a FIFO or device: only a regular file gives a valid
// descriptor. On failure *why (when given) holds the reason, naming the path:
// "cannot open P: <strerror>" or "P: not a regular file".
UniqueFd OpenRegular(const std::string& path, int flags, unsigned mode = 0,
                     std::string* why = nullptr);
// OpenRegular for reading an existing file.
UniqueFd OpenRegularForReading(const std::string& path, std::string* why = nullptr);

// Reads up to `size` bytes at `offset` (ReadFullAt) or at the current position
// (ReadFull), retrying short and interrupted reads; returns the number read
// (less only at the end of the file) or -1 with errno set.
ssize_t ReadFull(int fd, void* buffer, std::size_t size);
ssize_t ReadFullAt(int fd, void* buffer, std::size_t size, off_t offset);
// Writes every byte, retrying short and interrupted writes; false with errno
// set on the first error (ENOSPC for a write that made no progress).
bool WriteFull(int fd, const void* data, std::size_t size);
// The same at `offset`, leaving the file position alone.
bool WriteFullAt(int fd, const void* data, std::size_t size, off_t offset);

// True when both paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace platform
