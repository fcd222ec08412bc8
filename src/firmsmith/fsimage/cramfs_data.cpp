#include "firmsmith/fsimage/cramfs_data.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <zlib.h>

#include "common/platform/debuglog.h"
#include "common/platform/fd.h"
#include "firmsmith/fsimage/cramfs_format.h"

namespace fsimage {

using namespace cramfs;

namespace {

// Files are read and compressed in batches of about this much input, so that
// memory stays small whatever the tree, while the next batch is read as the
// previous one compresses.
constexpr std::size_t kBatchInputBytes = 4u << 20;
constexpr int kCompressionLevel = 9;
// compress2()'s memory level (zlib's default), which the bytes depend on.
constexpr int kCompressionMemLevel = 8;

// Reads the first `length` bytes of a file; a file that has fewer (it
// shrank since the scan) fails like one that cannot be read.
platform::Status ReadLeadingBytes(const std::string& path, std::uint32_t length,
                                  std::vector<std::uint8_t>* out) {
  std::string why;
  // The scan saw a regular file: a link put there since is not followed.
  const platform::UniqueFd fd = platform::OpenRegular(path, O_RDONLY | O_NOFOLLOW, 0, &why);
  if (!fd.valid()) return platform::Status::Fail(why);
  out->resize(length);
  const ssize_t n = platform::ReadFull(fd.get(), out->data(), length);
  if (n < 0) return platform::FailErrno("cannot read " + path);
  if (n != static_cast<ssize_t>(length)) return platform::Status::Fail("cannot read " + path + " in full: it shrank");
  return platform::Status::Ok();
}

// The bytes an entry stores: a file's leading bytes or a link's target.
platform::Status EntryData(const CramfsEntry& e, std::vector<std::uint8_t>* out) {
  if (e.IsLink()) {
    out->assign(e.linkTarget.begin(), e.linkTarget.end());
    return platform::Status::Ok();
  }
  return ReadLeadingBytes(e.path, e.size, out);
}

std::size_t ContentHash(const std::vector<std::uint8_t>& content) {
  return std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
}

void CollectFiles(CramfsEntry& dir, std::vector<CramfsEntry*>* files) {
  for (CramfsEntry& e : dir.children) {
    if (e.IsDirectory()) {
      CollectFiles(e, files);
    } else if (e.HasData()) {
      files->push_back(&e);
    }
  }
}

// One zlib stream per worker, reset for every block: the bytes are those of
// compress2() at the same level (deflateReset is deflateEnd + deflateInit
// without the allocation), while the state's quarter megabyte is not
// allocated, zeroed by page faults and handed back to the kernel per block.
class BlockDeflater {
 public:
  BlockDeflater() {
    ok_ = ::deflateInit2(&z_, kCompressionLevel, Z_DEFLATED, MAX_WBITS, kCompressionMemLevel,
                         Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~BlockDeflater() {
    if (ok_) ::deflateEnd(&z_);
  }
  BlockDeflater(const BlockDeflater&) = delete;
  BlockDeflater& operator=(const BlockDeflater&) = delete;
  bool ok() const { return ok_; }

  // Compresses `size` bytes into `out` (room for `room`, compressBound's
  // worth); false when zlib fails.
  bool Compress(const std::uint8_t* data, std::size_t size, std::uint8_t* out, std::size_t room,
                std::size_t* length) {
    if (::deflateReset(&z_) != Z_OK) return false;
    z_.next_in = const_cast<Bytef*>(data);
    z_.avail_in = static_cast<uInt>(size);
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(room);
    if (::deflate(&z_, Z_FINISH) != Z_STREAM_END) return false;
    *length = room - z_.avail_out;
    return true;
  }

 private:
  z_stream z_{};
  bool ok_ = false;
};

struct PendingFile {
  CramfsEntry* entry = nullptr;
  std::vector<std::uint8_t> content;
  std::size_t firstBlock = 0;  // index into the batch's compressed blocks
};

// Files of one batch and their compressed blocks. Each block is compressed on
// its own, so the bytes do not depend on which thread did the work.
class Batch {
 public:
  ~Batch() { Join(); }

  void Add(PendingFile file) {
    inputBytes_ += file.content.size();
    files_.push_back(std::move(file));
  }
  std::size_t inputBytes() const { return inputBytes_; }
  bool empty() const { return files_.empty(); }
  const std::vector<PendingFile>& files() const { return files_; }

  // Compresses every block into a slot of its own. The slots go right into
  // the image at `position`, where the batch will stand once compacted, when
  // the buffer has room for them; otherwise into memory of the batch's own.
  void StartCompression(std::uint8_t* image, std::uint32_t capacity, std::uint32_t position) {
    std::size_t blocks = 0;
    for (PendingFile& f : files_) {
      f.firstBlock = blocks;
      blocks += BlockCount(static_cast<std::uint32_t>(f.content.size()));
    }
    sources_.clear();
    sources_.reserve(blocks);
    slotOffsets_.clear();
    slotOffsets_.reserve(blocks);
    std::size_t total = 0;
    for (const PendingFile& f : files_) {
      // Room for the file's table and for its padding: compacted, a file
      // then always ends before the next file's slots begin.
      total += kEntryAlignment + BlockCount(static_cast<std::uint32_t>(f.content.size())) * kBlockPointerSize;
      for (std::size_t at = 0; at < f.content.size(); at += kBlockSize) {
        const std::size_t size = std::min<std::size_t>(kBlockSize, f.content.size() - at);
        sources_.push_back({f.content.data() + at, size, ::compressBound(size)});
        slotOffsets_.push_back(total);
        total += sources_.back().bound;
      }
    }
    if (std::uint64_t{position} + total <= capacity) {
      slots_ = image + position;
      imageSlotsEnd_ = position + total;
    } else {
      arena_.resize(total);
      slots_ = arena_.data();
    }
    lengths_.assign(blocks, 0);
    const std::size_t threads =
        std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, std::max<std::size_t>(blocks, 1));
    for (std::size_t t = 0; t < threads; ++t) workers_.emplace_back([this] { Work(); });
  }

  // False when zlib failed on a block.
  bool Join() {
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    return !failed_;
  }

  const std::uint8_t* Block(std::size_t index) const { return slots_ + slotOffsets_[index]; }
  // Image offset just past the slots when they are in the image, else 0.
  std::uint64_t imageSlotsEnd() const { return imageSlotsEnd_; }
  std::uint32_t BlockLength(std::size_t index) const { return lengths_[index]; }

 private:
  struct Source {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t bound;  // compressBound(size): the slot's length
  };

  void Work() {
    BlockDeflater deflater;
    if (!deflater.ok()) {
      failed_ = true;
      return;
    }
    for (;;) {
      const std::size_t i = next_.fetch_add(1);
      if (i >= sources_.size()) return;
      std::size_t length = 0;
      if (!deflater.Compress(sources_[i].data, sources_[i].size, slots_ + slotOffsets_[i], sources_[i].bound,
                             &length)) {
        failed_ = true;
        return;
      }
      lengths_[i] = static_cast<std::uint32_t>(length);
    }
  }

  std::vector<PendingFile> files_;
  std::size_t inputBytes_ = 0;
  std::uint8_t* slots_ = nullptr;
  std::uint64_t imageSlotsEnd_ = 0;
  std::vector<std::size_t> slotOffsets_;
  std::vector<std::uint8_t> arena_;
  std::vector<std::uint32_t> lengths_;
  std::vector<Source> sources_;
  std::vector<std::thread> workers_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> failed_{false};
};

}  // namespace

struct CramfsDataWriter::State {
  std::uint8_t* image = nullptr;
  std::uint32_t capacity = 0;
  std::uint32_t position = 0;
  std::uint32_t blocks = 0;
  std::string* error = nullptr;

