#include "firmsmith/package/customise/custom_strings.h"

#include <sys/stat.h>
#include <unistd.h>

#include "common/platform/files.h"
#include "common/platform/file_ops.h"

namespace package {
namespace {

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

// A real folder at `path`: whatever else stands there (a link, a file) goes.
bool EnsureRealFolder(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    if (!platform::RemoveTree(path)) return false;
  }
  return ::mkdir(path.c_str(), 0755) == 0;
}

platform::Status CopyInto(const std::string& from, const std::string& to, int depth) {
  // Partition trees are shallow; a deeper walk is a loop through links.
  if (depth > 64) return platform::Status::Fail(from + ": folders nested too deep");
  if (!EnsureRealFolder(to)) return platform::FailErrno("cannot create folder " + to);
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolder(from, &entries); !listed) return listed;
  for (const platform::FolderEntry& entry : entries) {
    const std::string source = platform::JoinPath(from, entry.name);
    const std::string target = platform::JoinPath(to, entry.name);
    platform::Status copied = entry.isDirectory ? CopyInto(source, target, depth + 1)
                                                : platform::CopyFileReplacing(source, target);
    if (!copied) return copied;
  }
  return platform::Status::Ok();
}

}  // namespace

std::string KoreanFontsFolder(const std::string& stringsPath) {
  std::string folder = stringsPath;
  if (folder.find("FullLanguage/Strings") != std::string::npos)
    folder.resize(folder.size() >= 7 ? folder.size() - 7 : 0);
  return folder + "/Fonts_Korean";
}

bool MakeRealFolder(const std::string& root, const std::string& relative) {
  if (!platform::IsDirectory(root)) return false;
  std::string path = root;
  std::size_t begin = 0;
  while (begin < relative.size()) {
    std::size_t end = relative.find('/', begin);
    if (end == std::string::npos) end = relative.size();
    const std::string part = relative.substr(begin, end - begin);
    begin = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return false;
    path = platform::JoinPath(path, part);
    if (!EnsureRealFolder(path)) return false;
  }
  return true;
}

platform::Status CopyFolderInto(const std::string& from, const std::string& to) {
  // An empty path would read as the root folder once it gets its slash.
  if (from.empty() || to.empty()) return platform::Status::Fail("cannot copy a folder without a name");
  const std::string source = WithSlash(from);
  const std::string target = WithSlash(to);
  if (source == target) return platform::Status::Ok();
  return CopyInto(source.substr(0, source.size() - 1), target.substr(0, target.size() - 1), 0);
}

int ApplyStringsAndPictures(const MakeOptions& o, const std::string& programDirectory,
                            const std::string& partition, platform::Status* copied) {
  platform::Status status;
  // True when the folder was copied: the stamp records only what was
  // really written.
  auto copyInto = [&](const std::string& from, const std::string& relative) {
    // An option without a folder has nothing to copy.
    if (!status || from.empty()) return false;
    if (!MakeRealFolder(partition, relative)) {
      status = platform::Status::Fail("cannot create folder " + platform::JoinPath(partition, relative));
      return false;
    }
    status = CopyFolderInto(from, platform::JoinPath(partition, relative));
    return status.ok;
  };
  int bits = 0;
  if (o.strings) {
    const std::string& stringsPath = o.slots[kSlotStrings].sourcePath;
    bool written = false;
    if (o.fullLanguageStrings) {
      if (o.koreanFonts) copyInto(KoreanFontsFolder(stringsPath), "data/Fonts");
      if (status && MakeRealFolder(partition, "data/Strings"))
        status = platform::DeleteFilesInTree(platform::JoinPath(partition, "data/Strings"));
      written = copyInto(o.stagedStringsFolder.empty() ? programDirectory + "TempStrings" : o.stagedStringsFolder,
                         "data/Strings");
    } else {
      written = copyInto(stringsPath, "data/Strings");
    }
    if (written) bits |= kUpdateStrings;
  }
  if (o.pictures && copyInto(o.slots[kSlotMtd].sourcePath, "data/Pics")) bits |= kUpdatePictures;
  if (copied) *copied = status;
  return bits;
}

}  // namespace package
