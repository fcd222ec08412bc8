#include "firmsmith/fsimage/cramfs_tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/platform/files.h"
#include "firmsmith/fsimage/cramfs_format.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/cramfs_writer.h"

namespace fsimage {
namespace {

using namespace cramfs;

// Longer names cannot come from the workstation's file systems anyway.
constexpr std::size_t kMaxSourceNameLength = 255;
constexpr std::uint32_t kAllPermissions = 0777;
constexpr std::uint32_t kReadOnlyRootPermissions = 0555;
// Longer link targets cannot be made on the workstation or the device.
constexpr std::size_t kMaxLinkTarget = 4095;

std::uint32_t EntryBytes(const std::string& storedName) {
  return static_cast<std::uint32_t>(kInodeSize) +
         RoundUp(static_cast<std::uint32_t>(storedName.size()), kEntryAlignment);
}

// Worst case of a stored file: per block its pointer and a zlib stream that
// grew a little, plus the padding behind the last block.
std::uint64_t FileBound(std::uint32_t length) {
  return 30 * std::uint64_t{BlockCount(length)} + length + 3;
}

bool IsSkipped(const std::string& name) { return name == "Thumbs.db" || name == ".svn"; }

class TreeScanner {
 public:
  explicit TreeScanner(std::string* error) : error_(error) {}

  bool ScanRoot(const std::string& source, CramfsEntry* root) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) return Fail(platform::ErrnoReason("cannot read source folder " + source));
    if (!S_ISDIR(st.st_mode)) return Fail("source folder " + source + " is not a folder");
    root->mode = kModeDirectory | ((st.st_mode & S_IWUSR) ? kAllPermissions : kReadOnlyRootPermissions);
    return ScanFolder(source, st, root);
  }

  std::uint64_t bound() const { return bound_; }

 private:
  bool Fail(const std::string& message) {
    *error_ = message;
    return false;
  }

