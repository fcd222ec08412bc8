#include "firmsmith/fsimage/cramfs_blocks.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/platform/fd.h"

namespace fsimage {

using namespace cramfs;

const std::uint8_t* ImageWindow::At(std::uint64_t offset, std::size_t length) {
  if (length > kStep || offset > fileLength_ || length > fileLength_ - offset) return nullptr;
  const std::uint64_t step = offset / kStep;
  if (step != step_ && !Load(step)) return nullptr;
  return buffer_ + (offset - step * kStep);
}

bool ImageWindow::Load(std::uint64_t step) {
  const std::uint64_t base = step * kStep;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kSize, fileLength_ - base));
  std::size_t have = 0;
  // Walking forward keeps the upper half: only the new 8 KiB are read.
  if (step_ != kNoStep && step == step_ + 1 && valid_ > kStep) {
    have = valid_ - kStep;
    std::memmove(buffer_, buffer_ + kStep, have);
  }
  step_ = kNoStep;
  const ssize_t n = platform::ReadFullAt(fd_, buffer_ + have, want - have, static_cast<off_t>(base + have));
  if (n != static_cast<ssize_t>(want - have)) return false;
  step_ = step;
  valid_ = want;
  return true;
}

long BlockInflater::Inflate(const std::uint8_t* in, std::size_t length) {
  if (::inflateReset(&stream_) != Z_OK) return -1;
  stream_.next_in = const_cast<Bytef*>(in);
  stream_.avail_in = static_cast<uInt>(length);
  stream_.next_out = out_;
  stream_.avail_out = sizeof out_;
  if (::inflate(&stream_, Z_FINISH) != Z_STREAM_END) return -1;
  return static_cast<long>(sizeof out_ - stream_.avail_out);
}

bool ReadBlockPointers(ImageWindow& window, std::uint64_t offset, std::uint32_t size,
                       std::vector<std::uint32_t>* pointers) {
  pointers->clear();
  const std::uint32_t blocks = BlockCount(size);
  for (std::uint32_t i = 0; i < blocks; ++i) {
    const std::uint8_t* p = window.At(offset + std::uint64_t{i} * kBlockPointerSize, kBlockPointerSize);
    if (!p) return false;
    pointers->push_back(GetLe32(p));
  }
  return true;
}

BlockOutcome InflateBlocks(ImageWindow& window, BlockInflater& inflater, const BlockRun& run, BlockSink* out,
                           const std::function<bool(std::uint32_t)>& charge) {
  BlockOutcome o;
  std::uint32_t remaining = run.remaining;
  std::uint64_t current = run.start;
  auto refused = [&o] {
    o.writeFailed = true;
    o.writeErrno = errno;
    return o;
  };
  for (std::size_t i = 0; i < run.count && remaining > 0; ++i) {
    const std::uint32_t next = run.pointers[i];
    if (next > o.dataEnd) o.dataEnd = next;
    const std::uint32_t expected = std::min(remaining, kBlockSize);
    if (charge && !charge(expected)) {
      o.stopped = true;
      return o;
    }
    if (next == current) {
      // A hole: the block is all zero bytes.
      if (out && !out->Append(nullptr, expected)) return refused();
    } else {
      if (next < current || next - current > kMaxCompressedBlock) {
        o.damage = "bad pointer of block " + std::to_string(run.first + i);
        return o;
      }
      const std::uint8_t* block = window.At(current, static_cast<std::size_t>(next - current));
      if (!block) {
        o.damage = "block " + std::to_string(run.first + i) + " past the end of the image";
        return o;
      }
      if (inflater.Inflate(block, static_cast<std::size_t>(next - current)) != static_cast<long>(expected)) {
        o.damage = "block " + std::to_string(run.first + i) + " does not inflate";
        return o;
      }
      if (out && !out->Append(inflater.output(), expected)) return refused();
    }
    remaining -= expected;
    current = next;
  }
  return o;
}

}  // namespace fsimage
