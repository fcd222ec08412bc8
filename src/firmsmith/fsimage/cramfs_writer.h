// Cramfs image writer: turns a folder tree into the compressed read-only image
// the devices mount (layout in cramfs_format.h).
//
// Contract, in short:
// - Folders are walked in byte order of their names, never following a
//   symbolic link; "Thumbs.db" and ".svn" (with its tree) are left out, case
//   mattering.
// - Each entry is stored as what it is: folder, regular file, symbolic link
//   (its target as its data, in blocks like file data), character or block
//   device (its number in the size field), FIFO or socket. Nothing outside
//   the source tree enters the image.
// - Names longer than 252 bytes are cut on a UTF-8 character boundary; a name
//   longer than 255 bytes, or one that cannot be cut cleanly, fails the build.
// - Everything below the root gets permission bits 0777; the root 0777, or
//   0555 when the source folder has no owner-write bit. uid and gid are 0.
// - Files are stored with at most 16,777,215 bytes; files and links with
//   identical data share the data of the earliest one in depth-first order.
// - A manifest (cramfs_manifest.h) adds device nodes, FIFOs and sockets that
//   an unprivileged extraction could not create.
// - The same tree always gives the same bytes, whatever the number of threads.
// - Trace: the inode listing on the trace channel (platform::TraceOutput,
//   shown with -v), per-file sizes on the debug channel (DebugOutput).
#pragma once

#include <cstdint>
#include <string>

namespace fsimage {

// Builds the image of the tree under `sourceFolder` (its own name is not
// stored) and writes it to `imagePath`, creating or truncating it first.
// Returns 0 on success, -1 on failure; after a failure the image file is left
// empty (or not created at all when it cannot be). `why`, when given, receives
// one line naming the file and the reason of a failure.
int BuildCramfsImage(const std::string& sourceFolder, const std::string& imagePath,
                     std::string* why = nullptr);

struct CramfsBuildOptions {
  // A manifest written by the extractor; its entries join the tree at their
  // paths (their folders must be in the tree, their names must not). Empty:
  // none.
  std::string manifestPath;
  // Bytes left in front of the image in its file (they read as zeros), for
  // a header to be written there later; every position inside the image is
  // counted from its own start all the same.
  std::uint64_t imageOffset = 0;
};
int BuildCramfsImage(const std::string& sourceFolder, const std::string& imagePath,
                     const CramfsBuildOptions& options, std::string* why);

// The name an entry is stored under: the name itself, or its first 252 bytes
// cut back to the start of a UTF-8 character. False when the name is longer
// than 255 bytes or has no clean cut.
bool CramfsStoredName(const std::string& name, std::string* stored);

}  // namespace fsimage
