#include "firmsmith/package/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "common/platform/files.h"

namespace package {

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool InputFile::Open(const std::string& path) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
  return true;
}

std::size_t InputFile::Read(void* buffer, std::size_t size) {
  std::size_t done = 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (done < size) {
    ssize_t n = ::read(fd_, out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool InputFile::Seek(std::uint64_t offset) {
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(partPath_.c_str());
  }
}

bool OutputFile::Create(const std::string& path) {
  path_ = path;
  partPath_ = path + ".part-XXXXXX";
  fd_ = ::mkstemp(partPath_.data());
  if (fd_ < 0) return false;
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd_, 0666 & ~mask);
  return true;
}

bool OutputFile::Write(const void* data, std::size_t size) {
  return fd_ >= 0 && platform::WriteAll(fd_, data, size);
}

bool OutputFile::Commit() {
  if (fd_ < 0) return false;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (closed && ::rename(partPath_.c_str(), path_.c_str()) == 0) return true;
  ::unlink(partPath_.c_str());
  return false;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string parent = ParentFolder(path);
  if (!parent.empty() && parent != path && parent != "/") MakeFolders(parent);
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return IsDirectory(path);
  return false;
}

bool RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), st.st_mode | S_IRWXU);  // read-only folders from unpacked images
    for (const platform::FolderEntry& e : platform::ListFolder(path))
      RemoveTree(platform::JoinPath(path, e.name));
    return ::rmdir(path.c_str()) == 0;
  }
  return ::unlink(path.c_str()) == 0;
}

void DeleteFilesInTree(const std::string& folder) {
  for (const platform::FolderEntry& e : platform::ListFolder(folder)) {
    const std::string child = platform::JoinPath(folder, e.name);
    if (IsDirectory(child))
      DeleteFilesInTree(child);
    else
      ::unlink(child.c_str());
  }
}

bool CopyFileReplacing(const std::string& source, const std::string& target) {
  InputFile in;
  if (!in.Open(source)) return false;
  OutputFile out;
  if (!out.Create(target)) return false;
  std::vector<std::uint8_t> chunk(1 << 20);
  std::uint64_t left = in.size();
  while (left > 0) {
    std::size_t got = in.Read(chunk.data(), chunk.size());
    if (got == 0 || !out.Write(chunk.data(), got)) return false;
    left = got > left ? 0 : left - got;
  }
  return out.Commit();
}

std::string ParentFolder(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace package
