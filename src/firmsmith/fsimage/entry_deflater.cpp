#include "firmsmith/fsimage/entry_deflater.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "common/platform/debuglog.h"
#include "common/platform/fd.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/slice_deflate.h"

namespace fsimage {
namespace {

// Threads one entry's slices may use at most: enough for the cores of a
// workstation, while every worker holds a few slices and a deflate state.
constexpr unsigned kMaxSliceThreads = 8;
// Copying an earlier archive's entry reads the file and the entry's data
// through buffers of these sizes; each chunk of the data has its CRC-32
// verified before it goes.
constexpr std::size_t kCopyFileChunk = 256 * 1024;
constexpr std::size_t kCopyDataChunk = 256 * 1024;
// A scratch file is handed on through a buffer of this size.
constexpr std::size_t kScratchChunk = 256 * 1024;
// ZIP: the compression method of deflated data, and the flag of an
// encrypted entry.
constexpr std::uint16_t kMethodDeflated = 8;
constexpr std::uint16_t kFlagEncrypted = 0x0001;
// Bit 0 of an entry's internal attributes: the data are text.
constexpr std::uint16_t kInternalText = 0x0001;

// One raw inflate stream, ended however its entry ends.
class RawInflater {
 public:
  RawInflater() { ok_ = ::inflateInit2(&z_, -MAX_WBITS) == Z_OK; }
  ~RawInflater() {
    if (ok_) ::inflateEnd(&z_);
  }
  RawInflater(const RawInflater&) = delete;
  RawInflater& operator=(const RawInflater&) = delete;
  bool ok() const { return ok_; }
  z_stream* stream() { return &z_; }

