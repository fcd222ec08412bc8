// Pieces the manifests beside an unpacked tree share (the cramfs special-file
// manifest and the squashfs pseudo file): where a manifest goes, which paths
// a line may name, and how its numbers read. A manifest sits in a work folder
// an operator may edit, so every path and number in it is checked as hostile.
#pragma once

#include <cstdint>
#include <string>

namespace fsimage {

// "<destination><suffix>", trailing "/" of the destination dropped first,
// e.g. ("work/root/", ".manifest") -> "work/root.manifest".
std::string ManifestPathBeside(const std::string& destination, const char* suffix);

// True for a relative path of plain names ("etc/init.d/rcS"): not empty, no
// leading or trailing "/", no empty, "." or ".." part, no NUL byte; nothing
// that could leave the tree it is opened below.
bool IsTreePath(const std::string& path);

// Digits only (no sign, no blanks, at most 12) in `base` (8 or 10), at most
// `limit`; false otherwise, *value then untouched.
bool ParseManifestNumber(const std::string& text, int base, std::uint32_t limit, std::uint32_t* value);

}  // namespace fsimage
