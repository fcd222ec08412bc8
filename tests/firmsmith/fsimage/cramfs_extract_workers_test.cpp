// Extraction of a cramfs image with its blocks inflated on several threads:
// for damaged images, a budget that runs out behind a damaged block or in
// the middle of the walk (into a destination that already holds files), and
// a file the system refuses to let grow, the result, the reason and the tree
// left behind are those of the one-thread extraction; sound images from
// mkfs.cramfs (with and without holes) and from our writer unpack to
// fsck.cramfs's tree with any count. The image is never changed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cramfs_damage.h"
#include "cramfs_test_util.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "test_support.h"

namespace {

using namespace cramfstest;
using testsupport::RunCommand;
using testsupport::TempDir;

constexpr unsigned kWorkerCounts[] = {1, 2, 4, 0};
// Bytes of the regular files of MakeTree, and what b/big charges when its
// block 70 does not inflate: the blocks up to that one, 71 of 4 KiB.
constexpr std::uint64_t kTreeBytes = 12000 + 700000 + 40 * 5000 + 9000;
constexpr std::uint64_t kBigUpToBlock70 = 71 * 4096;

// The tree with every entry's permission bits, so that a mode lost on the
// way shows too.
TreeListing Described(const std::string& root) {
  TreeListing listing = ListTree(root);
  for (auto& [path, line] : listing) {
    struct stat st {};
    if (::lstat((root + "/" + path).c_str(), &st) == 0) line += " mode " + std::to_string(st.st_mode & 07777);
  }
  return listing;
}

struct ExtractCase {
  const char* name;
  std::vector<std::function<void(Bytes&)>> damage = {};
  std::uint64_t budget = fsimage::kDefaultExtractBudget;
  int expectedResult = 0;
  // Files the destination holds before the extraction (path -> content);
  // a content of "/" makes a folder there instead.
  std::map<std::string, std::string> before = {};
  // With a limit, no file may grow past this many bytes.
  rlim_t fileSizeLimit = RLIM_INFINITY;
  const char* whyHolds = "";  // a part of the one-thread reason
};

void PrintTo(const ExtractCase& c, std::ostream* os) { *os << c.name; }

struct Extracted {
  int result = 0;
  std::string why;
  TreeListing tree;
};

Extracted Extract(const std::string& image, const std::string& destination, const ExtractCase& c,
                  unsigned workers) {
  for (const auto& [path, content] : c.before) {
    if (content == "/") {
      PutFolder(destination, path);
    } else {
      PutFile(destination, path, content);
    }
  }
  fsimage::CramfsExtractOptions options;
  options.budget = c.budget;
  options.workers = workers;
  Extracted x;
  rlimit saved {};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  if (c.fileSizeLimit != RLIM_INFINITY) {
    // A write past the limit then fails with EFBIG instead of a signal.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = c.fileSizeLimit;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  }
  x.result = fsimage::ExtractCramfsImage(image, destination, options, &x.why);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  x.tree = Described(destination);
  // The folder's own name differs from run to run; the rest must not.
  const std::string::size_type at = x.why.find(destination);
  if (at != std::string::npos) x.why.replace(at, destination.size(), "DEST");
  return x;
}

class CramfsExtractWorkers : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(CramfsExtractWorkers, ResultReasonAndTreeAreThoseOfOneThread) {
  const ExtractCase& c = GetParam();
  TempDir tmp;
  Bytes image;
  const std::string path = WriteDamagedImage(tmp.path(), c.damage, true, &image);
  ASSERT_FALSE(path.empty());

  Extracted one;
  for (unsigned workers : kWorkerCounts) {
    SCOPED_TRACE("workers " + std::to_string(workers));
    const Extracted x = Extract(path, tmp / ("out" + std::to_string(workers)), c, workers);
    if (workers == 1) {
      one = x;
      EXPECT_EQ(x.result, c.expectedResult) << x.why;
      EXPECT_NE(x.why.find(c.whyHolds), std::string::npos) << x.why;
      continue;
    }
    EXPECT_EQ(x.result, one.result);
    EXPECT_EQ(x.why, one.why);
    EXPECT_EQ(x.tree, one.tree);
  }
  EXPECT_EQ(ReadBytes(path), image);
  // What the damage and the budget did not reach is the source's.
  const TreeListing source = ListTree(tmp / "src");
  for (const char* untouched : {"c/00", "c/10"}) {
    if (one.tree.count(untouched) != 0) {
      EXPECT_EQ(one.tree.at(untouched).find(source.at(untouched)), 0u) << untouched;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CramfsExtractWorkers,
    ::testing::Values(
        ExtractCase{.name = "blocks_damaged_early_late_and_in_a_later_run",
                    .damage = {Flip("a/early", 0), Flip("b/big", 100), Flip("b/big", 150), Short("c/05", 0),
                               SetPointer("c/33", 1, 0), Flip("z/late", 1)}},
        ExtractCase{.name = "pointer_table_cut_and_block_past_the_end",
                    .damage = {CutTable("z/late"), SetPointer("b/big", 90, -16)},
                    .expectedResult = -1,
                    .whyHolds = "file data past the end of the image"},
        ExtractCase{.name = "unsafe_name_between_damaged_files",
                    .damage = {Flip("c/19", 0), Unsafe("c/20"), Flip("c/21", 1)}},
        // One thread charges b/big only up to its damaged block: the budget
        // holds exactly, and one byte less stops the walk at z/late's end.
        ExtractCase{.name = "budget_exact_behind_a_damaged_block",
                    .damage = {Flip("b/big", 70)},
                    .budget = kTreeBytes - 700000 + kBigUpToBlock70},
        ExtractCase{.name = "budget_one_byte_short_behind_a_damaged_block",
                    .damage = {Flip("b/big", 70)},
                    .budget = kTreeBytes - 700000 + kBigUpToBlock70 - 1,
                    .expectedResult = -1,
                    .before = {{"keep", "the operator's"}},
                    .whyHolds = "more than"},
        // The budget runs out in c/20: c/21 and later are never written and
        // the c/30 that stood there keeps its bytes.
        ExtractCase{.name = "budget_out_in_the_middle_of_a_folder_that_existed",
                    .damage = {Flip("a/early", 1)},
                    .budget = 12000 + 700000 + 20 * 5000 + 100,
                    .expectedResult = -1,
                    .before = {{"c/30", "the operator's"}, {"z/late", "the operator's too"}},
                    .whyHolds = "more than"},
        // b/big cannot grow past the limit (found when its runs come back)
        // and a folder stands where c/05 goes (found by the walk): the first
        // named is the first in walk order.
        ExtractCase{.name = "write_refused_behind_the_walk_named_first",
                    .expectedResult = -1,
                    .before = {{"c/05", "/"}},
                    .fileSizeLimit = 600000,
                    .whyHolds = "the first b/big: File too large"}),
    [](const ::testing::TestParamInfo<ExtractCase>& i) { return std::string(i.param.name); });

// Many small files, one large file over several of the pool's runs, blocks
// of zeros (holes with mkfs.cramfs -z), links and empty entries.
TEST(CramfsExtractWorkers, SoundImagesUnpackToThePeersTree) {
  if (!testsupport::HaveProgram("mkfs.cramfs") || !testsupport::HaveProgram("fsck.cramfs"))
    GTEST_SKIP() << "needs mkfs.cramfs and fsck.cramfs";
  TempDir tmp;
  const std::string src = tmp / "src";
  for (int i = 0; i < 400; ++i)
    PutFile(src, "d" + std::to_string(i % 7) + "/f" + std::to_string(i), TextContent(10 + (i * 739) % 9000, 100 + i));
  std::string large = TextContent(1500000, 7);
  large.replace(300000, 40000, 40000, '\0');
  PutFile(src, "big/firmware.bin", large + std::string(8192, '\0'));
  PutFile(src, "big/empty", "");
  PutFolder(src, "var/empty");
  ASSERT_EQ(::symlink("../big/firmware.bin", (src + "/d0/link").c_str()), 0);

  const std::vector<std::string> images = SoundImagesOf(src, tmp.path());
  ASSERT_FALSE(::testing::Test::HasFailure());
  for (std::size_t n = 0; n < images.size(); ++n) {
    const std::string& image = images[n];
    const Bytes before = ReadBytes(image);
    // This machine's fsck.cramfs refuses images with holes ("unsupported
    // filesystem features"): that one is held against the source tree.
    TreeListing expected = ListTree(src);
    if (image.find("-z") == std::string::npos) {
      const std::string peer = tmp / ("peer-out" + std::to_string(n));
      ASSERT_EQ(RunCommand({"fsck.cramfs", "--extract=" + peer, image}).status, 0) << image;
      expected = ListTree(peer);
      ASSERT_EQ(expected, ListTree(src));
    }
    TreeListing oneWithModes;
    for (unsigned workers : kWorkerCounts) {
      SCOPED_TRACE(image + " workers " + std::to_string(workers));
      const std::string out = tmp / ("out" + std::to_string(n) + "-" + std::to_string(workers));
      fsimage::CramfsExtractOptions options;
      options.workers = workers;
      std::string why;
      ASSERT_EQ(fsimage::ExtractCramfsImage(image, out, options, &why), 0) << why;
      EXPECT_EQ(ListTree(out), expected);
      if (workers == 1) oneWithModes = Described(out);
      EXPECT_EQ(Described(out), oneWithModes);
    }
    EXPECT_EQ(ReadBytes(image), before);
  }
}

}  // namespace
