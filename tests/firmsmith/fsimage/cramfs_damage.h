// Damaged cramfs images for the tests of the walks that inflate blocks on
// several threads: one tree whose files fall into the pool's runs in known
// ways, and edits that damage a given block, pointer or name of it.
#pragma once

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cramfs_test_util.h"
#include "test_support.h"

namespace cramfstest {

using namespace fsimage::cramfs;

// Walk order (sorted names): a/early, b/big, c/00 .. c/39, z/late. b/big
// spans several of the pool's runs of blocks; z/late's data ends the image.
inline void MakeTree(const std::string& root) {
  PutFile(root, "a/early", TextContent(12000, 1));
  PutFile(root, "b/big", TextContent(700000, 2));
  for (int i = 0; i < 40; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "c/%02d", i);
    PutFile(root, name, TextContent(5000, 10 + i));
  }
  PutFile(root, "z/late", TextContent(9000, 3));
}

inline std::uint32_t TableOf(const Bytes& image, const std::string& path) {
  return WalkImage(image).at(path).inode.offset;
}

inline std::uint32_t BlocksOf(const Bytes& image, const std::string& path) {
  return BlockCount(WalkImage(image).at(path).inode.size);
}

// Where block `index` of `path` starts and ends in the image.
inline std::pair<std::uint32_t, std::uint32_t> BlockSpan(const Bytes& image, const std::string& path,
                                                         std::uint32_t index) {
  const std::uint32_t table = TableOf(image, path);
  const std::uint32_t start = index == 0 ? table + BlocksOf(image, path) * 4 : Word(image, table + (index - 1) * 4);
  return {start, Word(image, table + index * 4)};
}

inline std::function<void(Bytes&)> Flip(const std::string& path, std::uint32_t index) {
  return [=](Bytes& image) {
    const auto [start, end] = BlockSpan(image, path, index);
    image[(start + end) / 2] ^= 0x5A;
  };
}

// A sound zlib stream of 100 bytes where a whole block's belongs.
inline std::function<void(Bytes&)> Short(const std::string& path, std::uint32_t index) {
  return [=](Bytes& image) {
    const auto [start, end] = BlockSpan(image, path, index);
    const std::string hundred(100, 'q');
    Bytes packed(::compressBound(hundred.size()));
    uLongf length = packed.size();
    ASSERT_EQ(::compress2(packed.data(), &length, reinterpret_cast<const Bytef*>(hundred.data()), hundred.size(), 9),
              Z_OK);
    ASSERT_LE(length, end - start);
    std::copy(packed.begin(), packed.begin() + static_cast<long>(length), image.begin() + start);
  };
}

inline std::function<void(Bytes&)> SetPointer(const std::string& path, std::uint32_t index, std::int64_t pastEnd) {
  return [=](Bytes& image) {
    // Negative: that far past the image's end; else the value itself.
    const std::uint32_t value =
        pastEnd < 0 ? static_cast<std::uint32_t>(image.size() - pastEnd) : static_cast<std::uint32_t>(pastEnd);
    PutLe32(image.data() + TableOf(image, path) + index * 4, value);
  };
}

// Moves the file's table to the image's last four (zero) bytes.
inline std::function<void(Bytes&)> CutTable(const std::string& path) {
  return [=](Bytes& image) {
    ASSERT_EQ(Word(image, image.size() - 4), 0u);
    SetInodeOffset(image.data() + WalkImage(image).at(path).inodeOffset, static_cast<std::uint32_t>(image.size() - 4));
  };
}

inline std::function<void(Bytes&)> Unsafe(const std::string& path) {
  return [=](Bytes& image) { Rename(image, path, path.substr(0, path.size() - 2) + ".."); };
}

// The superblock CRC made right again, so that only the damage is found.
inline void SealCrc(Bytes& image) {
  PutLe32(image.data() + kSuperCrc, 0);
  const std::uint32_t size = Word(image, kSuperSize);
  PutLe32(image.data() + kSuperCrc, static_cast<std::uint32_t>(::crc32(0, image.data(), size)));
}

// The tree above built in `folder`, damaged, its CRC sealed unless the
// damage is to show there too, and written to "<folder>/damaged.img"; that
// path ("" after a failure), with the damaged bytes in `*image`.
inline std::string WriteDamagedImage(const std::string& folder, const std::vector<std::function<void(Bytes&)>>& damage,
                                     bool sealCrc, Bytes* image) {
  MakeTree(folder + "/src");
  *image = BuildImage(folder + "/src", folder + "/sound.img");
  if (image->empty()) {
    ADD_FAILURE() << "cannot build the sound image";
    return "";
  }
  for (const auto& d : damage) d(*image);
  if (sealCrc) SealCrc(*image);
  const std::string path = folder + "/damaged.img";
  WriteBytes(path, *image);
  return path;
}

// Sound images of the tree at `source`, made in `folder`: "peer.img" and
// "peer-z.img" (with holes) by mkfs.cramfs where it is installed, and
// "ours.img" by our writer; their paths.
inline std::vector<std::string> SoundImagesOf(const std::string& source, const std::string& folder) {
  std::vector<std::string> images;
  if (testsupport::HaveProgram("mkfs.cramfs")) {
    for (const char* holes : {"", "-z"}) {
      const std::string image = folder + "/peer" + holes + ".img";
      std::vector<std::string> argv = {"mkfs.cramfs"};
      if (*holes) argv.push_back(holes);
      argv.push_back(source);
      argv.push_back(image);
      if (testsupport::RunCommand(argv).status != 0) ADD_FAILURE() << "mkfs.cramfs cannot make " << image;
      images.push_back(image);
    }
  }
  if (BuildImage(source, folder + "/ours.img").empty()) ADD_FAILURE() << "our writer cannot make ours.img";
  images.push_back(folder + "/ours.img");
  return images;
}

}  // namespace cramfstest
