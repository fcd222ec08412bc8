#include "firmsmith/fsimage/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace fsimage {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void UniqueFd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

UniqueFd OpenRegular(const std::string& path, int flags, unsigned mode) {
  UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, static_cast<mode_t>(mode)));
  if (!fd.valid()) return fd;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  // Regular files ignore O_NONBLOCK, but clear it all the same.
  int current = ::fcntl(fd.get(), F_GETFL);
  if (current >= 0) ::fcntl(fd.get(), F_SETFL, current & ~O_NONBLOCK);
  return fd;
}

UniqueFd OpenRegularForReading(const std::string& path) { return OpenRegular(path, O_RDONLY); }

ssize_t ReadFullyAt(int fd, void* buffer, std::size_t size, off_t offset) {
  if (offset < 0) return -1;
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, out + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t ReadFully(int fd, void* buffer, std::size_t size) {
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool WriteFully(int fd, const void* buffer, std::size_t size) {
  const auto* in = static_cast<const char*>(buffer);
  while (size > 0) {
    ssize_t n = ::write(fd, in, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    in += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace fsimage