  // Files of equal length that may be equal, by content hash: only those
  // with data of their own. Bytes are compared only on a hash match.
  std::unordered_map<std::size_t, std::vector<const CramfsEntry*>> stored;
  // Contents still in memory (batches not yet laid out), by file.
  std::unordered_map<const CramfsEntry*, const std::uint8_t*> inMemory;
  std::unique_ptr<Batch> filling = std::make_unique<Batch>();
  std::unique_ptr<Batch> compressing;

  bool Fail(const std::string& message) {
    *error = message;
    return false;
  }

  bool SameContent(const CramfsEntry& earlier, const std::vector<std::uint8_t>& content) {
    auto it = inMemory.find(&earlier);
    if (it != inMemory.end()) return std::memcmp(it->second, content.data(), content.size()) == 0;
    std::vector<std::uint8_t> other;
    if (platform::Status read = EntryData(earlier, &other); !read) {
      Fail(read.message);
      return false;
    }
    return other == content;
  }

  // The earliest identical file with data of its own, or nullptr.
  const CramfsEntry* FindEarlierCopy(const CramfsEntry& file, const std::vector<std::uint8_t>& content,
                                     std::size_t hash, bool* failed) {
    auto it = stored.find(hash);
    if (it == stored.end()) return nullptr;
    for (const CramfsEntry* earlier : it->second) {
      if (earlier->size != file.size) continue;
      if (SameContent(*earlier, content)) return earlier;
      if (!error->empty()) {
        *failed = true;
        return nullptr;
      }
    }
    return nullptr;
  }

