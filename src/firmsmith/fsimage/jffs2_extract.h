// Listing and unpacking a jffs2 image with our own node reader
// (jffs2_reader.h): every node's CRCs are checked before anything is
// written, so a damaged image unpacks to nothing.
//
// Contract, in short:
// - The destination must not exist; it is made, and removed again with
//   everything in it when the unpack fails.
// - Folders, regular files and symbolic links are made below it through
//   openat with O_NOFOLLOW, never through a link. Files and folders get the
//   image's permission bits less set-id, sticky and world-write bits.
// - Device nodes, FIFOs and sockets are made only with createSpecialFiles;
//   otherwise they go to the manifest beside the destination
//   (cramfs_manifest.h), with one warning line on standard error.
// - The files' sizes must add up to at most `budget` (extract_budget.h),
//   else nothing is written and the failure names the budget.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/platform/status.h"
#include "firmsmith/fsimage/extract_budget.h"
#include "firmsmith/fsimage/source_tree.h"

namespace fsimage {

struct Jffs2ExtractOptions {
  bool createSpecialFiles = false;
  std::string manifestPath;  // empty: CramfsManifestPath(destination)
  std::uint64_t budget = kDefaultExtractBudget;
};

// Every entry of the image below its root, folders before their contents, in
// name order, with type, permission bits, size and link target.
// With `checked`, the same read also gives what CheckJffs2Image(imagePath)
// returns, so an image listed and checked is read once.
platform::Status ListJffs2Image(const std::string& imagePath, std::vector<SourceEntry>* entries,
                                platform::Status* checked = nullptr);

platform::Status ExtractJffs2Image(const std::string& imagePath, const std::string& destination,
                                   const Jffs2ExtractOptions& options = {});

}  // namespace fsimage
