// Reading jffs2 images (as mkfs.jffs2 writes them for flash partitions):
// a walk over every node that checks each CRC, and the tree the latest
// version of every node describes. The walk keeps where each node's data
// lies, so that listing and unpacking files can build on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/platform/status.h"
#include "firmsmith/fsimage/source_tree.h"

namespace fsimage {

enum class Jffs2ByteOrder { kLittle, kBig };

// One inode node: a version of a file's attributes and one stretch of its data.
struct Jffs2InodeNode {
  std::size_t nodeOffset = 0;  // in the image
  std::uint32_t ino = 0;
  std::uint32_t version = 0;
  std::uint32_t mode = 0;      // st_mode
  std::uint16_t uid = 0;
  std::uint16_t gid = 0;
  std::uint32_t fileSize = 0;  // the file's size at this version
  std::uint32_t mtime = 0;
  std::uint32_t dataOffset = 0;   // where the stretch goes in the file
  std::uint32_t storedSize = 0;   // bytes stored at nodeOffset + kInodeSize
  std::uint32_t dataSize = 0;     // bytes of the stretch after decompression
  std::uint8_t compression = 0;   // jffs2::kCompr...
};

// One directory entry node: a name in a folder, or (ino 0) its removal.
struct Jffs2DirentNode {
  std::size_t nodeOffset = 0;
  std::uint32_t parentIno = 0;
  std::uint32_t version = 0;
  std::uint32_t ino = 0;
  std::uint8_t type = 0;  // DT_*
  std::string name;
};

struct Jffs2Nodes {
  Jffs2ByteOrder order = Jffs2ByteOrder::kLittle;
  std::vector<Jffs2InodeNode> inodes;    // image order
  std::vector<Jffs2DirentNode> dirents;  // image order
};

// True when `bytes` (at least 12) hold a jffs2 node header in either byte
// order with a correct header CRC: how an image is recognised.
bool IsJffs2NodeHeader(const std::uint8_t* bytes, std::size_t size);

// Walks every node of the image in `bytes`, checking the header CRC of each,
// the node CRC and data CRC of inode nodes and the node CRC and name CRC of
// directory entry nodes, and that names hold no "/", NUL or control
// character and are not "." or "..". Obsolete nodes are passed over; gaps must be
// erased flash (0xFF). Fails at the first damage, naming `shownPath`, the
// node's offset and what is wrong.
platform::Status ReadJffs2Nodes(const std::vector<std::uint8_t>& bytes, const std::string& shownPath,
                                Jffs2Nodes* nodes);

// The tree the latest version of every name and inode describes, below the
// root folder (inode 1), folders before their contents, in name order:
// path, type, size of regular files and the targets of links. Fails, naming
// `shownPath`, for a name whose inode has no inode node, a link whose target
// cannot be read, or a folder reached twice.
// `inos`, when given, receives each entry's inode number.
platform::Status BuildJffs2Tree(const std::vector<std::uint8_t>& bytes, const Jffs2Nodes& nodes,
                                const std::string& shownPath, std::vector<SourceEntry>* entries,
                                std::vector<std::uint32_t>* inos = nullptr);

// The data of one inode node (stored, zero-filled, zlib or rtime),
// `node.dataSize` bytes; false for another compression or damaged data.
bool Jffs2NodeData(const std::vector<std::uint8_t>& bytes, const Jffs2InodeNode& node, std::string* out);

// Reads the image at `path`, checks every node (ReadJffs2Nodes) and, given a
// `sourceFolder`, that the image holds exactly the tree there: every entry
// with its type, every file with its size, every link with its target.
platform::Status CheckJffs2Image(const std::string& path, const std::string& sourceFolder = {});

// The CRC of jffs2 fields (see jffs2_format.h).
std::uint32_t Jffs2Crc(const std::uint8_t* data, std::size_t size);

}  // namespace fsimage
