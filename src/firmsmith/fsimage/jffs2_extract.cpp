#include "firmsmith/fsimage/jffs2_extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "common/platform/fd.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/jffs2_reader.h"

namespace fsimage {
namespace {

// What we make gets the image's permission bits without set-id, sticky and
// world-write, as the cramfs extractor does.
constexpr std::uint32_t kCreatedPermissions = 0775;

struct ReadImage {
  std::vector<std::uint8_t> bytes;
  Jffs2Nodes nodes;
  std::vector<SourceEntry> entries;
  std::vector<std::uint32_t> inos;
};

// A device node's number is its inode's data: two bytes of the old 8:8
// form, or four of the kernel's "new" encoding, in the image's byte order.
bool DeviceNumber(const ReadImage& image, const Jffs2InodeNode& node, SourceEntry* e) {
  // The size is checked first: the data is read whole into memory.
  std::string data;
  if ((node.dataSize != 2 && node.dataSize != 4) || !Jffs2NodeData(image.bytes, node, &data) ||
      data.size() != node.dataSize)
    return false;
  std::uint32_t value = 0;
  const bool little = image.nodes.order == Jffs2ByteOrder::kLittle;
  for (std::size_t i = 0; i < data.size(); ++i)
    value = (value << 8) | static_cast<std::uint8_t>(data[little ? data.size() - 1 - i : i]);
  if (data.size() == 2) {
    e->major = value >> 8;
    e->minor = value & 0xFF;
  } else {
    e->major = (value & 0xFFF00) >> 8;
    e->minor = (value & 0xFF) | ((value >> 12) & 0xFFF00);
  }
  return true;
}

// With `checked`, what CheckJffs2Image would say of the image: the same
// read, node walk and tree, without the device numbers.
platform::Status Read(const std::string& imagePath, ReadImage* image, platform::Status* checked = nullptr) {
  platform::Status status = platform::ReadFileBytes(imagePath, &image->bytes);
  if (status) status = ReadJffs2Nodes(image->bytes, imagePath, &image->nodes);
  if (status) status = BuildJffs2Tree(image->bytes, image->nodes, imagePath, &image->entries, &image->inos);
  if (checked) *checked = status;
  if (!status) return status;
  std::map<std::uint32_t, const Jffs2InodeNode*> latest;
  for (const Jffs2InodeNode& n : image->nodes.inodes) {
    const Jffs2InodeNode*& slot = latest[n.ino];
    if (slot == nullptr || n.version >= slot->version) slot = &n;
  }
  for (std::size_t i = 0; i < image->entries.size(); ++i) {
    SourceEntry& e = image->entries[i];
    if (e.type != kTypeCharDevice && e.type != kTypeBlockDevice) continue;
    if (!DeviceNumber(*image, *latest[image->inos[i]], &e))
      return platform::Status::Fail(imagePath + ": " + e.path + ": device node without its number");
  }
  return platform::Status::Ok();
}

// Opens the folder `relative` (a "/"-joined path of folders made earlier)
// below `rootFd`, one component at a time and never through a link.
platform::UniqueFd OpenFolderBelow(int rootFd, const std::string& relative) {
  platform::UniqueFd current(::dup(rootFd));
  std::size_t begin = 0;
  while (current.valid() && begin < relative.size()) {
    std::size_t slash = relative.find('/', begin);
    if (slash == std::string::npos) slash = relative.size();
    const std::string part = relative.substr(begin, slash - begin);
    begin = slash + 1;
    current = platform::UniqueFd(
        ::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return current;
}

class Jffs2Unpacker {
 public:
  Jffs2Unpacker(const std::string& imagePath, const std::string& destination, const Jffs2ExtractOptions& options,
                const ReadImage& image)
      : imagePath_(imagePath), destination_(destination), options_(options), image_(image) {
    for (const Jffs2InodeNode& n : image.nodes.inodes) byIno_[n.ino].push_back(&n);
    // Later versions overwrite earlier ones where their stretches meet.
    for (auto& [ino, list] : byIno_)
      std::stable_sort(list.begin(), list.end(),
                       [](const Jffs2InodeNode* a, const Jffs2InodeNode* b) { return a->version < b->version; });
  }

  platform::Status Run(int rootFd) {
    for (std::size_t i = 0; i < image_.entries.size(); ++i) {
      const SourceEntry& e = image_.entries[i];
      const std::size_t slash = e.path.rfind('/');
      const std::string parent = slash == std::string::npos ? std::string() : e.path.substr(0, slash);
      const std::string name = slash == std::string::npos ? e.path : e.path.substr(slash + 1);
      platform::UniqueFd folder = OpenFolderBelow(rootFd, parent);
      if (!folder.valid()) return platform::FailErrno("cannot open folder " + platform::JoinPath(destination_, parent));
      if (platform::Status made = Make(folder.get(), name, e); !made) return made;
    }
    if (skipped_.empty()) return platform::Status::Ok();
    const std::string manifest =
        options_.manifestPath.empty() ? CramfsManifestPath(destination_) : options_.manifestPath;
    return WriteSkippedSpecials(manifest, skipped_);
  }

 private:
  platform::Status Make(int folderFd, const std::string& name, const SourceEntry& e) {
    const std::string shown = platform::JoinPath(destination_, e.path);
    const mode_t permissions = static_cast<mode_t>(e.mode & kCreatedPermissions);
    switch (e.type) {
      case kTypeFolder:
        // Made writable for us first, so that its contents can follow.
        if (::mkdirat(folderFd, name.c_str(), permissions | S_IRWXU) != 0)
          return platform::FailErrno("cannot create folder " + shown);
        return platform::Status::Ok();
      case kTypeLink:
        if (::symlinkat(e.linkTarget.c_str(), folderFd, name.c_str()) != 0)
          return platform::FailErrno("cannot create link " + shown);
        return platform::Status::Ok();
      case kTypeFile:
        return WriteFile(folderFd, name, shown, e, permissions);
      default:
        return MakeSpecial(folderFd, name, shown, e);
    }
  }

  platform::Status WriteFile(int folderFd, const std::string& name, const std::string& shown, const SourceEntry& e,
                             mode_t permissions) {
    platform::UniqueFd out(
        ::openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, permissions));
    if (!out.valid()) return platform::FailErrno("cannot create " + shown);
    std::string data;
    for (const Jffs2InodeNode* n : byIno_[InoOf(e)]) {
      if (n->dataSize == 0) continue;
      // A stretch beyond the file's final size would write past what the
      // budget counted.
      if (n->dataOffset > e.size || n->dataSize > e.size - n->dataOffset)
        return platform::Status::Fail(imagePath_ + ": " + e.path + ": a data node runs past the file's size");
      if (!Jffs2NodeData(image_.bytes, *n, &data))
        return platform::Status::Fail(imagePath_ + ": " + e.path + ": data of the node at offset " +
                                      std::to_string(n->nodeOffset) + " cannot be unpacked");
      std::size_t done = 0;
      while (done < data.size()) {
        const ssize_t w = platform::RetryOnInterrupt([&] {
          return ::pwrite(out.get(), data.data() + done, data.size() - done, static_cast<off_t>(n->dataOffset + done));
        });
        if (w <= 0) return platform::FailErrno("cannot write " + shown, w == 0 ? EIO : errno);
        done += static_cast<std::size_t>(w);
      }
    }
    if (::ftruncate(out.get(), static_cast<off_t>(e.size)) != 0) return platform::FailErrno("cannot write " + shown);
    if (::close(out.Release()) != 0) return platform::FailErrno("cannot write " + shown);
    return platform::Status::Ok();
  }

  platform::Status MakeSpecial(int folderFd, const std::string& name, const std::string& shown,
                               const SourceEntry& e) {
    const bool device = e.type == kTypeCharDevice || e.type == kTypeBlockDevice;
    const std::uint32_t typeBits = CramfsSpecialTypeBits(e.type);
    if (options_.createSpecialFiles) {
      if (::mknodat(folderFd, name.c_str(), static_cast<mode_t>(typeBits | (e.mode & kCreatedPermissions)),
                    device ? makedev(e.major, e.minor) : 0) == 0)
        return platform::Status::Ok();
      if (errno != EPERM) return platform::FailErrno("cannot create " + shown);
    }
    skipped_.push_back(SpecialEntryOf(e));
    return platform::Status::Ok();
  }

  std::uint32_t InoOf(const SourceEntry& e) const {
    return image_.inos[static_cast<std::size_t>(&e - image_.entries.data())];
  }

  const std::string imagePath_;
  const std::string destination_;
  const Jffs2ExtractOptions options_;
  const ReadImage& image_;
  std::map<std::uint32_t, std::vector<const Jffs2InodeNode*>> byIno_;
  std::vector<CramfsSpecialEntry> skipped_;
};

}  // namespace

platform::Status ListJffs2Image(const std::string& imagePath, std::vector<SourceEntry>* entries,
                                platform::Status* checked) {
  ReadImage image;
  if (platform::Status read = Read(imagePath, &image, checked); !read) return read;
  *entries = std::move(image.entries);
  return platform::Status::Ok();
}

platform::Status ExtractJffs2Image(const std::string& imagePath, const std::string& destination,
                                   const Jffs2ExtractOptions& options) {
  ReadImage image;
  if (platform::Status read = Read(imagePath, &image); !read) return read;
  std::uint64_t total = 0;
  for (const SourceEntry& e : image.entries) {
    if (e.type != kTypeFile) continue;
    total += e.size;
    if (total > options.budget) return platform::Status::Fail(OverBudgetMessage(imagePath, options.budget));
  }
  if (::mkdir(destination.c_str(), 0775) != 0) return platform::FailErrno("cannot create folder " + destination);
  platform::UniqueFd root(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  platform::Status status = root.valid() ? Jffs2Unpacker(imagePath, destination, options, image).Run(root.get())
                                         : platform::FailErrno("cannot open folder " + destination);
  // Half a tree must never pass for the image's.
  if (!status) platform::RemoveTree(destination);
  return status;
}

}  // namespace fsimage
