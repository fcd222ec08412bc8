#include "firmsmith/fsimage/cramfs_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <unordered_set>
#include <vector>

#include <zlib.h>

#include "firmsmith/fsimage/cramfs_format.h"

namespace fsimage {
namespace {

using namespace cramfs;

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
// Nesting deeper than this is no tree a device holds; it bounds the stack and
// the folder handles an image can make us keep open.
constexpr int kMaxDepth = 256;
constexpr std::size_t kWindowStep = 8192;
constexpr std::size_t kWindowSize = 2 * kWindowStep;
constexpr std::size_t kFileBufferSize = 64 * 1024;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The image seen through one 16 KiB window. A read at X uses the window at X
// rounded down to 8 KiB, so anything up to 8 KiB long (an inode with its name,
// a compressed block) is always inside it.
class ImageWindow {
 public:
  ImageWindow(int fd, std::uint64_t fileLength) : fd_(fd), fileLength_(fileLength) {}

  // `length` bytes at `offset`, or nullptr when they are not in the file.
  const std::uint8_t* At(std::uint64_t offset, std::size_t length) {
    if (length > kWindowStep || offset > fileLength_ || length > fileLength_ - offset) return nullptr;
    const std::uint64_t step = offset / kWindowStep;
    if (step != step_ && !Load(step)) return nullptr;
    return buffer_ + (offset - step * kWindowStep);
  }

 private:
  bool Load(std::uint64_t step) {
    const std::uint64_t base = step * kWindowStep;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kWindowSize, fileLength_ - base));
    std::size_t have = 0;
    // Walking forward keeps the upper half: only the new 8 KiB are read.
    if (step_ != kNone && step == step_ + 1 && valid_ > kWindowStep) {
      have = valid_ - kWindowStep;
      std::memmove(buffer_, buffer_ + kWindowStep, have);
    }
    step_ = kNone;
    while (have < want) {
      ssize_t n = ::pread(fd_, buffer_ + have, want - have, static_cast<off_t>(base + have));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      have += static_cast<std::size_t>(n);
    }
    step_ = step;
    valid_ = have;
    return true;
  }

  int fd_;
  std::uint64_t fileLength_;
  std::uint64_t step_ = kNone;
  std::size_t valid_ = 0;
  std::uint8_t buffer_[kWindowSize];
};

// One inflate state for the whole extraction, reset for every block.
class BlockInflater {
 public:
  BlockInflater() { ready_ = ::inflateInit(&stream_) == Z_OK; }
  ~BlockInflater() {
    if (ready_) ::inflateEnd(&stream_);
  }
  BlockInflater(const BlockInflater&) = delete;
  BlockInflater& operator=(const BlockInflater&) = delete;
  bool ready() const { return ready_; }

  // Inflates one complete zlib stream into at most kMaxCompressedBlock bytes;
  // returns the length, or -1 when the stream is damaged or longer.
  long Inflate(const std::uint8_t* in, std::size_t length) {
    if (::inflateReset(&stream_) != Z_OK) return -1;
    stream_.next_in = const_cast<Bytef*>(in);
    stream_.avail_in = static_cast<uInt>(length);
    stream_.next_out = out_;
    stream_.avail_out = sizeof out_;
    if (::inflate(&stream_, Z_FINISH) != Z_STREAM_END) return -1;
    return static_cast<long>(sizeof out_ - stream_.avail_out);
  }
  const std::uint8_t* output() const { return out_; }

 private:
  z_stream stream_{};
  bool ready_ = false;
  std::uint8_t out_[kMaxCompressedBlock];
};

// Collects a file's blocks and writes them in large pieces.
class FileWriter {
 public:
  explicit FileWriter(int fd) : fd_(fd) {}
  ~FileWriter() { Flush(); }
  bool ok() const { return fd_.ok(); }

  bool Append(const std::uint8_t* data, std::size_t length) {
    if (used_ + length > sizeof buffer_ && !Flush()) return false;
    if (data) {
      std::memcpy(buffer_ + used_, data, length);
    } else {
      std::memset(buffer_ + used_, 0, length);
    }
    used_ += length;
    return true;
  }

