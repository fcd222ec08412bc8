#include "firmsmith/package/make/make_steps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "common/platform/debuglog.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
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

}  // namespace

std::string SlotBaseName(const MakeOptions& options, int slot) {
  const std::string& own = options.slots[slot].imageName;
  return own.empty() ? DefaultImageName(slot, options.selectedProduct) : own;
}

platform::Status BuildFileSystemImage(int fs, bool smallBlocks, const std::string& sourceFolder,
                                      const std::string& imagePath,
                                      const MakeEnvironment& environment,
                                      const std::string& cramfsManifest) {
  ::unlink(imagePath.c_str());
  if (!platform::IsDirectory(sourceFolder))
    return platform::Status::Fail("no source folder " + sourceFolder);
  platform::MessageSink& sink = SinkOf(environment);
  // "web-x.cramfs" is shown as the partition it builds, "web-x".
  const std::string imageName = platform::BaseName(imagePath);
  ReportStep(environment, MakeStep::kBuilding, imageName.substr(0, imageName.find('.')),
             products::FsTypeName(fs));
  switch (fs) {
    case products::kFsSquashfs: {
      platform::Status why;
      if (!fsimage::BuildSquashfsImage(sourceFolder, imagePath, smallBlocks, sink, &why))
        return why ? platform::Status::Fail("mksquashfs made no squashfs image " + imagePath) : why;
      return platform::Status::Ok();
    }
    case products::kFsJffs2: {
      // The builder checks the tool's status and the image it wrote.
      platform::Status why;
      if (fsimage::BuildJffs2Image(sourceFolder, imagePath, sink, &why) != 1)
        return why ? platform::Status::Fail("mkfs.jffs2 made no sound image " + imagePath) : why;
      if (platform::FileSize(imagePath) == 0)
        return platform::Status::Fail("mkfs.jffs2 made no image " + imagePath);
      return platform::Status::Ok();
    }
    case products::kFsExt4:
      return platform::Status::Fail("ext4 images cannot be built: " + imagePath);
    default: {
      std::string why;
      fsimage::CramfsBuildOptions options;
      options.manifestPath = cramfsManifest;
      if (fsimage::BuildCramfsImage(sourceFolder, imagePath, options, &why) == 0) return platform::Status::Ok();
      return platform::Status::Fail(why.empty() ? "cannot build " + imagePath : why);
    }
  }
}

platform::Status ApplyIgnoreRule(const std::string& folder, const std::string& ignore,
                                 bool ownedByUs, const std::string& stagingFolder,
                                 std::string* buildFolder) {
  *buildFolder = folder;
  if (ignore.empty()) return platform::Status::Ok();
  const std::size_t star = ignore.find('*');
  std::string target;  // file (no star) or sub-folder (star) to clear
  if (star == std::string::npos) {
    target = ignore;
  } else {
    if (star < 2) return platform::Status::Ok();  // nothing names a sub-folder
    target = ignore.substr(0, star - 1);
  }
  if (!IsContainedPath(target)) return platform::Status::Ok();
  if (ownedByUs) {
    if (platform::Status dropped = fsimage::DropCramfsManifestEntries(fsimage::CramfsManifestPath(folder), target);
        !dropped)
      return dropped;
  }
  const std::string path = platform::JoinPath(folder, target);
  const bool wouldDelete = star == std::string::npos
                               ? (platform::FileExists(path) && !platform::IsDirectory(path))
                               : (platform::IsDirectory(path) && TreeHasFiles(path));
  if (!wouldDelete) return platform::Status::Ok();

  std::string tree = folder;
  if (!ownedByUs) {
    // The operator's folder stays as it is; the copy loses the ignored files.
    const std::string staged = platform::JoinPath(stagingFolder, "staged");
    if (platform::Status s = platform::RemoveTree(staged); !s) return s;
    if (platform::Status s = platform::MakeFolders(stagingFolder); !s) return s;
    if (platform::Status s = CopyTree(folder, staged); !s) return s;
    tree = staged;
  }
  const std::string victim = platform::JoinPath(tree, target);
  if (star == std::string::npos) {
    if (::unlink(victim.c_str()) != 0 && errno != ENOENT)
      return platform::FailErrno("cannot remove " + victim);
  } else if (platform::Status s = platform::DeleteFilesInTree(victim); !s) {
    return s;
  }
  *buildFolder = tree;
  return platform::Status::Ok();
}

std::string FindExistingImage(const std::string& workFolder, int slot, const std::string& baseName) {
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(workFolder, &entries)) return "";
  for (const platform::FolderEntry& e : entries) {
    if (e.isDirectory) continue;
    if (IsImageOfSlot(slot, baseName, e.name) &&
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
  platform::Status copied = platform::MakeFolders(stagingRoot);
  if (copied) copied = CopyTree(folder, staged);
  if (!copied) {
    ShowFailureKey(environment, "create_error", "", copied.message);
    return false;
  }
  if (!ConvertLogo(staged + "/", product.logoWidth, product.logoHeight)) {
    ShowMessageKey(environment, kLogoConvertKey, "alarm_make");
    return false;
  }
  *buildFolder = staged;
  return true;
}

platform::Status CopyTree(const std::string& source, const std::string& destination) {
  struct stat st {};
  if (::lstat(source.c_str(), &st) != 0) return platform::FailErrno("cannot examine " + source);
  if (S_ISLNK(st.st_mode)) {
    std::string target(PATH_MAX, '\0');
    ssize_t n = ::readlink(source.c_str(), target.data(), target.size());
    if (n < 0) return platform::FailErrno("cannot read link " + source);
    target.resize(static_cast<std::size_t>(n));
    if (::symlink(target.c_str(), destination.c_str()) != 0)
      return platform::FailErrno("cannot create link " + destination);
    return platform::Status::Ok();
  }
  if (S_ISDIR(st.st_mode)) {
    if (platform::Status s = platform::MakeFolders(destination); !s) return s;
    std::vector<platform::FolderEntry> entries;
    if (platform::Status s = platform::ListFolder(source, &entries); !s) return s;
    for (const platform::FolderEntry& e : entries)
      if (platform::Status s =
              CopyTree(platform::JoinPath(source, e.name), platform::JoinPath(destination, e.name));
          !s)
        return s;
    return platform::Status::Ok();
  }
  if (!S_ISREG(st.st_mode)) return platform::Status::Ok();  // devices and pipes have no place in an image
  return platform::CopyFileReplacing(source, destination);
}

}  // namespace package
