#include "common/platform/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/platform/files.h"
#include "common/platform/run_folder.h"
#include "common/platform/tree_ops.h"

namespace platform {
namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Opens the folder that holds `path` (the caller's choice, so links above the
// entry are followed; the entry itself never is).
UniqueFd OpenParent(const std::string& path) {
  const std::string parent = ParentFolder(path).empty() ? std::string(".") : ParentFolder(path);
  return UniqueFd(RetryOnInterrupt(
      [&] { return ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
}

// rename() that never replaces an entry (EEXIST instead); a link and unlink
// where the file system cannot rename that way.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

mode_t CurrentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

Status InputFile::Open(const std::string& path) {
  std::string why;
  fd_ = OpenRegularForReading(path, &why);
  path_ = path;
  if (!fd_.valid()) return Status::Fail(why);
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return FailErrno("cannot examine " + path);
  size_ = static_cast<std::uint64_t>(st.st_size);
  return Status::Ok();
}

bool InputFile::Seek(std::uint64_t offset) {
  return ::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

OutputFile::~OutputFile() {
  if (fd_.valid()) {
    fd_.Reset();
    ::unlink(partPath_.c_str());
    UnregisterPartialFile(partPath_);
  }
}

Status OutputFile::Create(const std::string& path) {
  path_ = path;
  partPath_ = TemporaryNameTemplate(path, "part");
  fd_.Reset(MakeRegisteredPartialFile(&partPath_));
  if (!fd_.valid()) return FailErrno("cannot create a temporary file beside " + path);
  ::fchmod(fd_.get(), 0666 & ~CurrentUmask());
  return Status::Ok();
}

Status OutputFile::Write(const void* data, std::size_t size) {
  if (!fd_.valid()) return Status::Fail(path_ + ": not open for writing");
  if (!WriteFull(fd_.get(), data, size)) return FailErrno("cannot write " + partPath_);
  return Status::Ok();
}

Status OutputFile::Commit(bool mayReplace) {
  if (!fd_.valid()) return Status::Fail(path_ + ": not open for writing");
  Status status = Status::Ok();
  struct stat ours {}, named {};
  if (::fsync(fd_.get()) != 0)
    status = FailErrno("cannot flush " + partPath_);
  else if (::fstat(fd_.get(), &ours) != 0 || ::lstat(partPath_.c_str(), &named) != 0 ||
           !S_ISREG(named.st_mode) || ours.st_dev != named.st_dev || ours.st_ino != named.st_ino)
    // Steps write the partial file by name: what stands there now must
    // still be the file made for this run, not something swapped in.
    status = Status::Fail(partPath_ + ": no longer the file this run created");
  else if (::close(fd_.Release()) != 0)
    status = FailErrno("cannot write " + partPath_);
  else if (mayReplace ? ::rename(partPath_.c_str(), path_.c_str()) != 0 : !RenameNoReplace(partPath_, path_))
    status = errno == EEXIST ? Status::Fail(path_ + ": exists already") : FailErrno("cannot replace " + path_);
  fd_.Reset();
  if (!status) ::unlink(partPath_.c_str());
  UnregisterPartialFile(partPath_);
  if (!status) return status;
  // The rename itself must reach the disk, or a power loss may undo it.
  return SyncParentFolder(path_);
}

std::string TempRoot() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

TempFolder::~TempFolder() {
  if (path_.empty()) return;
  RemoveRunFolder(path_);
  UnregisterRunFolder(path_);
}

Status RemoveRunFolder(const std::string& path) {
  const std::string clean = WithoutTrailingSlashes(path);
  UniqueFd parent = OpenParent(clean);
  if (!parent.valid()) return errno == ENOENT ? Status::Ok() : FailErrno("cannot open the folder of " + clean);
  const std::string name = BaseName(clean);
  UniqueFd dir(RetryOnInterrupt([&] {
    return ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!dir.valid()) {
    if (errno == ENOENT) return Status::Ok();
    // Not a folder we can enter (a link, a file): removed as an entry.
    return RemoveEntryAt(parent.get(), name, clean);
  }
  std::vector<FolderEntry> entries;
  if (Status listed = ListFolderAt(dir.get(), clean, &entries); !listed) return listed;
  for (const FolderEntry& e : entries)
    if (e.name != kRunLockName)
      if (Status removed = RemoveEntryAt(dir.get(), e.name, JoinPath(clean, e.name)); !removed)
        return removed;
  return RemoveEntryAt(parent.get(), name, clean);
}

Status TempFolder::Create(const std::string& parent, const std::string& prefix) {
  // A sweep of another run takes a run folder that holds no pid yet (as a
  // run killed right after making it leaves it); the next attempt then
  // makes another.
  Status status = Status::Ok();
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string pattern = JoinPath(parent.empty() ? TempRoot() : parent, prefix + "XXXXXX");
    if (!MakeRegisteredRunFolder(&pattern))
      return FailErrno("cannot create a temporary folder " + pattern);
    // The lock names the run, so a later run can tell a folder left by a
    // killed one from a folder in use.
    const std::string lockPath = JoinPath(pattern, kRunLockName);
    const std::string pid = std::to_string(::getpid()) + "\n";
    UniqueFd lock(RetryOnInterrupt([&] {
      return ::open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    struct stat st {};
    if (lock.valid() && WriteFull(lock.get(), pid.data(), pid.size()) &&
        ::lstat(lockPath.c_str(), &st) == 0) {
      path_ = pattern;
      return Status::Ok();
    }
    const int err = errno;
    status = FailErrno("cannot write " + lockPath, err);
    const bool swept = err == ENOENT;
    RemoveRunFolder(pattern);
    UnregisterRunFolder(pattern);
    if (!swept) break;
  }
  return status;
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

Status MakeFolders(const std::string& path) {
  if (path.empty()) return Status::Fail("cannot create a folder without a name");
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0)
    return S_ISDIR(st.st_mode) ? Status::Ok() : Status::Fail("cannot create folder " + path +
                                                             ": a file is in its place");
  const std::string parent = ParentFolder(WithoutTrailingSlashes(path));
  if (!parent.empty() && parent != path && parent != "/")
    if (Status made = MakeFolders(parent); !made) return made;
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
    return FailErrno("cannot create folder " + path);
  if (!IsDirectory(path)) return Status::Fail("cannot create folder " + path + ": a file is in its place");
  return Status::Ok();
}

Status RemoveTree(const std::string& path) {
  const std::string clean = WithoutTrailingSlashes(path);
  UniqueFd parent = OpenParent(clean);
  if (!parent.valid()) {
    if (errno == ENOENT) return Status::Ok();
    return FailErrno("cannot open the folder of " + clean);
  }
  return RemoveEntryAt(parent.get(), BaseName(clean), clean);
}

Status DeleteFilesInTree(const std::string& folder) {
  UniqueFd dir(RetryOnInterrupt(
      [&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!dir.valid()) return FailErrno("cannot open folder " + folder);
  return DeleteFilesAt(dir.get(), folder);
}

Status CopyFileReplacing(const std::string& source, const std::string& target, bool mayReplace) {
  InputFile in;
  if (Status opened = in.Open(source); !opened) return opened;
  OutputFile out;
  if (Status created = out.Create(target); !created) return created;
  // The kernel copies without passing the bytes through us where the file
  // systems allow it. The loop below then goes on from where that stopped:
  // it also sees the true end of the file, where a file system that cannot
  // copy this way may just have said "nothing more".
  for (;;) {
    const ssize_t moved = ::copy_file_range(in.fd(), nullptr, out.fd(), nullptr, 1 << 30, 0);
    if (moved > 0) continue;
    if (moved == 0) break;
    if (errno == EINTR) continue;
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) return FailErrno("cannot write " + out.partPath());
    if (errno == EIO) return FailErrno("cannot read " + source);
    break;  // not this way here (EXDEV, EINVAL, ENOSYS, EOPNOTSUPP, ...): copy through memory
  }
  std::vector<std::uint8_t> chunk(1 << 20);
  for (;;) {
    const ssize_t got = in.Read(chunk.data(), chunk.size());
    if (got < 0) return FailErrno("cannot read " + source);
    if (got == 0) break;
    if (Status written = out.Write(chunk.data(), static_cast<std::size_t>(got)); !written)
      return written;
  }
  return out.Commit(mayReplace);
}

Status LinkOrCopyFile(const std::string& source, const std::string& target, bool mayReplace) {
  struct stat before {};
  if (::lstat(source.c_str(), &before) != 0) return FailErrno("cannot examine " + source);
  if (!S_ISREG(before.st_mode) || before.st_nlink != 1) return CopyFileReplacing(source, target, mayReplace);
  // A registered name of our own beside the target, for the link to stand
  // under until it is renamed into place.
  std::string temporary = TemporaryNameTemplate(target, "part");
  if (UniqueFd reserved(MakeRegisteredPartialFile(&temporary)); !reserved.valid())
    return FailErrno("cannot create a temporary file beside " + target);
  struct stat linked {};
  const bool ours = ::unlink(temporary.c_str()) == 0 && ::link(source.c_str(), temporary.c_str()) == 0 &&
                    ::lstat(temporary.c_str(), &linked) == 0 && linked.st_dev == before.st_dev &&
                    linked.st_ino == before.st_ino;
  if (!ours) {
    // No hard links here, or the source was swapped meanwhile: copy.
    ::unlink(temporary.c_str());
    UnregisterPartialFile(temporary);
    return CopyFileReplacing(source, target, mayReplace);
  }
  const bool placed = mayReplace ? ::rename(temporary.c_str(), target.c_str()) == 0
                                 : RenameNoReplace(temporary, target);
  Status status = placed ? Status::Ok()
                  : errno == EEXIST ? Status::Fail(target + ": exists already")
                                    : FailErrno("cannot replace " + target);
  if (!placed) ::unlink(temporary.c_str());
  UnregisterPartialFile(temporary);
  if (!status) return status;
  return SyncParentFolder(target);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ParentFolder(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace platform
