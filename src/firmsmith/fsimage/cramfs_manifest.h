// Special entries of a cramfs tree that do not exist as real files in a work
// folder: device nodes, FIFOs and sockets. The extractor writes what it did
// not create to "<destination>.manifest"; the writer adds a manifest's
// entries back into the image, so an unprivileged unpack and rebuild keeps
// them.
//
// Manifest format: UTF-8 text, one entry per line, fields separated by one
// blank; lines starting with "#" and empty lines are comments:
//
//   PATH TYPE MODE UID:GID DEVICE
//
//   PATH    relative to the tree's root, "/" between folders; bytes below
//           0x21, 0x7f, "\" and a "#" that starts it are written as "\" and
//           three octal digits
//   TYPE    c (character device), b (block device), p (FIFO), s (socket)
//   MODE    permission bits in octal, four digits ("0644")
//   UID:GID owner and group, decimal
//   DEVICE  MAJOR:MINOR, decimal, for c and b; "-" for p and s
//
// e.g. "dev/console c 0600 0:0 5:1".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/platform/status.h"
#include "firmsmith/fsimage/source_tree.h"

namespace fsimage {

struct CramfsSpecialEntry {
  std::string path;    // relative, "/"-separated, no "." or ".." parts
  char type = 'p';     // 'c', 'b', 'p' or 's'
  std::uint32_t mode = 0;  // permission bits (07777)
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
};

// "<destination>.manifest": where the extractor puts a destination's manifest.
std::string CramfsManifestPath(const std::string& destination);

// The manifest text of `entries`, header comment included.
std::string FormatCramfsManifest(const std::vector<CramfsSpecialEntry>& entries);
// Parses a manifest; a bad line fails naming `shownPath`, the line number and
// what is wrong.
platform::Status ParseCramfsManifest(const std::string& text, const std::string& shownPath,
                                     std::vector<CramfsSpecialEntry>* entries);
// Reads and parses the manifest file at `path`.
platform::Status ReadCramfsManifest(const std::string& path, std::vector<CramfsSpecialEntry>* entries);

// Removes the entries at `relative` and below it from the manifest at `path`,
// for a tree whose files there were deleted. No manifest: nothing to do.
platform::Status DropCramfsManifestEntries(const std::string& path, const std::string& relative);

// The manifest entry of a device node, FIFO or socket `e` of a tree listing,
// and back: the entry an image built with the manifest must hold, its
// attributes known.
CramfsSpecialEntry SpecialEntryOf(const SourceEntry& e);
SourceEntry SourceEntryOf(const CramfsSpecialEntry& e);

// Writes `entries` (not empty) as the manifest at `path` and warns once that
// they were not created and where they are listed.
platform::Status WriteSkippedSpecials(const std::string& path, const std::vector<CramfsSpecialEntry>& entries);

// The file-type bits of a manifest type letter (S_IFCHR ...), 0 when unknown.
std::uint32_t CramfsSpecialTypeBits(char type);

}  // namespace fsimage
