#include "firmsmith/fsimage/archive.h"

#include <fcntl.h>
#include <limits.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "common/platform/debuglog.h"
#include "common/platform/files.h"
#include "common/platform/fd.h"
#include "firmsmith/fsimage/zip_reader.h"

namespace fsimage {
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
platform::UniqueFd CreateEntryFile(const std::string& root, const std::string& folder,
                         const std::string& name, std::string* createdPath) {
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
  platform::UniqueFd fd = platform::OpenRegular(target, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
  if (fd.valid()) *createdPath = target;
  return fd;
}

void ExtractEntry(ZZIP_DIR* dir, const std::string& name, const std::string& root,
                  std::vector<char>& chunk) {
  std::vector<std::string> folders;
  std::string file;
  if (!SplitEntryName(name, &folders, &file)) {
    platform::DebugOutput("skip %s: leads outside the destination\n", name.c_str());
    return;
  }
  std::string folder = EnterFolders(root, folders);
  if (folder.empty()) {
    platform::DebugOutput("skip %s: its folder cannot be made inside the destination\n",
                          name.c_str());
    return;
  }
  if (file.empty()) return;  // a folder entry: the folder is there now

  ZzipFile entry(zzip_file_open(dir, name.c_str(), 0));
  if (!entry) {
    platform::DebugOutput("skip %s: cannot open the entry\n", name.c_str());
    return;
  }
  std::string path;
  platform::UniqueFd out = CreateEntryFile(root, folder, file, &path);
  if (!out.valid()) {
    platform::DebugOutput("skip %s: cannot create the file\n", name.c_str());
    return;
  }
  for (;;) {
    zzip_ssize_t n = zzip_file_read(entry.get(), chunk.data(), chunk.size());
    if (n == 0) break;
    // A damaged entry leaves no half-written file behind.
    if (n < 0 || !platform::WriteFull(out.get(), chunk.data(), static_cast<std::size_t>(n))) {
      platform::DebugOutput("skip %s: damaged entry or short write\n", name.c_str());
      out.Reset();
      ::unlink(path.c_str());
      return;
    }
  }
}

// Adds one file as an entry named `name`. 0, or -1 to stop the walk.
int AddFile(zipFile zip, const std::string& path, const std::string& name, const struct stat& self,
            std::vector<char>& chunk) {
  platform::UniqueFd in = platform::OpenRegularForReading(path);
  if (!in.valid()) return 0;  // not a readable regular file: left out
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return 0;
  if (st.st_dev == self.st_dev && st.st_ino == self.st_ino) return 0;  // the archive itself
  if (static_cast<std::uint64_t>(st.st_size) > kMaxPackedFileSize) {
    platform::DebugOutput("%s: larger than %llu bytes\n", path.c_str(),
                          static_cast<unsigned long long>(kMaxPackedFileSize));
    return -1;
  }

  zip_fileinfo info{};
  info.dosDate = (kEntryDosDate << 16) | kEntryDosTime;
  if (zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                            Z_DEFAULT_COMPRESSION, 0) != ZIP_OK)
    return -1;
  std::uint64_t remaining = static_cast<std::uint64_t>(st.st_size);
  int rc = 0;
  while (remaining > 0) {
    std::size_t want = remaining < chunk.size() ? static_cast<std::size_t>(remaining) : chunk.size();
    if (platform::ReadFull(in.get(), chunk.data(), want) != static_cast<ssize_t>(want) ||
        zipWriteInFileInZip(zip, chunk.data(), static_cast<unsigned>(want)) != ZIP_OK) {
      platform::DebugOutput("%s: cannot be read or packed completely\n", path.c_str());
      rc = -1;
      break;
    }
    remaining -= want;
  }
  if (zipCloseFileInZip(zip) != ZIP_OK) rc = -1;
  return rc;
}

int AddTree(zipFile zip, const std::string& folder, const struct stat& self,
            std::vector<char>& chunk) {
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, &entries)) return -1;
  for (const platform::FolderEntry& e : entries) {
    std::string path = platform::JoinPath(folder, e.name);
    int rc = e.isDirectory ? AddTree(zip, path, self, chunk) : AddFile(zip, path, e.name, self, chunk);
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

int UnpackArchive(const std::string& archive, const std::string& destination) {
  ZzipDir dir = OpenZipArchive(archive);
  if (!dir) return -1;

  std::string root = RealPath(destination);
  if (root.empty() && ::mkdir(destination.c_str(), 0755) == 0) root = RealPath(destination);
  std::vector<char> chunk(kUnpackChunk);
  ZZIP_DIRENT entry;
  while (zzip_dir_read(dir.get(), &entry)) {
    if (entry.d_name == nullptr) continue;
    std::string name = entry.d_name;
    std::printf("extract:%s\n", name.c_str());
    if (!root.empty()) ExtractEntry(dir.get(), name, root, chunk);
  }
  std::fflush(stdout);
  return 0;
}

int PackFolder(const std::string& folder, const std::string& archive) {
  // A folder that is not there would quietly give an empty package.
  struct stat folderStat {};
  if (::stat(folder.c_str(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode)) return -1;

  zipFile zip = zipOpen64(archive.c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) return -1;
  // The archive may lie inside the folder; it must not pack itself.
  struct stat self {};
  ::stat(archive.c_str(), &self);
  std::vector<char> chunk(kPackChunk);
  int rc = AddTree(zip, folder, self, chunk);
  if (zipClose(zip, nullptr) != ZIP_OK) rc = -1;
  return rc;
}

}  // namespace fsimage
