#include "firmsmith/fsimage/cramfs_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include <zlib.h>

#include "common/platform/debuglog.h"
#include "common/platform/fd.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/cramfs_data.h"
#include "firmsmith/fsimage/cramfs_format.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/cramfs_tree.h"

namespace fsimage {
namespace {

using namespace cramfs;

// The image file from its creation on; the image goes out in one write, at
// the offset the caller left room for.
class ImageFile {
 public:
  // Creating or truncating it never waits on a FIFO and refuses anything
  // but a regular file.
  platform::Status Create(const std::string& path) {
    std::string why;
    fd_ = platform::OpenRegular(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, &why);
    return fd_.valid() ? platform::Status::Ok() : platform::Status::Fail(why);
  }

  bool WriteAll(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    if (!platform::WriteFullAt(fd_.get(), data, size, static_cast<off_t>(offset))) {
      const int saved = errno;
      // A half image would look like a complete one to a careless reader.
      if (::ftruncate(fd_.get(), 0) != 0) {
      }
      errno = saved;
      return false;
    }
    return ::close(fd_.Release()) == 0;
  }

 private:
  platform::UniqueFd fd_;
};

void TraceInode(const CramfsEntry& e) {
  if (!platform::TraceEnabled()) return;
  char size[16];
  std::snprintf(size, sizeof size, "%9u", e.size);
  platform::TraceOutput("%c %04o %s %5u:%-3u %s\n", 'f', e.mode & 07777, size, e.uid, e.gid,
                        e.name.c_str());
}

class CramfsBuilder {
 public:
  CramfsBuilder(const std::string& source, const std::string& imagePath, const CramfsBuildOptions& options)
      : source_(source), imagePath_(imagePath), options_(options) {}

  int Run(std::string* why) {
    ImageFile out;
    if (platform::Status created = out.Create(imagePath_); !created) return Fail(why, created.message);
    std::vector<CramfsSpecialEntry> specials;
    if (!options_.manifestPath.empty()) {
      if (platform::Status read = ReadCramfsManifest(options_.manifestPath, &specials); !read)
        return Fail(why, read.message);
    }
    CramfsTree tree;
    std::string error;
    if (!ScanCramfsTree(source_, specials, &tree, &error)) return Fail(why, error);
    if (!image_.Allocate(tree.bufferSize))
      return Fail(why, "out of memory for an image of " + std::to_string(tree.bufferSize) + " bytes");
    std::fflush(stdout);
    if (!WriteDirectoryArea(tree.root, &error)) return Fail(why, error);
    CramfsDataWriter data(image_.data(), image_.size(), position_);
    if (!data.WriteFiles(tree.root, &error)) return Fail(why, error);
    if (!Finish(tree.root, data.end(), data.blocks(), &error)) return Fail(why, error);
    if (!out.WriteAll(image_.data(), imageSize_, options_.imageOffset))
      return Fail(why, platform::ErrnoReason("cannot write " + imagePath_));
    return 0;
  }

 private:
  int Fail(std::string* why, const std::string& message) {
    std::fflush(stdout);
    if (why) *why = message;
    return -1;
  }

  bool Put(const CramfsEntry& e, std::string* error) {
    const std::uint32_t padded = RoundUp(static_cast<std::uint32_t>(e.name.size()), kEntryAlignment);
    if (position_ + kInodeSize + padded > image_.size()) {
      *error = "directory area passes the end of the image buffer";
      return false;
    }
    Inode in;
    in.mode = e.mode;
    in.uid = e.uid;
    in.gid = e.gid;
    in.size = e.size;
    in.nameLength = padded;
    EncodeInode(in, image_.data() + position_);
    std::memcpy(image_.data() + position_ + kInodeSize, e.name.data(), e.name.size());
    position_ += static_cast<std::uint32_t>(kInodeSize) + padded;
    return true;
  }

  // The root's list at the end of the superblock, then every other list in
  // depth-first order: a folder's list, then those of its subfolders, then
  // those of its later siblings.
  bool WriteDirectoryArea(CramfsEntry& root, std::string* error) {
    position_ = kSuperblockSize;
    platform::TraceOutput("root:\n");
    std::vector<CramfsEntry*> stack;
    CramfsEntry* current = &root;
    for (;;) {
      std::vector<CramfsEntry*> noted;
      for (CramfsEntry& e : current->children) {
        e.inodeOffset = position_;
        if (!Put(e, error)) return false;
        TraceInode(e);
        ++inodes_;
        if (e.IsDirectory() && !e.children.empty()) noted.push_back(&e);
      }
      stack.insert(stack.end(), noted.rbegin(), noted.rend());
      if (stack.empty()) break;
      current = stack.back();
      stack.pop_back();
      if (position_ > kMaxOffset) {
        *error = "directory area too large for the image format";
        return false;
      }
      SetInodeOffset(image_.data() + current->inodeOffset, position_);
      platform::TraceOutput("%s:\n", current->name.c_str());
    }
    return true;
  }

  bool Finish(const CramfsEntry& root, std::uint32_t end, std::uint32_t blocks,
              std::string* error) {
    imageSize_ = RoundUp(end, kImageAlignment);
    if (imageSize_ > image_.size()) {
      *error = "image larger than the format can address";
      return false;
    }
    std::uint8_t* sb = image_.data();
    PutLe32(sb + kSuperMagic, kMagic);
    PutLe32(sb + kSuperSize, imageSize_);
    PutLe32(sb + kSuperFlags, kFlagsWritten);
    PutLe32(sb + kSuperFuture, 0);
    std::memcpy(sb + kSuperSignature, kSignature, kSignatureLength);
    PutLe32(sb + kSuperCrc, 0);
    PutLe32(sb + kSuperEdition, 0);
    PutLe32(sb + kSuperBlocks, blocks);
    PutLe32(sb + kSuperFiles, 1 + inodes_);
    std::memcpy(sb + kSuperName, kVolumeName, sizeof kVolumeName - 1);
    Inode rootInode;
    rootInode.mode = root.mode;
    rootInode.size = root.size;
    // The root list always starts right behind the superblock, even when empty.
    rootInode.offset = kSuperblockSize;
    EncodeInode(rootInode, sb + kSuperRoot);
    const uLong crc = ::crc32_z(::crc32(0, nullptr, 0), sb, imageSize_);
    PutLe32(sb + kSuperCrc, static_cast<std::uint32_t>(crc));
    return true;
  }

  const std::string source_;
  const std::string imagePath_;
  const CramfsBuildOptions options_;
  ImageBuffer image_;
  std::uint32_t position_ = 0;
  std::uint32_t inodes_ = 0;
  std::uint32_t imageSize_ = 0;
};

}  // namespace

int BuildCramfsImage(const std::string& sourceFolder, const std::string& imagePath,
                     std::string* why) {
  return BuildCramfsImage(sourceFolder, imagePath, CramfsBuildOptions{}, why);
}

int BuildCramfsImage(const std::string& sourceFolder, const std::string& imagePath,
                     const CramfsBuildOptions& options, std::string* why) {
  int result = -1;
  try {
    CramfsBuilder builder(sourceFolder, imagePath, options);
    result = builder.Run(why);
  } catch (const std::exception& e) {
    // Out of memory or threads: nothing of it leaves this component.
    if (why) *why = std::string("cannot build ") + imagePath + ": " + e.what();
  }
  std::fflush(stdout);
  return result;
}

}  // namespace fsimage