  bool ScanFolder(const std::string& folder, const struct stat& folderStat, CramfsEntry* dir) {
    // Links are never followed, but a bind mount can still bring a folder
    // back into its own tree.
    const std::pair<dev_t, ino_t> id{folderStat.st_dev, folderStat.st_ino};
    if (std::find(ancestors_.begin(), ancestors_.end(), id) != ancestors_.end())
      return Fail("folder loop at " + folder);
    ancestors_.push_back(id);
    std::vector<platform::FolderEntry> list;
    if (platform::Status listed = platform::ListFolder(folder, &list); !listed)
      return Fail(listed.message);
    std::uint64_t listBytes = 0;
    for (const platform::FolderEntry& item : list) {
      if (IsSkipped(item.name)) continue;
      const std::string path = platform::JoinPath(folder, item.name);
      CramfsEntry child;
      if (!CramfsStoredName(item.name, &child.name))
        return Fail("name cannot be stored (over 255 bytes or no clean UTF-8 cut): " + path);
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0) return Fail(platform::ErrnoReason("cannot examine " + path));
      bound_ += EntryBytes(child.name);
      listBytes += EntryBytes(child.name);
      if (S_ISDIR(st.st_mode)) {
        child.mode = kModeDirectory | kAllPermissions;
        if (!ScanFolder(path, st, &child)) return false;
      } else if (!ScanLeaf(path, st, &child)) {
        return false;
      }
      dir->children.push_back(std::move(child));
    }
    // The size field would wrap and the device would read a cut list.
    if (listBytes > kMaxFileSize) return Fail("folder " + folder + " holds too many entries");
    dir->size = static_cast<std::uint32_t>(listBytes);
    ancestors_.pop_back();
    return true;
  }

  // Everything but a folder, stored as what it is: a link keeps its target
  // (never followed, so nothing outside the tree enters the image), a device
  // its number, a FIFO or socket just its type.
  bool ScanLeaf(const std::string& path, const struct stat& st, CramfsEntry* child) {
    if (S_ISREG(st.st_mode)) {
      child->mode = kModeRegular | kAllPermissions;
      const auto length = static_cast<std::uint64_t>(st.st_size);
      child->size = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, kMaxFileSize));
      if (child->size > 0) {
        child->path = path;
        bound_ += FileBound(child->size);
      }
    } else if (S_ISLNK(st.st_mode)) {
      child->mode = kModeSymlink | kAllPermissions;
      std::string target(kMaxLinkTarget + 1, '\0');
      const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
      if (n < 0) return Fail(platform::ErrnoReason("cannot read link " + path));
      if (n == 0 || static_cast<std::size_t>(n) > kMaxLinkTarget)
        return Fail("link " + path + " has an empty or overlong target");
      target.resize(static_cast<std::size_t>(n));
      child->size = static_cast<std::uint32_t>(n);
      child->path = path;
      child->linkTarget = std::move(target);
      bound_ += FileBound(child->size);
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
      child->mode = (S_ISCHR(st.st_mode) ? kModeCharDevice : kModeBlockDevice) | kAllPermissions;
      if (!DeviceSize(path, major(st.st_rdev), minor(st.st_rdev), &child->size)) return false;
    } else if (S_ISFIFO(st.st_mode)) {
      child->mode = kModeFifo | kAllPermissions;
    } else if (S_ISSOCK(st.st_mode)) {
      child->mode = kModeSocket | kAllPermissions;
    } else {
      return Fail(path + ": entry of an unknown type");
    }
    return true;
  }

  bool DeviceSize(const std::string& path, std::uint32_t major, std::uint32_t minor, std::uint32_t* size) {
    if (major > kMaxDeviceMajor || minor > kMaxDeviceMinor)
      return Fail("device " + path + " (" + std::to_string(major) + ":" + std::to_string(minor) +
                  ") has a number a cramfs image cannot hold");
    *size = EncodeDevice(major, minor);
    return true;
  }

 public:
  // Puts a manifest's entry into the scanned tree: its folder must be there,
  // its name must not.
  bool AddSpecial(const CramfsSpecialEntry& special, CramfsEntry* root) {
    const std::string shown = "manifest entry " + special.path;
    CramfsEntry* dir = root;
    std::size_t start = 0;
    for (;;) {
      const std::size_t slash = special.path.find('/', start);
      std::string stored;
      if (!CramfsStoredName(special.path.substr(start, slash - start), &stored))
        return Fail(shown + ": name cannot be stored");
      auto at = std::lower_bound(dir->children.begin(), dir->children.end(), stored,
                                 [](const CramfsEntry& e, const std::string& n) { return e.name < n; });
      const bool found = at != dir->children.end() && at->name == stored;
      if (slash != std::string::npos) {
        if (!found || !at->IsDirectory()) return Fail(shown + ": its folder is not in the source tree");
        dir = &*at;
        start = slash + 1;
        continue;
      }
      if (found) return Fail(shown + ": the source tree already holds an entry of that name");
      CramfsEntry e;
      e.name = stored;
      e.mode = CramfsSpecialTypeBits(special.type) | kAllPermissions;
      if ((special.type == 'c' || special.type == 'b') &&
          !DeviceSize(special.path, special.major, special.minor, &e.size))
        return false;
      const std::uint64_t listBytes = std::uint64_t{dir->size} + EntryBytes(stored);
      if (listBytes > kMaxFileSize) return Fail(shown + ": its folder holds too many entries");
      dir->size = static_cast<std::uint32_t>(listBytes);
      bound_ += EntryBytes(stored);
      dir->children.insert(at, std::move(e));
      return true;
    }
  }

 private:
  std::string* error_;
  std::uint64_t bound_ = kSuperblockSize;
  std::vector<std::pair<dev_t, ino_t>> ancestors_;
};

}  // namespace

bool CramfsEntry::IsDirectory() const { return (mode & kModeTypeMask) == kModeDirectory; }
bool CramfsEntry::IsLink() const { return (mode & kModeTypeMask) == kModeSymlink; }
bool CramfsEntry::HasData() const {
  return size > 0 && ((mode & kModeTypeMask) == kModeRegular || IsLink());
}

bool CramfsStoredName(const std::string& name, std::string* stored) {
  if (name.size() > kMaxSourceNameLength) return false;
  if (name.size() <= kMaxStoredNameLength) {
    *stored = name;
    return true;
  }
  std::size_t cut = kMaxStoredNameLength;
  bool moved = false;
  // Step back over continuation bytes (10xxxxxx) to the start of the character.
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
    --cut;
    moved = true;
  }
  if (cut == 0 || (moved && static_cast<unsigned char>(name[cut]) < 0x80)) return false;
  *stored = name.substr(0, cut);
  return true;
}

bool ScanCramfsTree(const std::string& source, const std::vector<CramfsSpecialEntry>& specials,
                    CramfsTree* tree, std::string* error) {
  TreeScanner scanner(error);
  if (!scanner.ScanRoot(source, &tree->root)) return false;
  for (const CramfsSpecialEntry& special : specials)
    if (!scanner.AddSpecial(special, &tree->root)) return false;
  const std::uint64_t rounded = (scanner.bound() + kImageAlignment - 1) / kImageAlignment * kImageAlignment;
  tree->bufferSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(rounded, kMaxImageSize));
  return true;
}

}  // namespace fsimage
