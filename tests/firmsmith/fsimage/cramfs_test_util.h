// Fixtures shared by the cramfs tests: trees built in a few lines, trees read
// back for comparison, and image bytes with their fields.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "firmsmith/fsimage/cramfs_format.h"

namespace cramfstest {

using Bytes = std::vector<std::uint8_t>;

// Writes `content` to root/relative, making the parent folders.
void PutFile(const std::string& root, const std::string& relative, const std::string& content);
void PutFolder(const std::string& root, const std::string& relative);

// relative path -> "dir", "file <length> <hash>", "link -> <target>",
// "char M:N", "block M:N", "fifo" or "socket" for every entry below `root`
// (symbolic links are described, never followed).
using TreeListing = std::map<std::string, std::string>;
TreeListing ListTree(const std::string& root);

Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);

// Builds `source` into `image` with our writer and returns the bytes (empty
// after a failure, with a test failure recorded).
Bytes BuildImage(const std::string& source, const std::string& image);

// A tree shaped like a device's root: bin/busybox with thirty applet links
// (relative, absolute, up and across), lib/libc.so.6 -> libc-2.31.so,
// lib/libcrypto.so -> an existing file of this machine, a dangling link,
// nested folders, a FIFO in tmp/ and, with `nodes` (root only), dev/console
// (character 5:1) and dev/mtdblock0 (block 31:0).
struct DeviceRoot {
  std::string hostFile;  // the target of lib/libcrypto.so
  bool nodes = false;
};
DeviceRoot MakeDeviceRoot(const std::string& root, bool nodes);
const std::vector<std::string>& DeviceRootApplets();

// Content that compresses like real firmware files: words from a seeded
// pseudo-random stream.
std::string TextContent(std::size_t length, unsigned seed);

fsimage::cramfs::Inode InodeAt(const Bytes& image, std::size_t offset);
std::uint32_t Word(const Bytes& image, std::size_t offset);
std::string NameAt(const Bytes& image, std::size_t inodeOffset);

// An entry as found by walking the image's directory lists: path -> inode
// offset and inode.
struct FoundEntry {
  std::size_t inodeOffset = 0;
  fsimage::cramfs::Inode inode;
};
std::map<std::string, FoundEntry> WalkImage(const Bytes& image);

// Renames the entry at image path `from` in place to `to` (same length;
// only the last part of `to` is used): a way to make hostile images.
void Rename(Bytes& image, const std::string& from, const std::string& to);

// Inflates block `index` of the file whose block-pointer table is at `table`.
std::string InflateBlock(const Bytes& image, std::uint32_t table, std::uint32_t blocks,
                         std::uint32_t index);

}  // namespace cramfstest
