// Internal to the cramfs writer: the source tree as one record per entry, and
// the scan that builds it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fsimage {

struct CramfsSpecialEntry;

struct CramfsEntry {
  std::string name;  // stored name, at most 252 bytes
  std::uint32_t mode = 0;
  // File length (capped), link target length, bytes of the entry list, or
  // the device number of a device node.
  std::uint32_t size = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::string path;        // source path, entries with data only
  std::string linkTarget;  // symbolic links: their data, read at the scan
  const CramfsEntry* sharedWith = nullptr;  // earlier identical data, duplicates only
  std::uint32_t dataOffset = 0;           // of its block-pointer table
  std::uint32_t inodeOffset = 0;          // of its own inode
  // Children in name order. A vector rather than sibling chains, so that a
  // folder of many thousand files is not torn down by deep recursion.
  std::vector<CramfsEntry> children;

  bool IsDirectory() const;
  bool IsLink() const;
  // Regular files and links with at least one byte: the entries with blocks.
  bool HasData() const;
};

struct CramfsTree {
  CramfsEntry root;
  // Zero-filled buffer the image is assembled in: an upper bound of its size.
  std::uint32_t bufferSize = 0;
};

// Scans `source` into `tree`, then adds `specials` (from a manifest) at their
// paths. False with one line in `error` when the tree cannot be stored.
bool ScanCramfsTree(const std::string& source, const std::vector<CramfsSpecialEntry>& specials,
                    CramfsTree* tree, std::string* error);

}  // namespace fsimage
