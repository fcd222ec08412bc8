#include "firmsmith/fsimage/cramfs_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>
#include <system_error>
#include <functional>
#include <limits>
#include <memory>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include <zlib.h>

#include "common/platform/debuglog.h"
#include "common/platform/fd.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "common/platform/printable.h"
#include "firmsmith/fsimage/cramfs_block_check.h"
#include "firmsmith/fsimage/cramfs_blocks.h"
#include "firmsmith/fsimage/cramfs_format.h"

namespace fsimage {
namespace {

using namespace cramfs;

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
// Nesting deeper than this is no tree a device holds; it bounds the stack and
// the folder handles an image can make us keep open.
constexpr int kMaxDepth = 256;
constexpr std::size_t kFileBufferSize = 64 * 1024;
// What we make gets the image's permission bits without set-id, sticky and
// world-write: an image's word does not open a work folder to every user.
constexpr std::uint32_t kCreatedPermissions = 0775;
// Longer link targets cannot be made on the workstation or the device.
constexpr std::uint32_t kMaxLinkTarget = 4095;

using platform::UniqueFd;

// A link's target, kept in memory.
class TargetSink : public BlockSink {
 public:
  bool Append(const std::uint8_t* data, std::size_t length) override {
    if (data) {
      target.append(reinterpret_cast<const char*>(data), length);
    } else {
      target.append(length, '\0');
    }
    return true;
  }
  std::string target;
};

// Collects a file's blocks and writes them in large pieces.
class FileWriter : public BlockSink {
 public:
  explicit FileWriter(int fd) : fd_(fd) {}
  ~FileWriter() override { Flush(); }
  bool ok() const { return fd_.valid(); }

  bool Append(const std::uint8_t* data, std::size_t length) override {
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
    const bool written = fd_.valid() && platform::WriteFull(fd_.get(), buffer_, used_);
    used_ = 0;
    return written;
  }

 private:
  UniqueFd fd_;
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

class CramfsExtractor : private RunReceiver {
 public:
  // An empty destination walks the image without writing anything and
  // records every damaged entry in `problems` (the structural check), with
  // the files' blocks inflated on `workers` threads.
  CramfsExtractor(const std::string& imagePath, const std::string& destination,
                  const CramfsExtractOptions& options, std::vector<std::string>* problems = nullptr,
                  std::vector<CramfsListedEntry>* listing = nullptr, unsigned workers = 1)
      : imagePath_(imagePath), destination_(destination), options_(options), problems_(problems),
        listing_(listing), workers_(workers) {}

