// Steps inside a tree that came from a package, a device or an operator's
// folder, made relative to a folder already open: every part of a path is
// entered with openat and O_NOFOLLOW, entries are removed with unlinkat, so
// a symbolic link anywhere in the tree is removed or copied as the link it
// is and never entered, and nothing outside the tree is ever touched.
// Every failure carries one line naming the entry and the cause.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/platform/fd.h"
#include "common/platform/status.h"

namespace platform {

// Opens the folder `path` for tree operations. The folder named by the
// caller may itself be reached through a link (the caller chose it).
Status OpenTreeFolder(const std::string& path, UniqueFd* folder);

// Opens the folder `relative` ("a/b/c") below `rootFd`, each part entered
// without following a link. *found is false, and the result no failure,
// when a part is missing, a link or no folder.
Status OpenFolderBelow(int rootFd, const std::string& rootShown, const std::string& relative,
                       UniqueFd* folder, bool* found);

// Removes `name` of the open folder `parentFd`: a folder with everything in
// it, a link as a link. A missing entry is no failure.
Status RemoveEntryAt(int parentFd, const std::string& name, const std::string& shown);

// Deletes every entry that is not a folder below the open folder `dirFd`
// (links included, never followed); the folders stay.
Status DeleteFilesAt(int dirFd, const std::string& shown);

// An entry a copy did not create: a device node, FIFO or socket.
struct SkippedSpecial {
  std::string path;  // relative to the copied tree's root
  std::uint32_t mode = 0;  // st_mode, type bits included
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t device = 0;  // st_rdev
};

// An entry a copy made, with the attributes the source had.
struct CopiedEntry {
  std::string path;
  std::uint32_t mode = 0;  // st_mode, type bits included
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

// Copies the tree of the open folder `fromFd` into the open, empty folder
// `toFd`: folders, regular files (their bytes, at their permission bits
// without set-id, sticky and world-writable ones), links as links. Device
// nodes, FIFOs and sockets are not created but listed in *skipped; every
// entry made is listed in *copied (both may be null).
Status CopyTreeAt(int fromFd, const std::string& fromShown, int toFd, const std::string& toShown,
                  std::vector<CopiedEntry>* copied, std::vector<SkippedSpecial>* skipped);

}  // namespace platform
