// Whole-file reads and writes and the one folder walker of the tree. Paths
// are UTF-8 and joined with "/".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

bool ReadFileText(const std::string& path, std::string* text);

// Writes every byte to an open descriptor, retrying short and interrupted
// writes; false on the first error.
bool WriteAll(int fd, const void* data, std::size_t size);
bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes);

// Writes through "<path>.tmp-XXXXXX" in the same folder, flushes, then renames
// over the target: readers see the old file or the new one, never half of it.
bool WriteFileAtomic(const std::string& path, const std::string& content);
bool WriteFileAtomic(const std::string& path, const std::vector<std::uint8_t>& content);

struct FolderEntry {
  std::string name;  // bare name
  bool isDirectory = false;
};

// Entries of a folder sorted by name (byte order), "." and ".." left out,
// so every walk of ours is reproducible whatever the file system returns.
// A missing or unreadable folder gives an empty list.
std::vector<FolderEntry> ListFolder(const std::string& folder);

// Joins two path parts with exactly one "/" between them.
std::string JoinPath(const std::string& a, const std::string& b);

}  // namespace platform
