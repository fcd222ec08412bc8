// What a squashfs partition holds that its unpacked tree in a work folder
// must not: device nodes, FIFOs and sockets, set-id and sticky bits,
// world-writable modes, and the owners of its entries. The inert unpack
// (ExtractSquashfsImage) writes them to "<destination>.pseudo"; the build of
// that tree hands them back to mksquashfs as pseudo-file definitions, so the
// rebuilt partition holds what it held, whoever runs the rework.
//
// Manifest format: the pseudo-file definitions mksquashfs reads with -pf,
// one per line; lines starting with "#" and empty lines are comments:
//
//   /    m MODE UID GID                the root folder (given to mksquashfs
//                                      as -root-mode, -root-uid, -root-gid)
//   PATH m MODE UID GID                a folder, file or link of the tree
//   PATH c|b MODE UID GID MAJOR MINOR  a character or block device
//   PATH i MODE UID GID f|s            a FIFO (f) or socket (s)
//
//   PATH  relative to the root, "/" between folders; every byte other than
//         a letter, digit, ".", "_", "-", "/" or one of 0x80..0xff is
//         preceded by "\" (as unsquashfs' exclude files and -cat take them)
//   MODE  octal, four digits ("4755"); UID, GID, MAJOR, MINOR decimal
//
// e.g. "dev/console c 0600 0 0 5 1", "bin/busybox m 4755 0 0".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/platform/status.h"
#include "firmsmith/fsimage/source_tree.h"

namespace fsimage {

struct SquashfsManifestEntry {
  std::string path;  // relative, "/"-separated; "" for the root
  // 'm' (an entry of the tree), or the type of a special file:
  // kTypeCharDevice, kTypeBlockDevice, kTypeFifo, kTypeSocket.
  char kind = 'm';
  std::uint32_t mode = 0;  // 07777
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
};

struct SquashfsManifest {
  SquashfsManifestEntry root;
  std::vector<SquashfsManifestEntry> entries;  // without the root
};

// "<destination>.pseudo": where the inert unpack puts a destination's manifest.
std::string SquashfsManifestPath(const std::string& destination);

// A path written for the tools (see above).
std::string EscapeSquashfsPath(const std::string& path);

// The manifest line of a listed entry: its type letter for a device node,
// FIFO or socket, 'm' for the rest; permission bits 07777.
SquashfsManifestEntry SquashfsManifestEntryOf(const SourceEntry& e);
// The entry a line of a special file promises the image holds, its
// attributes known.
SourceEntry SourceEntryOf(const SquashfsManifestEntry& e);

// The manifest of an image as "unsquashfs -lln" listed it.
SquashfsManifest SquashfsManifestOfListing(const SourceEntry& root, const std::vector<SourceEntry>& entries);

// The manifest text, header comment included; `withRoot` false leaves out
// the root line (mksquashfs takes the root's attributes as options).
std::string FormatSquashfsManifest(const SquashfsManifest& manifest, bool withRoot = true);
// Parses a manifest; a bad line fails naming `shownPath`, the line number and
// what is wrong. A manifest without a root line fails too.
platform::Status ParseSquashfsManifest(const std::string& text, const std::string& shownPath,
                                       SquashfsManifest* manifest);
platform::Status ReadSquashfsManifest(const std::string& path, SquashfsManifest* manifest);
platform::Status WriteSquashfsManifest(const std::string& path, const SquashfsManifest& manifest);

// For a tree whose entries at and below `relative` were deleted: removes
// from the manifest at `path` the special files there, and the entries of
// the tree there that `tree` no longer holds (looked up without following
// any link). No manifest: nothing to do.
platform::Status DropSquashfsManifestEntries(const std::string& path, const std::string& tree,
                                             const std::string& relative);

// The entry type letter of a special kind, kTypeFile for 'm'.
inline char TypeOfManifestKind(char kind) { return kind == 'm' ? kTypeFile : kind; }

}  // namespace fsimage
