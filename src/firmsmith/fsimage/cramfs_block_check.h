// Internal to the cramfs reader: the walk (the check's and the extraction's)
// hands the blocks of its files to a few threads and gets each file's
// outcome back in the order the files were queued, as one thread would have
// found them; an extraction also gets each run's inflated bytes, in order.
//
// - Threads: `workers` in all, the caller included: it queues files between
//   its own steps of the walk and inflates queued blocks while it waits.
//   Fewer threads than asked (none to be had) only make it slower.
// - Memory: at most kRunsInFlight runs of at most kBlocksPerRun pointers are
//   queued at once; blocks are read through each thread's own window. With
//   a receiver, the inflated bytes of those runs are the working set
//   (kRunsInFlight * kBlocksPerRun blocks of 4 KiB, 16 MiB), whatever the
//   image's size.
// - Each run is written by the one thread that took it and read by the
//   caller only once it is marked done; the walk's own state (findings,
//   listing) never leaves the caller.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "firmsmith/fsimage/cramfs_blocks.h"

namespace fsimage {

// Takes the inflated runs of the queued files, on the caller's thread, in
// queue order, each run once, and only the runs a one-thread walk reads.
class RunReceiver {
 public:
  virtual ~RunReceiver() = default;
  // `data`: the run's blocks up to its first damaged one (holes as zero
  // bytes), `length` bytes of whole blocks but a file's last; `charged`: the
  // bytes of every block the run reached, the damaged one's included. A run
  // behind its file's first damaged block comes with nothing. `lastOfFile`
  // ends the file: its outcome follows in the finished list.
  virtual void Receive(const std::uint8_t* data, std::size_t length, std::uint64_t charged, bool lastOfFile) = 0;
};

class BlockCheckPool {
 public:
  // `inflater` is the caller's, used when it helps. With `receiver`, the
  // runs' inflated bytes go there; without, blocks are only checked.
  BlockCheckPool(int fd, std::uint64_t fileLength, unsigned workers, BlockInflater& inflater,
                 RunReceiver* receiver = nullptr);
  ~BlockCheckPool();
  BlockCheckPool(const BlockCheckPool&) = delete;
  BlockCheckPool& operator=(const BlockCheckPool&) = delete;

  // Queues the blocks of one file: its pointer table as read (cut short by
  // the end of the image, perhaps), where its first block starts and its
  // size. The outcomes of files finished meanwhile are appended to
  // `finished`, in queue order. An exception thrown by a run that one
  // thread would have reached is thrown again here.
  void Queue(const std::vector<std::uint32_t>& pointers, std::uint64_t start, std::uint32_t size,
             std::vector<BlockOutcome>* finished);
  // Waits for every queued file and appends the outcomes still due.
  void Finish(std::vector<BlockOutcome>* finished);

 private:
  // A file is cut into runs, so that one large file spreads over threads.
  static constexpr std::size_t kBlocksPerRun = 64;
  static constexpr std::size_t kRunsInFlight = 64;

  struct Slot {
    std::vector<std::uint32_t> pointers;
    BlockRun run;
    bool lastOfFile = false;
    bool done = false;  // under mutex_
    BlockOutcome outcome;
    std::vector<std::uint8_t> data;  // with a receiver: the inflated blocks
    std::uint64_t charged = 0;
    std::exception_ptr error;
  };

  void Inflate(Slot& slot, ImageWindow& window, BlockInflater& inflater) const;
  void Help();
  // One step of the caller: merges the oldest run when done, else inflates
  // a queued one, else waits for a helper.
  void Progress(std::vector<BlockOutcome>* finished);
  void Merge(Slot& slot, std::vector<BlockOutcome>* finished);

  const int fd_;
  const std::uint64_t fileLength_;
  BlockInflater& callerInflater_;
  RunReceiver* const receiver_;
  std::unique_ptr<ImageWindow> callerWindow_;
  std::vector<Slot> slots_;

  std::mutex mutex_;
  std::condition_variable work_;  // helpers wait for runs
  std::condition_variable done_;  // the caller waits for a run to end
  std::size_t queued_ = 0;        // runs queued so far (written by the caller)
  std::size_t taken_ = 0;         // runs taken by a thread
  std::size_t merged_ = 0;        // runs merged (caller only)
  unsigned idleHelpers_ = 0;
  bool callerWaiting_ = false;
  bool stop_ = false;
  std::vector<std::thread> helpers_;

  // The file whose runs are being merged (caller only).
  BlockOutcome file_;
  bool fileEnded_ = false;
};

}  // namespace fsimage