 private:
  z_stream z_{};
  bool ok_ = false;
};

}  // namespace

// One file compared with an earlier archive's entry.
struct EntryDeflater::Pass {
  const std::string& path;
  int in = -1;
  std::uint64_t size = 0;                                         // the file's size when opened
  std::vector<unsigned char> input = std::vector<unsigned char>(kCopyFileChunk);
  std::uint64_t read = 0;                                         // bytes of the file read so far
  uLong crc = ::crc32(0L, Z_NULL, 0);                             // of the bytes read
};

EntryDeflater::EntryDeflater(std::vector<std::string> paths, std::string scratchFolder, std::uint64_t maxSize,
                             dev_t skipDevice, ino_t skipInode, unsigned workers, EarlierArchive earlier)
    : paths_(std::move(paths)),
      scratch_(std::move(scratchFolder)),
      maxSize_(maxSize),
      skipDevice_(skipDevice),
      skipInode_(skipInode),
      earlier_(std::move(earlier)),
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
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const bool done = done_[index];
    const std::uint64_t read = bytesRead_;
    if (tick && read > told_) {
      told_ = read;
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

void EntryDeflater::CountRead(std::uint64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bytesRead_ += bytes;
  }
  changed_.notify_all();
}

// The next `want` bytes of the file into pass.input.
platform::Status EntryDeflater::ReadFile(Pass& pass, std::size_t want) {
  if (stop_) return platform::Status::Fail("packing " + pass.path + " was stopped");
  const ssize_t got = platform::ReadFull(pass.in, pass.input.data(), want);
  if (got != static_cast<ssize_t>(want))
    return got < 0 ? platform::FailErrno("cannot read " + pass.path)
                   : platform::Status::Fail("cannot read " + pass.path + ": it shrank while being packed");
  pass.crc = ::crc32(pass.crc, pass.input.data(), static_cast<uInt>(want));
  pass.read += want;
  CountRead(want);
  return platform::Status::Ok();
}

// Inflates the earlier archive's deflate data, comparing with the file as it
// is read, and notes the CRC-32 of each chunk of the data, so the owner can
// copy exactly what passed. kDeflate (traced why) when they are no exact
// copy of the file or the earlier archive cannot be read; kFailed
// (entry->status) only for what would fail a plain deflate too: reading the
// file.
EntryDeflater::Copy EntryDeflater::CopyEarlier(std::size_t index, Pass& pass, DeflatedEntry* entry) {
  const zipfile::ZipEntryInfo& source = *earlier_.entries[index];
  auto deflateInstead = [&](const std::string& why) {
    platform::DebugOutput("pack %s: deflated afresh, not copied from %s: %s\n", pass.path.c_str(),
                          earlier_.path.c_str(), why.c_str());
    return Copy::kDeflate;
  };
  if (source.method != kMethodDeflated || (source.flags & kFlagEncrypted) != 0)
    return deflateInstead("its entry " + source.name + " is not plainly deflated");
  if (source.size != pass.size)
    return deflateInstead("its entry " + source.name + " holds " + std::to_string(source.size) + " bytes");
  std::uint64_t at = 0;
  if (platform::Status found = zipfile::EntryDataOffset(earlier_.fd.get(), earlier_.path, source, &at); !found)
    return deflateInstead(found.message);
  const std::uint64_t offset = at;
  RawInflater inflater;
  if (!inflater.ok()) return deflateInstead("out of memory");
  z_stream* z = inflater.stream();
  std::vector<unsigned char> raw(kCopyDataChunk);
  std::vector<unsigned char> inflated(kCopyDataChunk);
  std::vector<std::uint32_t> rawCrcs;
  std::uint64_t rawLeft = source.compressedSize;
  std::size_t held = 0;  // bytes of the file in pass.input
  std::size_t used = 0;  // of those, compared
  for (;;) {
    if (z->avail_in == 0 && rawLeft > 0) {
      const std::size_t want = rawLeft < raw.size() ? static_cast<std::size_t>(rawLeft) : raw.size();
      const ssize_t got = platform::ReadFullAt(earlier_.fd.get(), raw.data(), want, static_cast<off_t>(at));
      if (got < 0) return deflateInstead(platform::ErrnoReason("cannot read " + earlier_.path));
      if (got != static_cast<ssize_t>(want)) return deflateInstead("its entry " + source.name + " is cut short");
      rawCrcs.push_back(static_cast<std::uint32_t>(::crc32(::crc32(0L, Z_NULL, 0), raw.data(), static_cast<uInt>(want))));
      at += want;
      rawLeft -= want;
      z->next_in = raw.data();
      z->avail_in = static_cast<uInt>(want);
    }
    z->next_out = inflated.data();
    z->avail_out = static_cast<uInt>(inflated.size());
    const int result = ::inflate(z, Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
      return deflateInstead("its entry " + source.name + " does not inflate");
    const std::size_t made = inflated.size() - z->avail_out;
    for (std::size_t done = 0; done < made;) {
      if (used == held) {
        const std::uint64_t left = pass.size - pass.read;
        if (left == 0) return deflateInstead("its entry " + source.name + " inflates past the file's end");
        const std::size_t want = left < pass.input.size() ? static_cast<std::size_t>(left) : pass.input.size();
        if (platform::Status read = ReadFile(pass, want); !read) {
          entry->status = std::move(read);
          return Copy::kFailed;
        }
        held = want;
        used = 0;
      }
      const std::size_t n = std::min(made - done, held - used);
      if (std::memcmp(inflated.data() + done, pass.input.data() + used, n) != 0)
        return deflateInstead("its entry " + source.name + " differs from the file");
      done += n;
      used += n;
    }
    if (result == Z_STREAM_END) break;
    if (made == 0 && z->avail_in == 0 && rawLeft == 0)
      return deflateInstead("the deflate stream of its entry " + source.name + " ends early");
  }
  if (z->avail_in != 0 || rawLeft != 0)
    return deflateInstead("bytes follow the deflate stream of its entry " + source.name);
  if (pass.read != pass.size || used != held)
    return deflateInstead("its entry " + source.name + " inflates to less than the file");
  // The inflated bytes are the file's, so the file's CRC-32 is theirs.
  if (static_cast<std::uint32_t>(pass.crc) != source.crc)
    return deflateInstead("its entry " + source.name + " has another CRC-32 in the directory");
  entry->text = (source.internalAttributes & kInternalText) != 0;
  entry->rawOffset = offset;
  entry->rawSize = source.compressedSize;
  entry->rawCrcs = std::move(rawCrcs);
  return Copy::kDone;
}

// Opens file `index` and checks it may be packed; not valid when it may not
// (entry->status) or is the one to skip (entry->skipped).
platform::UniqueFd EntryDeflater::OpenFile(std::size_t index, struct stat* st, DeflatedEntry* entry) {
  const std::string& path = paths_[index];
  std::string why;
  platform::UniqueFd in = platform::OpenRegularForReading(path, &why);
  if (!in.valid()) {
    entry->status = platform::Status::Fail(why);
    return in;
  }
  if (::fstat(in.get(), st) != 0) {
    entry->status = platform::FailErrno("cannot read " + path);
    return platform::UniqueFd();
  }
  if (st->st_dev == skipDevice_ && st->st_ino == skipInode_) {
    entry->skipped = true;
    return platform::UniqueFd();
  }
  if (static_cast<std::uint64_t>(st->st_size) > maxSize_) {
    entry->status = platform::Status::Fail(path + ": larger than " + std::to_string(maxSize_) +
                                           " bytes, the most a package entry may hold");
    return platform::UniqueFd();
  }
  return in;
}

void EntryDeflater::Deflate(std::size_t index, DeflatedEntry* entry) {
  const std::string& path = paths_[index];
  struct stat st {};
  platform::UniqueFd in = OpenFile(index, &st, entry);
  if (!in.valid()) return;
  if (earlier_.fd.valid() && index < earlier_.entries.size() && earlier_.entries[index]) {
    Pass pass{path};
    pass.in = in.get();
    pass.size = static_cast<std::uint64_t>(st.st_size);
    switch (CopyEarlier(index, pass, entry)) {
      case Copy::kFailed:
        return;
      case Copy::kDone:
        entry->size = pass.size;
        entry->crc = static_cast<std::uint32_t>(pass.crc);
        entry->copied = true;
        return;
      case Copy::kDeflate:
        // Bytes a copy attempt read and counted are not counted again when
        // the file is deflated after all.
        entry->counted = pass.read;
        break;
    }
  }
  // A large file waits for the owner, who takes its slices as they come.
  if (static_cast<std::uint64_t>(st.st_size) > kDeflateSlice) {
    entry->streamed = true;
    return;
  }
  const std::string scratch = platform::JoinPath(scratch_, std::to_string(index));
  std::string why;
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
  const DeflateSink write = [&](const unsigned char* data, std::size_t size, bool) {
    return platform::WriteFull(out.get(), data, size) ? platform::Status::Ok() : writeFailed();
  };
  const std::uint64_t counted = entry->counted;
  std::uint64_t sliced = 0;  // one slice: read on this thread only
  auto read = [this, counted, &sliced](std::uint64_t bytes) {
    const std::uint64_t before = sliced;
    sliced += bytes;
    if (sliced > counted) CountRead(sliced - std::max(before, counted));
  };
  SliceDeflateResult deflated;
  if (platform::Status status = DeflateInSlices(in.get(), static_cast<std::uint64_t>(st.st_size), path, 1, stop_,
                                                read, write, &deflated);
      !status) {
    entry->status = std::move(status);
    return;
  }
  if (::close(out.Release()) != 0) {
    entry->status = writeFailed();
    return;
  }
  entry->size = static_cast<std::uint64_t>(st.st_size);
  entry->crc = deflated.crc;
  entry->text = deflated.text;
}

void EntryDeflater::Tell(const std::function<void(std::uint64_t)>& tick) {
  if (!tick) return;
  const std::uint64_t read = bytesRead_;
  if (read > told_) {
    told_ = read;
    tick(read);
  }
}

platform::Status EntryDeflater::Take(std::size_t index, const DeflateSink& sink,
                                     const std::function<void(std::uint64_t)>& tick, const DeflatedEntry** taken) {
  Wait(index, tick);
  DeflatedEntry& entry = entries_[index];  // done: no worker touches it any more
  if (taken != nullptr) *taken = &entry;
  if (!entry.status || entry.skipped) return entry.status;
  if (chunk_.empty()) chunk_.resize(std::max(kScratchChunk, kCopyDataChunk));
  if (entry.copied) return TakeCopy(index, entry, sink);
  if (entry.streamed) return TakeStreamed(index, entry, sink, tick);
  return TakeScratch(entry, sink);
}

platform::Status EntryDeflater::TakeScratch(DeflatedEntry& entry, const DeflateSink& sink) {
  std::string why;
  platform::UniqueFd in = platform::OpenRegularForReading(entry.scratchPath, &why);
  // Disk holds only the entries not yet taken.
  ::unlink(entry.scratchPath.c_str());
  if (!in.valid()) return platform::Status::Fail(why);
  for (;;) {
    const ssize_t got = platform::ReadFull(in.get(), chunk_.data(), kScratchChunk);
    if (got < 0) return platform::FailErrno("cannot read " + entry.scratchPath);
    if (got == 0) return platform::Status::Ok();
    if (platform::Status wrote = sink(chunk_.data(), static_cast<std::size_t>(got), entry.text); !wrote)
      return wrote;
  }
}

// What goes is exactly what was verified: each chunk of the earlier
// archive's data is read again and handed on only when its CRC-32 is the
// one noted then.
platform::Status EntryDeflater::TakeCopy(std::size_t index, DeflatedEntry& entry, const DeflateSink& sink) {
  auto changed = [&] {
    return platform::Status::Fail("cannot copy the deflated " + paths_[index] + " from " + earlier_.path +
                                  ": it changed while being packed");
  };
  std::uint64_t at = entry.rawOffset;
  std::uint64_t left = entry.rawSize;
  for (std::uint32_t crc : entry.rawCrcs) {
    const std::size_t want = left < kCopyDataChunk ? static_cast<std::size_t>(left) : kCopyDataChunk;
    const ssize_t got = platform::ReadFullAt(earlier_.fd.get(), chunk_.data(), want, static_cast<off_t>(at));
    if (got < 0) return platform::FailErrno("cannot read " + earlier_.path);
    if (got != static_cast<ssize_t>(want) ||
        static_cast<std::uint32_t>(::crc32(::crc32(0L, Z_NULL, 0), chunk_.data(), static_cast<uInt>(want))) != crc)
      return changed();
    if (platform::Status wrote = sink(chunk_.data(), want, entry.text); !wrote) return wrote;
    at += want;
    left -= want;
  }
  return left == 0 ? platform::Status::Ok() : changed();
}

// A large file, deflated now on several cores while its slices go to the
// sink as they finish.
platform::Status EntryDeflater::TakeStreamed(std::size_t index, DeflatedEntry& entry, const DeflateSink& sink,
                                             const std::function<void(std::uint64_t)>& tick) {
  const std::string& path = paths_[index];
  struct stat st {};
  platform::UniqueFd in = OpenFile(index, &st, &entry);
  if (!in.valid()) return entry.status;  // skipped now: the archive took its place meanwhile
  const std::uint64_t counted = entry.counted;
  std::atomic<std::uint64_t> sliced{0};
  auto read = [this, counted, &sliced](std::uint64_t bytes) {
    const std::uint64_t before = sliced.fetch_add(bytes);
    const std::uint64_t after = before + bytes;
    if (after > counted) CountRead(after - std::max(before, counted));
  };
  const DeflateSink write = [&](const unsigned char* data, std::size_t size, bool text) {
    platform::Status wrote = sink(data, size, text);
    Tell(tick);
    return wrote;
  };
  SliceDeflateResult deflated;
  if (platform::Status status = DeflateInSlices(in.get(), static_cast<std::uint64_t>(st.st_size), path,
                                                sliceThreads_, stop_, read, write, &deflated);
      !status)
    return status;
  entry.size = static_cast<std::uint64_t>(st.st_size);
  entry.crc = deflated.crc;
  entry.text = deflated.text;
  return platform::Status::Ok();
}

}  // namespace fsimage
