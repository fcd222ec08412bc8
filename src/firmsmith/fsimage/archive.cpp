#include "firmsmith/fsimage/archive.h"

#include <fcntl.h>
#include <limits.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "common/platform/debuglog.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "common/platform/fd.h"
#include "common/zip/zip_reader.h"

namespace fsimage {
using zipfile::OpenZipArchive;
using zipfile::ReadZipDirectory;
using zipfile::ZipEntryInfo;
using zipfile::ZzipDir;
using zipfile::ZzipFile;

namespace {

// Entries are copied out in chunks of this size.
constexpr std::size_t kUnpackChunk = 40960;
// Files are packed through a buffer of this size, whatever their length.
constexpr std::size_t kPackChunk = 1024 * 1024;
// Entries carry no time of their own: DOS date 0x0020 (day 0 of January
// 1980, what a zeroed date structure encodes to) and DOS time 0.
constexpr std::uint32_t kEntryDosDate = 0x0020;
constexpr std::uint32_t kEntryDosTime = 0;

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return std::string();
  return buf;
}

bool IsInside(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// Splits an entry name into its folder parts and its file name. False for a
// name that must not be written: empty, absolute, or with a ".." part.
bool SplitEntryName(const std::string& name, std::vector<std::string>* folders,
                    std::string* file) {
  if (name.empty() || name[0] == '/') return false;
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (begin <= name.size()) {
    std::size_t slash = name.find('/', begin);
    if (slash == std::string::npos) slash = name.size();
    std::string part = name.substr(begin, slash - begin);
    begin = slash + 1;
    if (part == "..") return false;
    if (part.empty() || part == ".") continue;
    parts.push_back(part);
  }
  // A name ending in "/" stands for a folder: no file part.
  bool folderEntry = name.back() == '/';
  if (!folderEntry && parts.empty()) return false;
  if (!folderEntry) {
    *file = parts.back();
    parts.pop_back();
  } else {
    file->clear();
  }
  *folders = std::move(parts);
  return true;
}

// Walks (and creates) the folders of an entry below `root` (a real path).
// A folder that is a symbolic link is followed only when it resolves inside
// the root. Returns the real path of the innermost folder, or "" when the
// entry must be skipped.
std::string EnterFolders(const std::string& root, const std::vector<std::string>& folders) {
  std::string current = root;
  for (const std::string& part : folders) {
    std::string next = platform::JoinPath(current, part);
    struct stat st {};
    if (::lstat(next.c_str(), &st) != 0) {
      if (::mkdir(next.c_str(), 0755) != 0) return std::string();
      current = next;
    } else if (S_ISLNK(st.st_mode)) {
      std::string resolved = RealPath(next);
      struct stat target {};
      if (resolved.empty() || !IsInside(resolved, root) || ::stat(resolved.c_str(), &target) != 0 ||
          !S_ISDIR(target.st_mode))
        return std::string();
      current = resolved;
    } else if (S_ISDIR(st.st_mode)) {
      current = next;
    } else {
      return std::string();
    }
  }
  return current;
}

// Creates or truncates the file of an entry in `folder` (a real path inside
// the root). An existing symbolic link is written through only when it
// resolves to a regular file inside the root.
// Invalid with *why empty for a file that must not be written, with the
// reason when it cannot be created.
platform::UniqueFd CreateEntryFile(const std::string& root, const std::string& folder,
                                   const std::string& name, std::string* createdPath,
                                   std::string* why) {
  std::string target = platform::JoinPath(folder, name);
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      target = RealPath(target);
      if (target.empty() || !IsInside(target, root)) return platform::UniqueFd();
    } else if (!S_ISREG(st.st_mode)) {
      return platform::UniqueFd();
    }
  }
  // O_NOFOLLOW: no link swapped in meanwhile is followed.
  platform::UniqueFd fd =
      platform::OpenRegular(target, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644, why);
  if (fd.valid()) *createdPath = target;
  return fd;
}