  int Run(std::string* why) {
    // Only a regular file opens: a FIFO given as the image must not hang us.
    std::string opened;
    image_ = platform::OpenRegularForReading(imagePath_, &opened);
    if (!image_.valid()) return Fail(why, opened);
    struct stat st {};
    if (::fstat(image_.get(), &st) != 0) return Fail(why, platform::ErrnoReason("cannot examine " + imagePath_));
    fileLength_ = static_cast<std::uint64_t>(st.st_size);
    window_ = std::make_unique<ImageWindow>(image_.get(), fileLength_);

    std::string error;
    if (!ReadSuperblock(&error) || !CheckRoot(&error)) return Fail(why, imagePath_ + ": " + error);
    if (!inflater_.ready()) return Fail(why, "zlib cannot start inflating");

    if (checkOnly()) {
      std::string crcProblem;
      std::exception_ptr crcFailed;
      {
        std::jthread crc;
        if (workers_ > 1) {
          pool_ = std::make_unique<BlockCheckPool>(image_.get(), fileLength_, workers_, inflater_);
          // The CRC reads the whole image once more: beside the walk, not before it.
          try {
            crc = std::jthread([this, &crcProblem, &crcFailed] {
              try {
                crcProblem = SuperblockCrcProblem();
              } catch (...) {
                crcFailed = std::current_exception();
              }
            });
          } catch (const std::system_error&) {
            // No thread to be had: the CRC goes first, as with one worker.
          }
        }
        if (!crc.joinable()) crcProblem = SuperblockCrcProblem();
        ExpandDirectory(-1, root_, "", 0);
        if (pool_) {
          pool_->Finish(&finished_);
          TakeFinished();
          PlaceQueuedFindings();
          pool_.reset();
        }
      }
      if (crcFailed) std::rethrow_exception(crcFailed);
      // The image's own finding comes before those of its entries.
      if (!crcProblem.empty()) problems_->insert(problems_->begin(), Finding("", crcProblem));
      if (!FinalChecks(&error)) return Fail(why, imagePath_ + ": " + error);
      return problems_->empty() ? 0 : Fail(why, imagePath_ + ": " + problems_->front());
    }
    const bool madeDestination = ::mkdir(destination_.c_str(), 0777) == 0;
    if (!madeDestination && errno != EEXIST)
      return Fail(why, platform::ErrnoReason("cannot create " + destination_));
    UniqueFd dest(::open(destination_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dest.valid()) return Fail(why, platform::ErrnoReason("cannot open folder " + destination_));
    std::vector<platform::FolderEntry> before;
    if (!madeDestination) {
      if (platform::Status listed = platform::ListFolder(destination_, &before); !listed)
        return Fail(why, listed.message);
    }
    if (workers_ > 1) pool_ = std::make_unique<BlockCheckPool>(image_.get(), fileLength_, workers_, inflater_,
                                                                  static_cast<RunReceiver*>(this));
    ExpandDirectory(dest.get(), root_, "", 0);
    if (pool_) {
      pool_->Finish(&finished_);
      TakeFinished();
      pool_.reset();
    }
    if (overBudget_) {
      // Nothing of a cut extraction may pass for the image's tree.
      dest.Reset();
      if (madeDestination) {
        platform::RemoveTree(destination_);
      } else {
        RemoveAllBut(before);
      }
      return Fail(why, OverBudgetMessage(imagePath_, options_.budget));
    }

    if (!FinalChecks(&error)) return Fail(why, imagePath_ + ": " + error);
    if (platform::Status noted = NoteSkipped(); !noted) return Fail(why, noted.message);
    // A damaged entry of the image is left out quietly; a file or folder we
    // could not write (disk full, a folder in the way) is a failed extraction.
    if (writeFailures_ > 0)
      return Fail(why, "cannot write " + std::to_string(writeFailures_) + " entries into " + destination_ +
                           ", the first " + firstWriteFailure_);
    return 0;
  }

 private:
  bool checkOnly() const { return problems_ != nullptr; }

  // Takes `bytes` from the budget; false (and the walk stops) past it.
  bool Charge(std::uint64_t bytes) {
    if (overBudget_ || bytes > options_.budget - written_) return !(overBudget_ = true);
    written_ += bytes;
    return true;
  }

  // Removes every entry of the destination that was not there before.
  void RemoveAllBut(const std::vector<platform::FolderEntry>& before) {
    std::vector<platform::FolderEntry> now;
    if (!platform::ListFolder(destination_, &now)) return;
    for (const platform::FolderEntry& e : now) {
      bool kept = false;
      for (const platform::FolderEntry& b : before) kept = kept || b.name == e.name;
      if (!kept) platform::RemoveTree(platform::JoinPath(destination_, e.name));
    }
  }

  void List(const std::string& path, const Inode& in, const std::string& target = std::string()) {
    if (!listing_) return;
    CramfsListedEntry e;
    e.path = path;
    e.mode = in.mode;
    e.uid = in.uid;
    e.gid = in.gid;
    e.size = in.size;
    e.linkTarget = target;
    listing_->push_back(std::move(e));
  }

  std::string manifestPath() const {
    return options_.manifestPath.empty() ? CramfsManifestPath(destination_) : options_.manifestPath;
  }

  // Writes what was not created to the manifest, with one warning line; a
  // manifest of an earlier extraction that no longer holds goes away.
  platform::Status NoteSkipped() {
    const std::string manifest = manifestPath();
    if (skipped_.empty()) {
      struct stat st {};
      if (::lstat(manifest.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(manifest.c_str()) != 0)
        return platform::FailErrno("cannot remove the stale " + manifest);
      return platform::Status::Ok();
    }
    return WriteSkippedSpecials(manifest, skipped_);
  }

  // Names come from the image: a line break in one must not split the line.
  static std::string Finding(const std::string& path, const std::string& reason) {
    return (path.empty() ? std::string("/") : platform::Printable(path)) + ": " + reason;
  }

  // The structural check names what the extraction silently leaves out.
  void Damaged(const std::string& path, const std::string& reason) {
    if (checkOnly()) problems_->push_back(Finding(path, reason));
  }

  // A file's blocks go to the pool; its finding, if any, later takes the
  // place in the findings that a one-thread walk gives it: right here.
  void QueueBlocks(const std::string& path, const Inode& in) {
    if (in.size == 0) return;
    if (!ReadBlockPointers(*window_, in.offset, in.size, &pointers_))
      Damaged(path, "block pointers past the end of the image");
    queued_.push_back({path, problems_->size()});
    pool_->Queue(pointers_, in.offset + std::uint64_t{BlockCount(in.size)} * kBlockPointerSize, in.size,
                 &finished_);
    TakeFinished();
  }

  void TakeFinished() {
    for (const BlockOutcome& o : finished_) {
      const QueuedFile& file = queued_.front();
      if (o.dataEnd > dataEnd_) dataEnd_ = o.dataEnd;
      if (!o.damage.empty() && checkOnly()) placed_.emplace_back(file.position, Finding(file.path, o.damage));
      queued_.pop_front();
    }
    finished_.clear();
  }

  void PlaceQueuedFindings() {
    if (placed_.empty()) return;
    std::vector<std::string> all;
    all.reserve(problems_->size() + placed_.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i <= problems_->size(); ++i) {
      for (; next < placed_.size() && placed_[next].first == i; ++next) all.push_back(std::move(placed_[next].second));
      if (i < problems_->size()) all.push_back(std::move((*problems_)[i]));
    }
    *problems_ = std::move(all);
    placed_.clear();
  }

  // The superblock CRC's finding, or "" when it matches.
  std::string SuperblockCrcProblem() const {
    // The CRC covers the superblock's size field's worth of image with the
    // CRC field taken as zero; old-format images carry none.
    if (!(flags_ & kFlagFsidVersion2)) return "";
    std::vector<std::uint8_t> chunk(kFileBufferSize);
    uLong crc = ::crc32(0, nullptr, 0);
    std::uint64_t have = 0;
    while (have < size_) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size_ - have));
      const ssize_t n = platform::ReadFullAt(image_.get(), chunk.data(), want, static_cast<off_t>(imageStart_ + have));
      if (n <= 0) return "cannot read the image for its CRC";
      // The superblock lies wholly in the first chunk.
      if (have == 0) PutLe32(chunk.data() + kSuperCrc, 0);
      crc = ::crc32_z(crc, chunk.data(), static_cast<std::size_t>(n));
      have += static_cast<std::uint64_t>(n);
    }
    return static_cast<std::uint32_t>(crc) != GetLe32(super_ + kSuperCrc) ? "superblock CRC is wrong" : "";
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
      platform::WarningOutput("old cramfs format\n");
      return true;
    }
    if (GetLe32(super_ + kSuperFiles) == 0) return *error = "superblock file count is 0", false;
    if (fileLength_ < size_) return *error = "file shorter than the superblock size", false;
    if (fileLength_ > size_) platform::WarningOutput("file extends past end of filesystem\n");
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

