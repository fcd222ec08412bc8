// Internal to the cramfs reader: reading an entry's data blocks. The image
// is read through a small window with pread only, so several readers can
// share one descriptor, each with a window and an inflater of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include "firmsmith/fsimage/cramfs_format.h"

namespace fsimage {

// The image seen through one 16 KiB window. A read at X uses the window at X
// rounded down to 8 KiB, so anything up to 8 KiB long (an inode with its name,
// a compressed block) is always inside it.
class ImageWindow {
 public:
  static constexpr std::size_t kStep = 8192;

  ImageWindow(int fd, std::uint64_t fileLength) : fd_(fd), fileLength_(fileLength) {}

  // `length` bytes at `offset`, or nullptr when they are not in the file.
  const std::uint8_t* At(std::uint64_t offset, std::size_t length);

 private:
  static constexpr std::size_t kSize = 2 * kStep;
  static constexpr std::uint64_t kNoStep = UINT64_MAX;
  bool Load(std::uint64_t step);

  int fd_;
  std::uint64_t fileLength_;
  std::uint64_t step_ = kNoStep;
  std::size_t valid_ = 0;
  std::uint8_t buffer_[kSize];
};

// One inflate state for many blocks, reset for every block.
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
  long Inflate(const std::uint8_t* in, std::size_t length);
  const std::uint8_t* output() const { return out_; }

 private:
  z_stream stream_{};
  bool ready_ = false;
  std::uint8_t out_[cramfs::kMaxCompressedBlock];
};

// Where an entry's inflated blocks go; nullptr data stands for zero bytes.
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  virtual bool Append(const std::uint8_t* data, std::size_t length) = 0;
};

// Reads the pointer table of an entry of `size` bytes whose data starts at
// `offset` into `pointers`. False when the end of the image cuts the table;
// `pointers` then holds the ones before the cut.
bool ReadBlockPointers(ImageWindow& window, std::uint64_t offset, std::uint32_t size,
                       std::vector<std::uint32_t>* pointers);

// A stretch of an entry's blocks: `count` pointers from block `first` on,
// the first block starting at `start`, `remaining` bytes of the entry from
// there to its end.
struct BlockRun {
  const std::uint32_t* pointers = nullptr;
  std::size_t count = 0;
  std::uint32_t first = 0;
  std::uint64_t start = 0;
  std::uint32_t remaining = 0;
};

// What became of a run: the first damaged block ends it.
struct BlockOutcome {
  std::string damage;         // "block 3 does not inflate", or empty
  std::uint32_t dataEnd = 0;  // the highest pointer reached, the damaged block's included
  bool writeFailed = false;   // the sink refused a block
  int writeErrno = 0;         // errno as the refusal left it
  bool stopped = false;       // `charge` refused a block
};

// Checks and inflates the run's blocks in order into `out` (nullptr: only
// checks them). `charge`, when given, is asked for every block's length
// before it is read.
BlockOutcome InflateBlocks(ImageWindow& window, BlockInflater& inflater, const BlockRun& run, BlockSink* out,
                           const std::function<bool(std::uint32_t)>& charge = nullptr);

}  // namespace fsimage
