// Whole-file reads and writes and the one folder walker of the tree. Paths
// are UTF-8 and joined with "/". Every failure names the file and the cause.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/platform/status.h"

namespace platform {

Status ReadFileText(const std::string& path, std::string* text);
Status ReadFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes);

// Writes through "<path>.tmp-<pid>-XXXXXX" in the same folder, flushes, then renames
// over the target and flushes the folder: readers, and the disk after a
// power loss, see the old file or the new one, never half of it. A link at
// `path` is replaced, never followed.
Status WriteFileAtomic(const std::string& path, const std::string& content);
Status WriteFileAtomic(const std::string& path, const std::vector<std::uint8_t>& content);

struct FolderEntry {
  std::string name;  // bare name
  bool isDirectory = false;  // a real folder, never a link to one
  bool isLink = false;
};

// Entries of a folder sorted by name (byte order), "." and ".." left out,
// so every walk of ours is reproducible whatever the file system returns.
// A folder that is missing or cannot be read is a failure naming it, never
// an empty list. Entries are examined without following links, so a walk
// built on this never enters a linked folder; the folder named by the
// caller may itself be reached through a link (the caller chose it).
Status ListFolder(const std::string& folder, std::vector<FolderEntry>* entries);
// The same for a folder already open as `dirFd` (kept open); `shownPath`
// names it in the reason.
Status ListFolderAt(int dirFd, const std::string& shownPath, std::vector<FolderEntry>* entries);

// Flushes the folder that holds `path`, so that a rename into it survives a
// power loss. Fails naming the folder.
Status SyncParentFolder(const std::string& path);

// Joins two path parts with exactly one "/" between them.
std::string JoinPath(const std::string& a, const std::string& b);

}  // namespace platform
