// Cramfs image reader: unpacks an image (layout in cramfs_format.h) into a
// folder, so that the files of an existing partition can be edited and the
// partition rebuilt.
//
// Contract, in short:
// - The superblock may sit at offset 0 or behind a 512-byte pad.
// - Folders and regular files are recreated; symbolic links and other kinds
//   of entries produce nothing. Files get the image's permission bits (less
//   the umask); owner, group and times are not applied.
// - An entry that cannot be read or written is left out (a file may be left
//   short) and the walk goes on; only the checks of the superblock, of the
//   root and of how the directory and data areas join up decide the result.
// - Entries named ".", ".." or holding "/" are skipped; nothing is ever
//   written outside the destination, and symbolic links already standing in
//   the destination are replaced, never written through.
// - Warnings go to standard error: "warning: old cramfs format" and
//   "warning: file extends past end of filesystem".
#pragma once

#include <string>
#include <vector>

namespace fsimage {

// Unpacks `imagePath` into `destination`, which is created when missing (its
// parent must exist); files of the same name inside it are overwritten.
// Returns 0 when the image passed the checks, -1 otherwise. `why`, when
// given, receives one line naming the file and the reason of a failure.
int ExtractCramfsImage(const std::string& imagePath, const std::string& destination,
                       std::string* why = nullptr);

// Walks the image as ExtractCramfsImage would, without writing anything, and
// is strict where the extraction is lenient: the superblock CRC (format
// version 2) must match and every entry must be whole (names, pointer
// tables, every block inflating to its length). Returns 0 when the image is
// sound, -1 otherwise; `problems` gets one line per finding, the damaged
// entry's path first.
int CheckCramfsImage(const std::string& imagePath, std::vector<std::string>* problems);

}  // namespace fsimage
