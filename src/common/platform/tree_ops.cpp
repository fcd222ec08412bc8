#include "common/platform/tree_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/platform/files.h"

namespace platform {
namespace {

constexpr std::size_t kCopyChunk = 1 << 20;

UniqueFd OpenSubfolder(int parentFd, const std::string& name) {
  return UniqueFd(RetryOnInterrupt([&] {
    return ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }));
}

Status CopyLinkAt(int fromFd, const std::string& name, int toFd, const std::string& shown,
                  const struct stat& st) {
  std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
  const ssize_t n = ::readlinkat(fromFd, name.c_str(), target.data(), target.size());
  if (n < 0) return FailErrno("cannot read the link " + shown);
  // A link that grew between the two looks would be cut: read it again.
  if (static_cast<std::size_t>(n) == target.size()) return Status::Fail("cannot read the link " + shown + ": it changed");
  target.resize(static_cast<std::size_t>(n));
  if (::symlinkat(target.c_str(), toFd, name.c_str()) != 0) return FailErrno("cannot create the link " + shown);
  return Status::Ok();
}

Status CopyFileAt(int fromFd, const std::string& name, const std::string& fromShown, int toFd,
                  const std::string& toShown, mode_t mode) {
  UniqueFd in(RetryOnInterrupt(
      [&] { return ::openat(fromFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  if (!in.valid()) return FailErrno("cannot open " + fromShown);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return FailErrno("cannot examine " + fromShown);
  if (!S_ISREG(st.st_mode)) return Status::Fail(fromShown + ": not a regular file");
  UniqueFd out(RetryOnInterrupt([&] {
    return ::openat(toFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }));
  if (!out.valid()) return FailErrno("cannot create " + toShown);
  std::vector<char> chunk(kCopyChunk);
  for (;;) {
    const ssize_t got = ReadFull(in.get(), chunk.data(), chunk.size());
    if (got < 0) return FailErrno("cannot read " + fromShown);
    if (got == 0) break;
    if (!WriteFull(out.get(), chunk.data(), static_cast<std::size_t>(got))) return FailErrno("cannot write " + toShown);
  }
  if (::fchmod(out.get(), mode) != 0) return FailErrno("cannot set the mode of " + toShown);
  if (::close(out.Release()) != 0) return FailErrno("cannot write " + toShown);
  return Status::Ok();
}

Status CopyFolderAt(int fromFd, const std::string& fromShown, int toFd, const std::string& toShown,
                    const std::string& prefix, std::vector<CopiedEntry>* copied,
                    std::vector<SkippedSpecial>* skipped) {
  std::vector<FolderEntry> entries;
  if (Status listed = ListFolderAt(fromFd, fromShown, &entries); !listed) return listed;
  for (const FolderEntry& e : entries) {
    const std::string from = JoinPath(fromShown, e.name);
    const std::string to = JoinPath(toShown, e.name);
    const std::string relative = prefix.empty() ? e.name : prefix + "/" + e.name;
    struct stat st {};
    if (::fstatat(fromFd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return FailErrno("cannot examine " + from);
    const mode_t safe = static_cast<mode_t>((st.st_mode & 0777 & ~S_IWOTH) | S_IRUSR | S_IWUSR);
    Status made = Status::Ok();
    if (S_ISLNK(st.st_mode)) {
      made = CopyLinkAt(fromFd, e.name, toFd, to, st);
    } else if (S_ISREG(st.st_mode)) {
      made = CopyFileAt(fromFd, e.name, from, toFd, to, safe);
    } else if (S_ISDIR(st.st_mode)) {
      if (::mkdirat(toFd, e.name.c_str(), 0700) != 0) return FailErrno("cannot create folder " + to);
      UniqueFd source = OpenSubfolder(fromFd, e.name);
      // Unreadable folders are named as every walk of ours names them.
      if (!source.valid()) return FailErrno("cannot list folder " + from);
      UniqueFd target = OpenSubfolder(toFd, e.name);
      if (!target.valid()) return FailErrno("cannot open folder " + to);
      if (copied != nullptr) copied->push_back({relative, st.st_mode, st.st_uid, st.st_gid});
      if (Status inner = CopyFolderAt(source.get(), from, target.get(), to, relative, copied, skipped); !inner)
        return inner;
      if (::fchmod(target.get(), safe | S_IXUSR) != 0) return FailErrno("cannot set the mode of " + to);
      continue;
    } else {
      if (skipped != nullptr)
        skipped->push_back({relative, st.st_mode, st.st_uid, st.st_gid, static_cast<std::uint64_t>(st.st_rdev)});
      continue;
    }
    if (!made) return made;
    if (copied != nullptr) copied->push_back({relative, st.st_mode, st.st_uid, st.st_gid});
  }
  return Status::Ok();
}

}  // namespace

Status OpenTreeFolder(const std::string& path, UniqueFd* folder) {
  *folder = UniqueFd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!folder->valid()) return FailErrno("cannot open folder " + path);
  return Status::Ok();
}

Status OpenFolderBelow(int rootFd, const std::string& rootShown, const std::string& relative,
                       UniqueFd* folder, bool* found) {
  *found = false;
  UniqueFd current(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
  if (!current.valid()) return FailErrno("cannot open folder " + rootShown);
  std::string shown = rootShown;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    const std::string part = relative.substr(start, slash - start);
    start = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return Status::Ok();  // never above the tree
    shown = JoinPath(shown, part);
    UniqueFd next = OpenSubfolder(current.get(), part);
    if (!next.valid()) {
      // Missing, a link or no folder: nothing of the tree is there.
      if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) return Status::Ok();
      return FailErrno("cannot open folder " + shown);
    }
    current = std::move(next);
  }
  *folder = std::move(current);
  *found = true;
  return Status::Ok();
}

Status RemoveEntryAt(int parentFd, const std::string& name, const std::string& shown) {
  struct stat st {};
  if (::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? Status::Ok() : FailErrno("cannot examine " + shown);
  if (!S_ISDIR(st.st_mode)) {
    if (::unlinkat(parentFd, name.c_str(), 0) != 0 && errno != ENOENT)
      return FailErrno("cannot remove " + shown);
    return Status::Ok();
  }
  // Read-only folders come from unpacked images: make them ours to empty.
  if ((st.st_mode & S_IRWXU) != S_IRWXU) ::fchmodat(parentFd, name.c_str(), st.st_mode | S_IRWXU, 0);
  UniqueFd dir = OpenSubfolder(parentFd, name);
  if (!dir.valid()) return FailErrno("cannot open folder " + shown);
  std::vector<FolderEntry> entries;
  if (Status listed = ListFolderAt(dir.get(), shown, &entries); !listed) return listed;
  for (const FolderEntry& e : entries)
    if (Status removed = RemoveEntryAt(dir.get(), e.name, JoinPath(shown, e.name)); !removed)
      return removed;
  if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
    return FailErrno("cannot remove folder " + shown);
  return Status::Ok();
}

Status DeleteFilesAt(int dirFd, const std::string& shown) {
  std::vector<FolderEntry> entries;
  if (Status listed = ListFolderAt(dirFd, shown, &entries); !listed) return listed;
  for (const FolderEntry& e : entries) {
    const std::string child = JoinPath(shown, e.name);
    if (e.isDirectory) {
      UniqueFd sub = OpenSubfolder(dirFd, e.name);
      if (!sub.valid()) return FailErrno("cannot open folder " + child);
      if (Status done = DeleteFilesAt(sub.get(), child); !done) return done;
    } else if (::unlinkat(dirFd, e.name.c_str(), 0) != 0 && errno != ENOENT) {
      return FailErrno("cannot remove " + child);
    }
  }
  return Status::Ok();
}

Status CopyTreeAt(int fromFd, const std::string& fromShown, int toFd, const std::string& toShown,
                  std::vector<CopiedEntry>* copied, std::vector<SkippedSpecial>* skipped) {
  return CopyFolderAt(fromFd, fromShown, toFd, toShown, std::string(), copied, skipped);
}

}  // namespace platform
