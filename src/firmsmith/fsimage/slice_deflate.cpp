#include "firmsmith/fsimage/slice_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "common/platform/fd.h"

namespace fsimage {
namespace {

// minizip's deflate parameters for an entry at the default level: a raw
// stream (negative window bits), a 32 KiB window, memory level 8.
constexpr int kLevel = Z_DEFAULT_COMPRESSION;
constexpr int kWindowBits = -MAX_WBITS;
constexpr int kMemLevel = 8;
constexpr std::size_t kWindow = std::size_t{1} << MAX_WBITS;
static_assert(kDeflateSlice >= kWindow, "a slice's dictionary is the tail of the slice before it");

std::uint32_t Crc(const unsigned char* data, std::size_t size) {
  return static_cast<std::uint32_t>(::crc32(::crc32(0L, Z_NULL, 0), data, static_cast<uInt>(size)));
}

struct DoneSlice {
  std::vector<unsigned char> bytes;  // deflate data
  std::uint64_t length = 0;          // input bytes
  std::uint32_t crc = 0;             // of the input bytes
  std::uint32_t tailCrc = 0;         // of the input's last kWindow bytes
  std::uint32_t dictionaryCrc = 0;   // of the dictionary it was primed with
  bool text = false;
};

// One deflate state, ended however the job ends.
class SliceDeflater {
 public:
  SliceDeflater() {
    ok_ = ::deflateInit2(&z_, kLevel, Z_DEFLATED, kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~SliceDeflater() {
    if (ok_) ::deflateEnd(&z_);
  }
  SliceDeflater(const SliceDeflater&) = delete;
  SliceDeflater& operator=(const SliceDeflater&) = delete;
  bool ok() const { return ok_; }
  z_stream* stream() { return &z_; }

 private:
  z_stream z_{};
  bool ok_ = false;
};

class SliceJob {
 public:
  SliceJob(int in, std::uint64_t size, const std::string& path, const std::atomic<bool>& stop,
           const std::function<void(std::uint64_t)>& read, const DeflateSink& write, unsigned threads)
      : in_(in),
        size_(size),
        path_(path),
        stop_(stop),
        read_(read),
        write_(write),
        slices_(size == 0 ? 1 : (size + kDeflateSlice - 1) / kDeflateSlice),
        ahead_(2 * std::size_t{threads} + 2) {}

  platform::Status Run(unsigned threads, SliceDeflateResult* result) {
    std::vector<std::thread> helpers;
    // One slice is not worth a thread; with more, the calling thread only
    // writes, so the writing overlaps the deflating.
    const std::size_t count = slices_ == 1 ? 0 : std::min<std::size_t>(threads, slices_);
    for (std::size_t t = 0; t < count; ++t) {
      try {
        helpers.emplace_back([this] { Work(); });
      } catch (const std::system_error&) {
        break;  // fewer threads: the same bytes, later
      }
    }
    try {
      WriteInOrder(helpers.empty());
    } catch (const std::exception&) {
      Fail(platform::Status::Fail("cannot deflate " + path_ + ": out of memory"));
    }
    {
      // Whatever stopped the writer stops the helpers too.
      std::lock_guard<std::mutex> lock(mutex_);
      if (written_ != slices_ && !failed_) FailLocked(Stopped());
    }
    for (std::thread& t : helpers) t.join();
    if (failed_) return failure_;
    result->crc = crc_;
    result->text = text_;
    return platform::Status::Ok();
  }

 private:
  platform::Status Stopped() const { return platform::Status::Fail("packing " + path_ + " was stopped"); }

  void Work() {
    try {
      WorkSlices();
    } catch (const std::exception&) {
      Fail(platform::Status::Fail("cannot deflate " + path_ + ": out of memory"));
    }
  }

  void WorkSlices() {
    SliceDeflater z;
    if (!z.ok()) return Fail(platform::Status::Fail("cannot deflate " + path_ + ": out of memory"));
    std::vector<unsigned char> input(kWindow + kDeflateSlice);
    for (;;) {
      std::size_t index = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        // Not too far ahead of the writer, so memory stays small.
        changed_.wait(lock, [&] { return failed_ || stop_ || next_ >= slices_ || next_ < written_ + ahead_; });
        if (stop_ && !failed_) FailLocked(Stopped());
        if (failed_ || next_ >= slices_) return;
        index = next_++;
      }
      DoneSlice done;
      if (!Deflate(z.stream(), index, &input, &done)) return;
      std::lock_guard<std::mutex> lock(mutex_);
      if (failed_) return;
      waiting_.emplace(index, std::move(done));
      changed_.notify_all();
    }
  }

  // Writes each slice once it is the next in order; without helpers, the
  // calling thread deflates each itself first.
  void WriteInOrder(bool deflateToo) {
    std::optional<SliceDeflater> z;
    std::vector<unsigned char> input;
    for (;;) {
      DoneSlice s;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!deflateToo)
          changed_.wait(lock, [&] {
            return failed_ || stop_ || written_ == slices_ || waiting_.count(written_) != 0;
          });
        if (failed_ || written_ == slices_) return;
        if (stop_) return FailLocked(Stopped());
        if (deflateToo) {
          // Alone, the next slice to deflate is the next to write.
          next_ = written_ + 1;
        } else {
          auto it = waiting_.find(written_);
          s = std::move(it->second);
          waiting_.erase(it);
        }
      }
      if (deflateToo) {
        if (!z) {
          z.emplace();
          input.resize(kWindow + kDeflateSlice);
        }
        if (!z->ok()) return Fail(platform::Status::Fail("cannot deflate " + path_ + ": out of memory"));
        if (!Deflate(z->stream(), written_, &input, &s)) return;
      }
      // Each slice was primed with the bytes the one before it read: when
      // they differ, the file changed between the reads and the stream
      // would inflate to something else.
      if (written_ != 0 && s.dictionaryCrc != tailCrc_)
        return Fail(platform::Status::Fail("cannot read " + path_ + ": it changed while being packed"));
      if (written_ == 0) text_ = s.text;
      if (!s.bytes.empty()) {
        if (platform::Status wrote = write_(s.bytes.data(), s.bytes.size(), text_); !wrote)
          return Fail(std::move(wrote));
      }
      crc_ = written_ == 0 ? s.crc
                           : static_cast<std::uint32_t>(::crc32_combine(crc_, s.crc, static_cast<z_off_t>(s.length)));
      tailCrc_ = s.tailCrc;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++written_;
      }
      changed_.notify_all();
    }
  }

