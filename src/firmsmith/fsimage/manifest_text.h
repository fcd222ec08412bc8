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

// The fields every entry record of ours shares (SourceEntry and the entries
// of both manifests): path, permission bits (07777), owner and device
// number. The type, which each record tells its own way, is the caller's.
template <typename To, typename From>
To SharedFieldsOf(const From& from) {
  To to;
  to.path = from.path;
  to.mode = from.mode & 07777;
  to.uid = from.uid;
  to.gid = from.gid;
  to.major = from.major;
  to.minor = from.minor;
  return to;
}

}  // namespace fsimage
