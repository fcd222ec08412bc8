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

bool CopyInto(const std::string& from, const std::string& to, int depth) {
  // Partition trees are shallow; a deeper walk is a loop through links.
  if (depth > 64) return false;
  if (!EnsureRealFolder(to)) return false;
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(from, &entries)) return false;
  for (const platform::FolderEntry& entry : entries) {
    const std::string source = platform::JoinPath(from, entry.name);
    const std::string target = platform::JoinPath(to, entry.name);
    if (entry.isDirectory) {
      if (!CopyInto(source, target, depth + 1)) return false;
    } else if (!platform::CopyFileReplacing(source, target)) {
      return false;
    }
  }
  return true;
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

bool CopyFolderInto(const std::string& from, const std::string& to) {
  // An empty path would read as the root folder once it gets its slash.
  if (from.empty() || to.empty()) return false;
  const std::string source = WithSlash(from);
  const std::string target = WithSlash(to);
  if (source == target) return true;
  return CopyInto(source.substr(0, source.size() - 1), target.substr(0, target.size() - 1), 0);
}

int ApplyStringsAndPictures(const MakeOptions& o, const std::string& programDirectory,
                            const std::string& partition) {
  int bits = 0;
  if (o.strings) {
    bits |= kUpdateStrings;
    const std::string& stringsPath = o.slots[kSlotStrings].sourcePath;
    const std::string strings = platform::JoinPath(partition, "data/Strings");
    if (o.fullLanguageStrings) {
      if (o.koreanFonts && MakeRealFolder(partition, "data/Fonts"))
        CopyFolderInto(KoreanFontsFolder(stringsPath), platform::JoinPath(partition, "data/Fonts"));
      if (MakeRealFolder(partition, "data/Strings")) {
        platform::DeleteFilesInTree(strings);
        CopyFolderInto(programDirectory + "TempStrings", strings);
      }
    } else if (MakeRealFolder(partition, "data/Strings")) {
      CopyFolderInto(stringsPath, strings);
    }
  }
  if (o.pictures) {
    bits |= kUpdatePictures;
    if (MakeRealFolder(partition, "data/Pics"))
      CopyFolderInto(o.slots[kSlotMtd].sourcePath, platform::JoinPath(partition, "data/Pics"));
  }
  return bits;
}

}  // namespace package
