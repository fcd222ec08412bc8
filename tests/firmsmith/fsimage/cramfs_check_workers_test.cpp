// The structural check of a cramfs image with its blocks inflated on several
// threads: for damaged images of every kind, early and late in the walk and
// inside one large file's later blocks, the findings, their order, the
// listing and the result are those of the one-thread walk; sound images from
// mkfs.cramfs (with and without holes) and from our writer pass whatever the
// thread count; the image is never changed.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cramfs_test_util.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "test_support.h"

namespace {

using namespace cramfstest;
using namespace fsimage::cramfs;
using testsupport::RunCommand;
using testsupport::TempDir;

constexpr unsigned kWorkerCounts[] = {1, 2, 4, 0};
const char kImageLine[] = "%IMAGE%";  // stands for the image's path in expected lines

// Walk order (sorted names): a/early, b/big, c/00 .. c/39, z/late. b/big
// spans several of the pool's runs of blocks; z/late's data ends the image.
void MakeTree(const std::string& root) {
  PutFile(root, "a/early", TextContent(12000, 1));
  PutFile(root, "b/big", TextContent(700000, 2));
  for (int i = 0; i < 40; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "c/%02d", i);
    PutFile(root, name, TextContent(5000, 10 + i));
  }
  PutFile(root, "z/late", TextContent(9000, 3));
}

std::uint32_t TableOf(const Bytes& image, const std::string& path) { return WalkImage(image).at(path).inode.offset; }

std::uint32_t BlocksOf(const Bytes& image, const std::string& path) {
  return BlockCount(WalkImage(image).at(path).inode.size);
}

// Where block `index` of `path` starts and ends in the image.
std::pair<std::uint32_t, std::uint32_t> BlockSpan(const Bytes& image, const std::string& path, std::uint32_t index) {
  const std::uint32_t table = TableOf(image, path);
  const std::uint32_t start = index == 0 ? table + BlocksOf(image, path) * 4 : Word(image, table + (index - 1) * 4);
  return {start, Word(image, table + index * 4)};
}

std::function<void(Bytes&)> Flip(const std::string& path, std::uint32_t index) {
  return [=](Bytes& image) {
    const auto [start, end] = BlockSpan(image, path, index);
    image[(start + end) / 2] ^= 0x5A;
  };
}

