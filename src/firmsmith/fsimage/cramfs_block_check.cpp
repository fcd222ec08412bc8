#include "firmsmith/fsimage/cramfs_block_check.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace fsimage {

using namespace cramfs;

namespace {

// A run's blocks kept in the slot's own buffer.
class SlotSink : public BlockSink {
 public:
  explicit SlotSink(std::vector<std::uint8_t>* data) : data_(data) {}
  bool Append(const std::uint8_t* data, std::size_t length) override {
    if (data) {
      data_->insert(data_->end(), data, data + length);
    } else {
      data_->resize(data_->size() + length, 0);
    }
    return true;
  }

 private:
  std::vector<std::uint8_t>* data_;
};

}  // namespace

BlockCheckPool::BlockCheckPool(int fd, std::uint64_t fileLength, unsigned workers, BlockInflater& inflater,
                               RunReceiver* receiver)
    : fd_(fd), fileLength_(fileLength), callerInflater_(inflater), receiver_(receiver),
      callerWindow_(std::make_unique<ImageWindow>(fd, fileLength)), slots_(kRunsInFlight) {
  for (unsigned t = 1; t < workers; ++t) {
    try {
      helpers_.emplace_back([this] { Help(); });
    } catch (const std::system_error&) {
      break;  // fewer helpers; the caller inflates more itself
    }
  }
}

BlockCheckPool::~BlockCheckPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

void BlockCheckPool::Inflate(Slot& slot, ImageWindow& window, BlockInflater& inflater) const {
  try {
    if (!receiver_) {
      slot.outcome = InflateBlocks(window, inflater, slot.run, nullptr);
      return;
    }
    // Every block reached is counted as one thread's walk would charge it.
    slot.data.clear();
    slot.data.reserve(kBlocksPerRun * kBlockSize);
    SlotSink sink(&slot.data);
    std::uint64_t& charged = slot.charged;
    slot.outcome = InflateBlocks(window, inflater, slot.run, &sink, [&charged](std::uint32_t bytes) {
      charged += bytes;
      return true;
    });
  } catch (...) {
    slot.error = std::current_exception();
  }
}

void BlockCheckPool::Help() {
  // A helper that cannot inflate leaves the runs to the others and the caller.
  auto window = std::make_unique<ImageWindow>(fd_, fileLength_);
  BlockInflater inflater;
  if (!inflater.ready()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (!stop_ && taken_ == queued_) {
      ++idleHelpers_;
      work_.wait(lock);
      --idleHelpers_;
    }
    if (stop_) return;
    Slot& slot = slots_[taken_++ % kRunsInFlight];
    lock.unlock();
    Inflate(slot, *window, inflater);
    lock.lock();
    slot.done = true;
    if (callerWaiting_) done_.notify_one();
  }
}

void BlockCheckPool::Queue(const std::vector<std::uint32_t>& pointers, std::uint64_t start, std::uint32_t size,
                           std::vector<BlockOutcome>* finished) {
  std::size_t first = 0;
  do {
    while (queued_ - merged_ == kRunsInFlight) Progress(finished);
    // This slot's last run is merged and no thread holds it.
    Slot& slot = slots_[queued_ % kRunsInFlight];
    const std::size_t count = std::min(kBlocksPerRun, pointers.size() - first);
    slot.pointers.assign(pointers.begin() + static_cast<std::ptrdiff_t>(first),
                         pointers.begin() + static_cast<std::ptrdiff_t>(first + count));
    // A run begins where the block before it ended, with whole blocks before it.
    slot.run.pointers = slot.pointers.data();
    slot.run.count = count;
    slot.run.first = static_cast<std::uint32_t>(first);
    slot.run.start = first == 0 ? start : pointers[first - 1];
    slot.run.remaining = size - static_cast<std::uint32_t>(first) * kBlockSize;
    slot.lastOfFile = first + count >= pointers.size();
    slot.done = false;
    slot.outcome = BlockOutcome();
    slot.data.clear();
    slot.charged = 0;
    slot.error = nullptr;
    first += count;
    std::lock_guard<std::mutex> lock(mutex_);
    ++queued_;
    if (idleHelpers_ > 0) work_.notify_one();
  } while (first < pointers.size());
}

void BlockCheckPool::Finish(std::vector<BlockOutcome>* finished) {
  while (merged_ < queued_) Progress(finished);
}

void BlockCheckPool::Progress(std::vector<BlockOutcome>* finished) {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot& oldest = slots_[merged_ % kRunsInFlight];
  if (oldest.done) {
    lock.unlock();
    Merge(oldest, finished);
    ++merged_;
    return;
  }
  if (taken_ < queued_) {
    Slot& slot = slots_[taken_++ % kRunsInFlight];
    lock.unlock();
    Inflate(slot, *callerWindow_, callerInflater_);
    lock.lock();
    slot.done = true;
    return;
  }
  callerWaiting_ = true;
  done_.wait(lock);
  callerWaiting_ = false;
}

void BlockCheckPool::Merge(Slot& slot, std::vector<BlockOutcome>* finished) {
  // Runs after a file's first damaged block are ones a single walk never
  // reads: neither their findings, their pointers nor their bytes count.
  if (!fileEnded_) {
    if (slot.error) std::rethrow_exception(slot.error);
    file_.dataEnd = std::max(file_.dataEnd, slot.outcome.dataEnd);
    if (!slot.outcome.damage.empty()) {
      file_.damage = slot.outcome.damage;
      fileEnded_ = true;
    }
    if (receiver_) receiver_->Receive(slot.data.data(), slot.data.size(), slot.charged, slot.lastOfFile);
  } else if (receiver_) {
    receiver_->Receive(nullptr, 0, 0, slot.lastOfFile);
  }
  if (slot.lastOfFile) {
    finished->push_back(std::move(file_));
    file_ = BlockOutcome();
    fileEnded_ = false;
  }
}

}  // namespace fsimage
