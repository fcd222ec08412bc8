// Package archives: an upgrade package (and a device configuration export)
// is a ZIP archive. Reading goes through zziplib, writing through minizip.
#pragma once

#include <cstdint>
#include <string>

namespace fsimage {

// A single file larger than this cannot be packed.
inline constexpr std::uint64_t kMaxPackedFileSize = 167772160;  // 160 MiB

// Writes every entry of the archive (exactly the file named, a regular file)
// into `destination` (made when missing), in archive order,
// printing "extract:<name>" for each on standard output. An entry name with
// "/" keeps its folders, which are created as needed. Entries that would land
// outside the destination (absolute names, ".." parts, a path through a
// symbolic link that leads out of the destination, or onto a symbolic link
// that does) are skipped, like entries whose file cannot be created.
// Returns -1 when the archive cannot be opened, else 0.
int UnpackArchive(const std::string& archive, const std::string& destination);

// Creates (or replaces) `archive` with one entry per regular file of the tree
// under `folder`, each named by its bare file name without folders, deflated
// at the default level and dated DOS date 0x0020, time 0, so the same tree
// gives the same bytes. Folders are walked in name order and get no entries
// of their own; files that cannot be opened are left out. Returns 0, or -1
// when the archive cannot be created, a file is larger than
// kMaxPackedFileSize (the walk stops there; the archive keeps the entries
// made so far) or a file cannot be read or written completely.
int PackFolder(const std::string& folder, const std::string& archive);

}  // namespace fsimage
