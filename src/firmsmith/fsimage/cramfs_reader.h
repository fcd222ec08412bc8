// Cramfs image reader: unpacks an image (layout in cramfs_format.h) into a
// folder, so that the files of an existing partition can be edited and the
// partition rebuilt.
//
// Contract, in short:
// - The superblock may sit at offset 0 or behind a 512-byte pad.
// - Folders, regular files and symbolic links (with their stored target) are
//   recreated. Files get the image's permission bits less set-id, sticky
//   and world-write bits (and less the umask);
//   owner, group and times are not applied.
// - Device nodes, FIFOs and sockets are made only with createSpecialFiles
//   (devices need root); the others are listed in a manifest
//   (cramfs_manifest.h) beside the destination, with one warning line.
// - An entry that cannot be read or written is left out (a file may be left
//   short) and the walk goes on; only the checks of the superblock, of the
//   root and of how the directory and data areas join up decide the result.
// - Entries named ".", ".." or holding "/" are skipped; nothing is ever
//   written outside the destination or through a link: whatever stands at an
//   entry's name (a link made earlier included) is replaced, never followed.
// - One extraction writes at most `budget` bytes of file data
//   (extract_budget.h); past it the walk stops, what it made is removed
//   and the result is -1 with the budget named.
// - Warnings go to standard error: "warning: old cramfs format",
//   "warning: file extends past end of filesystem", and the count of special
//   entries left to the manifest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/extract_budget.h"

namespace fsimage {

// Unpacks `imagePath` into `destination`, which is created when missing (its
// parent must exist); files of the same name inside it are overwritten.
// Returns 0 when the image passed the checks, -1 otherwise. `why`, when
// given, receives one line naming the file and the reason of a failure.
int ExtractCramfsImage(const std::string& imagePath, const std::string& destination,
                       std::string* why = nullptr);

struct CramfsExtractOptions {
  // Make device nodes, FIFOs and sockets too (what cannot be made for want
  // of privilege still goes to the manifest).
  bool createSpecialFiles = false;
  // Where the manifest goes; empty: CramfsManifestPath(destination). Written
  // only when something was left out; a stale one is removed.
  std::string manifestPath;
  // Bytes of file data the extraction may write (ReadExtractBudget).
  std::uint64_t budget = kDefaultExtractBudget;
  // Threads that inflate the files' blocks (1: the caller's alone; 0: one
  // per core). Files are still made and written by the walk, in its order:
  // the tree, the result and `why` are the same for any count.
  unsigned workers = 1;
};
int ExtractCramfsImage(const std::string& imagePath, const std::string& destination,
                       const CramfsExtractOptions& options, std::string* why);

// One entry of an image as stored, for listings and comparisons.
struct CramfsListedEntry {
  std::string path;  // relative, "/" between folders
  std::uint32_t mode = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint32_t size = 0;  // bytes; for device nodes the number (cramfs_format.h)
  std::string linkTarget;  // symbolic links only
};
// Every entry below the root in the order of the image's lists, read with
// the structural check's strictness. 0, or -1 with the first finding in *why.
int ListCramfsImage(const std::string& imagePath, std::vector<CramfsListedEntry>* entries,
                    std::string* why = nullptr);

// Walks the image as ExtractCramfsImage would, without writing anything, and
// is strict where the extraction is lenient: the superblock CRC (format
// version 2) must match and every entry must be whole (names, pointer
// tables, every block inflating to its length). Returns 0 when the image is
// sound, -1 otherwise; `problems` gets one line per finding, the damaged
// entry's path first. The files' blocks are inflated on `workers` threads
// (1: on the caller's alone; 0: one per core); the findings, their order
// and the result are the same for any count.
int CheckCramfsImage(const std::string& imagePath, std::vector<std::string>* problems, unsigned workers = 1);

// Both of the above from one walk, so an image is inflated once: `entries`
// as ListCramfsImage fills them (nullptr: not kept), `why` as it sets it and
// `problems` exactly as CheckCramfsImage fills them (empty when sound).
// Returns what either returns (they agree).
int ListAndCheckCramfsImage(const std::string& imagePath, std::vector<CramfsListedEntry>* entries,
                            std::string* why, std::vector<std::string>* problems, unsigned workers = 1);

}  // namespace fsimage
