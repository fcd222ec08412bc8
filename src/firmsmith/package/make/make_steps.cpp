#include "firmsmith/package/make/make_steps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "common/platform/debuglog.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/cramfs_writer.h"
#include "firmsmith/fsimage/external_tools.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/fsimage/source_tree.h"
#include "firmsmith/fsimage/squashfs_manifest.h"
#include "common/platform/file_ops.h"
#include "common/platform/tree_ops.h"

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

// True when the open folder's tree holds anything but folders (a link
// counts: the ignore rule deletes it).
platform::Status TreeHasFiles(int folderFd, const std::string& shown, bool* has) {
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolderAt(folderFd, shown, &entries); !listed) return listed;
  for (const platform::FolderEntry& e : entries) {
    if (!e.isDirectory) {
      *has = true;
      return platform::Status::Ok();
    }
    platform::UniqueFd sub;
    bool found = false;
    const std::string child = platform::JoinPath(shown, e.name);
    if (platform::Status opened = platform::OpenFolderBelow(folderFd, shown, e.name, &sub, &found); !opened)
      return opened;
    if (!found) return platform::Status::Fail("cannot open folder " + child);
    if (platform::Status inner = TreeHasFiles(sub.get(), child, has); !inner || *has) return inner;
  }
  return platform::Status::Ok();
}

