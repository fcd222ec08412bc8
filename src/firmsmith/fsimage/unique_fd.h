// Internal to fs_fsimage: an owned file descriptor and exact reads/writes,
// so that every early return of an image or archive operation closes its
// files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace fsimage {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset();
  // Hands the descriptor over to a new owner.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// Opens `path` with `flags` (O_RDONLY, O_WRONLY | O_CREAT | ...) and `mode`,
// never blocking on a FIFO or device: only a regular file gives a valid
// descriptor.
UniqueFd OpenRegular(const std::string& path, int flags, unsigned mode = 0);
// OpenRegular for reading an existing file.
UniqueFd OpenRegularForReading(const std::string& path);

// Reads up to `size` bytes at `offset`, retrying short reads; returns the
// number read (less only at the end of the file) or -1 on error.
ssize_t ReadFullyAt(int fd, void* buffer, std::size_t size, off_t offset);
// Reads up to `size` bytes from the current position, like ReadFullyAt.
ssize_t ReadFully(int fd, void* buffer, std::size_t size);
// Writes all `size` bytes; false on any error.
bool WriteFully(int fd, const void* buffer, std::size_t size);

// True when both paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace fsimage
