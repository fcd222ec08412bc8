// Whether unpacking a package gave back every entry whole. The archive
// reader skips entries it cannot write and stops an entry at the first
// damaged block without saying so; a rework must not repack such a folder
// in place of the operator's package.
#pragma once

#include <string>
#include <vector>

namespace package {

// True when every top-level entry of `archive` stands in `folder` as a
// regular file of the entry's size. Entries with folder parts, and names
// that occur twice, are not checked.
bool UnpackedCompletely(const std::string& archive, const std::string& folder);

// Why the unpacked image entry at `path` cannot be trusted (its header or
// data fails its own checks), as one short reason; "" when it is sound.
std::string ImageDamage(const std::string& path);

// The names of the archive's entries in archive order; empty when it cannot
// be read.
std::vector<std::string> ArchiveEntryNames(const std::string& archive);

}  // namespace package
