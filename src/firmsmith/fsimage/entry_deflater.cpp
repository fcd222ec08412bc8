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

namespace fsimage {
namespace {

// Each worker reads and writes through buffers of these sizes.
constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kWriteChunk = 64 * 1024;
// minizip's deflate parameters for an entry at the default level: a raw
// stream (negative window bits), a 32 KiB window, memory level 8.
constexpr int kDeflateLevel = Z_DEFAULT_COMPRESSION;
constexpr int kDeflateWindowBits = -MAX_WBITS;
constexpr int kDeflateMemLevel = 8;

// One deflate stream, ended however its entry ends.
class RawDeflater {
 public:
  RawDeflater() {
    ok_ = ::deflateInit2(&z_, kDeflateLevel, Z_DEFLATED, kDeflateWindowBits, kDeflateMemLevel,
                         Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~RawDeflater() {
    if (ok_) ::deflateEnd(&z_);
  }
  RawDeflater(const RawDeflater&) = delete;
  RawDeflater& operator=(const RawDeflater&) = delete;
  bool ok() const { return ok_; }
  z_stream* stream() { return &z_; }

 private:
  z_stream z_{};
  bool ok_ = false;
};

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
  auto writeFailed = [&] {
    return platform::FailErrno("cannot write " + scratch + " (the deflated " + path + ")");
  };
  RawDeflater deflater;
  if (!deflater.ok()) {
    entry->status = platform::Status::Fail("cannot deflate " + path + ": out of memory");
    return;
  }
  z_stream* z = deflater.stream();
  std::vector<unsigned char> input(kReadChunk);
  std::vector<unsigned char> output(kWriteChunk);
  // Feeds what is in z->next_in through deflate and writes what comes out.
  auto pump = [&](int flush) -> platform::Status {
    int result = Z_OK;
    do {
      z->next_out = output.data();
      z->avail_out = static_cast<uInt>(output.size());
      result = ::deflate(z, flush);
      if (result == Z_STREAM_ERROR)
        return platform::Status::Fail("cannot deflate " + path + ": the deflate stream broke");
      const std::size_t made = output.size() - z->avail_out;
      if (made != 0 && !platform::WriteFull(out.get(), output.data(), made)) return writeFailed();
    } while (z->avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    return platform::Status::Ok();
  };

  uLong crc = ::crc32(0L, Z_NULL, 0);
  std::uint64_t remaining = static_cast<std::uint64_t>(st.st_size);
  while (remaining > 0) {
    if (stop_) {
      entry->status = platform::Status::Fail("packing " + path + " was stopped");
      return;
    }
    const std::size_t want = remaining < input.size() ? static_cast<std::size_t>(remaining) : input.size();
    const ssize_t got = platform::ReadFull(in.get(), input.data(), want);
    if (got != static_cast<ssize_t>(want)) {
      entry->status = got < 0 ? platform::FailErrno("cannot read " + path)
                              : platform::Status::Fail("cannot read " + path + ": it shrank while being packed");
      return;
    }
    crc = ::crc32(crc, input.data(), static_cast<uInt>(want));
    z->next_in = input.data();
    z->avail_in = static_cast<uInt>(want);
    if (platform::Status pumped = pump(Z_NO_FLUSH); !pumped) {
      entry->status = std::move(pumped);
      return;
    }
    remaining -= want;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      bytesRead_ += want;
    }
    changed_.notify_all();
  }
  z->next_in = nullptr;
  z->avail_in = 0;
  if (platform::Status finished = pump(Z_FINISH); !finished) {
    entry->status = std::move(finished);
    return;
  }
  if (::close(out.Release()) != 0) {
    entry->status = writeFailed();
    return;
  }
  entry->size = static_cast<std::uint64_t>(st.st_size);
  entry->crc = static_cast<std::uint32_t>(crc);
  entry->text = z->data_type == Z_TEXT;
}

}  // namespace fsimage
