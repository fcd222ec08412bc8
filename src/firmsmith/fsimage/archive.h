// Package archives: an upgrade package (and a device configuration export)
// is a ZIP archive. Reading goes through zziplib, writing through minizip.
#pragma once

#include <cstdint>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "common/platform/status.h"
#include "firmsmith/fsimage/extract_budget.h"

namespace fsimage {

// A single file larger than this cannot be packed.
inline constexpr std::uint64_t kMaxPackedFileSize = 167772160;  // 160 MiB
// An entry that would unpack to more than this is refused: packing never
// makes a larger one, so only a damaged or hostile archive names it.
inline constexpr std::uint64_t kMaxUnpackedEntrySize = kMaxPackedFileSize;

// A count of bytes as a long unpack or pack goes: `done` of `total` (the sum
// of the entries' sizes). Called on the thread that called UnpackArchive or
// PackFolder, never from a worker; `done` never goes back, and a complete
// run ends with done == total.
using ByteCount = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Takes the bytes of one unpacked entry in place of its file (see `divert`
// of UnpackArchive). A sink dropped without Finish() (the entry turned out
// damaged, or a write failed) removes whatever it wrote.
class EntrySink {
 public:
  virtual ~EntrySink() = default;
  // The entry's next bytes, in order; a failure (naming the file) stops the
  // unpack as a failed write would.
  virtual platform::Status Write(const std::uint8_t* data, std::size_t size) = 0;
  // Every byte came and the entry's CRC-32 and size are right.
  virtual platform::Status Finish() = 0;
  // A sink that takes the CRC-32 of every byte it is given anyway says so,
  // and Crc() then gives it once all came: the unpack compares that with
  // the directory instead of reading the bytes a second time.
  virtual bool TakesCrc() const { return false; }
  virtual std::uint32_t Crc() const { return 0; }
};
using EntryDivert = std::function<std::unique_ptr<EntrySink>(const std::string& fileName)>;

// Writes every entry of the archive (exactly the file named, a regular file)
// into `destination` (made when missing), in archive order,
// tracing "extract:<name>" for each (debuglog.h). An entry name with
// "/" keeps its folders, which are created as needed. Entries that would land
// outside the destination (absolute names, ".." parts, a path through a
// symbolic link that leads out of the destination, or onto a symbolic link
// that does) are skipped, like entries whose place holds something other
// than a regular file. Before anything is written, the archive's directory
// is checked (ReadZipDirectory: no encrypted entry, no compression method
// other than stored and deflated, no name twice, no entry over
// kMaxUnpackedEntrySize, no overlapping entries); every entry's CRC-32 and size
// are compared as it is written. Returns 0, or -1 when the archive cannot be
// opened or fails those checks, the destination cannot be made, or an entry
// cannot be read, created or written completely or is damaged (the unpack
// stops there; the file of that entry is removed). *why (when given)
// receives the reason, naming the file or the entry. An archive whose
// entries add up to more than `budget` bytes (extract_budget.h: a device's
// reply) is refused before anything is written. `count` (when given) hears
// the bytes written so far as each chunk goes.
// `divert` (when given) is asked for each entry that would land at the top
// of the destination, by its file name, once its place there is free or a
// regular file: a sink it returns takes the entry's bytes instead of a file
// (the file is neither written nor touched), with the same checks of CRC-32
// and size; nullptr: the file is written as usual.
int UnpackArchive(const std::string& archive, const std::string& destination,
                  platform::Status* why = nullptr, std::uint64_t budget = kNoExtractBudget,
                  const ByteCount& count = ByteCount(), const EntryDivert& divert = EntryDivert());

// How PackFolder spreads its work.
struct PackOptions {
  // Threads deflating entries side by side; 0: one per core. The archive's
  // bytes are the same whatever the number.
  unsigned workers = 0;
  // Small entries deflated ahead wait on disk, in a folder of their own
  // made (and removed) below this one; empty: the temporary folder (TMPDIR
  // or /tmp).
  std::string scratchParent;
  // Bytes deflated so far (see ByteCount).
  ByteCount count;
  // An archive (the package being reworked) whose deflated entries stand
  // for files of the same name whose bytes they hold exactly: their deflate
  // data are copied as they are instead of deflating the file again. A
  // missing, unreadable or damaged archive, or an entry that is no exact copy
  // of the file, only means the file is deflated. Empty: none.
  std::string reuseFrom;
};

// Creates (or replaces) `archive` with one entry per regular file of the tree
// under `folder`, each named by its bare file name without folders, deflated
// at the default level and dated DOS date 0x0020, time 0, so the same tree
// gives the same bytes. A file that options.reuseFrom holds unchanged (a
// deflated entry of its name whose data inflate to exactly its bytes, checked
// as they are copied) keeps that entry's deflate data and text mark instead;
// the others are deflated as said. Folders are walked in name order and get no entries
// of their own. Two files of the same name (e.g. "a/x.bin" and "b/x.bin")
// would give two entries of one name: the folder is refused, naming both,
// before the archive is created or changed. Small entries are deflated
// side by side into scratch files ahead of the writer; a large one is
// deflated in slices on several cores once the writer reaches it, the
// slices going into the archive as they finish; copied data go straight
// from the earlier archive. The calling thread writes in walk order, with
// raw deflate at the default level, 15-bit window and memory level 8 (what
// minizip itself would use), so the bytes are those of a one-entry-at-a-time
// run, and memory stays at a few buffers and slices per worker, whatever
// the file sizes. Returns 0, or -1 when the folder is missing, the archive or
// the scratch folder cannot be created, a file or folder of the tree cannot
// be opened or read, a file is larger than kMaxPackedFileSize, a scratch file
// cannot be written, the earlier archive changed between the check of an
// entry and its copy, or an entry cannot be written completely (the
// archive, which the caller then discards, keeps the entries before the
// failed one and part of it; no scratch file stays).
// *why (when given) receives the reason, naming the file.
int PackFolder(const std::string& folder, const std::string& archive,
               platform::Status* why = nullptr, const PackOptions& options = PackOptions());

}  // namespace fsimage
