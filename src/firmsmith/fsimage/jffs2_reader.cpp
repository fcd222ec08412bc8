#include "firmsmith/fsimage/jffs2_reader.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "common/platform/files.h"
#include "common/platform/printable.h"
#include "firmsmith/fsimage/jffs2_format.h"

namespace fsimage {
namespace {

using namespace jffs2;

// The longest target a link can be made with (PATH_MAX less its NUL). A
// target is read whole into memory, so a longer one is refused before that.
constexpr std::uint32_t kMaxLinkTarget = 4095;

// Reads the fields of one image in its byte order.
class Fields {
 public:
  Fields(const std::uint8_t* base, Jffs2ByteOrder order) : base_(base), order_(order) {}
  std::uint16_t U16(std::size_t at) const {
    const std::uint8_t* p = base_ + at;
    return order_ == Jffs2ByteOrder::kLittle ? static_cast<std::uint16_t>(p[0] | (p[1] << 8))
                                             : static_cast<std::uint16_t>((p[0] << 8) | p[1]);
  }
  std::uint32_t U32(std::size_t at) const {
    const std::uint8_t* p = base_ + at;
    if (order_ == Jffs2ByteOrder::kLittle)
      return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
             (std::uint32_t{p[3]} << 24);
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
  }

 private:
  const std::uint8_t* base_;
  Jffs2ByteOrder order_;
};

// The header CRC as the node was written: an obsolete node had its
// "accurate" bit cleared afterwards, in place.
std::uint32_t HeaderCrc(const std::uint8_t* node, Jffs2ByteOrder order) {
  std::uint8_t header[kHeaderCrc];
  std::copy(node, node + kHeaderCrc, header);
  const std::size_t accurateByte = kHeaderType + (order == Jffs2ByteOrder::kLittle ? 1 : 0);
  header[accurateByte] |= static_cast<std::uint8_t>(kNodeAccurate >> 8);
  return Jffs2Crc(header, sizeof header);
}

bool OrderOfMagic(const std::uint8_t* p, Jffs2ByteOrder* order) {
  if (p[0] == (kMagic & 0xFF) && p[1] == (kMagic >> 8)) {
    *order = Jffs2ByteOrder::kLittle;
    return true;
  }
  if (p[0] == (kMagic >> 8) && p[1] == (kMagic & 0xFF)) {
    *order = Jffs2ByteOrder::kBig;
    return true;
  }
  return false;
}

std::string Hex(std::size_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zx", value);
  return text;
}

platform::Status NodeFailure(const std::string& shownPath, std::size_t offset, const std::string& what) {
  return platform::Status::Fail(shownPath + ": jffs2 node at offset " + Hex(offset) + ": " + what);
}

// The "rtime" scheme mkfs.jffs2 falls back on when zlib gains nothing:
// pairs of a byte and a count of bytes repeated from where that byte value
// was last seen.
bool RtimeInflate(const std::uint8_t* in, std::size_t inSize, std::string* out) {
  std::size_t positions[256] = {};
  std::size_t at = 0;
  std::size_t pos = 0;
  const std::size_t size = out->size();
  while (at < size) {
    if (pos + 2 > inSize) return false;
    const std::uint8_t value = in[pos++];
    (*out)[at++] = static_cast<char>(value);
    std::size_t repeat = in[pos++];
    std::size_t back = positions[value];
    positions[value] = at;
    if (repeat > size - at) return false;
    while (repeat-- > 0) (*out)[at++] = (*out)[back++];
  }
  return true;
}

}  // namespace

bool Jffs2NodeData(const std::vector<std::uint8_t>& bytes, const Jffs2InodeNode& node, std::string* out) {
  const std::uint8_t* stored = bytes.data() + node.nodeOffset + kInodeSize;
  switch (node.compression) {
    case kComprNone:
      out->assign(reinterpret_cast<const char*>(stored), node.storedSize);
      return true;
    case kComprZero:
      out->assign(node.dataSize, '\0');
      return true;
    case kComprZlib: {
      out->assign(node.dataSize, '\0');
      uLongf length = node.dataSize;
      return ::uncompress(reinterpret_cast<Bytef*>(out->data()), &length, stored, node.storedSize) ==
                 Z_OK &&
             length == node.dataSize;
    }
    case kComprRtime:
      out->assign(node.dataSize, '\0');
      return RtimeInflate(stored, node.storedSize, out);
    default:
      return false;
  }
}

std::uint32_t Jffs2Crc(const std::uint8_t* data, std::size_t size) {
  // zlib's CRC inverts before and after; seeding with ~0 and inverting the
  // result gives the plain CRC seeded with 0.
  uLong crc = 0xFFFFFFFFul;
  while (size > 0) {
    const uInt slice = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
    crc = ::crc32(crc, data, slice);
    data += slice;
    size -= slice;
  }
  return static_cast<std::uint32_t>(crc ^ 0xFFFFFFFFul);
}

bool IsJffs2NodeHeader(const std::uint8_t* bytes, std::size_t size) {
  Jffs2ByteOrder order;
  if (size < kHeaderSize || !OrderOfMagic(bytes, &order)) return false;
  const Fields f(bytes, order);
  return f.U32(kHeaderTotalLength) >= kHeaderSize && HeaderCrc(bytes, order) == f.U32(kHeaderCrc);
}

platform::Status ReadJffs2Nodes(const std::vector<std::uint8_t>& bytes, const std::string& shownPath,
                                Jffs2Nodes* nodes) {
  *nodes = Jffs2Nodes();
  const std::size_t size = bytes.size();
  bool orderKnown = false;
  std::size_t at = 0;
  while (at + kNodeAlignment <= size) {
    const std::uint8_t* p = bytes.data() + at;
    if (p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF && p[3] == 0xFF) {
      at += kNodeAlignment;  // erased flash
      continue;
    }
    Jffs2ByteOrder order;
    if (!OrderOfMagic(p, &order))
      return NodeFailure(shownPath, at, "no node magic where a node or erased flash belongs");
    if (!orderKnown) {
      nodes->order = order;
      orderKnown = true;
    } else if (order != nodes->order) {
      return NodeFailure(shownPath, at, "node in the other byte order");
    }
    if (size - at < kHeaderSize) return NodeFailure(shownPath, at, "node header cut short");
    const Fields f(p, order);
    const std::uint16_t type = f.U16(kHeaderType);
    const std::uint32_t length = f.U32(kHeaderTotalLength);
    if (HeaderCrc(p, order) != f.U32(kHeaderCrc)) return NodeFailure(shownPath, at, "wrong header CRC");
    if (length < kHeaderSize || length > size - at)
      return NodeFailure(shownPath, at, "length " + std::to_string(length) + " runs past the image");
    const std::size_t next = at + ((length + kNodeAlignment - 1) & ~(kNodeAlignment - 1));

    if ((type & kNodeAccurate) == 0) {
      at = next;  // obsolete
      continue;
    }
    if (type == kNodeTypeInode) {
      if (length < kInodeSize) return NodeFailure(shownPath, at, "inode node shorter than its header");
      if (Jffs2Crc(p, kInodeDataCrc) != f.U32(kInodeNodeCrc))
        return NodeFailure(shownPath, at, "wrong inode node CRC");
      Jffs2InodeNode node;
      node.nodeOffset = at;
      node.ino = f.U32(kInodeIno);
      node.version = f.U32(kInodeVersion);
      node.mode = f.U32(kInodeMode);
      node.uid = f.U16(kInodeUid);
      node.gid = f.U16(kInodeGid);
      node.fileSize = f.U32(kInodeFileSize);
      node.mtime = f.U32(kInodeMtime);
      node.dataOffset = f.U32(kInodeOffset);
      node.storedSize = f.U32(kInodeCompressedSize);
      node.dataSize = f.U32(kInodeDataSize);
      node.compression = p[kInodeCompression];
      if (node.storedSize > length - kInodeSize)
        return NodeFailure(shownPath, at, "inode data runs past its node");
      if (Jffs2Crc(p + kInodeSize, node.storedSize) != f.U32(kInodeDataCrc))
        return NodeFailure(shownPath, at, "wrong data CRC (inode " + std::to_string(node.ino) + ")");
      nodes->inodes.push_back(node);
    } else if (type == kNodeTypeDirent) {
      if (length < kDirentSize) return NodeFailure(shownPath, at, "directory entry node shorter than its header");
      if (Jffs2Crc(p, kDirentNodeCrc) != f.U32(kDirentNodeCrc))
        return NodeFailure(shownPath, at, "wrong directory entry node CRC");
      Jffs2DirentNode node;
      node.nodeOffset = at;
      node.parentIno = f.U32(kDirentParentIno);
      node.version = f.U32(kDirentVersion);
      node.ino = f.U32(kDirentIno);
      node.type = p[kDirentType];
      const std::size_t nameSize = p[kDirentNameSize];
      if (nameSize > length - kDirentSize)
        return NodeFailure(shownPath, at, "name runs past its directory entry node");
      if (Jffs2Crc(p + kDirentSize, nameSize) != f.U32(kDirentNameCrc))
        return NodeFailure(shownPath, at, "wrong name CRC");
      node.name.assign(reinterpret_cast<const char*>(p + kDirentSize), nameSize);
      if (node.name.empty() || node.name == "." || node.name == ".." ||
          node.name.find('/') != std::string::npos || node.name.find('\0') != std::string::npos)
        return NodeFailure(shownPath, at, "directory entry with an impossible name");
      // A name with a line break or another control character would break
      // every one-line message that names it; no device tree needs one.
      if (std::any_of(node.name.begin(), node.name.end(), platform::IsControlCharacter))
        return NodeFailure(shownPath, at, "directory entry with a control character in its name");
      nodes->dirents.push_back(std::move(node));
    } else if ((type & kFeatureMask) == kFeatureIncompat && type != kNodeTypeXattr &&
               type != kNodeTypeXref) {
      return NodeFailure(shownPath, at, "node type " + Hex(type) + " that no reader may pass over");
    }
    // Clean markers, padding, summaries, extended attributes and other
    // compatible nodes carry nothing of the tree.
    at = next;
  }
  if (at < size && !std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(),
                                [](std::uint8_t b) { return b == 0xFF; }))
    return NodeFailure(shownPath, at, "bytes after the last node");
  if (!orderKnown) return platform::Status::Fail(shownPath + ": no jffs2 node in the image");
  return platform::Status::Ok();
}

