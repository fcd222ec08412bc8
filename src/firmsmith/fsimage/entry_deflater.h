// Package entries deflated side by side: worker threads take the files of a
// list in order and raw-deflate each (no zlib header) at the default level
// with a 15-bit window and memory level 8, as minizip does for a deflated
// entry, a large file in slices on several cores (slice_deflate.h), into a
// scratch file of its own, taking its CRC-32. A file that an earlier archive
// (the package being reworked) already holds as a deflated entry keeps that
// entry's deflate data: in one read of the file, the entry's raw data are
// copied into the scratch file and inflated, and they count only when they
// inflate to exactly the file's bytes (ending with the stream, CRC-32 equal
// to the directory's); on any difference or any trouble reading the earlier
// archive the file is deflated as above. The owner takes the results in list order, so what it
// writes does not depend on which worker finished first. Memory stays at a
// few fixed buffers plus a deflate and an inflate state per worker,
// whatever the sizes.
#pragma once

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

namespace fsimage {

struct DeflatedEntry {
  platform::Status status;   // failed: names the file (or the scratch file) and the cause
  bool skipped = false;      // the file is the one to leave out
  std::string scratchPath;   // the raw deflate data, when not skipped
  std::uint64_t size = 0;    // bytes read from the file
  std::uint32_t crc = 0;     // CRC-32 of those bytes
  bool text = false;         // deflate judged the data text (Z_TEXT), as minizip marks it
                             // (copied: the earlier archive's text mark)
  bool copied = false;       // the deflate data are the earlier archive's entry's
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

 private:
  void Work();
  void Deflate(std::size_t index, DeflatedEntry* entry);
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
};

}  // namespace fsimage
