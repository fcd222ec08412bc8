#include "common/platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

template <typename Buffer>
bool ReadAll(const std::string& path, Buffer* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  FdCloser closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out->clear();
  out->reserve(static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    out->insert(out->end(), chunk, chunk + n);
  }
  return true;
}

bool WriteAtomic(const std::string& path, const char* data, std::size_t size) {
  std::string tmpl = path + ".tmp-XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return false;
  // Keep the mode an ordinary file would get, not mkstemp's 0600.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  bool ok = WriteAll(fd, data, size) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmpl.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmpl.c_str());
  return false;
}

}  // namespace

bool ReadFileText(const std::string& path, std::string* text) { return ReadAll(path, text); }

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes) {
  return ReadAll(path, bytes);
}

bool WriteFileAtomic(const std::string& path, const std::string& content) {
  return WriteAtomic(path, content.data(), content.size());
}

bool WriteFileAtomic(const std::string& path, const std::vector<std::uint8_t>& content) {
  return WriteAtomic(path, reinterpret_cast<const char*>(content.data()), content.size());
}

std::vector<FolderEntry> ListFolder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return entries;
  while (struct dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    // lstat: a symbolic link to a folder is not walked into.
    bool isDir = ::lstat(JoinPath(folder, name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    entries.push_back(FolderEntry{name, isDir});
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return entries;
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  bool aSlash = a.back() == '/';
  bool bSlash = b.front() == '/';
  if (aSlash && bSlash) return a + b.substr(1);
  if (aSlash || bSlash) return a + b;
  return a + "/" + b;
}

}  // namespace platform