// Writes one entry out. Entries that must not be written are skipped (see the
// contract); a file that cannot be created or written completely, or an entry
// that cannot be read, fails the unpack: a half-unpacked package must never
// pass for a whole one.
platform::Status ExtractEntry(ZZIP_DIR* dir, const std::string& archive, const std::string& name,
                              const ZipEntryInfo* info, const std::string& root,
                              std::vector<char>& chunk) {
  std::vector<std::string> folders;
  std::string file;
  if (!SplitEntryName(name, &folders, &file)) {
    platform::DebugOutput("skip %s: leads outside the destination\n", name.c_str());
    return platform::Status::Ok();
  }
  std::string folder = EnterFolders(root, folders);
  if (folder.empty()) {
    platform::DebugOutput("skip %s: its folder cannot be made inside the destination\n",
                          name.c_str());
    return platform::Status::Ok();
  }
  if (file.empty()) return platform::Status::Ok();  // a folder entry: the folder is there now

  ZzipFile entry(zzip_file_open(dir, name.c_str(), 0));
  if (!entry) return platform::Status::Fail("cannot read the entry " + name + " of the archive");
  std::string path;
  std::string why;
  platform::UniqueFd out = CreateEntryFile(root, folder, file, &path, &why);
  if (!out.valid()) {
    if (why.empty()) {
      platform::DebugOutput("skip %s: its file is a link leading out or no regular file\n",
                            name.c_str());
      return platform::Status::Ok();
    }
    return platform::Status::Fail(why);
  }
  uLong crc = ::crc32(0L, Z_NULL, 0);
  std::uint64_t written = 0;
  for (;;) {
    zzip_ssize_t n = zzip_file_read(entry.get(), chunk.data(), chunk.size());
    if (n == 0) break;
    platform::Status failed;
    if (n < 0) {
      failed = platform::Status::Fail("entry " + name + " of " + archive + " is damaged: its data cannot be inflated");
    } else if (info != nullptr && written + static_cast<std::uint64_t>(n) > info->size) {
      // An entry may not inflate past the size the directory gives it.
      failed = platform::Status::Fail("entry " + name + " of " + archive + " is damaged: longer than the " +
                                      std::to_string(info->size) + " bytes the directory says");
    } else if (!platform::WriteFull(out.get(), chunk.data(), static_cast<std::size_t>(n))) {
      failed = platform::FailErrno("cannot write " + path);
    } else {
      crc = ::crc32(crc, reinterpret_cast<const Bytef*>(chunk.data()), static_cast<uInt>(n));
      written += static_cast<std::uint64_t>(n);
    }
    if (!failed.ok) {
      // A damaged entry or a short write leaves no half-written file behind.
      out.Reset();
      ::unlink(path.c_str());
      return failed;
    }
  }
  // zziplib compares nothing: the entry's CRC-32 and size are checked here.
  if (info != nullptr && (static_cast<std::uint32_t>(crc) != info->crc || written != info->size)) {
    out.Reset();
    ::unlink(path.c_str());
    char text[192];
    std::snprintf(text, sizeof text, ": %llu bytes with CRC-32 0x%08x, the directory says %llu with 0x%08x",
                  static_cast<unsigned long long>(written), static_cast<unsigned>(crc),
                  static_cast<unsigned long long>(info->size), static_cast<unsigned>(info->crc));
    return platform::Status::Fail("entry " + name + " of " + archive + " is damaged" + text);
  }
  if (::close(out.Release()) != 0) {
    platform::Status failed = platform::FailErrno("cannot write " + path);
    ::unlink(path.c_str());
    return failed;
  }
  return platform::Status::Ok();
}

// minizip reports a failed write only as ZIP_ERRNO; errno (cleared before
// the call) tells the cause when the C library set one.
platform::Status ZipWriteFailure(const std::string& archive, const std::string& name) {
  return platform::FailErrno("cannot write " + archive + " (entry " + name + ")",
                             errno != 0 ? errno : EIO);
}

