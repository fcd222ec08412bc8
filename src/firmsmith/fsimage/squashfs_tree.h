// A squashfs partition as an inert tree in a work folder, and back.
//
// The unpack lists the image first ("unsquashfs -lln"), then has unsquashfs
// extract it with an exclude list naming every device node, FIFO, socket and
// every regular file with a set-id, sticky or world-writable mode, so none
// of them is ever created. The listed regular files are then written by us
// from "unsquashfs -cat", at their permission bits without the set-id,
// sticky and world-writable ones. Every entry left by unsquashfs gets such a
// mode too (folders and files always readable and writable by us) and, when
// we run as root, our owner. What the tree cannot hold goes to the manifest
// beside it (squashfs_manifest.h), from which the build restores the modes,
// owners and special files.
#pragma once

#include <string>
#include <vector>

#include "common/platform/message_sink.h"
#include "common/platform/status.h"
#include "firmsmith/fsimage/source_tree.h"
#include "firmsmith/fsimage/squashfs_manifest.h"

namespace fsimage {

// "<destination>.exclude": the exclude list handed to unsquashfs while it
// runs (removed afterwards).
std::string SquashfsExcludeListPath(const std::string& destination);

// Unpacks `imagePath` into `destination` (which must not exist yet) as
// described above and writes SquashfsManifestPath(destination). Fails
// naming the image or the entry and the cause (the tools' exit statuses are
// checked); whatever was unpacked stays for the caller to remove.
platform::Status ExtractSquashfsTree(const std::string& imagePath, const std::string& destination,
                                     platform::MessageSink& sink);

// What a build of `source` (its entries as ReadSourceTree gives them) with a
// manifest hands mksquashfs, and what the image must then list.
struct SquashfsBuildPlan {
  std::string pseudoFile;  // pseudo-file definitions for -pf (no root line)
  SquashfsManifestEntry root;
  // Every entry of the source and every special file of the manifest, with
  // the attributes the image must show.
  std::vector<SourceEntry> expected;
};

// Entries of the tree keep their manifest attributes; entries the manifest
// does not know (added by a rework) are owned by root with their permission
// bits; manifest entries that the tree no longer holds, or whose path the
// tree holds as something else, are left out.
SquashfsBuildPlan PlanSquashfsBuild(const SquashfsManifest& manifest, const std::vector<SourceEntry>& source);

}  // namespace fsimage