std::string ParentPart(const std::string& relative) {
  const std::size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

std::string LastPart(const std::string& relative) {
  const std::size_t slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

// Copies the open tree `fromFd` into the new folder `destination` (its
// parents made as needed), which gets the source root's mode.
platform::Status CopyTreeInto(int fromFd, const std::string& fromShown, const std::string& destination,
                              std::vector<platform::CopiedEntry>* copied,
                              std::vector<platform::SkippedSpecial>* skipped) {
  const std::string parent = platform::ParentFolder(destination);
  if (!parent.empty())
    if (platform::Status made = platform::MakeFolders(parent); !made) return made;
  if (::mkdir(destination.c_str(), 0700) != 0) return platform::FailErrno("cannot create folder " + destination);
  platform::UniqueFd to(platform::RetryOnInterrupt(
      [&] { return ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
  if (!to.valid()) return platform::FailErrno("cannot open folder " + destination);
  if (platform::Status done = platform::CopyTreeAt(fromFd, fromShown, to.get(), destination, copied, skipped); !done)
    return done;
  struct stat st {};
  if (::fstat(fromFd, &st) != 0) return platform::FailErrno("cannot examine " + fromShown);
  if (::fchmod(to.get(), (st.st_mode & 0777 & ~S_IWOTH) | S_IRWXU) != 0)
    return platform::FailErrno("cannot set the mode of " + destination);
  return platform::Status::Ok();
}

// The staged copy of an operator's folder: the special files the copy does
// not create, and every entry's mode and owner, go to the manifests beside
// it, so the image built from the copy is the one the folder itself gives.
platform::Status StageTree(int rootFd, const std::string& folder, const std::string& staged) {
  std::vector<platform::CopiedEntry> copied;
  std::vector<platform::SkippedSpecial> skipped;
  if (platform::Status done = CopyTreeInto(rootFd, folder, staged, &copied, &skipped); !done) return done;
  struct stat st {};
  if (::fstat(rootFd, &st) != 0) return platform::FailErrno("cannot examine " + folder);
  std::vector<fsimage::CramfsSpecialEntry> specials;
  fsimage::SquashfsManifest manifest;
  manifest.root.mode = st.st_mode & 07777;
  manifest.root.uid = st.st_uid;
  manifest.root.gid = st.st_gid;
  for (const platform::CopiedEntry& e : copied) {
    fsimage::SquashfsManifestEntry m;
    m.path = e.path;
    m.mode = e.mode & 07777;
    m.uid = e.uid;
    m.gid = e.gid;
    manifest.entries.push_back(m);
  }
  for (const platform::SkippedSpecial& e : skipped) {
    fsimage::SourceEntry special;
    special.path = e.path;
    special.type = fsimage::TypeOfMode(e.mode);
    special.mode = e.mode & 07777;
    special.uid = e.uid;
    special.gid = e.gid;
    special.major = major(static_cast<dev_t>(e.device));
    special.minor = minor(static_cast<dev_t>(e.device));
    specials.push_back(fsimage::SpecialEntryOf(special));
    manifest.entries.push_back(fsimage::SquashfsManifestEntryOf(special));
  }
  if (platform::Status written =
          platform::WriteFileAtomic(fsimage::CramfsManifestPath(staged), fsimage::FormatCramfsManifest(specials));
      !written)
    return written;
  return fsimage::WriteSquashfsManifest(fsimage::SquashfsManifestPath(staged), manifest);
}

// What the ignore rule deletes below the open tree `rootFd`, found without
// entering a link: *wouldDelete false when a link or a missing entry is on
// the way, or nothing is there to delete.
platform::Status FindIgnored(int rootFd, const std::string& shown, const std::string& target, bool star,
                             bool* wouldDelete) {
  *wouldDelete = false;
  platform::UniqueFd parent;
  bool found = false;
  if (platform::Status opened = platform::OpenFolderBelow(rootFd, shown, ParentPart(target), &parent, &found);
      !opened || !found)
    return opened;
  const std::string leaf = LastPart(target);
  if (!star) {
    struct stat st {};
    *wouldDelete = ::fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode);
    return platform::Status::Ok();
  }
  platform::UniqueFd victim;
  const std::string folderShown = platform::JoinPath(shown, ParentPart(target));
  if (platform::Status opened = platform::OpenFolderBelow(parent.get(), folderShown, leaf, &victim, &found);
      !opened || !found)
    return opened;
  return TreeHasFiles(victim.get(), platform::JoinPath(shown, target), wouldDelete);
}

// Deletes what FindIgnored found, below the open tree `rootFd`.
platform::Status DeleteIgnored(int rootFd, const std::string& shown, const std::string& target, bool star) {
  platform::UniqueFd parent;
  bool found = false;
  if (platform::Status opened = platform::OpenFolderBelow(rootFd, shown, ParentPart(target), &parent, &found);
      !opened || !found)
    return opened;
  const std::string leaf = LastPart(target);
  const std::string victim = platform::JoinPath(shown, target);
  if (!star) {
    struct stat st {};
    if (::fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
      return platform::Status::Ok();
    if (::unlinkat(parent.get(), leaf.c_str(), 0) != 0 && errno != ENOENT)
      return platform::FailErrno("cannot remove " + victim);
    return platform::Status::Ok();
  }
  platform::UniqueFd folder;
  if (platform::Status opened =
          platform::OpenFolderBelow(parent.get(), platform::JoinPath(shown, ParentPart(target)), leaf, &folder, &found);
      !opened || !found)
    return opened;
  return platform::DeleteFilesAt(folder.get(), victim);
}

}  // namespace

std::string ManifestBeside(int fs, const std::string& buildFolder) {
  // jffs2 takes the special files from the cramfs manifest, and its modes
  // and owners from the squashfs one when that is there as well.
  const std::string manifest = fs == products::kFsSquashfs ? fsimage::SquashfsManifestPath(buildFolder)
                                                          : fsimage::CramfsManifestPath(buildFolder);
  return platform::IsRegularFile(manifest) ? manifest : std::string();
}

std::string SlotBaseName(const MakeOptions& options, int slot) {
  const std::string& own = options.slots[slot].imageName;
  return own.empty() ? DefaultImageName(slot, options.selectedProduct) : own;
}

std::string BuiltImageName(const std::string& baseName, int fs) {
  return baseName.substr(0, baseName.find('.')) + "." + products::FsTypeName(fs);
}

platform::Status BuildFileSystemImage(int fs, bool smallBlocks, const std::string& sourceFolder,
                                      const std::string& imagePath,
                                      const MakeEnvironment& environment,
                                      const std::string& manifest, std::uint64_t imageOffset) {
  ::unlink(imagePath.c_str());
  if (imageOffset != 0 && !BuildsInProcess(fs))
    return platform::Status::Fail("cannot leave room for a header in front of " + imagePath);
  if (!platform::IsDirectory(sourceFolder))
    return platform::Status::Fail("no source folder " + sourceFolder);
  platform::MessageSink& sink = SinkOf(environment);
  switch (fs) {
    case products::kFsSquashfs: {
      platform::Status why;
      if (!fsimage::BuildSquashfsImage(sourceFolder, imagePath, smallBlocks, sink, &why, manifest))
        return why ? platform::Status::Fail("mksquashfs made no squashfs image " + imagePath) : why;
      return platform::Status::Ok();
    }
    case products::kFsJffs2: {
      // The builder checks the tool's status and the image it wrote.
      platform::Status why;
      const std::string attributes = fsimage::SquashfsManifestPath(sourceFolder);
      if (fsimage::BuildJffs2Image(sourceFolder, imagePath, sink, &why, manifest,
                                   !manifest.empty() && platform::IsRegularFile(attributes) ? attributes
                                                                                            : std::string()) != 1)
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
      options.manifestPath = manifest;
      options.imageOffset = imageOffset;
      if (fsimage::BuildCramfsImage(sourceFolder, imagePath, options, &why) == 0) return platform::Status::Ok();
      return platform::Status::Fail(why.empty() ? "cannot build " + imagePath : why);
    }
  }
}

bool BuildsInProcess(int fs) {
  // Every code the external tools do not build goes to the cramfs writer.
  return fs != products::kFsSquashfs && fs != products::kFsJffs2 && fs != products::kFsExt4;
}

std::uint64_t ImageSizeOf(const std::string& imagePath, bool headerRoom) {
  const std::uint64_t size = platform::FileSize(imagePath);
  if (!headerRoom) return size;
  return size > fsimage::IH_SIZE ? size - fsimage::IH_SIZE : 0;
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
  // Every step below is taken relative to the open tree and never enters a
  // link: a link on the ignore path (a package's or the operator's) leads
  // out of the tree, and nothing there is ours to delete.
  platform::UniqueFd root;
  if (platform::Status opened = platform::OpenTreeFolder(folder, &root); !opened) return opened;
  bool wouldDelete = false;
  if (platform::Status found = FindIgnored(root.get(), folder, target, star != std::string::npos, &wouldDelete);
      !found)
    return found;
  if (!wouldDelete) return platform::Status::Ok();

  std::string tree = folder;
  if (!ownedByUs) {
    // The operator's folder stays as it is; the copy loses the ignored files.
    const std::string staged = platform::JoinPath(stagingFolder, "staged");
    if (platform::Status s = platform::RemoveTree(staged); !s) return s;
    if (platform::Status s = platform::MakeFolders(stagingFolder); !s) return s;
    if (platform::Status s = StageTree(root.get(), folder, staged); !s) return s;
    tree = staged;
    if (platform::Status opened = platform::OpenTreeFolder(tree, &root); !opened) return opened;
  }
  if (platform::Status deleted = DeleteIgnored(root.get(), tree, target, star != std::string::npos); !deleted)
    return deleted;
  // The manifests beside the tree lose what went with the deleted files.
  if (platform::Status dropped = fsimage::DropCramfsManifestEntries(fsimage::CramfsManifestPath(tree), target);
      !dropped)
    return dropped;
  if (platform::Status dropped =
          fsimage::DropSquashfsManifestEntries(fsimage::SquashfsManifestPath(tree), tree, target);
      !dropped)
    return dropped;
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
                       std::string* buildFolder, const std::function<bool()>& beforeFailure) {
  *buildFolder = folder;
  if (product.logoWidth == 0 || product.logoHeight == 0) return true;
  const std::string staged = platform::JoinPath(stagingRoot, "logo");
  platform::RemoveTree(staged);
  platform::Status copied = platform::MakeFolders(stagingRoot);
  if (copied) copied = CopyTree(folder, staged);
  if (!copied) {
    if (!beforeFailure || beforeFailure()) ShowFailureKey(environment, "create_error", "", copied.message);
    return false;
  }
  // The copy holds the operator's files under their own names.
  if (std::string why; !ConvertLogo(staged + "/", product.logoWidth, product.logoHeight, &why)) {
    if (!beforeFailure || beforeFailure())
      ShowFailureKey(environment, kLogoConvertKey, "alarm_make", platform::JoinPath(folder, why));
    return false;
  }
  *buildFolder = staged;
  return true;
}

platform::Status CopyTree(const std::string& source, const std::string& destination) {
  platform::UniqueFd from;
  if (platform::Status opened = platform::OpenTreeFolder(source, &from); !opened) return opened;
  return CopyTreeInto(from.get(), source, destination, nullptr, nullptr);
}

}  // namespace package