// A sound zlib stream of 100 bytes where a whole block's belongs.
std::function<void(Bytes&)> Short(const std::string& path, std::uint32_t index) {
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

std::function<void(Bytes&)> SetPointer(const std::string& path, std::uint32_t index, std::int64_t pastEnd) {
  return [=](Bytes& image) {
    // Negative: that far past the image's end; else the value itself.
    const std::uint32_t value =
        pastEnd < 0 ? static_cast<std::uint32_t>(image.size() - pastEnd) : static_cast<std::uint32_t>(pastEnd);
    PutLe32(image.data() + TableOf(image, path) + index * 4, value);
  };
}

// Moves the file's table to the image's last four (zero) bytes.
std::function<void(Bytes&)> CutTable(const std::string& path) {
  return [=](Bytes& image) {
    ASSERT_EQ(Word(image, image.size() - 4), 0u);
    SetInodeOffset(image.data() + WalkImage(image).at(path).inodeOffset, static_cast<std::uint32_t>(image.size() - 4));
  };
}

std::function<void(Bytes&)> Unsafe(const std::string& path) {
  return [=](Bytes& image) { Rename(image, path, path.substr(0, path.size() - 2) + ".."); };
}

// The superblock CRC made right again, so that only the damage is found.
void SealCrc(Bytes& image) {
  PutLe32(image.data() + kSuperCrc, 0);
  const std::uint32_t size = Word(image, kSuperSize);
  PutLe32(image.data() + kSuperCrc, static_cast<std::uint32_t>(::crc32(0, image.data(), size)));
}

struct DamageCase {
  const char* name;
  std::vector<std::function<void(Bytes&)>> damage;
  std::vector<std::string> expected;  // the one-thread walk's lines
  bool sealCrc = true;                // false: the damage also shows in the CRC
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

std::string Listed(const std::vector<fsimage::CramfsListedEntry>& entries) {
  std::string all;
  for (const auto& e : entries)
    all += e.path + " " + std::to_string(e.mode) + " " + std::to_string(e.size) + " " + e.linkTarget + "\n";
  return all;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

class CramfsCheckWorkers : public ::testing::TestWithParam<DamageCase> {};

TEST_P(CramfsCheckWorkers, FindingsAreThoseOfOneThread) {
  const DamageCase& c = GetParam();
  TempDir tmp;
  MakeTree(tmp / "src");
  Bytes image = BuildImage(tmp / "src", tmp / "sound.img");
  ASSERT_FALSE(image.empty());
  for (const auto& damage : c.damage) damage(image);
  if (c.sealCrc) SealCrc(image);
  const std::string path = tmp / "damaged.img";
  WriteBytes(path, image);

  std::vector<std::string> expected;
  for (const std::string& line : c.expected)
    expected.push_back(line == kImageLine ? path + ": file data past the end of the image" : line);
  // A failed area check is the reason; else the first finding is.
  const std::string expectedWhy = c.expected.back() == kImageLine ? expected.back() : path + ": " + expected.front();
  std::string oneListing;
  for (unsigned workers : kWorkerCounts) {
    SCOPED_TRACE("workers " + std::to_string(workers));
    std::vector<fsimage::CramfsListedEntry> entries;
    std::vector<std::string> problems;
    std::string why;
    EXPECT_EQ(fsimage::ListAndCheckCramfsImage(path, &entries, &why, &problems, workers), -1);
    EXPECT_EQ(problems, expected) << Joined(problems);
    if (workers == 1) oneListing = Listed(entries);
    EXPECT_EQ(why, expectedWhy);
    EXPECT_EQ(Listed(entries), oneListing);
    std::vector<std::string> checked;
    EXPECT_EQ(fsimage::CheckCramfsImage(path, &checked, workers), -1);
    EXPECT_EQ(checked, expected);
  }
  EXPECT_EQ(ReadBytes(path), image);
  if (testsupport::HaveProgram("fsck.cramfs")) {
    // It inflates the blocks only when it unpacks them.
    EXPECT_NE(RunCommand({"fsck.cramfs", "--extract=" + tmp / "peer-out", path}).status, 0)
        << "the peer finds the damage too";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CramfsCheckWorkers,
    ::testing::Values(
        DamageCase{"block_does_not_inflate_early", {Flip("a/early", 1)}, {"a/early: block 1 does not inflate"}},
        DamageCase{"block_inflates_short_late", {Short("z/late", 2)}, {"z/late: block 2 does not inflate"}},
        DamageCase{"pointer_backwards", {SetPointer("c/17", 1, 0)}, {"c/17: bad pointer of block 1"}},
        // A bad pointer still counts towards the data's end.
        DamageCase{"pointer_far_forward",
                   {SetPointer("c/17", 1, 0x7FFFFFF0)},
                   {"c/17: bad pointer of block 1", kImageLine}},
        // The pointer also moves the data's end past the image.
        DamageCase{"block_past_the_end",
                   {SetPointer("z/late", 2, -16)},
                   {"z/late: block 2 past the end of the image", kImageLine}},
        DamageCase{"pointer_table_cut",
                   {CutTable("z/late")},
                   {"z/late: block pointers past the end of the image", "z/late: bad pointer of block 0"}},
        DamageCase{"large_file_in_a_later_run", {Flip("b/big", 150)}, {"b/big: block 150 does not inflate"}},
        // The first damaged block ends the file: the bad pointer behind it
        // neither shows nor moves the data's end.
        DamageCase{"large_file_first_damage_hides_later_pointer",
                   {Flip("b/big", 70), SetPointer("b/big", 170, -16)},
                   {"b/big: block 70 does not inflate"}},
        DamageCase{"several_files",
                   {Flip("a/early", 0), Flip("b/big", 100), Flip("b/big", 150), Short("c/05", 0),
                    SetPointer("c/33", 1, 0), Flip("z/late", 1)},
                   {"a/early: block 0 does not inflate", "b/big: block 100 does not inflate",
                    "c/05: block 0 does not inflate", "c/33: bad pointer of block 1",
                    "z/late: block 1 does not inflate"}},
        // The image's CRC finding (checked beside the walk) comes first.
        DamageCase{"crc_and_blocks",
                   {Flip("a/early", 2), Flip("z/late", 0)},
                   {"/: superblock CRC is wrong", "a/early: block 2 does not inflate", "z/late: block 0 does not inflate"},
                   false},
        // A finding of the walk itself between two of the pool's.
        DamageCase{"between_structural_findings",
                   {Flip("c/19", 0), Unsafe("c/20"), Flip("c/21", 1)},
                   {"c/19: block 0 does not inflate", "c/..: unsafe entry name", "c/21: block 1 does not inflate"}}),
    [](const ::testing::TestParamInfo<DamageCase>& i) { return std::string(i.param.name); });

// Many files, some spanning many runs, some with blocks of zeros (holes
// with mkfs.cramfs -z), from the peer and from our writer.
TEST(CramfsCheckWorkers, SoundImagesPassWithAnyCount) {
  TempDir tmp;
  const std::string src = tmp / "src";
  for (int i = 0; i < 300; ++i) {
    const std::size_t length = i % 50 == 0 ? 400000 + i : 100 + (i * 997) % 30000;
    std::string content = TextContent(length, 100 + i);
    if (i % 7 == 0) content.replace(content.size() / 3, std::min<std::size_t>(content.size() / 3, 20000), 20000, '\0');
    PutFile(src, "d" + std::to_string(i % 9) + "/f" + std::to_string(i), content.substr(0, length));
  }
  std::vector<std::string> images;
  if (testsupport::HaveProgram("mkfs.cramfs")) {
    for (const char* holes : {"", "-z"}) {
      const std::string image = tmp / (std::string("peer") + holes + ".img");
      std::vector<std::string> argv = {"mkfs.cramfs"};
      if (*holes) argv.push_back(holes);
      argv.push_back(src);
      argv.push_back(image);
      ASSERT_EQ(RunCommand(argv).status, 0) << image;
      images.push_back(image);
    }
  }
  ASSERT_FALSE(BuildImage(src, tmp / "ours.img").empty());
  images.push_back(tmp / "ours.img");
  for (const std::string& image : images) {
    const Bytes before = ReadBytes(image);
    std::string oneListing;
    for (unsigned workers : kWorkerCounts) {
      SCOPED_TRACE(image + " workers " + std::to_string(workers));
      std::vector<fsimage::CramfsListedEntry> entries;
      std::vector<std::string> problems;
      std::string why;
      EXPECT_EQ(fsimage::ListAndCheckCramfsImage(image, &entries, &why, &problems, workers), 0) << why;
      EXPECT_TRUE(problems.empty()) << Joined(problems);
      EXPECT_EQ(entries.size(), 300u + 9u);
      if (workers == 1) oneListing = Listed(entries);
      EXPECT_EQ(Listed(entries), oneListing);
    }
    EXPECT_EQ(ReadBytes(image), before);
  }
}

}  // namespace
