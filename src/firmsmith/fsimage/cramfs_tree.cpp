#include "firmsmith/fsimage/cramfs_tree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/platform/files.h"
#include "firmsmith/fsimage/cramfs_format.h"
#include "firmsmith/fsimage/cramfs_writer.h"

namespace fsimage {
namespace {

using namespace cramfs;

// Longer names cannot come from the workstation's file systems anyway.
constexpr std::size_t kMaxSourceNameLength = 255;
constexpr std::uint32_t kAllPermissions = 0777;
constexpr std::uint32_t kReadOnlyRootPermissions = 0555;

std::uint32_t EntryBytes(const std::string& storedName) {
  return static_cast<std::uint32_t>(kInodeSize) +
         RoundUp(static_cast<std::uint32_t>(storedName.size()), kEntryAlignment);
}

// Worst case of a stored file: per block its pointer and a zlib stream that
// grew a little, plus the padding behind the last block.
std::uint64_t FileBound(std::uint32_t length) {
  const std::uint64_t blocks = (std::uint64_t{length} + kBlockSize - 1) / kBlockSize;
  return 30 * blocks + length + 3;
}

bool IsSkipped(const std::string& name) { return name == "Thumbs.db" || name == ".svn"; }

class TreeScanner {
 public:
  explicit TreeScanner(std::string* error) : error_(error) {}

  bool ScanRoot(const std::string& source, CramfsEntry* root) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return Fail("source folder " + source + " is missing or not a folder");
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
    const std::pair<dev_t, ino_t> id{folderStat.st_dev, folderStat.st_ino};
    if (std::find(ancestors_.begin(), ancestors_.end(), id) != ancestors_.end())
      return Fail("folder loop through a symbolic link at " + folder);
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
      if (::stat(path.c_str(), &st) != 0)
        return Fail("cannot examine " + path + ": " + std::strerror(errno));
      bound_ += EntryBytes(child.name);
      listBytes += EntryBytes(child.name);
      if (S_ISDIR(st.st_mode)) {
        child.mode = kModeDirectory | kAllPermissions;
        if (!ScanFolder(path, st, &child)) return false;
      } else {
        child.mode = kModeRegular | kAllPermissions;
        const std::uint64_t length = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
        child.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, kMaxFileSize));
        if (child.size > 0) {
          child.path = path;
          bound_ += FileBound(child.size);
        }
      }
      dir->children.push_back(std::move(child));
    }
    // The size field would wrap and the device would read a cut list.
    if (listBytes > kMaxFileSize) return Fail("folder " + folder + " holds too many entries");
    dir->size = static_cast<std::uint32_t>(listBytes);
    ancestors_.pop_back();
    return true;
  }

  std::string* error_;
  std::uint64_t bound_ = kSuperblockSize;
  std::vector<std::pair<dev_t, ino_t>> ancestors_;
};

}  // namespace

bool CramfsEntry::IsDirectory() const { return (mode & kModeTypeMask) == kModeDirectory; }

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

bool ScanCramfsTree(const std::string& source, CramfsTree* tree, std::string* error) {
  TreeScanner scanner(error);
  if (!scanner.ScanRoot(source, &tree->root)) return false;
  const std::uint64_t rounded = (scanner.bound() + kImageAlignment - 1) / kImageAlignment * kImageAlignment;
  tree->bufferSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(rounded, kMaxImageSize));
  return true;
}

}  // namespace fsimage
