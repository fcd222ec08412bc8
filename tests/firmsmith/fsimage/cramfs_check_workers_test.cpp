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

#include "cramfs_damage.h"
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
  Bytes image;
  const std::string path = WriteDamagedImage(tmp.path(), c.damage, c.sealCrc, &image);
  ASSERT_FALSE(path.empty());

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
                   {"c/19: block 0 does not inflate", "c/..: unsafe entry name", "c/21: block 1 does not inflate"}},
        // A name is the image's: a line break in it is shown, not obeyed.
        DamageCase{"name_with_a_line_break",
                   {[](Bytes& image) { Rename(image, "c/07", "c/0\n"); }, Flip("c/0\n", 0)},
                   {"c/0\\012: block 0 does not inflate"}}),
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
  const std::vector<std::string> images = SoundImagesOf(src, tmp.path());
  ASSERT_FALSE(::testing::Test::HasFailure());
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
