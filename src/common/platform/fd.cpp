#include "common/platform/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

UniqueFd OpenRegular(const std::string& path, int flags, unsigned mode, std::string* why) {
  UniqueFd fd(RetryOnInterrupt([&] {
    return ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, static_cast<mode_t>(mode));
  }));
  if (!fd.valid()) {
    if (why) *why = ErrnoReason("cannot open " + path);
    return fd;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    if (why) *why = ErrnoReason("cannot examine " + path);
    return UniqueFd();
  }
  if (!S_ISREG(st.st_mode)) {
    if (why) *why = path + ": not a regular file";
    errno = EINVAL;
    return UniqueFd();
  }
  // Regular files ignore O_NONBLOCK, but clear it all the same.
  const int current = ::fcntl(fd.get(), F_GETFL);
  if (current >= 0) ::fcntl(fd.get(), F_SETFL, current & ~O_NONBLOCK);
  return fd;
}

UniqueFd OpenRegularForReading(const std::string& path, std::string* why) {
  return OpenRegular(path, O_RDONLY, 0, why);
}

ssize_t ReadFull(int fd, void* buffer, std::size_t size) {
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = RetryOnInterrupt([&] { return ::read(fd, out + done, size - done); });
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t ReadFullAt(int fd, void* buffer, std::size_t size, off_t offset) {
  if (offset < 0) {
    errno = EINVAL;
    return -1;
  }
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = RetryOnInterrupt([&] {
      return ::pread(fd, out + done, size - done, offset + static_cast<off_t>(done));
    });
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool WriteFull(int fd, const void* data, std::size_t size) {
  const auto* in = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = RetryOnInterrupt([&] { return ::write(fd, in, size); });
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    in += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFullAt(int fd, const void* data, std::size_t size, off_t offset) {
  if (offset < 0) {
    errno = EINVAL;
    return false;
  }
  const auto* in = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = RetryOnInterrupt([&] { return ::pwrite(fd, in, size, offset); });
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    in += n;
    offset += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace platform
