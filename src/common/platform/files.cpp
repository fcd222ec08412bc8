#include "common/platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "common/platform/fd.h"
#include "common/platform/run_folder.h"

namespace platform {
namespace {

template <typename Buffer>
Status ReadAll(const std::string& path, Buffer* out) {
  std::string why;
  UniqueFd fd = OpenRegularForReading(path, &why);
  if (!fd.valid()) return Status::Fail(why);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return FailErrno("cannot examine " + path);
  out->clear();
  out->reserve(static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ReadFull(fd.get(), chunk, sizeof chunk);
    if (n < 0) return FailErrno("cannot read " + path);
    out->insert(out->end(), chunk, chunk + n);
    if (static_cast<std::size_t>(n) < sizeof chunk) break;
  }
  return Status::Ok();
}

Status WriteAtomic(const std::string& path, const char* data, std::size_t size) {
  std::string tmpl = TemporaryNameTemplate(path, "tmp");
  UniqueFd fd(MakeRegisteredPartialFile(&tmpl));
  if (!fd.valid()) return FailErrno("cannot create a temporary file beside " + path);
  // Keep the mode an ordinary file would get, not mkstemp's 0600.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd.get(), 0666 & ~mask);
  Status status = Status::Ok();
  if (!WriteFull(fd.get(), data, size))
    status = FailErrno("cannot write " + tmpl);
  else if (::fsync(fd.get()) != 0)
    status = FailErrno("cannot flush " + tmpl);
  else if (::close(fd.Release()) != 0)
    status = FailErrno("cannot write " + tmpl);
  else if (::rename(tmpl.c_str(), path.c_str()) != 0)
    status = FailErrno("cannot replace " + path);
  if (!status) ::unlink(tmpl.c_str());
  UnregisterPartialFile(tmpl);
  if (!status) return status;
  return SyncParentFolder(path);
}

}  // namespace

Status ReadFileText(const std::string& path, std::string* text) { return ReadAll(path, text); }

Status ReadFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes) {
  return ReadAll(path, bytes);
}

Status WriteFileAtomic(const std::string& path, const std::string& content) {
  return WriteAtomic(path, content.data(), content.size());
}

Status WriteFileAtomic(const std::string& path, const std::vector<std::uint8_t>& content) {
  return WriteAtomic(path, reinterpret_cast<const char*>(content.data()), content.size());
}

Status ListFolderAt(int dirFd, const std::string& shownPath, std::vector<FolderEntry>* entries) {
  entries->clear();
  // fdopendir takes the descriptor it is given; hand it a copy.
  const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return FailErrno("cannot list folder " + shownPath);
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    const int err = errno;
    ::close(copy);
    return FailErrno("cannot list folder " + shownPath, err);
  }
  ::rewinddir(dir);
  Status status = Status::Ok();
  for (;;) {
    errno = 0;
    struct dirent* d = ::readdir(dir);
    if (d == nullptr) {
      if (errno != 0) status = FailErrno("cannot list folder " + shownPath);
      break;
    }
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(dirFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      status = FailErrno("cannot examine " + JoinPath(shownPath, name));
      break;
    }
    entries->push_back(FolderEntry{std::move(name), S_ISDIR(st.st_mode), S_ISLNK(st.st_mode)});
  }
  ::closedir(dir);
  if (!status) {
    entries->clear();
    return status;
  }
  std::sort(entries->begin(), entries->end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return status;
}

Status ListFolder(const std::string& folder, std::vector<FolderEntry>* entries) {
  entries->clear();
  UniqueFd fd(RetryOnInterrupt([&] {
    return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!fd.valid()) return FailErrno("cannot list folder " + folder);
  return ListFolderAt(fd.get(), folder, entries);
}

Status SyncParentFolder(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  UniqueFd dir(RetryOnInterrupt([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!dir.valid()) return FailErrno("cannot open folder " + folder);
  // Some file systems cannot flush a folder at all; they have nothing to lose.
  if (::fsync(dir.get()) != 0 && errno != EINVAL && errno != EROFS)
    return FailErrno("cannot flush folder " + folder);
  return Status::Ok();
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