// Adds one file as an entry named `name`; a failure stops the walk.
platform::Status AddFile(zipFile zip, const std::string& archive, const std::string& path,
                         const std::string& name, const struct stat& self,
                         std::vector<char>& chunk) {
  std::string why;
  platform::UniqueFd in = platform::OpenRegularForReading(path, &why);
  if (!in.valid()) return platform::Status::Fail(why);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return platform::FailErrno("cannot read " + path);
  if (st.st_dev == self.st_dev && st.st_ino == self.st_ino) return platform::Status::Ok();  // the archive itself
  if (static_cast<std::uint64_t>(st.st_size) > kMaxPackedFileSize)
    return platform::Status::Fail(path + ": larger than " + std::to_string(kMaxPackedFileSize) +
                                  " bytes, the most a package entry may hold");

  zip_fileinfo info{};
  errno = 0;
  info.dosDate = (kEntryDosDate << 16) | kEntryDosTime;
  if (zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                            Z_DEFAULT_COMPRESSION, 0) != ZIP_OK)
    return ZipWriteFailure(archive, name);
  std::uint64_t remaining = static_cast<std::uint64_t>(st.st_size);
  platform::Status status;
  while (remaining > 0) {
    std::size_t want = remaining < chunk.size() ? static_cast<std::size_t>(remaining) : chunk.size();
    ssize_t got = platform::ReadFull(in.get(), chunk.data(), want);
    if (got != static_cast<ssize_t>(want)) {
      status = got < 0 ? platform::FailErrno("cannot read " + path)
                       : platform::Status::Fail("cannot read " + path + ": it shrank while being packed");
      break;
    }
    errno = 0;
    if (zipWriteInFileInZip(zip, chunk.data(), static_cast<unsigned>(want)) != ZIP_OK) {
      status = ZipWriteFailure(archive, name);
      break;
    }
    remaining -= want;
  }
  errno = 0;
  if (zipCloseFileInZip(zip) != ZIP_OK && status.ok) status = ZipWriteFailure(archive, name);
  return status;
}

platform::Status AddTree(zipFile zip, const std::string& archive, const std::string& folder,
                         const struct stat& self, std::vector<char>& chunk) {
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolder(folder, &entries); !listed) return listed;
  for (const platform::FolderEntry& e : entries) {
    std::string path = platform::JoinPath(folder, e.name);
    platform::Status status =
        e.isDirectory ? AddTree(zip, archive, path, self, chunk)
                      : AddFile(zip, archive, path, e.name, self, chunk);
    if (!status) return status;
  }
  return platform::Status::Ok();
}

// Every file of the tree becomes an entry named by its bare name: two files
// of one name would give two entries of which a reader sees only one.
// Fails naming both, before anything is written.
platform::Status CheckEntryNames(const std::string& root, const std::string& relative, const struct stat& self,
                                 std::map<std::string, std::string>* seen) {
  const std::string folder = relative.empty() ? root : platform::JoinPath(root, relative);
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolder(folder, &entries); !listed) return listed;
  for (const platform::FolderEntry& e : entries) {
    const std::string path = relative.empty() ? e.name : relative + "/" + e.name;
    if (e.isDirectory) {
      if (platform::Status inner = CheckEntryNames(root, path, self, seen); !inner) return inner;
      continue;
    }
    struct stat st {};
    if (::lstat(platform::JoinPath(root, path).c_str(), &st) == 0 && st.st_dev == self.st_dev &&
        st.st_ino == self.st_ino)
      continue;  // the archive itself
    const auto [at, added] = seen->emplace(e.name, path);
    if (!added)
      return platform::Status::Fail("cannot pack " + root + ": " + at->second + " and " + path +
                                    " would both be the entry " + e.name);
  }
  return platform::Status::Ok();
}

void Tell(platform::Status* why, platform::Status status) {
  if (!status.ok) platform::DebugOutput("%s\n", status.message.c_str());
  if (why != nullptr) *why = std::move(status);
}

}  // namespace

