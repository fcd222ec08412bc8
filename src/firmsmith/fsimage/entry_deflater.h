// Package entries deflated side by side: worker threads take the files of a
// list in order and raw-deflate each (no zlib header) at the default level
// with a 15-bit window and memory level 8, as minizip does for a deflated
// entry, taking its CRC-32. A file of one slice (slice_deflate.h) is
// deflated ahead into a scratch file of its own; a larger one is deflated
// when the owner takes it, on several cores, its slices going to the owner
// in order as they finish, so no scratch copy of it is written and read
// back. A file that an earlier archive (the package being reworked) already
// holds as a deflated entry keeps that entry's deflate data: a worker reads
// the file and inflates the entry's raw data once, and they count only when
// they inflate to exactly the file's bytes (ending with the stream, CRC-32
// equal to the directory's), noting a CRC-32 of each chunk of raw data; on
// any difference or any trouble reading the earlier archive the file is
// deflated as above. When the owner takes such an entry, the raw data are
// read again and each chunk goes only once its CRC-32 is the one verified:
// an earlier archive changed meanwhile fails the entry naming the archive.
// The owner takes the results in list order, so what it gets does not
// depend on which worker finished first. Memory stays at a few fixed
// buffers and slices plus a deflate and an inflate state per worker,
// whatever the sizes.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/fd.h"
#include "common/platform/status.h"
#include "common/zip/zip_reader.h"
#include "firmsmith/fsimage/slice_deflate.h"

namespace fsimage {

struct DeflatedEntry {
  platform::Status status;   // failed: names the file (or the scratch file) and the cause
  bool skipped = false;      // the file is the one to leave out
  std::uint64_t size = 0;    // bytes read from the file
  std::uint32_t crc = 0;     // CRC-32 of those bytes
  bool text = false;         // deflate judged the data text (Z_TEXT), as minizip marks it
                             // (copied: the earlier archive's text mark)
  bool copied = false;       // the deflate data are the earlier archive's entry's
  // Size, CRC-32 and text mark are known once the owner has taken a
  // streamed entry.
  bool streamed = false;     // deflated as the owner takes it
  std::string scratchPath;   // the raw deflate data of a file deflated ahead
  // Copied: where the entry's raw data lie in the earlier archive, and the
  // CRC-32 of each chunk of them as verified.
  std::uint64_t rawOffset = 0;
  std::uint64_t rawSize = 0;
  std::vector<std::uint32_t> rawCrcs;
  std::uint64_t counted = 0;  // bytes of the file already counted as read
};

// An archive whose deflated entries may stand for files to pack: its
// descriptor, its name (for traces) and, per file of the list, the entry of
// the same name when there is one, else nothing.
struct EarlierArchive {
  platform::UniqueFd fd;
  std::string path;
  std::vector<std::optional<zipfile::ZipEntryInfo>> entries;
};

class EntryDeflater {
 public:
  // Files larger than `maxSize` fail. A file that is (same device and inode)
  // `skipDevice`/`skipInode` is skipped. `workers` 0: one per core. Scratch
  // files go into `scratchFolder`, which the owner removes. `earlier` (its
  // entries empty or one per path) offers deflate data to copy.
  EntryDeflater(std::vector<std::string> paths, std::string scratchFolder, std::uint64_t maxSize,
                dev_t skipDevice, ino_t skipInode, unsigned workers, EarlierArchive earlier = EarlierArchive());
  // Stops the workers (an entry under way is abandoned) and waits for them.
  ~EntryDeflater();
  EntryDeflater(const EntryDeflater&) = delete;
  EntryDeflater& operator=(const EntryDeflater&) = delete;

  // Waits until entry `index` is done. `tick` (may be empty) hears the bytes
  // all workers have read so far whenever that grew, on the calling thread.
  const DeflatedEntry& Wait(std::size_t index, const std::function<void(std::uint64_t)>& tick);

  // Waits for entry `index` and hands its raw deflate data to `sink` in
  // order, on the calling thread (`tick` as for Wait); entries are taken in
  // list order. *entry (when given) receives the entry, its size, CRC-32
  // and text mark complete. Fails naming the file, the scratch file or the
  // earlier archive and the cause, or with the sink's failure.
  platform::Status Take(std::size_t index, const DeflateSink& sink, const std::function<void(std::uint64_t)>& tick,
                        const DeflatedEntry** entry = nullptr);

 private:
  void Work();
  void Deflate(std::size_t index, DeflatedEntry* entry);
  platform::UniqueFd OpenFile(std::size_t index, struct stat* st, DeflatedEntry* entry);
  platform::Status TakeScratch(DeflatedEntry& entry, const DeflateSink& sink);
  platform::Status TakeCopy(std::size_t index, DeflatedEntry& entry, const DeflateSink& sink);
  platform::Status TakeStreamed(std::size_t index, DeflatedEntry& entry, const DeflateSink& sink,
                                const std::function<void(std::uint64_t)>& tick);
  void Tell(const std::function<void(std::uint64_t)>& tick);
  enum class Copy { kDone, kDeflate, kFailed };
  struct Pass;
  Copy CopyEarlier(std::size_t index, Pass& pass, DeflatedEntry* entry);
  platform::Status ReadFile(Pass& pass, std::size_t want);
  void CountRead(std::uint64_t bytes);

  const std::vector<std::string> paths_;
  const std::string scratch_;
  const std::uint64_t maxSize_;
  const dev_t skipDevice_;
  const ino_t skipInode_;
  const EarlierArchive earlier_;
  unsigned sliceThreads_ = 1;
  std::vector<DeflatedEntry> entries_;
  std::unique_ptr<std::atomic<bool>[]> done_;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::uint64_t> bytesRead_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> workers_;
  std::uint64_t told_ = 0;               // the owner's: bytes its tick last heard
  std::vector<unsigned char> chunk_;     // the owner's: copying buffer
};

}  // namespace fsimage