platform::Status BuildJffs2Tree(const std::vector<std::uint8_t>& bytes, const Jffs2Nodes& nodes,
                                const std::string& shownPath, std::vector<SourceEntry>* entries,
                                std::vector<std::uint32_t>* inos) {
  entries->clear();
  if (inos) inos->clear();
  // The latest version of each inode's attributes, and of each name.
  std::map<std::uint32_t, const Jffs2InodeNode*> latest;
  for (const Jffs2InodeNode& n : nodes.inodes) {
    auto& slot = latest[n.ino];
    if (slot == nullptr || n.version >= slot->version) slot = &n;
  }
  std::map<std::pair<std::uint32_t, std::string>, const Jffs2DirentNode*> names;
  for (const Jffs2DirentNode& d : nodes.dirents) {
    auto& slot = names[{d.parentIno, d.name}];
    if (slot == nullptr || d.version >= slot->version) slot = &d;
  }
  // Children per folder, in name order (the map is sorted by parent, then name).
  std::multimap<std::uint32_t, const Jffs2DirentNode*> children;
  for (const auto& [key, d] : names)
    if (d->ino != 0) children.emplace(key.first, d);

  std::set<std::uint32_t> visited = {kRootIno};
  struct Pending {
    std::uint32_t ino;
    std::string path;
  };
  // Depth first, folders before their contents, siblings in name order.
  std::vector<Pending> stack = {{kRootIno, std::string()}};
  while (!stack.empty()) {
    const Pending folder = stack.back();
    stack.pop_back();
    auto [begin, end] = children.equal_range(folder.ino);
    std::vector<Pending> subfolders;
    for (auto it = begin; it != end; ++it) {
      const Jffs2DirentNode& d = *it->second;
      const std::string path = folder.path.empty() ? d.name : folder.path + "/" + d.name;
      auto found = latest.find(d.ino);
      if (found == latest.end())
        return platform::Status::Fail(shownPath + ": " + path + " names inode " +
                                      std::to_string(d.ino) + ", which has no inode node");
      const Jffs2InodeNode& inode = *found->second;
      SourceEntry entry;
      entry.path = path;
      entry.type = TypeOfMode(inode.mode);
      entry.mode = inode.mode & 07777;
      entry.uid = inode.uid;
      entry.gid = inode.gid;
      if (entry.type == kTypeFile) entry.size = inode.fileSize;
      if (entry.type == kTypeLink) {
        std::string target;
        if (inode.dataSize > kMaxLinkTarget)
          return platform::Status::Fail(shownPath + ": the target of link " + path + " is " +
                                        std::to_string(inode.dataSize) + " bytes, more than a link may hold");
        if (!Jffs2NodeData(bytes, inode, &target))
          return platform::Status::Fail(shownPath + ": cannot read the target of link " + path);
        entry.linkTarget = target;
      }
      if (entry.type == kTypeFolder) {
        if (!visited.insert(d.ino).second)
          return platform::Status::Fail(shownPath + ": folder " + path + " is reached twice");
        subfolders.push_back({d.ino, path});
      }
      entries->push_back(std::move(entry));
      if (inos) inos->push_back(d.ino);
    }
    // Pushed in reverse, so the first folder by name is walked first.
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) stack.push_back(*it);
  }
  return platform::Status::Ok();
}

platform::Status CheckJffs2Image(const std::string& path, const std::string& sourceFolder) {
  std::vector<std::uint8_t> bytes;
  if (platform::Status read = platform::ReadFileBytes(path, &bytes); !read) return read;
  Jffs2Nodes nodes;
  if (platform::Status walked = ReadJffs2Nodes(bytes, path, &nodes); !walked) return walked;
  std::vector<SourceEntry> tree;
  if (platform::Status built = BuildJffs2Tree(bytes, nodes, path, &tree); !built) return built;
  if (sourceFolder.empty()) return platform::Status::Ok();
  std::vector<SourceEntry> source;
  if (platform::Status listed = ReadSourceTree(sourceFolder, &source); !listed) return listed;
  return CompareImageWithSource(path, tree, source);
}

}  // namespace fsimage