  // A file written behind the walk reports with its own step, so the first
  // failure named is the first in walk order, as with one thread.
  void WriteFailed(const std::string& path) { WriteFailedAt(path, step_); }
  void WriteFailedAt(const std::string& path, std::uint64_t step) {
    if (writeFailures_++ == 0 || step < firstWriteFailureStep_) {
      firstWriteFailure_ = platform::ErrnoReason(platform::Printable(path));
      firstWriteFailureStep_ = step;
    }
  }

  // Lists the folder open at `dirFd` from the entry list of `dir`. A damaged
  // entry ends this list; the folders above go on.
  void ExpandDirectory(int dirFd, const Inode& dir, const std::string& path, int depth) {
    std::int64_t remaining = dir.size;
    std::uint64_t at = dir.offset;
    if (at == 0 && remaining != 0) return Damaged(path, "folder without an entry list");
    if (at != 0 && at < dirStart_) dirStart_ = at;
    // A list reached a second time can only come from a loop or a crafted
    // image that multiplies its tree: the devices never share lists.
    if (remaining > 0 && !listsSeen_.insert(at).second) return Damaged(path, "entry list shared or looped");
    while (remaining > 0 && !overBudget_) {
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
    ++step_;
    switch (in.mode & kModeTypeMask) {
      case kModeDirectory:
        ExpandSubfolder(parentFd, name, path, in, depth + 1);
        break;
      case kModeRegular:
        ExtractFile(parentFd, name, path, in);
        break;
      case kModeSymlink:
        ExtractLink(parentFd, name, path, in);
        break;
      case kModeCharDevice:
      case kModeBlockDevice:
      case kModeFifo:
      case kModeSocket:
        ExtractSpecial(parentFd, name, path, in);
        break;
      default:
        Damaged(path, "entry of an unknown type");
        break;
    }
  }

  // A link is made with its stored target and never followed afterwards:
  // whatever later stands at that name replaces the link.
  void ExtractLink(int parentFd, const std::string& name, const std::string& path, const Inode& in) {
    if (in.size == 0 || in.offset == 0) return Damaged(path, "link without a target");
    if (in.offset < dataStart_) dataStart_ = in.offset;
    TargetSink sink;
    WalkBlocks(path, in, &sink);
    if (sink.target.size() != in.size) return;  // damaged blocks, already named
    if (sink.target.find('\0') != std::string::npos) return Damaged(path, "link target holds a zero byte");
    if (in.size > kMaxLinkTarget) return Damaged(path, "link target too long");
    List(path, in, sink.target);
    if (checkOnly()) return;
    const char* n = name.c_str();
    ::unlinkat(parentFd, n, 0);  // a folder in the way stays and fails the link
    if (::symlinkat(sink.target.c_str(), parentFd, n) != 0) WriteFailed(path);
  }

  // Device nodes, FIFOs and sockets are made only when asked for (and for
  // devices, only root can); the rest goes to the manifest.
  void ExtractSpecial(int parentFd, const std::string& name, const std::string& path, const Inode& in) {
    List(path, in);
    if (checkOnly()) return;
    const std::uint32_t type = in.mode & kModeTypeMask;
    const bool device = type == kModeCharDevice || type == kModeBlockDevice;
    if (options_.createSpecialFiles) {
      const char* n = name.c_str();
      ::unlinkat(parentFd, n, 0);
      const dev_t number = device ? makedev(DeviceMajor(in.size), DeviceMinor(in.size)) : 0;
      if (::mknodat(parentFd, n, static_cast<mode_t>(type | (in.mode & kCreatedPermissions)), number) == 0) return;
      if (errno != EPERM) return WriteFailed(path);
    }
    CramfsSpecialEntry e;
    e.path = path;
    e.type = type == kModeCharDevice ? 'c' : type == kModeBlockDevice ? 'b' : type == kModeFifo ? 'p' : 's';
    e.mode = in.mode & 07777;
    e.uid = in.uid;
    e.gid = in.gid;
    if (device) {
      e.major = DeviceMajor(in.size);
      e.minor = DeviceMinor(in.size);
    }
    skipped_.push_back(std::move(e));
  }

  void ExpandSubfolder(int parentFd, const std::string& name, const std::string& path, const Inode& in,
                       int depth) {
    if (depth > kMaxDepth) return Damaged(path, "folders nested too deep");
    if (in.offset == 0 && in.size != 0) return Damaged(path, "folder without an entry list");
    List(path, in);
    if (checkOnly()) return ExpandDirectory(-1, in, path + "/", depth);
    const char* n = name.c_str();
    // A link standing where the folder goes would take the tree elsewhere.
    if (IsSymlinkAt(parentFd, n)) ::unlinkat(parentFd, n, 0);
    ::mkdirat(parentFd, n, kCreatedPermissions);  // an existing folder is fine
    UniqueFd sub(::openat(parentFd, n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub.valid()) return WriteFailed(path);
    ExpandDirectory(sub.get(), in, path + "/", depth);
  }

  void ExtractFile(int parentFd, const std::string& name, const std::string& path, const Inode& in) {
    std::uint32_t remaining = in.size;
    std::uint64_t at = in.offset;
    if ((at == 0) != (remaining == 0)) return Damaged(path, "file size and data offset disagree");
    if (at != 0 && at < dataStart_) dataStart_ = at;
    List(path, in);
    if (checkOnly()) return pool_ ? QueueBlocks(path, in) : WalkBlocks(path, in, nullptr);
    const char* n = name.c_str();
    // Whatever stands there goes first: a read-only file could not be
    // truncated, and a link must not be written through. A folder stays and
    // makes the file fail.
    ::unlinkat(parentFd, n, 0);
    auto out = std::make_unique<FileWriter>(::openat(parentFd, n, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                                     in.mode & kCreatedPermissions));
    if (!out->ok()) return WriteFailed(path);
    if (in.size == 0) return;
    if (pool_ && QueueWrite(path, in, out)) return;
    WalkBlocks(path, in, out.get(), true);
    if (!out->Flush()) WriteFailed(path);
  }

  // Hands the file's blocks to the pool when whatever the files in flight
  // and this one could still charge fits the budget; false leaves the file
  // to the walk itself, once the pool has caught up, so that the budget
  // stops the walk exactly where one thread's walk stops.
  bool QueueWrite(const std::string& path, const Inode& in, std::unique_ptr<FileWriter>& out) {
    ReadBlockPointers(*window_, in.offset, in.size, &pointers_);  // a cut table: its finding is the check's
    const std::uint64_t most = std::min<std::uint64_t>(in.size, std::uint64_t{pointers_.size()} * kBlockSize);
    if (most > options_.budget - written_ - reserved_) {
      pool_->Finish(&finished_);
      TakeFinished();
      return false;
    }
    reserved_ += most;
    writing_.push_back({path, step_, most, std::move(out), false});
    queued_.push_back({path, 0});
    pool_->Queue(pointers_, in.offset + std::uint64_t{BlockCount(in.size)} * kBlockPointerSize, in.size,
                 &finished_);
    TakeFinished();
    return true;
  }

  // The pool's runs, in walk order: the oldest file in flight takes them
  // block by block, charged and written as one thread's walk does.
  void Receive(const std::uint8_t* data, std::size_t length, std::uint64_t charged, bool lastOfFile) override {
    PendingFile& file = writing_.front();
    // What is charged leaves the reservation: written_ + reserved_ never
    // passes the budget, so these charges are never refused.
    auto charge = [this, &file](std::uint64_t bytes) {
      Charge(bytes);
      file.most -= bytes;
      reserved_ -= bytes;
    };
    std::size_t reached = 0;
    while (reached < length && !file.refused) {
      const std::size_t block = std::min<std::size_t>(kBlockSize, length - reached);
      charge(block);
      if (!file.out->Append(data + reached, block)) {
        file.refused = true;
        WriteFailedAt(file.path, file.step);
      }
      reached += block;
    }
    if (!file.refused && charged > reached) charge(charged - reached);  // the damaged block
    if (!lastOfFile) return;
    if (!file.out->Flush()) WriteFailedAt(file.path, file.step);
    reserved_ -= file.most;
    writing_.pop_front();
  }

  // Inflates the entry's blocks in order into `out` (nullptr: only checks
  // them). A damaged block ends the data there.
  void WalkBlocks(const std::string& path, const Inode& in, BlockSink* out, bool charged = false) {
    if (in.size == 0) return;
    // The pointer table is read ahead so that the window then follows the
    // blocks alone; a table cut by the end of the image ends the file there.
    if (!ReadBlockPointers(*window_, in.offset, in.size, &pointers_))
      Damaged(path, "block pointers past the end of the image");
    BlockRun run;
    run.pointers = pointers_.data();
    run.count = pointers_.size();
    run.start = in.offset + std::uint64_t{BlockCount(in.size)} * kBlockPointerSize;
    run.remaining = in.size;
    std::function<bool(std::uint32_t)> charge;
    if (charged) charge = [this](std::uint32_t bytes) { return Charge(bytes); };
    const BlockOutcome o = InflateBlocks(*window_, inflater_, run, out, charge);
    if (o.dataEnd > dataEnd_) dataEnd_ = o.dataEnd;
    if (!o.damage.empty()) Damaged(path, o.damage);
    if (o.writeFailed) {
      errno = o.writeErrno;
      WriteFailed(path);
    }
  }

  const std::string imagePath_;
  const std::string destination_;
  const CramfsExtractOptions options_;
  UniqueFd image_;
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
  std::vector<CramfsListedEntry>* listing_;
  std::vector<CramfsSpecialEntry> skipped_;
  std::unordered_set<std::uint64_t> listsSeen_;
  std::vector<std::uint32_t> pointers_;
  const unsigned workers_;
  std::unique_ptr<BlockCheckPool> pool_;
  // Files queued to the pool whose outcome has not come back, oldest first.
  struct QueuedFile {
    std::string path;
    std::size_t position;  // where its finding goes among the problems
  };
  std::deque<QueuedFile> queued_;
  std::vector<BlockOutcome> finished_;
  std::vector<std::pair<std::size_t, std::string>> placed_;
  // Files of the extraction whose blocks are in the pool, oldest first.
  struct PendingFile {
    std::string path;
    std::uint64_t step;
    std::uint64_t most;  // of the budget, reserved until it is written
    std::unique_ptr<FileWriter> out;
    bool refused;
  };
  std::deque<PendingFile> writing_;
  std::uint64_t reserved_ = 0;
  std::uint64_t step_ = 0;  // entries the walk has reached
  std::uint64_t written_ = 0;
  bool overBudget_ = false;
  int writeFailures_ = 0;
  std::string firstWriteFailure_;
  std::uint64_t firstWriteFailureStep_ = 0;
};

}  // namespace

int ListAndCheckCramfsImage(const std::string& imagePath, std::vector<CramfsListedEntry>* entries,
                            std::string* why, std::vector<std::string>* problems, unsigned workers) {
  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  if (entries) entries->clear();
  std::vector<std::string> found;
  std::string reason;
  bool thrown = false;
  int result = -1;
  try {
    auto walker = std::make_unique<CramfsExtractor>(imagePath, std::string(), CramfsExtractOptions{}, &found, entries,
                                                     workers);
    result = walker->Run(&reason);
  } catch (const std::exception& e) {
    thrown = true;
    reason = e.what();
    result = -1;
  }
  if (why) *why = thrown ? "cannot list " + imagePath + ": " + reason : reason;
  if (problems) {
    problems->clear();
    const std::string failure = thrown ? "cannot check " + imagePath + ": " + reason : reason;
    // A failed superblock, root or area check names itself in the failure
    // line; the walk's findings follow it.
    if (result != 0 && found.empty()) problems->push_back(failure);
    for (const std::string& f : found) problems->push_back(f);
    if (result != 0 && !found.empty() && failure.find(found.front()) == std::string::npos)
      problems->push_back(failure);
  }
  return result;
}

int CheckCramfsImage(const std::string& imagePath, std::vector<std::string>* problems, unsigned workers) {
  std::vector<std::string> found;
  const int result = ListAndCheckCramfsImage(imagePath, nullptr, nullptr, &found, workers);
  if (problems) *problems = std::move(found);
  return result;
}

int ListCramfsImage(const std::string& imagePath, std::vector<CramfsListedEntry>* entries, std::string* why) {
  return ListAndCheckCramfsImage(imagePath, entries, why, nullptr);
}

int ExtractCramfsImage(const std::string& imagePath, const std::string& destination, std::string* why) {
  return ExtractCramfsImage(imagePath, destination, CramfsExtractOptions{}, why);
}

int ExtractCramfsImage(const std::string& imagePath, const std::string& destination,
                       const CramfsExtractOptions& options, std::string* why) {
  try {
    const unsigned workers = options.workers == 0 ? std::max(1u, std::thread::hardware_concurrency()) : options.workers;
    auto extractor = std::make_unique<CramfsExtractor>(imagePath, destination, options, nullptr, nullptr, workers);
    return extractor->Run(why);
  } catch (const std::exception& e) {
    if (why) *why = "cannot extract " + imagePath + ": " + e.what();
    return -1;
  }
}

}  // namespace fsimage
