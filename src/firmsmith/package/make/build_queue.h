// The partition builds of one make run, side by side. A slot's file system
// is built on a worker thread (BuildFileSystemImage), at most
// MakeEnvironment::buildThreads at once (0: two per core; 1: each build on
// the caller's thread as it is added) and never more than one in-process
// cramfs build at a time, since that writer holds its whole image in memory.
// Each slot's completion (wrap or patch, InstallDesc, messages) runs on the
// caller's thread, strictly in the order the slots were added, after the
// messages its build gave have been replayed to the run's sink there (and,
// after a build by mksquashfs or mkfs.jffs2, the restored tool pause waited
// out): what the operator sees, and its order, is what a one-thread run
// shows.
// After the first failed completion every later build is dropped or waited
// for, its image removed, and its messages and completion discarded.
// Nothing throws out of the queue; a worker that cannot be started leaves
// its build to the caller's thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/status.h"
#include "firmsmith/package/make/make_operation.h"

namespace package {

struct BuildJob {
  int fs = 0;
  bool smallBlocks = false;
  std::string sourceFolder;
  std::string imagePath;
  std::string manifest;
  std::uint64_t imageOffset = 0;  // room left for the header (BuildsInProcess)
};

// Runs on the caller's thread with the build's outcome (its messages already
// shown); false after it showed the run's failure.
using BuildCompletion = std::function<bool(const platform::Status& built)>;

// The number of builds a run may have under way at once.
unsigned BuildThreadsOf(const MakeEnvironment& environment);

class BuildQueue {
 public:
  explicit BuildQueue(const MakeEnvironment& environment);
  ~BuildQueue();
  BuildQueue(const BuildQueue&) = delete;
  BuildQueue& operator=(const BuildQueue&) = delete;

  // Tells "building" and queues the build; completes earlier slots whose
  // builds are over, and waits for the oldest when twice as many slots as
  // builds may run are under way. False once a completion has failed.
  bool Add(const BuildJob& job, BuildCompletion complete);
  // Completes every slot added, in order. False once a completion failed
  // (its message shown; the builds after it are dropped).
  bool CompleteAll();
  // True while no slot waits for its completion.
  bool Empty() const { return slots_.empty(); }

 private:
  struct Slot;
  void Work();
  void RunBuild(Slot& slot);
  bool CompleteOldest();
  void Abandon();

  const MakeEnvironment& env_;
  const unsigned threads_;
  // Slots in the order they were added; workers take them from here.
  std::deque<std::shared_ptr<Slot>> slots_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool cramfsRunning_ = false;
  bool failed_ = false;
  // True while a completion runs: a failure it shows must not complete
  // the slots after it.
  bool completing_ = false;
};

}  // namespace package