int UnpackArchive(const std::string& archive, const std::string& destination,
                  platform::Status* why, std::uint64_t budget) {
  platform::Status opened;
  ZzipDir dir = OpenZipArchive(archive, &opened);
  if (!dir) {
    Tell(why, opened);
    return -1;
  }
  // Refused before anything is written: nothing half-unpacked remains.
  std::vector<ZipEntryInfo> entries;
  if (platform::Status checked = ReadZipDirectory(archive, kMaxUnpackedEntrySize, &entries); !checked) {
    Tell(why, checked);
    return -1;
  }
  // Sizes are checked as each entry is written, so the directory's sum is
  // what the unpack writes at most.
  std::uint64_t total = 0;
  for (const ZipEntryInfo& e : entries) {
    total += e.size;
    if (total > budget) {
      Tell(why, platform::Status::Fail(OverBudgetMessage(archive, budget)));
      return -1;
    }
  }

  std::string root = RealPath(destination);
  if (root.empty()) {
    if (::mkdir(destination.c_str(), 0755) != 0) {
      Tell(why, platform::FailErrno("cannot create folder " + destination));
      return -1;
    }
    root = RealPath(destination);
    if (root.empty()) {
      Tell(why, platform::FailErrno("cannot enter folder " + destination));
      return -1;
    }
  }
  if (!platform::IsDirectory(root)) {
    Tell(why, platform::Status::Fail("cannot unpack into " + destination + ": not a folder"));
    return -1;
  }
  std::map<std::string, const ZipEntryInfo*> byName;
  for (const ZipEntryInfo& e : entries) byName[e.name] = &e;
  std::vector<char> chunk(kUnpackChunk);
  ZZIP_DIRENT entry;
  platform::Status status;
  while (zzip_dir_read(dir.get(), &entry)) {
    if (entry.d_name == nullptr) continue;
    std::string name = entry.d_name;
    platform::TraceOutput("extract:%s\n", name.c_str());
    auto found = byName.find(name);
    // Every entry is bounded by the directory read above; one it does not
    // hold would be unbounded.
    status = found == byName.end()
                 ? platform::Status::Fail("entry " + name + " of " + archive + " is not in its central directory")
                 : ExtractEntry(dir.get(), archive, name, found->second, root, chunk);
    if (!status) break;
  }
  std::fflush(stdout);
  Tell(why, status);
  return status.ok ? 0 : -1;
}

int PackFolder(const std::string& folder, const std::string& archive, platform::Status* why) {
  // A folder that is not there would quietly give an empty package.
  struct stat folderStat {};
  if (::stat(folder.c_str(), &folderStat) != 0) {
    Tell(why, platform::FailErrno("cannot pack folder " + folder));
    return -1;
  }
  if (!S_ISDIR(folderStat.st_mode)) {
    Tell(why, platform::Status::Fail("cannot pack " + folder + ": not a folder"));
    return -1;
  }

  // The archive may lie inside the folder; it must not pack itself.
  struct stat self {};
  ::stat(archive.c_str(), &self);
  std::map<std::string, std::string> names;
  if (platform::Status unique = CheckEntryNames(folder, std::string(), self, &names); !unique) {
    Tell(why, unique);
    return -1;
  }

  errno = 0;
  zipFile zip = zipOpen64(archive.c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) {
    Tell(why, platform::FailErrno("cannot create the archive " + archive, errno != 0 ? errno : EIO));
    return -1;
  }
  ::stat(archive.c_str(), &self);  // made now when it was not there
  std::vector<char> chunk(kPackChunk);
  platform::Status status = AddTree(zip, archive, folder, self, chunk);
  errno = 0;
  if (zipClose(zip, nullptr) != ZIP_OK && status.ok)
    status = platform::FailErrno("cannot write the archive " + archive, errno != 0 ? errno : EIO);
  Tell(why, status);
  return status.ok ? 0 : -1;
}

}  // namespace fsimage