  bool Flush() {
    std::size_t done = 0;
    while (done < used_ && fd_.ok()) {
      ssize_t n = ::write(fd_.get(), buffer_ + done, used_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        used_ = 0;
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    used_ = 0;
    return fd_.ok();
  }

 private:
  Fd fd_;
  std::size_t used_ = 0;
  std::uint8_t buffer_[kFileBufferSize];
};

bool IsSafeName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool IsSymlinkAt(int dirFd, const char* name) {
  struct stat st {};
  return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

class CramfsExtractor {
 public:
  // An empty destination walks the image without writing anything and
  // records every damaged entry in `problems` (the structural check).
  CramfsExtractor(const std::string& imagePath, const std::string& destination,
                  std::vector<std::string>* problems = nullptr)
      : imagePath_(imagePath), destination_(destination), problems_(problems) {}

  int Run(std::string* why) {
    // O_NONBLOCK: a FIFO given as the image must not hang us before the check.
    image_ = std::make_unique<Fd>(::open(imagePath_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!image_->ok()) return Fail(why, "cannot open " + imagePath_ + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(image_->get(), &st) != 0 || !S_ISREG(st.st_mode))
      return Fail(why, imagePath_ + " is not a regular file");
    fileLength_ = static_cast<std::uint64_t>(st.st_size);
    window_ = std::make_unique<ImageWindow>(image_->get(), fileLength_);

    std::string error;
    if (!ReadSuperblock(&error) || !CheckRoot(&error)) return Fail(why, imagePath_ + ": " + error);
    if (!inflater_.ready()) return Fail(why, "zlib cannot start inflating");

    if (checkOnly()) {
      CheckSuperblockCrc();
      ExpandDirectory(-1, root_, "", 0);
      if (!FinalChecks(&error)) return Fail(why, imagePath_ + ": " + error);
      return problems_->empty() ? 0 : Fail(why, imagePath_ + ": " + problems_->front());
    }
    if (::mkdir(destination_.c_str(), 0777) != 0 && errno != EEXIST)
      return Fail(why, "cannot create " + destination_ + ": " + std::strerror(errno));
    Fd dest(::open(destination_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dest.ok()) return Fail(why, "cannot open folder " + destination_ + ": " + std::strerror(errno));
    ExpandDirectory(dest.get(), root_, "", 0);

    if (!FinalChecks(&error)) return Fail(why, imagePath_ + ": " + error);
    // A damaged entry of the image is left out quietly; a file or folder we
    // could not write (disk full, a folder in the way) is a failed extraction.
    if (writeFailures_ > 0)
      return Fail(why, "cannot write " + std::to_string(writeFailures_) + " entries into " + destination_ +
                           ", the first " + firstWriteFailure_);
    return 0;
  }

 private:
  bool checkOnly() const { return problems_ != nullptr; }

  // The structural check names what the extraction silently leaves out.
  void Damaged(const std::string& path, const std::string& reason) {
    if (checkOnly()) problems_->push_back((path.empty() ? std::string("/") : path) + ": " + reason);
  }

  void CheckSuperblockCrc() {
    // The CRC covers the superblock's size field's worth of image with the
    // CRC field taken as zero; old-format images carry none.
    if (!(flags_ & kFlagFsidVersion2)) return;
    std::vector<std::uint8_t> chunk(kFileBufferSize);
    uLong crc = ::crc32(0, nullptr, 0);
    std::uint64_t have = 0;
    while (have < size_) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size_ - have));
      ssize_t n = ::pread(image_->get(), chunk.data(), want, static_cast<off_t>(imageStart_ + have));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Damaged("", "cannot read the image for its CRC");
      // The superblock lies wholly in the first chunk.
      if (have == 0) PutLe32(chunk.data() + kSuperCrc, 0);
      crc = ::crc32_z(crc, chunk.data(), static_cast<std::size_t>(n));
      have += static_cast<std::uint64_t>(n);
    }
    if (static_cast<std::uint32_t>(crc) != GetLe32(super_ + kSuperCrc)) Damaged("", "superblock CRC is wrong");
  }

  static int Fail(std::string* why, const std::string& message) {
    if (why) *why = message;
    return -1;
  }

  bool ReadSuperblock(std::string* error) {
    if (fileLength_ < kSuperblockSize) return *error = "too short for a cramfs image", false;
    const std::uint8_t* sb = window_->At(0, kSuperblockSize);
    if (sb && GetLe32(sb + kSuperMagic) == kMagic) {
      imageStart_ = 0;
    } else if (fileLength_ >= kPaddedStart + kSuperblockSize &&
               (sb = window_->At(kPaddedStart, kSuperblockSize)) && GetLe32(sb + kSuperMagic) == kMagic) {
      imageStart_ = kPaddedStart;
    } else {
      return *error = "no cramfs magic", false;
    }
    std::memcpy(super_, sb, kSuperblockSize);
    flags_ = GetLe32(super_ + kSuperFlags);
    size_ = GetLe32(super_ + kSuperSize);
    if (flags_ >= kFlagsUnsupported) return *error = "unsupported cramfs features", false;
    if (size_ < kImageAlignment) return *error = "superblock size below 4096", false;
    if (!(flags_ & kFlagFsidVersion2)) {
      std::fputs("warning: old cramfs format\n", stderr);
      return true;
    }
    if (GetLe32(super_ + kSuperFiles) == 0) return *error = "superblock file count is 0", false;
    if (fileLength_ < size_) return *error = "file shorter than the superblock size", false;
    if (fileLength_ > size_) std::fputs("warning: file extends past end of filesystem\n", stderr);
    return true;
  }

  bool CheckRoot(std::string* error) {
    root_ = DecodeInode(super_ + kSuperRoot);
    if ((root_.mode & kModeTypeMask) != kModeDirectory) return *error = "root is not a folder", false;
    if (!(flags_ & kFlagShiftedRootOffset) && root_.offset != kSuperblockSize &&
        root_.offset != kPaddedStart + kSuperblockSize)
      return *error = "bad root offset", false;
    return true;
  }

  bool FinalChecks(std::string* error) {
    if (dataStart_ != kNone) {
      if (dataStart_ < imageStart_ + kSuperblockSize) return *error = "data starts inside the superblock", false;
      if (dirEnd_ != dataStart_) return *error = "directory area does not end where file data starts", false;
    }
    if ((flags_ & kFlagFsidVersion2) && dataEnd_ > size_) return *error = "file data past the end of the image", false;
    return true;
  }

  // Lists the folder open at `dirFd` from the entry list of `dir`. A damaged
  // entry ends this list; the folders above go on.
  void WriteFailed(const std::string& path) {
    if (writeFailures_++ == 0) firstWriteFailure_ = path + ": " + std::strerror(errno);
  }

  void ExpandDirectory(int dirFd, const Inode& dir, const std::string& path, int depth) {
    std::int64_t remaining = dir.size;
    std::uint64_t at = dir.offset;
    if (at == 0 && remaining != 0) return Damaged(path, "folder without an entry list");
    if (at != 0 && at < dirStart_) dirStart_ = at;
    // A list reached a second time can only come from a loop or a crafted
    // image that multiplies its tree: the devices never share lists.
    if (remaining > 0 && !listsSeen_.insert(at).second) return Damaged(path, "entry list shared or looped");
    while (remaining > 0) {
      const std::uint8_t* p = window_->At(at, kInodeSize);
      if (!p) return Damaged(path, "entry past the end of the image");
      const Inode child = DecodeInode(p);
      const std::uint32_t nameLength = child.nameLength;
      remaining -= kInodeSize + nameLength;
      at += kInodeSize;
      if (nameLength == 0) return Damaged(path, "entry without a name");
      p = window_->At(at, nameLength);
      if (!p) return Damaged(path, "entry name past the end of the image");
      const std::string name(reinterpret_cast<const char*>(p),
                             ::strnlen(reinterpret_cast<const char*>(p), nameLength));
      if (nameLength - name.size() > kEntryAlignment - 1) return Damaged(path, "badly padded entry name");
      if (IsSafeName(name)) ExpandEntry(dirFd, name, path + name, child, depth);
      else Damaged(path + name, "unsafe entry name");
      at += nameLength;
      if (at <= dirStart_) return Damaged(path, "entry list runs backwards");
      if (at > dirEnd_) dirEnd_ = at;
    }
  }

  void ExpandEntry(int parentFd, const std::string& name, const std::string& path, const Inode& in,
                   int depth) {
    switch (in.mode & kModeTypeMask) {
      case kModeDirectory:
        ExpandSubfolder(parentFd, name, path, in, depth + 1);
        break;
      case kModeRegular:
        ExtractFile(parentFd, name, path, in);
        break;
      default:
        break;  // links, devices and the like are not recreated
    }
  }

  void ExpandSubfolder(int parentFd, const std::string& name, const std::string& path, const Inode& in,
                       int depth) {
    if (depth > kMaxDepth) return Damaged(path, "folders nested too deep");
    if (in.offset == 0 && in.size != 0) return Damaged(path, "folder without an entry list");
    if (checkOnly()) return ExpandDirectory(-1, in, path + "/", depth);
    const char* n = name.c_str();
    // A link standing where the folder goes would take the tree elsewhere.
    if (IsSymlinkAt(parentFd, n)) ::unlinkat(parentFd, n, 0);
    ::mkdirat(parentFd, n, 0777);  // an existing folder is fine
    Fd sub(::openat(parentFd, n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub.ok()) return WriteFailed(path);
    ExpandDirectory(sub.get(), in, path + "/", depth);
  }

  void ExtractFile(int parentFd, const std::string& name, const std::string& path, const Inode& in) {
    std::uint32_t remaining = in.size;
    std::uint64_t at = in.offset;
    if ((at == 0) != (remaining == 0)) return Damaged(path, "file size and data offset disagree");
    if (at != 0 && at < dataStart_) dataStart_ = at;
    if (checkOnly()) return WalkBlocks(path, in, nullptr);
    const char* n = name.c_str();
    // Whatever stands there goes first: a read-only file could not be
    // truncated, and a link must not be written through. A folder stays and
    // makes the file fail.
    ::unlinkat(parentFd, n, 0);
    FileWriter out(::openat(parentFd, n, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            in.mode & 0777));
    if (!out.ok()) return WriteFailed(path);
    if (in.size == 0) return;
    WalkBlocks(path, in, &out);
    if (!out.Flush()) WriteFailed(path);
  }

  // Inflates the file's blocks in order into `out` (nullptr: only checks
  // them). A damaged block ends the file there.
  void WalkBlocks(const std::string& path, const Inode& in, FileWriter* out) {
    std::uint32_t remaining = in.size;
    const std::uint64_t at = in.offset;
    if (remaining == 0) return;
    const std::uint32_t blocks = (remaining + kBlockSize - 1) / kBlockSize;
    // The pointer table is read ahead so that the window then follows the
    // blocks alone; a table cut by the end of the image ends the file there.
    pointers_.clear();
    for (std::uint32_t i = 0; i < blocks; ++i) {
      const std::uint8_t* p = window_->At(at + std::uint64_t{i} * kBlockPointerSize, kBlockPointerSize);
      if (!p) {
        Damaged(path, "block pointers past the end of the image");
        break;
      }
      pointers_.push_back(GetLe32(p));
    }
    std::uint64_t current = at + std::uint64_t{blocks} * kBlockPointerSize;
    for (std::size_t i = 0; i < pointers_.size(); ++i) {
      const std::uint32_t next = pointers_[i];
      if (next > dataEnd_) dataEnd_ = next;
      const std::uint32_t expected = std::min(remaining, kBlockSize);
      if (next == current) {
        // A hole: the block is all zero bytes.
        if (out && !out->Append(nullptr, expected)) return WriteFailed(path);
      } else {
        if (next < current || next - current > kMaxCompressedBlock)
          return Damaged(path, "bad pointer of block " + std::to_string(i));
        const std::uint8_t* block = window_->At(current, static_cast<std::size_t>(next - current));
        if (!block) return Damaged(path, "block " + std::to_string(i) + " past the end of the image");
        const long length = inflater_.Inflate(block, static_cast<std::size_t>(next - current));
        if (length != static_cast<long>(expected))
          return Damaged(path, "block " + std::to_string(i) + " does not inflate");
        if (out && !out->Append(inflater_.output(), expected)) return WriteFailed(path);
      }
      remaining -= expected;
      current = next;
      if (remaining == 0) break;
    }
  }

  const std::string imagePath_;
  const std::string destination_;
  std::unique_ptr<Fd> image_;
  std::unique_ptr<ImageWindow> window_;
  BlockInflater inflater_;
  std::uint64_t fileLength_ = 0;
  std::uint64_t imageStart_ = 0;
  std::uint8_t super_[kSuperblockSize] = {};
  std::uint32_t flags_ = 0;
  std::uint32_t size_ = 0;
  Inode root_;
  std::uint64_t dirStart_ = kNone;
  std::uint64_t dirEnd_ = 0;
  std::uint64_t dataStart_ = kNone;
  std::uint64_t dataEnd_ = 0;
  std::vector<std::string>* problems_;
  std::unordered_set<std::uint64_t> listsSeen_;
  std::vector<std::uint32_t> pointers_;
  int writeFailures_ = 0;
  std::string firstWriteFailure_;
};

}  // namespace

int CheckCramfsImage(const std::string& imagePath, std::vector<std::string>* problems) {
  std::vector<std::string> found;
  std::string why;
  int result = -1;
  try {
    auto checker = std::make_unique<CramfsExtractor>(imagePath, std::string(), &found);
    result = checker->Run(&why);
  } catch (const std::exception& e) {
    why = "cannot check " + imagePath + ": " + e.what();
  }
  if (problems) {
    problems->clear();
    // A failed superblock, root or area check names itself in `why`; the
    // walk's findings follow it.
    if (result != 0 && found.empty()) problems->push_back(why);
    for (const std::string& f : found) problems->push_back(f);
    if (result != 0 && !found.empty() && why.find(found.front()) == std::string::npos)
      problems->push_back(why);
  }
  return result;
}

int ExtractCramfsImage(const std::string& imagePath, const std::string& destination, std::string* why) {
  try {
    auto extractor = std::make_unique<CramfsExtractor>(imagePath, destination);
    return extractor->Run(why);
  } catch (const std::exception& e) {
    if (why) *why = "cannot extract " + imagePath + ": " + e.what();
    return -1;
  }
}

}  // namespace fsimage
