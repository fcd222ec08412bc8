// What a squashfs image holds, as unsquashfs lists it ("unsquashfs -lln"):
// the check of an image mksquashfs wrote against its source, and of an image
// about to be unpacked.
#pragma once

#include <string>
#include <vector>

#include "common/platform/status.h"
#include "firmsmith/fsimage/source_tree.h"

namespace fsimage {

// Reads the listing "unsquashfs -lln" prints: one line per entry, e.g.
// "-rw-r--r-- 0/0   6 2026-01-01 00:00 squashfs-root/d/f" or
// "lrwxrwxrwx 0/0   3 2026-01-01 00:00 squashfs-root/l -> d/f"; the root
// line itself is left out (with `root`, it goes there and must be present).
// Every entry comes with its attributes (mode, owner, device number). False
// with the line in *bad when a line is not of this form.
bool ParseSquashfsListing(const std::string& listing, std::vector<SourceEntry>* entries,
                          std::string* bad, SourceEntry* root = nullptr);

// Runs "unsquashfs -lln" on the image and parses its whole listing; fails
// with unsquashfs' last lines when it cannot (a damaged image).
platform::Status ListSquashfsImage(const std::string& imagePath, std::vector<SourceEntry>* entries,
                                   SourceEntry* root = nullptr);

// Lists `imagePath` with unsquashfs; fails with unsquashfs' last lines when
// it cannot (a damaged image). With a `sourceFolder`, the listing must match
// the tree there (CompareImageWithSource).
platform::Status CheckSquashfsImage(const std::string& imagePath, const std::string& sourceFolder,
                                    std::vector<SourceEntry>* listed = nullptr);

}  // namespace fsimage