  // Moves the batch's blocks down behind their pointer tables. Each block
  // only moves towards the start (slots are never shorter than the blocks),
  // so compacting front to back never overwrites a block still to move.
  bool LayOut(Batch& batch) {
    if (!batch.Join()) return Fail("zlib failed to compress a block");
    for (const PendingFile& f : batch.files()) {
      CramfsEntry& e = *f.entry;
      const std::uint32_t n = BlockCount(e.size);
      const std::uint32_t table = n * static_cast<std::uint32_t>(kBlockPointerSize);
      std::uint64_t total = table;
      for (std::uint32_t i = 0; i < n; ++i) total += batch.BlockLength(f.firstBlock + i);
      const std::uint64_t padded = (total + kEntryAlignment - 1) / kEntryAlignment * kEntryAlignment;
      if (position > kMaxOffset || position + padded > capacity)
        return Fail("tree too large for a cramfs image (at " + e.path + ")");
      e.dataOffset = position;
      std::uint32_t at = position + table;
      for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t length = batch.BlockLength(f.firstBlock + i);
        std::memmove(image + at, batch.Block(f.firstBlock + i), length);
        at += length;
        // Each pointer marks the end of its block; the next block starts there.
        PutLe32(image + position + i * kBlockPointerSize, at);
      }
      std::memset(image + at, 0, position + padded - at);
      position += static_cast<std::uint32_t>(padded);
      blocks += n;
      platform::DebugOutput("%s, compressed size = %d \n", e.path.c_str(), static_cast<int>(padded));
      inMemory.erase(&e);
    }
    // Whatever the slots held beyond the compacted batch goes back to zero.
    if (batch.imageSlotsEnd() > position)
      std::memset(image + position, 0, static_cast<std::size_t>(batch.imageSlotsEnd() - position));
    return true;
  }

  // Starts compressing the filled batch after laying out the one before it.
  bool Dispatch() {
    if (compressing) {
      if (!LayOut(*compressing)) return false;
      compressing.reset();
    }
    if (filling->empty()) return true;
    compressing = std::move(filling);
    filling = std::make_unique<Batch>();
    compressing->StartCompression(image, capacity, position);
    return true;
  }
};

CramfsDataWriter::CramfsDataWriter(std::uint8_t* image, std::uint32_t capacity, std::uint32_t start)
    : state_(std::make_unique<State>()) {
  state_->image = image;
  state_->capacity = capacity;
  state_->position = start;
}

CramfsDataWriter::~CramfsDataWriter() = default;

std::uint32_t CramfsDataWriter::end() const { return state_->position; }
std::uint32_t CramfsDataWriter::blocks() const { return state_->blocks; }

bool CramfsDataWriter::WriteFiles(CramfsEntry& root, std::string* error) {
  State& s = *state_;
  s.error = error;
  error->clear();
  std::vector<CramfsEntry*> files;
  CollectFiles(root, &files);
  // Only a file whose length another file shares can be a duplicate.
  std::unordered_map<std::uint32_t, std::uint32_t> lengthCount;
  for (const CramfsEntry* f : files) ++lengthCount[f->size];

  for (CramfsEntry* f : files) {
    platform::DebugOutput("%s, uncompress size = %d \n", f->path.c_str(), static_cast<int>(f->size));
    PendingFile pending;
    pending.entry = f;
    if (platform::Status read = EntryData(*f, &pending.content); !read)
      return s.Fail(read.message);
    if (lengthCount[f->size] > 1) {
      const std::size_t hash = ContentHash(pending.content);
      bool failed = false;
      f->sharedWith = s.FindEarlierCopy(*f, pending.content, hash, &failed);
      if (failed) return false;
      if (f->sharedWith != nullptr) continue;
      s.stored[hash].push_back(f);
    }
    s.inMemory[f] = pending.content.data();
    s.filling->Add(std::move(pending));
    if (s.filling->inputBytes() >= kBatchInputBytes && !s.Dispatch()) return false;
  }
  if (!s.Dispatch() || !s.Dispatch()) return false;

  for (const CramfsEntry* f : files) {
    const std::uint32_t offset = f->sharedWith ? f->sharedWith->dataOffset : f->dataOffset;
    SetInodeOffset(s.image + f->inodeOffset, offset);
  }
  return true;
}

}  // namespace fsimage
