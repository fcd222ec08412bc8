// Internal to the cramfs writer: the source tree as one record per entry, and
// the scan that builds it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fsimage {

struct CramfsEntry {
  std::string name;  // stored name, at most 252 bytes
  std::uint32_t mode = 0;
  std::uint32_t size = 0;  // file length (capped) or bytes of the entry list
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::string path;                       // source path, files with data only
  const CramfsEntry* sharedWith = nullptr;  // earlier identical file, duplicates only
  std::uint32_t dataOffset = 0;           // of its block-pointer table
  std::uint32_t inodeOffset = 0;          // of its own inode
  // Children in name order. A vector rather than sibling chains, so that a
  // folder of many thousand files is not torn down by deep recursion.
  std::vector<CramfsEntry> children;

  bool IsDirectory() const;
};

struct CramfsTree {
  CramfsEntry root;
  // Zero-filled buffer the image is assembled in: an upper bound of its size.
  std::uint32_t bufferSize = 0;
};

// Scans `source` into `tree`. False with one line in `error` when the tree
// cannot be stored.
bool ScanCramfsTree(const std::string& source, CramfsTree* tree, std::string* error);

}  // namespace fsimage
