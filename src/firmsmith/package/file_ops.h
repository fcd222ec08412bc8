// File and folder steps of the make operation: RAII files, a copy that
// replaces its target only once complete, and removal of trees. Nothing
// here follows a symbolic link out of the tree it removes.
#pragma once

#include <cstdint>
#include <string>

namespace package {

// A regular file opened for reading.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  bool Open(const std::string& path);  // false for a missing file or a non-regular one
  std::uint64_t size() const { return size_; }
  // Reads up to `size` bytes at the current position; 0 at the end or on error.
  std::size_t Read(void* buffer, std::size_t size);
  bool Seek(std::uint64_t offset);

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// A new file written through "<path>.part-XXXXXX" and renamed over `path` by
// Commit(); dropped without Commit(), the partial file is removed.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  bool Create(const std::string& path);
  bool Write(const void* data, std::size_t size);
  bool Commit();

 private:
  int fd_ = -1;
  std::string path_;
  std::string partPath_;
};

bool FileExists(const std::string& path);       // any kind of entry
bool IsDirectory(const std::string& path);      // not through a symbolic link
bool IsRegularFile(const std::string& path);
std::uint64_t FileSize(const std::string& path);  // 0 when missing

// Creates the folder and its missing parents. True when it exists afterwards.
bool MakeFolders(const std::string& path);
// Removes the entry; a folder with everything in it (links are removed, not
// followed). True when nothing is left.
bool RemoveTree(const std::string& path);
// Deletes every file in the tree under `folder`; the folders stay.
void DeleteFilesInTree(const std::string& folder);
// Copies `source` to `target` through a temporary file beside the target, so
// the target is either its old self or a complete copy.
bool CopyFileReplacing(const std::string& source, const std::string& target);
// The folder part of a path ("" for a bare name, "/" for a root entry).
std::string ParentFolder(const std::string& path);

}  // namespace package
