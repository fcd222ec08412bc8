// File and folder steps shared by every component: RAII files, the one
// "write beside, then rename into place" file, the one temporary folder,
// copies that replace their target only once complete, and removal of trees.
// Nothing here follows a symbolic link out of the tree it removes. Every
// failure carries one line naming the file and the cause.
#pragma once

#include <cstdint>
#include <string>

#include "common/platform/fd.h"
#include "common/platform/status.h"

namespace platform {

// A regular file opened for reading.
class InputFile {
 public:
  Status Open(const std::string& path);  // fails for a missing file or a non-regular one
  std::uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }
  // Reads up to `size` bytes at the current position; -1 on error (errno set).
  ssize_t Read(void* buffer, std::size_t size) { return ReadFull(fd_.get(), buffer, size); }
  bool Seek(std::uint64_t offset);

 private:
  UniqueFd fd_;
  std::string path_;
  std::uint64_t size_ = 0;
};

// A new file written through "<path>.part-<pid>-XXXXXX" beside its destination,
// flushed to disk and renamed over `path` by Commit(), after which the
// folder is flushed too: readers, and the disk after a power loss, see the
// old file or the new one, never half of it. Dropped without Commit(), the
// partial file is removed.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  Status Create(const std::string& path);
  Status Write(const void* data, std::size_t size);
  // `mayReplace` false: an entry that appeared at the path meanwhile stays,
  // and Commit fails naming it.
  Status Commit(bool mayReplace = true);
  // The temporary name, for steps that check the file before Commit().
  const std::string& partPath() const { return partPath_; }
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::string path_;
  std::string partPath_;
};

// A private folder (mode 0700) for one run, made with mkdtemp as
// "<parent>/<prefix>XXXXXX" (a name that exists already, a link or another
// user's folder, is never used), holding the lock file of run_folder.h, and
// removed with everything in it when dropped or when the run is ended by a
// signal. An empty parent means $TMPDIR, else /tmp.
class TempFolder {
 public:
  TempFolder() = default;
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  Status Create(const std::string& parent, const std::string& prefix);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The folder for scratch files: $TMPDIR when set, else /tmp.
std::string TempRoot();

bool FileExists(const std::string& path);       // any kind of entry
bool IsDirectory(const std::string& path);      // not through a symbolic link
bool IsRegularFile(const std::string& path);
std::uint64_t FileSize(const std::string& path);  // 0 when missing

// Creates the folder and its missing parents.
Status MakeFolders(const std::string& path);
// Removes the entry; a folder with everything in it (links are removed, not
// followed). A missing entry is no failure.
Status RemoveTree(const std::string& path);
// Deletes every file in the tree under `folder`; the folders stay.
Status DeleteFilesInTree(const std::string& folder);
// Copies `source` to `target` through a temporary file beside the target, so
// the target is either its old self or a complete copy. `mayReplace` false:
// an existing target stays and the copy fails naming it.
Status CopyFileReplacing(const std::string& source, const std::string& target, bool mayReplace = true);
// The backup of a file about to be replaced by a rename (OutputFile): `target`
// becomes a second name of the file `source` names (put in place through a
// temporary name, like a copy), so the rename later leaves `target` the only
// name of the old bytes, without copying them. A copy as CopyFileReplacing
// makes where a second name could change under the backup (`source` is no
// regular file, or has other names already) or the file system has no hard
// links. `mayReplace` as there.
Status LinkOrCopyFile(const std::string& source, const std::string& target, bool mayReplace = true);
// The last component of a path ("" when it ends with "/").
std::string BaseName(const std::string& path);
// The folder part of a path ("" for a bare name, "/" for a root entry).
std::string ParentFolder(const std::string& path);

}  // namespace platform
