#include "firmsmith/fsimage/entry_deflater.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "common/platform/fd.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/slice_deflate.h"

namespace fsimage {
namespace {

// Threads one entry's slices may use at most: enough for the cores of a
// workstation, while every worker holds a few slices and a deflate state.
constexpr unsigned kMaxSliceThreads = 8;

}  // namespace

EntryDeflater::EntryDeflater(std::vector<std::string> paths, std::string scratchFolder, std::uint64_t maxSize,
                             dev_t skipDevice, ino_t skipInode, unsigned workers)
    : paths_(std::move(paths)),
      scratch_(std::move(scratchFolder)),
      maxSize_(maxSize),
      skipDevice_(skipDevice),
      skipInode_(skipInode),
      entries_(paths_.size()),
      done_(new std::atomic<bool>[paths_.size()]) {
  for (std::size_t i = 0; i < paths_.size(); ++i) done_[i] = false;
  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  sliceThreads_ = std::min(workers, kMaxSliceThreads);
  const std::size_t count = std::min<std::size_t>(workers, paths_.size());
  for (std::size_t t = 0; t < count; ++t) {
    try {
      workers_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;  // fewer workers; with none, Wait does the work itself
    }
  }
}

EntryDeflater::~EntryDeflater() {
  stop_ = true;
  for (std::thread& t : workers_) t.join();
}

const DeflatedEntry& EntryDeflater::Wait(std::size_t index,
                                         const std::function<void(std::uint64_t)>& tick) {
  if (workers_.empty()) Work();
  std::uint64_t told = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const bool done = done_[index];
    const std::uint64_t read = bytesRead_;
    if (tick && read > told) {
      told = read;
      lock.unlock();
      tick(read);
      lock.lock();
      continue;  // more may have come meanwhile
    }
    if (done) break;
    changed_.wait(lock, [&] { return done_[index] || bytesRead_ != read; });
  }
  return entries_[index];
}

void EntryDeflater::Work() {
  for (;;) {
    if (stop_) return;
    const std::size_t index = next_++;
    if (index >= paths_.size()) return;
    Deflate(index, &entries_[index]);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_[index] = true;
    }
    changed_.notify_all();
  }
}

void EntryDeflater::Deflate(std::size_t index, DeflatedEntry* entry) {
  const std::string& path = paths_[index];
  std::string why;
  platform::UniqueFd in = platform::OpenRegularForReading(path, &why);
  if (!in.valid()) {
    entry->status = platform::Status::Fail(why);
    return;
  }
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) {
    entry->status = platform::FailErrno("cannot read " + path);
    return;
  }
  if (st.st_dev == skipDevice_ && st.st_ino == skipInode_) {
    entry->skipped = true;
    return;
  }
  if (static_cast<std::uint64_t>(st.st_size) > maxSize_) {
    entry->status = platform::Status::Fail(path + ": larger than " + std::to_string(maxSize_) +
                                           " bytes, the most a package entry may hold");
    return;
  }

  const std::string scratch = platform::JoinPath(scratch_, std::to_string(index));
  platform::UniqueFd out =
      platform::OpenRegular(scratch, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, &why);
  if (!out.valid()) {
    entry->status = platform::Status::Fail(why + " (to deflate " + path + ")");
    return;
  }
  entry->scratchPath = scratch;
  // Each entry spreads its slices over the workers too, so one large image
  // (the usual package) still uses every core.
  auto read = [this](std::uint64_t bytes) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      bytesRead_ += bytes;
    }
    changed_.notify_all();
  };
  SliceDeflateResult deflated;
  if (platform::Status status = DeflateInSlices(in.get(), static_cast<std::uint64_t>(st.st_size), path, out.get(),
                                                scratch, sliceThreads_, stop_, read, &deflated);
      !status) {
    entry->status = std::move(status);
    return;
  }
  if (::close(out.Release()) != 0) {
    entry->status = platform::FailErrno("cannot write " + scratch + " (the deflated " + path + ")");
    return;
  }
  entry->size = static_cast<std::uint64_t>(st.st_size);
  entry->crc = deflated.crc;
  entry->text = deflated.text;
}

}  // namespace fsimage
