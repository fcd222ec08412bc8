// The image-kind probe: tells whether a partition image holds squashfs,
// cramfs or jffs2 by the signature bytes at the start of its file system, looking
// inside a package archive, behind a partition header, at a flash offset, or
// at the start of a bare image.
#pragma once

#include <cstddef>
#include <string>

#include "common/platform/status.h"

namespace fsimage {

// Squashfs images begin with this (little-endian superblock magic).
inline constexpr char kSquashfsMagic[] = "hsqs";
inline constexpr std::size_t kSquashfsMagicLength = 4;

enum ImageKind : int {
  kImageKindArchiveError = -1,
  kImageKindNone = 0,
  kImageKindCramfs = 1,
  kImageKindSquashfs = 2,
  kImageKindJffs2 = 3,
};

enum ProbeMode : int {
  // path: a ZIP archive; key: entry name, equal to it (match 0) or
  // contained in it (match 1); the file system behind the partition header.
  kProbeArchiveEntry = 0,
  // path: a file (a flash image); key: the byte offset of the file system,
  // decimal or 0x-hexadecimal; an empty or unreadable key gives 0.
  kProbeAtOffset = 1,
  // path: a partition image; the file system behind the partition header.
  kProbeBehindHeader = 2,
  // path: a bare file-system image.
  kProbeBareImage = 3,
};

// kImageKindSquashfs, kImageKindCramfs, kImageKindJffs2 or kImageKindNone; kImageKindArchiveError
// when the archive of mode 0 cannot be opened. An empty path, an empty key in
// mode 0, an unreadable file or an unknown mode give kImageKindNone. In mode 0
// the first matching entry (archive order) that shows a signature decides.
// When the archive or the file cannot be opened or read, *why (when given)
// receives the reason naming it, whatever the kind returned; it is ok
// otherwise.
int DetectImageKind(int mode, const std::string& path, const std::string& key, int match,
                    platform::Status* why = nullptr);

}  // namespace fsimage
