// Our images against util-linux: fsck.cramfs must accept every image we write
// and unpack it to the source tree, tried on a tree with every edge case.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <sstream>
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

class CramfsFsck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveProgram("fsck.cramfs"))
      GTEST_SKIP() << "util-linux cramfs tools missing";
  }
  TempDir tmp_;
};

TEST_F(CramfsFsck, FsckAcceptsOurImageAndUnpacksTheSourceTree) {
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

// "fsck.cramfs -v --extract" lines with the extraction folder, the modes
// and the owners taken out: type, size or device number, path, link target.
std::vector<std::string> FsckEntries(const std::string& image, const std::string& destination) {
  const auto run = RunCommand({kFsck, "-v", "--extract=" + destination, image});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  std::vector<std::string> lines;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> kept;
    bool ownerSeen = false;
    int index = 0;
    for (std::string w; words >> w;) {
      if (index++ == 1) continue;  // the mode
      if (!ownerSeen && w.find(':') != std::string::npos && w.find_first_not_of("0123456789:") == std::string::npos) {
        ownerSeen = true;
        continue;
      }
      if (w.rfind(destination, 0) == 0) w = "ROOT" + w.substr(destination.size());
      kept.push_back(w);
    }
    if (ownerSeen) lines.push_back(std::accumulate(kept.begin(), kept.end(), std::string(),
                                                   [](std::string a, const std::string& b) {
                                                     return a.empty() ? b : a + " " + b;
                                                   }));
  }
  return lines;
}

// A device root made by mkfs.cramfs and by us: fsck.cramfs sees the same
// types, link targets and device numbers in both, reproduces our links and
// nodes, and our extractor reproduces those of the mkfs.cramfs image.
TEST_F(CramfsFsck, DeviceRootKeepsLinksAndNodesInBothImages) {
  if (!testsupport::HaveProgram("mkfs.cramfs")) GTEST_SKIP() << "mkfs.cramfs missing";
  const bool root = ::geteuid() == 0;
  const DeviceRoot made = MakeDeviceRoot(tmp_ / "src", root);
  const auto mkfs = RunCommand({"/usr/sbin/mkfs.cramfs", "-N", "little", tmp_ / "src", tmp_ / "mkfs.img"});
  ASSERT_EQ(mkfs.status, 0) << mkfs.err;
  BuildImage(tmp_ / "src", tmp_ / "ours.img");

  if (!root) GTEST_SKIP() << "fsck.cramfs --extract makes the FIFO and nodes only as root";
  const std::vector<std::string> theirs = FsckEntries(tmp_ / "mkfs.img", tmp_ / "a");
  const std::vector<std::string> ours = FsckEntries(tmp_ / "ours.img", tmp_ / "b");
  EXPECT_EQ(ours, theirs);
  EXPECT_GT(ours.size(), DeviceRootApplets().size() + 10);
  for (const char* line : {"c 5, 1 ROOT/dev/console", "b 31, 0 ROOT/dev/mtdblock0", "p 0 ROOT/tmp/logpipe",
                                  "l 12 ROOT/sbin/init -> /bin/busybox",
                                  "l 12 ROOT/lib/libc.so.6 -> libc-2.31.so"})
    EXPECT_NE(std::find(ours.begin(), ours.end(), line), ours.end()) << line;
  const std::string hostLink =
      "l " + std::to_string(made.hostFile.size()) + " ROOT/lib/libcrypto.so -> " + made.hostFile;
  EXPECT_NE(std::find(ours.begin(), ours.end(), hostLink), ours.end()) << hostLink;

  const TreeListing source = ListTree(tmp_ / "src");
  EXPECT_EQ(ListTree(tmp_ / "b"), source);
  const auto x = RunCommand({testsupport::AppDir() + "/firmsmith-cli", "cramfs-extract", tmp_ / "mkfs.img",
                             tmp_ / "c", "--special-files"});
  ASSERT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(x.err, "");
  EXPECT_EQ(ListTree(tmp_ / "c"), source);
}

}  // namespace
