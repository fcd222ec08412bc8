// Our images against util-linux: fsck.cramfs must accept every image we write
// and unpack it to the source tree; our extractor must unpack mkfs.cramfs
// images (plain, padded for boot code, with holes).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cramfs_test_util.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "test_support.h"

namespace {

using namespace cramfstest;
using testsupport::RunCommand;
using testsupport::TempDir;

const char kFsck[] = "/usr/sbin/fsck.cramfs";
const char kMkfs[] = "/usr/sbin/mkfs.cramfs";

struct TreeFile {
  std::string path;      // in the source tree
  std::string expected;  // where it must come out; "" = left out
  std::string content;
  std::size_t keep = std::string::npos;  // bytes that come out
};

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

std::vector<TreeFile> AcceptanceTree() {
  const std::string shared = TextContent(6000, 11);
  // 251 ASCII bytes, then two-byte characters: the cut lands inside one.
  const std::string utf8 = Repeat('u', 251) + "\xC3\xA9\xC3\xA9";
  return {
      {"a/b/c/deep.txt", "a/b/c/deep.txt", TextContent(300, 1)},
      {"a/copy1", "a/copy1", shared},
      {"z/y/copy2", "z/y/copy2", shared},
      {"empty_file", "empty_file", ""},
      {"sizes/4095", "sizes/4095", TextContent(4095, 2)},
      {"sizes/4096", "sizes/4096", TextContent(4096, 3)},
      {"sizes/4097", "sizes/4097", TextContent(4097, 4)},
      {"sizes/8192", "sizes/8192", TextContent(8192, 5)},
      {"big/twenty", "big/twenty", TextContent(20u << 20, 6), 16777215},
      {"names/abcd", "names/abcd", "4"},
      {"names/abcde", "names/abcde", "5"},
      {"names/" + Repeat('d', 252), "names/" + Repeat('d', 252), "252"},
      {"names/" + Repeat('e', 253), "names/" + Repeat('e', 252), "253"},
      {"names/" + Repeat('f', 254), "names/" + Repeat('f', 252), "254"},
      {"names/" + Repeat('g', 255), "names/" + Repeat('g', 252), "255"},
      {"names/" + utf8, "names/" + Repeat('u', 251), "utf8"},
      {"Thumbs.db", "", "skipped"},
      {"thumbs.db", "thumbs.db", "kept"},
      {".svn/entries", "", "skipped"},
      {"a/.svn/text-base/x", "", "skipped"},
  };
}

class CramfsPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveProgram("fsck.cramfs") || !testsupport::HaveProgram("mkfs.cramfs"))
      GTEST_SKIP() << "util-linux cramfs tools missing";
  }
  TempDir tmp_;
};

TEST_F(CramfsPeer, FsckAcceptsOurImageAndUnpacksTheSourceTree) {
  const std::vector<TreeFile> files = AcceptanceTree();
  for (const TreeFile& f : files) {
    PutFile(tmp_ / "src", f.path, f.content);
    if (!f.expected.empty()) PutFile(tmp_ / "expected", f.expected, f.content.substr(0, f.keep));
  }
  for (const char* folder : {"empty_folder", "a/b/empty"}) {
    PutFolder(tmp_ / "src", folder);
    PutFolder(tmp_ / "expected", folder);
  }
  BuildImage(tmp_ / "src", tmp_ / "ours.img");

  const auto check = RunCommand({kFsck, "-v", tmp_ / "ours.img"});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  const auto unpack = RunCommand({kFsck, "--extract=" + (tmp_ / "fsck-out"), tmp_ / "ours.img"});
  ASSERT_EQ(unpack.status, 0) << unpack.out << unpack.err;
  EXPECT_EQ(ListTree(tmp_ / "fsck-out"), ListTree(tmp_ / "expected"));

  std::string why;
  ASSERT_EQ(fsimage::ExtractCramfsImage(tmp_ / "ours.img", tmp_ / "our-out", &why), 0) << why;
  EXPECT_EQ(ListTree(tmp_ / "our-out"), ListTree(tmp_ / "expected"));
}

struct MkfsCase {
  const char* what;
  std::vector<std::string> options;
  std::uint32_t superblockAt;
  std::uint32_t flagWanted;
};

void PrintTo(const MkfsCase& c, std::ostream* os) { *os << c.what; }

class CramfsFromMkfs : public CramfsPeer, public ::testing::WithParamInterface<MkfsCase> {};

TEST_P(CramfsFromMkfs, OurExtractorUnpacksTheSourceTree) {
  const MkfsCase& c = GetParam();
  const std::string src = tmp_ / "src";
  PutFile(src, "etc/config", TextContent(700, 1));
  PutFile(src, "etc/copy", TextContent(700, 1));
  PutFile(src, "bin/app", TextContent(50000, 2));
  PutFile(src, "bin/empty", "");
  PutFolder(src, "var/empty");
  // Zero blocks in the middle and at the end: holes with -z.
  PutFile(src, "data/sparse", TextContent(4096, 3) + std::string(8192, '\0') + TextContent(10, 4) +
                                  std::string(4096 * 2 + 5, '\0'));
  PutFile(src, "data/" + Repeat('n', 200), "long name");

  std::vector<std::string> argv = {kMkfs, "-N", "little"};
  argv.insert(argv.end(), c.options.begin(), c.options.end());
  argv.push_back(src);
  argv.push_back(tmp_ / "mkfs.img");
  const auto made = RunCommand(argv);
  ASSERT_EQ(made.status, 0) << made.err;
  const Bytes image = ReadBytes(tmp_ / "mkfs.img");
  ASSERT_EQ(Word(image, c.superblockAt), fsimage::cramfs::kMagic);
  const std::uint32_t flags = Word(image, c.superblockAt + fsimage::cramfs::kSuperFlags);
  if (c.flagWanted != 0 && (flags & c.flagWanted) == 0)
    GTEST_SKIP() << "this mkfs.cramfs does not set flag " << c.flagWanted;

  std::string why;
  ASSERT_EQ(fsimage::ExtractCramfsImage(tmp_ / "mkfs.img", tmp_ / "out", &why), 0) << why;
  EXPECT_EQ(ListTree(tmp_ / "out"), ListTree(src));
}

INSTANTIATE_TEST_SUITE_P(Options, CramfsFromMkfs,
                         ::testing::Values(MkfsCase{"plain", {}, 0, 0},
                                           MkfsCase{"boot_pad", {"-p"}, 512, 0},
                                           MkfsCase{"holes", {"-z"}, 0, fsimage::cramfs::kFlagHoles}),
                         [](const ::testing::TestParamInfo<MkfsCase>& i) { return std::string(i.param.what); });

}  // namespace
