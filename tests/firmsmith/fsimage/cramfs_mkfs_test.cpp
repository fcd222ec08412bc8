// Our extractor on util-linux images: mkfs.cramfs plain, padded for boot
// code (superblock at 512) and with holes.
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

const char kMkfs[] = "/usr/sbin/mkfs.cramfs";

struct MkfsCase {
  const char* what;
  std::vector<std::string> options;
  std::uint32_t superblockAt;
  std::uint32_t flagWanted;
};

void PrintTo(const MkfsCase& c, std::ostream* os) { *os << c.what; }

class CramfsFromMkfs : public ::testing::TestWithParam<MkfsCase> {
 protected:
  void SetUp() override {
    if (!testsupport::HaveProgram("mkfs.cramfs")) GTEST_SKIP() << "mkfs.cramfs missing";
  }
  TempDir tmp_;
};

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
  PutFile(src, "data/" + std::string(200, 'n'), "long name");

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
