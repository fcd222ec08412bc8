#include "cramfs_test_util.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "firmsmith/fsimage/cramfs_writer.h"
#include "test_support.h"

namespace cramfstest {

namespace fs = std::filesystem;
using namespace fsimage::cramfs;

void PutFile(const std::string& root, const std::string& relative, const std::string& content) {
  testsupport::WriteFile(root + "/" + relative, content);
}

void PutFolder(const std::string& root, const std::string& relative) {
  fs::create_directories(root + "/" + relative);
}

TreeListing ListTree(const std::string& root) {
  TreeListing out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (it->is_symlink()) {
      out[rel] = "link";
    } else if (it->is_directory()) {
      out[rel] = "dir";
    } else {
      const std::string content = testsupport::ReadFile(it->path().string());
      out[rel] = "file " + std::to_string(content.size()) + " " +
                 std::to_string(std::hash<std::string>{}(content));
    }
  }
  return out;
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes BuildImage(const std::string& source, const std::string& image) {
  std::string why;
  const int rc = fsimage::BuildCramfsImage(source, image, &why);
  EXPECT_EQ(rc, 0) << why;
  return rc == 0 ? ReadBytes(image) : Bytes();
}

std::string TextContent(std::size_t length, unsigned seed) {
  static const char* const kWords[] = {"device ", "channel ", "record ", "stream ", "alarm ",
                                       "network ", "config=", "1;\n", "0x3f ", "<item/>\n"};
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(length + 16);
  while (out.size() < length) out += kWords[rng() % 10];
  out.resize(length);
  return out;
}

Inode InodeAt(const Bytes& image, std::size_t offset) {
  if (offset + kInodeSize > image.size()) {
    ADD_FAILURE() << "inode outside the image at " << offset;
    return Inode();
  }
  return DecodeInode(image.data() + offset);
}

std::uint32_t Word(const Bytes& image, std::size_t offset) {
  if (offset + 4 > image.size()) {
    ADD_FAILURE() << "word outside the image at " << offset;
    return 0;
  }
  return GetLe32(image.data() + offset);
}

std::string NameAt(const Bytes& image, std::size_t inodeOffset) {
  const Inode in = InodeAt(image, inodeOffset);
  const std::size_t at = inodeOffset + kInodeSize;
  if (at + in.nameLength > image.size()) return "";
  std::string name(reinterpret_cast<const char*>(image.data() + at), in.nameLength);
  return name.substr(0, name.find('\0'));
}

namespace {
void WalkList(const Bytes& image, const Inode& dir, const std::string& prefix,
              std::map<std::string, FoundEntry>* out) {
  std::size_t at = dir.offset;
  const std::size_t end = at + dir.size;
  while (at < end && at + kInodeSize <= image.size()) {
    FoundEntry e{at, InodeAt(image, at)};
    const std::string path = prefix + NameAt(image, at);
    (*out)[path] = e;
    if ((e.inode.mode & kModeTypeMask) == kModeDirectory && e.inode.size > 0)
      WalkList(image, e.inode, path + "/", out);
    at += kInodeSize + e.inode.nameLength;
    if (e.inode.nameLength == 0) break;
  }
}
}  // namespace

std::map<std::string, FoundEntry> WalkImage(const Bytes& image) {
  std::map<std::string, FoundEntry> out;
  if (image.size() < kSuperblockSize) return out;
  WalkList(image, InodeAt(image, kSuperRoot), "", &out);
  return out;
}

std::string InflateBlock(const Bytes& image, std::uint32_t table, std::uint32_t blocks,
                         std::uint32_t index) {
  const std::uint32_t start = index == 0 ? table + blocks * 4 : Word(image, table + (index - 1) * 4);
  const std::uint32_t end = Word(image, table + index * 4);
  if (end < start || end > image.size()) return "<bad pointers>";
  std::string out(kBlockSize * 2, '\0');
  uLongf length = out.size();
  if (::uncompress(reinterpret_cast<Bytef*>(out.data()), &length, image.data() + start, end - start) != Z_OK)
    return "<bad block>";
  out.resize(length);
  return out;
}

}  // namespace cramfstest
