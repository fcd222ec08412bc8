// A jffs2 partition built from a tree we unpacked or staged: what the tree
// cannot hold as files (device nodes and FIFOs, from its special-file
// manifest, cramfs_manifest.h) and the modes and owners it lost in the copy
// (from its attribute manifest, squashfs_manifest.h) go to mkfs.jffs2 as a
// device table (-D), so the image holds what the operator's tree held.
//
// Table format, one entry a line, as mkfs.jffs2 reads it:
//
//   NAME TYPE MODE UID GID MAJOR MINOR START INC COUNT
//
//   NAME  absolute ("/dev/console"); mkfs.jffs2 reads it as one word, so a
//         name holding a blank or a control byte cannot be written
//   TYPE  c, b (devices), p (FIFO), f (regular file), d (folder), l (link)
//   MODE  permission bits in octal; the rest decimal; START INC COUNT 0
//
// What the table cannot say: sockets, device numbers above 255:255 (the
// tool stores 8 bits each), owners above 65535 (jffs2 stores 16 bits).
#pragma once

#include <string>
#include <vector>

#include "common/platform/status.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/source_tree.h"
#include "firmsmith/fsimage/squashfs_manifest.h"

namespace fsimage {

struct Jffs2BuildPlan {
  std::string deviceTable;  // the table text; "" when there is nothing to say
  // Every entry of the source and every special file of the manifest, with
  // the attributes the image must show where the table sets them.
  std::vector<SourceEntry> expected;
  // Sockets, left out of the image (one warning names them).
  std::vector<std::string> sockets;
  // Folders, files and links whose mode and owner the table cannot set:
  // they keep the tree's (one warning names them).
  std::vector<std::string> unset;
};

// Plans the build of `source` (as ReadSourceTree lists it) with the special
// files `specials` (read from `specialsShown`) and, when given, the modes and
// owners of `attributes` (its 'm' lines of folders, files and links; not the
// root's: jffs2 stores no node for it). A special file whose folder is not in
// the tree, whose name the tree already holds, or which the table cannot say
// fails naming the manifest, the entry and the cause.
platform::Status PlanJffs2Build(const std::vector<SourceEntry>& source,
                                const std::vector<CramfsSpecialEntry>& specials, const std::string& specialsShown,
                                const SquashfsManifest* attributes, Jffs2BuildPlan* plan);

}  // namespace fsimage