  bool Deflate(z_stream* z, std::size_t index, std::vector<unsigned char>* input, DoneSlice* done) {
    const std::uint64_t from = std::uint64_t{index} * kDeflateSlice;
    const std::size_t dictionary = index == 0 ? 0 : kWindow;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kDeflateSlice, size_ - from));
    const ssize_t got = platform::ReadFullAt(in_, input->data(), dictionary + length,
                                             static_cast<off_t>(from - dictionary));
    if (got != static_cast<ssize_t>(dictionary + length)) {
      Fail(got < 0 ? platform::FailErrno("cannot read " + path_)
                   : platform::Status::Fail("cannot read " + path_ + ": it shrank while being packed"));
      return false;
    }
    if (read_) read_(length);
    const unsigned char* data = input->data() + dictionary;
    if (::deflateReset(z) != Z_OK ||
        (dictionary != 0 && ::deflateSetDictionary(z, input->data(), static_cast<uInt>(dictionary)) != Z_OK)) {
      Fail(platform::Status::Fail("cannot deflate " + path_ + ": the deflate stream broke"));
      return false;
    }
    const bool last = index + 1 == slices_;
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    z->next_in = const_cast<unsigned char*>(data);
    z->avail_in = static_cast<uInt>(length);
    done->bytes.resize(::deflateBound(z, length) + 16);
    std::size_t made = 0;
    for (;;) {
      z->next_out = done->bytes.data() + made;
      z->avail_out = static_cast<uInt>(done->bytes.size() - made);
      const int r = ::deflate(z, flush);
      made = done->bytes.size() - z->avail_out;
      if (r == Z_STREAM_ERROR) {
        Fail(platform::Status::Fail("cannot deflate " + path_ + ": the deflate stream broke"));
        return false;
      }
      // A flush is complete once it leaves output room unused.
      if (last ? r == Z_STREAM_END : (z->avail_in == 0 && z->avail_out != 0)) break;
      done->bytes.resize(done->bytes.size() * 2);
    }
    done->bytes.resize(made);
    done->length = length;
    done->crc = Crc(data, length);
    const std::size_t tail = std::min(length, kWindow);
    done->tailCrc = Crc(data + length - tail, tail);
    done->dictionaryCrc = dictionary == 0 ? 0 : Crc(input->data(), dictionary);
    done->text = z->data_type == Z_TEXT;
    return true;
  }

  void Fail(platform::Status why) {
    std::lock_guard<std::mutex> lock(mutex_);
    FailLocked(std::move(why));
  }
  void FailLocked(platform::Status why) {
    if (!failed_) failure_ = std::move(why);
    failed_ = true;
    waiting_.clear();
    changed_.notify_all();
  }

  const int in_;
  const std::uint64_t size_;
  const std::string& path_;
  const std::atomic<bool>& stop_;
  const std::function<void(std::uint64_t)>& read_;
  const DeflateSink& write_;
  const std::size_t slices_;
  const std::size_t ahead_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;     // the next slice to deflate
  std::size_t written_ = 0;  // slices written; changed by the writer only
  std::map<std::size_t, DoneSlice> waiting_;
  // The writer's alone.
  std::uint32_t crc_ = 0;
  std::uint32_t tailCrc_ = 0;
  bool text_ = false;
  // Set under the mutex; read by Run once the helpers are joined.
  bool failed_ = false;
  platform::Status failure_;
};

}  // namespace

platform::Status DeflateInSlices(int in, std::uint64_t size, const std::string& path, unsigned threads,
                                 const std::atomic<bool>& stop, const std::function<void(std::uint64_t)>& read,
                                 const DeflateSink& write, SliceDeflateResult* result) {
  threads = std::max(1u, threads);
  SliceJob job(in, size, path, stop, read, write, threads);
  return job.Run(threads, result);
}

}  // namespace fsimage
