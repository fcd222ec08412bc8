#include "firmsmith/package/make/build_queue.h"

#include <unistd.h>

#include <exception>
#include <system_error>
#include <utility>

#include "common/platform/file_ops.h"
#include "common/platform/message_sink.h"
#include "firmsmith/package/make/make_steps.h"
#include "firmsmith/products/product_profile.h"

namespace package {
namespace {

// What a build would have shown, kept for the caller's thread: the sinks
// of the window and the tests are not made for other threads, and a
// build's lines belong at its slot's place in the run.
class RecordedMessages : public platform::MessageSink {
 public:
  platform::MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                      platform::MessageButtons buttons) override {
    messages_.push_back({false, text, caption, "", platform::MessageSeverity::Information, buttons});
    return Affirmative(buttons);
  }
  platform::MessageAnswer ShowDetailed(const std::string& text, const std::string& caption,
                                       const std::string& detail,
                                       platform::MessageSeverity severity) override {
    messages_.push_back({true, text, caption, detail, severity, platform::MessageButtons::Ok});
    return platform::MessageAnswer::Ok;
  }
  void Replay(platform::MessageSink& sink) const {
    for (const Message& m : messages_) {
      if (m.detailed)
        sink.ShowDetailed(m.text, m.caption, m.detail, m.severity);
      else
        sink.ShowMessage(m.text, m.caption, m.buttons);
    }
  }

 private:
  struct Message {
    bool detailed;
    std::string text, caption, detail;
    platform::MessageSeverity severity;
    platform::MessageButtons buttons;
  };
  // Builds only tell; nothing they ask changes what they do.
  static platform::MessageAnswer Affirmative(platform::MessageButtons buttons) {
    return buttons == platform::MessageButtons::YesNo ? platform::MessageAnswer::Yes
                                                      : platform::MessageAnswer::Ok;
  }
  std::vector<Message> messages_;
};

// Slots under way per worker: one building, one built or waiting.
constexpr std::size_t kQueuedPerWorker = 2;

}  // namespace

unsigned BuildThreadsOf(const MakeEnvironment& environment) {
  if (environment.buildThreads != 0) return environment.buildThreads;
  // Two per core: an external tool spends part of its time reading the
  // tree and writing its image, which another build's compression fills
  // (a KV-N3232X rework: 1.25 s with one per core, 0.97 s with two, on 2 cores).
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : 2 * cores;
}

struct BuildQueue::Slot {
  enum class State { kQueued, kRunning, kDone };
  BuildJob job;
  BuildCompletion complete;
  State state = State::kQueued;
  platform::Status built;
  RecordedMessages messages;
};

BuildQueue::BuildQueue(const MakeEnvironment& environment)
    : env_(environment), threads_(BuildThreadsOf(environment)) {
  workers_.reserve(threads_);
}

BuildQueue::~BuildQueue() { Abandon(); }

void BuildQueue::RunBuild(Slot& slot) {
  // The build tells nobody directly: no progress from here (the caller told
  // "building"), and its messages are kept for its completion.
  MakeEnvironment quiet = env_;
  quiet.sink = &slot.messages;
  quiet.progress = nullptr;
  try {
    slot.built = BuildFileSystemImage(slot.job.fs, slot.job.smallBlocks, slot.job.sourceFolder,
                                      slot.job.imagePath, quiet, slot.job.manifest,
                                      slot.job.imageOffset);
  } catch (const std::exception& e) {
    slot.built = platform::Status::Fail("cannot build " + slot.job.imagePath + ": " + e.what());
  }
}

void BuildQueue::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return;
    std::shared_ptr<Slot> next;
    for (const std::shared_ptr<Slot>& s : slots_) {
      if (s->state != Slot::State::kQueued) continue;
      if (BuildsInProcess(s->job.fs) && cramfsRunning_) continue;
      next = s;
      break;
    }
    if (!next) {
      changed_.wait(lock);
      continue;
    }
    next->state = Slot::State::kRunning;
    const bool inProcess = BuildsInProcess(next->job.fs);
    if (inProcess) cramfsRunning_ = true;
    lock.unlock();
    RunBuild(*next);
    lock.lock();
    if (inProcess) cramfsRunning_ = false;
    next->state = Slot::State::kDone;
    changed_.notify_all();
  }
}

bool BuildQueue::Add(const BuildJob& job, BuildCompletion complete) {
  if (failed_) return false;
  // Two slots writing one intermediate image (a name given twice) must
  // not build at once: the later waits, as it would one at a time.
  bool sameImage = false;
  for (const std::shared_ptr<Slot>& s : slots_) sameImage = sameImage || s->job.imagePath == job.imagePath;
  if (sameImage && !CompleteAll()) return false;
  auto slot = std::make_shared<Slot>();
  slot->job = job;
  slot->complete = std::move(complete);
  // "web-x.cramfs" is shown as the partition it builds, "web-x".
  const std::string imageName = platform::BaseName(job.imagePath);
  ReportStep(env_, MakeStep::kBuilding, imageName.substr(0, imageName.find('.')),
             products::FsTypeName(job.fs));
  if (threads_ <= 1) {
    RunBuild(*slot);
    slot->state = Slot::State::kDone;
    slots_.push_back(std::move(slot));
    return CompleteAll();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.push_back(slot);
  }
  if (workers_.size() < threads_) {
    try {
      workers_.emplace_back([this] { Work(); });
    } catch (const std::exception&) {
      // No thread to be had: the builds run on the workers there are.
    }
  }
  if (workers_.empty()) {
    // Not even one: this build runs here, as a one-thread run would.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slot->state = Slot::State::kRunning;
    }
    RunBuild(*slot);
    std::lock_guard<std::mutex> lock(mutex_);
    slot->state = Slot::State::kDone;
  }
  changed_.notify_all();
  for (;;) {
    bool oldestDone = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      oldestDone = !slots_.empty() && slots_.front()->state == Slot::State::kDone;
    }
    // Builds queued beyond the workers keep them busy while the oldest is
    // awaited; what waits to be completed is only files in the run folder.
    if (slots_.empty() || (!oldestDone && slots_.size() <= kQueuedPerWorker * threads_)) return true;
    if (!CompleteOldest()) return false;
  }
}

bool BuildQueue::CompleteOldest() {
  std::shared_ptr<Slot> slot = slots_.front();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return slot->state == Slot::State::kDone; });
    slots_.pop_front();
  }
  slot->messages.Replay(SinkOf(env_));
  // The restored pause after a tool's build waits here, in slot order, as a
  // one-thread run would wait it.
  if (slot->job.fs == products::kFsSquashfs || slot->job.fs == products::kFsJffs2)
    Pause(env_, kToolSettleSeconds);
  completing_ = true;
  const bool ok = slot->complete(slot->built);
  completing_ = false;
  if (!ok) {
    failed_ = true;
    Abandon();
  }
  return ok;
}

bool BuildQueue::CompleteAll() {
  // A failure shown by a completion ends the run there.
  if (completing_) return true;
  while (!failed_ && !slots_.empty())
    if (!CompleteOldest()) return false;
  return !failed_;
}

void BuildQueue::Abandon() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  // What the dropped builds made goes with them.
  for (const std::shared_ptr<Slot>& s : slots_) ::unlink(s->job.imagePath.c_str());
  slots_.clear();
}

}  // namespace package
