#include "firmsmith/package/make/make_steps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "common/platform/debuglog.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/cramfs_writer.h"
#include "firmsmith/fsimage/external_tools.h"
#include "common/platform/file_ops.h"

namespace package {
namespace {

// An ignore path must stay inside the tree it is applied to.
bool IsContainedPath(const std::string& relative) {
  if (relative.empty() || relative.front() == '/') return false;
  std::size_t begin = 0;
  while (begin <= relative.size()) {
    std::size_t slash = relative.find('/', begin);
    if (slash == std::string::npos) slash = relative.size();
    if (relative.compare(begin, slash - begin, "..") == 0 && slash - begin == 2) return false;
    begin = slash + 1;
  }
  return true;
}

bool TreeHasFiles(const std::string& folder) {
  std::vector<platform::FolderEntry> entries;
  // An unreadable folder may hold files: count it as not empty, so the build
  // reaches it and fails naming it.
  if (!platform::ListFolder(folder, &entries)) return true;
  for (const platform::FolderEntry& e : entries) {
    const std::string child = platform::JoinPath(folder, e.name);
    if (platform::IsDirectory(child) ? TreeHasFiles(child) : true) return true;
  }
  return false;
}

bool WildcardMatch(const char* pattern, const char* text) {
  if (*pattern == '\0') return *text == '\0';
  if (*pattern == '*') {
    for (const char* t = text;; ++t) {
      if (WildcardMatch(pattern + 1, t)) return true;
      if (*t == '\0') return false;
    }
  }
  return *text != '\0' && *pattern == *text && WildcardMatch(pattern + 1, text + 1);
}

}  // namespace

std::string SlotBaseName(const MakeOptions& options, int slot) {
  const std::string& own = options.slots[slot].imageName;
  return own.empty() ? DefaultImageName(slot, options.selectedProduct) : own;
}

bool BuildFileSystemImage(int fs, bool smallBlocks, const std::string& sourceFolder,
                          const std::string& imagePath, const MakeEnvironment& environment) {
  ::unlink(imagePath.c_str());
  struct stat st {};
  if (::stat(sourceFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    platform::DebugOutput("no source folder %s\n", sourceFolder.c_str());
    return false;
  }
  platform::MessageSink& sink = SinkOf(environment);
  switch (fs) {
    case products::kFsSquashfs:
      return fsimage::BuildSquashfsImage(sourceFolder, imagePath, smallBlocks, sink);
    case products::kFsJffs2:
      // The tool's own verdict is not reliable; an image that is not there
      // or empty is what tells.
      return fsimage::BuildJffs2Image(sourceFolder, imagePath, sink) == 1 &&
             platform::FileSize(imagePath) > 0;
    case products::kFsExt4:
      return false;
    default: {
      std::string why;
      if (fsimage::BuildCramfsImage(sourceFolder, imagePath, &why) == 0) return true;
      platform::DebugOutput("cramfs build failed: %s\n", why.c_str());
      return false;
    }
  }
}

bool ApplyIgnoreRule(const std::string& folder, const std::string& ignore, bool ownedByUs,
                     const std::string& stagingFolder, std::string* buildFolder) {
  *buildFolder = folder;
  if (ignore.empty()) return true;
  const std::size_t star = ignore.find('*');
  std::string target;  // file (no star) or sub-folder (star) to clear
  if (star == std::string::npos) {
    target = ignore;
  } else {
    if (star < 2) return true;  // nothing names a sub-folder
    target = ignore.substr(0, star - 1);
  }
  if (!IsContainedPath(target)) return true;
  const std::string path = platform::JoinPath(folder, target);
  const bool wouldDelete = star == std::string::npos
                               ? (platform::FileExists(path) && !platform::IsDirectory(path))
                               : (platform::IsDirectory(path) && TreeHasFiles(path));
  if (!wouldDelete) return true;

  std::string tree = folder;
  if (!ownedByUs) {
    // The operator's folder stays as it is; the copy loses the ignored files.
    const std::string staged = platform::JoinPath(stagingFolder, "staged");
    platform::RemoveTree(staged);
    if (!platform::MakeFolders(stagingFolder) || !CopyTree(folder, staged)) return false;
    tree = staged;
  }
  const std::string victim = platform::JoinPath(tree, target);
  if (star == std::string::npos)
    ::unlink(victim.c_str());
  else
    platform::DeleteFilesInTree(victim);
  *buildFolder = tree;
  return true;
}

std::string FindExistingImage(const std::string& workFolder, int slot, const std::string& baseName) {
  const std::size_t cut = baseName.find("-x");
  if (cut == std::string::npos) return "";
  const std::string stem = baseName.substr(0, cut + 2);
  const bool loose = slot == kSlotMtd || slot == kSlotUbootLogo || slot == kSlotRomfs2 ||
                     slot == kSlotParam;
  const std::string pattern = stem + (loose ? "*.img" : ".*.img");
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(workFolder, &entries)) return "";
  for (const platform::FolderEntry& e : entries) {
    if (e.isDirectory) continue;
    if (WildcardMatch(pattern.c_str(), e.name.c_str()) &&
        platform::IsRegularFile(platform::JoinPath(workFolder, e.name)))
      return e.name;
  }
  return "";
}

bool PrepareLogoFolder(const std::string& folder, const products::ProductProfile& product,
                       const std::string& stagingRoot, const MakeEnvironment& environment,
                       std::string* buildFolder) {
  *buildFolder = folder;
  if (product.logoWidth == 0 || product.logoHeight == 0) return true;
  const std::string staged = platform::JoinPath(stagingRoot, "logo");
  platform::RemoveTree(staged);
  if (!platform::MakeFolders(stagingRoot) || !CopyTree(folder, staged)) {
    ShowMessageKey(environment, "create_error");
    return false;
  }
  if (!ConvertLogo(staged + "/", product.logoWidth, product.logoHeight)) {
    ShowMessageKey(environment, kLogoConvertKey, "alarm_make");
    return false;
  }
  *buildFolder = staged;
  return true;
}

bool CopyTree(const std::string& source, const std::string& destination) {
  struct stat st {};
  if (::lstat(source.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    std::string target(PATH_MAX, '\0');
    ssize_t n = ::readlink(source.c_str(), target.data(), target.size());
    if (n < 0) return false;
    target.resize(static_cast<std::size_t>(n));
    return ::symlink(target.c_str(), destination.c_str()) == 0;
  }
  if (S_ISDIR(st.st_mode)) {
    if (!platform::MakeFolders(destination)) return false;
    std::vector<platform::FolderEntry> entries;
    if (!platform::ListFolder(source, &entries)) return false;
    for (const platform::FolderEntry& e : entries)
      if (!CopyTree(platform::JoinPath(source, e.name), platform::JoinPath(destination, e.name)))
        return false;
    return true;
  }
  if (!S_ISREG(st.st_mode)) return true;  // devices and pipes have no place in an image
  return platform::CopyFileReplacing(source, destination).ok;
}

}  // namespace package
