// Byte-level behaviour of the cramfs writer: superblock, inodes, names, block
// tables, duplicate sharing and the order of the directory area.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "common/platform/debuglog.h"
#include "cramfs_test_util.h"
#include "firmsmith/fsimage/cramfs_writer.h"
#include "test_support.h"

namespace {

using namespace cramfstest;
using namespace fsimage::cramfs;
using testsupport::TempDir;

TEST(CramfsWriter, EmptyFolderGivesOneBlockImageWithSuperblockAndCrc) {
  TempDir tmp;
  PutFolder(tmp.path(), "src");
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  ASSERT_EQ(image.size(), 4096u);
  EXPECT_EQ(Word(image, kSuperMagic), kMagic);
  EXPECT_EQ(Word(image, kSuperSize), 4096u);
  EXPECT_EQ(Word(image, kSuperFlags), 3u);
  EXPECT_EQ(Word(image, kSuperFuture), 0u);
  EXPECT_EQ(std::memcmp(image.data() + kSuperSignature, "Compressed ROMFS", 16), 0);
  EXPECT_EQ(Word(image, kSuperEdition), 0u);
  EXPECT_EQ(Word(image, kSuperBlocks), 0u);
  EXPECT_EQ(Word(image, kSuperFiles), 1u);
  const Bytes name(image.begin() + kSuperName, image.begin() + kSuperName + 16);
  EXPECT_EQ(name, Bytes({'C', 'o', 'm', 'p', 'r', 'e', 's', 's', 'e', 'd', 0, 0, 0, 0, 0, 0}));
  // Root: directory 0777, size 0, name length 0, offset field 19.
  EXPECT_EQ(Word(image, kSuperRoot), 0040777u);
  EXPECT_EQ(Word(image, kSuperRoot + 4), 0u);
  EXPECT_EQ(Word(image, kSuperRoot + 8), 19u << 6);
  for (std::size_t i = kSuperblockSize; i < image.size(); ++i) ASSERT_EQ(image[i], 0) << i;

  Bytes zeroed = image;
  PutLe32(zeroed.data() + kSuperCrc, 0);
  EXPECT_EQ(Word(image, kSuperCrc), ::crc32(::crc32(0, nullptr, 0), zeroed.data(), zeroed.size()));
}

struct BlockCase {
  std::size_t length;
  std::uint32_t blocks;
};

void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.length << " bytes"; }

class CramfsWriterBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(CramfsWriterBlocks, PointerTableThenBlocksThenPadding) {
  const BlockCase c = GetParam();
  TempDir tmp;
  const std::string content = TextContent(c.length, 7);
  PutFile(tmp.path(), "src/f", content);
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  ASSERT_FALSE(image.empty());
  const auto entries = WalkImage(image);
  ASSERT_EQ(entries.count("f"), 1u);
  const Inode in = entries.at("f").inode;
  EXPECT_EQ(in.mode, 0100777u);
  EXPECT_EQ(in.size, c.length);
  // The data area starts right after the one-entry root list.
  EXPECT_EQ(in.offset, kSuperblockSize + kInodeSize + 4);
  EXPECT_EQ(Word(image, kSuperBlocks), c.blocks);
  std::string joined;
  for (std::uint32_t i = 0; i < c.blocks; ++i) {
    const std::string block = InflateBlock(image, in.offset, c.blocks, i);
    EXPECT_EQ(block.size(), std::min<std::size_t>(kBlockSize, c.length - i * kBlockSize)) << i;
    joined += block;
  }
  EXPECT_EQ(joined, content);
  const std::uint32_t end = Word(image, in.offset + (c.blocks - 1) * 4);
  for (std::uint32_t i = end; i < RoundUp(end, 4); ++i) EXPECT_EQ(image[i], 0);
  EXPECT_EQ(Word(image, kSuperSize), RoundUp(RoundUp(end, 4), 4096));
  EXPECT_EQ(image.size(), Word(image, kSuperSize));
}

INSTANTIATE_TEST_SUITE_P(Lengths, CramfsWriterBlocks,
                         ::testing::Values(BlockCase{1, 1}, BlockCase{4095, 1}, BlockCase{4096, 1},
                                           BlockCase{4097, 2}, BlockCase{8192, 2},
                                           BlockCase{8193, 3}));

TEST(CramfsWriter, NamesArePaddedToFourBytesWithoutTerminatorWhenExact) {
  TempDir tmp;
  PutFile(tmp.path(), "src/abcd", "");
  PutFile(tmp.path(), "src/abcde", "");
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  ASSERT_FALSE(image.empty());
  // "abcd": inode at 76, name at 88..92, no terminator; "abcde" right after.
  EXPECT_EQ(InodeAt(image, 76).nameLength, 4u);
  EXPECT_EQ(std::string(image.begin() + 88, image.begin() + 92), "abcd");
  EXPECT_EQ(InodeAt(image, 92).nameLength, 8u);
  EXPECT_EQ(std::string(image.begin() + 104, image.begin() + 112), std::string("abcde\0\0\0", 8));
  EXPECT_EQ(Word(image, kSuperRoot + 4) & 0xFFFFFF, 36u);  // root list size
  EXPECT_EQ(Word(image, kSuperFiles), 3u);
}

TEST(CramfsWriter, IdenticalFilesShareTheEarliestCopyAndCountBlocksOnce) {
  TempDir tmp;
  const std::string same = TextContent(5000, 1);
  std::string other = same;
  other[4999] ^= 1;  // same length, different last byte
  PutFile(tmp.path(), "src/a/one", same);
  PutFile(tmp.path(), "src/b/two", same);
  PutFile(tmp.path(), "src/b/zdiff", other);
  PutFile(tmp.path(), "src/c/deep/three", same);
  PutFile(tmp.path(), "src/e1", "");
  PutFile(tmp.path(), "src/e2", "");
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  ASSERT_FALSE(image.empty());
  const auto e = WalkImage(image);
  const std::uint32_t first = e.at("a/one").inode.offset;
  EXPECT_NE(first, 0u);
  EXPECT_EQ(e.at("b/two").inode.offset, first);
  EXPECT_EQ(e.at("c/deep/three").inode.offset, first);
  EXPECT_NE(e.at("b/zdiff").inode.offset, first);
  EXPECT_EQ(InflateBlock(image, e.at("b/zdiff").inode.offset, 2, 1), other.substr(4096));
  EXPECT_EQ(Word(image, kSuperBlocks), 4u);  // 2 blocks each for one and zdiff
  for (const char* empty : {"e1", "e2"}) {
    EXPECT_EQ(e.at(empty).inode.size, 0u);
    EXPECT_EQ(e.at(empty).inode.offset, 0u);
  }
}

TEST(CramfsWriter, DirectoryListsFollowDepthFirstOrderAfterTheRootList) {
  TempDir tmp;
  PutFile(tmp.path(), "src/b/fb", "b");
  PutFile(tmp.path(), "src/a/fa", "a");
  PutFile(tmp.path(), "src/a/sub/fs", "s");
  PutFolder(tmp.path(), "src/a/empty");
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  ASSERT_FALSE(image.empty());
  const auto e = WalkImage(image);
  // root list: a, b at 76 and 92
  EXPECT_EQ(NameAt(image, 76), "a");
  EXPECT_EQ(NameAt(image, 92), "b");
  const std::uint32_t listA = e.at("a").inode.offset, listSub = e.at("a/sub").inode.offset,
                      listB = e.at("b").inode.offset;
  EXPECT_EQ(listA, 108u);
  EXPECT_EQ(listSub, listA + e.at("a").inode.size);
  EXPECT_EQ(listB, listSub + e.at("a/sub").inode.size);
  EXPECT_EQ(e.at("a/empty").inode.size, 0u);
  EXPECT_EQ(e.at("a/empty").inode.offset, 0u);
  // Data area in depth-first order right after the last list.
  const std::uint32_t dataStart = listB + e.at("b").inode.size;
  EXPECT_EQ(e.at("a/fa").inode.offset, dataStart);
  EXPECT_LT(e.at("a/fa").inode.offset, e.at("a/sub/fs").inode.offset);
  EXPECT_LT(e.at("a/sub/fs").inode.offset, e.at("b/fb").inode.offset);
  EXPECT_EQ(Word(image, kSuperFiles), 1u + 7u);
}

TEST(CramfsWriter, FilesAboveTheSizeLimitKeepTheirFirst16777215Bytes) {
  TempDir tmp;
  const std::string big = TextContent(20u << 20, 3);
  PutFile(tmp.path(), "src/big", big);
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  ASSERT_FALSE(image.empty());
  const Inode in = WalkImage(image).at("big").inode;
  EXPECT_EQ(in.size, 16777215u);
  EXPECT_EQ(Word(image, kSuperBlocks), 4096u);
  EXPECT_EQ(InflateBlock(image, in.offset, 4096, 4095), big.substr(4095u * 4096, 4095));
}

TEST(CramfsWriter, SkipsThumbsDbAndSvnCaseSensitively) {
  TempDir tmp;
  PutFile(tmp.path(), "src/Thumbs.db", "x");
  PutFile(tmp.path(), "src/thumbs.db", "y");
  PutFile(tmp.path(), "src/.svn/entries", "z");
  PutFile(tmp.path(), "src/d/.svn/entries", "z");
  PutFile(tmp.path(), "src/.SVN", "w");
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  std::vector<std::string> names;
  for (const auto& [path, entry] : WalkImage(image)) names.push_back(path);
  EXPECT_EQ(names, (std::vector<std::string>{".SVN", "d", "thumbs.db"}));
}

TEST(CramfsWriter, RootIsReadOnlyWhenTheSourceFolderIs) {
  TempDir tmp;
  PutFile(tmp.path(), "src/f", "x");
  ASSERT_EQ(::chmod((tmp / "src").c_str(), 0555), 0);
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  ::chmod((tmp / "src").c_str(), 0755);
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(InodeAt(image, kSuperRoot).mode, 0040555u);
  EXPECT_EQ(WalkImage(image).at("f").inode.mode, 0100777u);
}

TEST(CramfsWriter, RepeatedBuildsAreByteIdentical) {
  TempDir tmp;
  for (int i = 0; i < 40; ++i)
    PutFile(tmp.path(), "src/d" + std::to_string(i % 5) + "/f" + std::to_string(i),
            TextContent(1000 + 997 * i, i % 7));
  const Bytes first = BuildImage(tmp / "src", tmp / "one.img");
  const Bytes second = BuildImage(tmp / "src", tmp / "two.img");
  ASSERT_FALSE(first.empty());
  EXPECT_TRUE(first == second);
}

struct NameCase {
  const char* what;
  std::string name;
  bool ok;
  std::size_t storedLength;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.what; }

class CramfsStoredNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(CramfsStoredNames, CutOnCharacterBoundaries) {
  const NameCase& c = GetParam();
  std::string stored = "unchanged";
  EXPECT_EQ(fsimage::CramfsStoredName(c.name, &stored), c.ok);
  if (c.ok) {
    EXPECT_EQ(stored, c.name.substr(0, c.storedLength));
  }
}

std::string Ascii(std::size_t n) { return std::string(n, 'n'); }
// 251 ASCII bytes, then two-byte characters: byte 253 continues one.
std::string TwoByteAt252() { return Ascii(251) + "\xC3\xA9\xC3\xA9"; }

INSTANTIATE_TEST_SUITE_P(
    Table, CramfsStoredNames,
    ::testing::Values(NameCase{"four", Ascii(4), true, 4}, NameCase{"five", Ascii(5), true, 5},
                      NameCase{"252", Ascii(252), true, 252}, NameCase{"253", Ascii(253), true, 252},
                      NameCase{"254", Ascii(254), true, 252}, NameCase{"255", Ascii(255), true, 252},
                      NameCase{"256", Ascii(256), false, 0},
                      NameCase{"two_byte_cut", TwoByteAt252(), true, 251},
                      NameCase{"lead_byte_at_cut", Ascii(252) + "\xC3\xA9", true, 252},
                      NameCase{"four_byte_cut", Ascii(250) + "\xF0\x9F\x98\x80\x41", true, 250},
                      NameCase{"stray_continuation", Ascii(252) + "\x80\x80", false, 0},
                      NameCase{"all_continuation", std::string(253, '\x80'), false, 0}),
    [](const ::testing::TestParamInfo<NameCase>& i) { return std::string(i.param.what); });

TEST(CramfsWriter, LongNamesAreStoredCut) {
  TempDir tmp;
  PutFile(tmp.path(), "src/" + Ascii(254), "a");
  PutFile(tmp.path(), "src/" + TwoByteAt252(), "b");
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  const auto e = WalkImage(image);
  ASSERT_EQ(e.count(Ascii(251) + "\xC3"), 0u);
  ASSERT_EQ(e.count(Ascii(251)), 1u);
  EXPECT_EQ(e.at(Ascii(251)).inode.nameLength, 252u);
  ASSERT_EQ(e.count(Ascii(252)), 1u);
  EXPECT_EQ(e.at(Ascii(252)).inode.nameLength, 252u);  // name-length field 63
  EXPECT_EQ(Word(image, e.at(Ascii(252)).inodeOffset + 8) & 63, 63u);
}

TEST(CramfsWriter, NameWithoutCleanCutFailsAndLeavesTheImageEmpty) {
  TempDir tmp;
  PutFile(tmp.path(), "src/ok", "a");
  PutFile(tmp.path(), "src/" + Ascii(252) + "\x80\x80", "b");
  testsupport::WriteFile(tmp / "out.img", "old image");
  std::string why;
  EXPECT_EQ(fsimage::BuildCramfsImage(tmp / "src", tmp / "out.img", &why), -1);
  EXPECT_TRUE(testsupport::FileExists(tmp / "out.img"));
  EXPECT_EQ(testsupport::ReadFile(tmp / "out.img"), "");
  EXPECT_NE(why.find("name"), std::string::npos) << why;
}

TEST(CramfsWriter, FailuresReturnMinusOne) {
  TempDir tmp;
  PutFile(tmp.path(), "src/f", "x");
  std::string why;
  EXPECT_EQ(fsimage::BuildCramfsImage(tmp / "src", tmp / "no/such/folder/out.img", &why), -1);
  EXPECT_NE(why.find("no/such/folder/out.img"), std::string::npos) << why;
  ASSERT_EQ(::mkfifo((tmp / "fifo.img").c_str(), 0644), 0);
  EXPECT_EQ(fsimage::BuildCramfsImage(tmp / "src", tmp / "fifo.img", &why), -1);  // no reader: no wait
  // A missing source is a mistake, not an empty partition.
  EXPECT_EQ(fsimage::BuildCramfsImage(tmp / "missing", tmp / "out.img", &why), -1);
  EXPECT_EQ(testsupport::ReadFile(tmp / "out.img"), "");
}

// Links are stored as links with their target as data and never followed:
// a link to a file outside the tree, to a folder, a dangling one and one
// back to its own parent (a loop when followed) all build.
TEST(CramfsWriter, LinksAreStoredAsLinksNeverFollowed) {
  TempDir tmp;
  PutFile(tmp.path(), "outside/data", "linked content");
  PutFile(tmp.path(), "src/plain", "p");
  std::filesystem::create_symlink(tmp / "outside/data", tmp / "src/file-link");
  std::filesystem::create_directory_symlink(tmp / "outside", tmp / "src/dir-link");
  std::filesystem::create_symlink("/nowhere/at/all", tmp / "src/dangling");
  std::filesystem::create_directory_symlink("..", tmp / "src/loop");
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  const auto e = WalkImage(image);
  const std::map<std::string, std::string> targets = {{"file-link", tmp / "outside/data"},
                                                      {"dir-link", tmp / "outside"},
                                                      {"dangling", "/nowhere/at/all"},
                                                      {"loop", ".."}};
  for (const auto& [name, target] : targets) {
    ASSERT_EQ(e.count(name), 1u) << name;
    const Inode in = e.at(name).inode;
    EXPECT_EQ(in.mode, 0120777u) << name;
    EXPECT_EQ(in.size, target.size()) << name;
    EXPECT_EQ(InflateBlock(image, in.offset, 1, 0), target) << name;
  }
  EXPECT_EQ(e.count("dir-link/data"), 0u);
  EXPECT_EQ(e.count("loop/plain"), 0u);
  EXPECT_EQ(Word(image, kSuperFiles), 6u);
}

// A link shares data with an earlier link (or file) of the same bytes.
TEST(CramfsWriter, LinksWithTheSameTargetShareTheirData) {
  TempDir tmp;
  PutFile(tmp.path(), "src/bin/busybox", TextContent(9000, 5));
  PutFile(tmp.path(), "src/a/busybox-name", "busybox");
  for (const char* applet : {"cat", "ls", "sh"})
    std::filesystem::create_symlink("busybox", tmp / ("src/bin/" + std::string(applet)));
  std::filesystem::create_symlink("../bin/busybox", tmp / "src/sbin-init");
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  const auto e = WalkImage(image);
  const std::uint32_t first = e.at("a/busybox-name").inode.offset;
  EXPECT_NE(first, 0u);
  for (const char* link : {"bin/cat", "bin/ls", "bin/sh"}) EXPECT_EQ(e.at(link).inode.offset, first) << link;
  EXPECT_NE(e.at("sbin-init").inode.offset, first);
  // busybox 3 blocks, the shared "busybox" bytes 1, "../bin/busybox" 1.
  EXPECT_EQ(Word(image, kSuperBlocks), 5u);
}

// Devices keep their number in the size field, FIFOs and sockets their type;
// all get the writer's 0777 and owner 0 like every entry.
TEST(CramfsWriter, SpecialFilesAreStoredWithTheirTypeAndDeviceNumber) {
  TempDir tmp;
  PutFolder(tmp.path(), "src/dev");
  ASSERT_EQ(::mkfifo((tmp / "src/dev/fifo").c_str(), 0600), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::mknod((tmp / "src/dev/console").c_str(), S_IFCHR | 0600, makedev(5, 1)), 0);
    ASSERT_EQ(::mknod((tmp / "src/dev/mtdblock0").c_str(), S_IFBLK | 0660, makedev(31, 0)), 0);
  }
  const Bytes image = BuildImage(tmp / "src", tmp / "out.img");
  const auto e = WalkImage(image);
  EXPECT_EQ(e.at("dev/fifo").inode.mode, 0010777u);
  EXPECT_EQ(e.at("dev/fifo").inode.size, 0u);
  EXPECT_EQ(e.at("dev/fifo").inode.offset, 0u);
  EXPECT_EQ(Word(image, kSuperBlocks), 0u);
  if (!root) GTEST_SKIP() << "device nodes need root";
  EXPECT_EQ(e.at("dev/console").inode.mode, 0020777u);
  EXPECT_EQ(e.at("dev/console").inode.size, 0x0501u);
  EXPECT_EQ(e.at("dev/mtdblock0").inode.mode, 0060777u);
  EXPECT_EQ(e.at("dev/mtdblock0").inode.size, 0x1F00u);
  EXPECT_EQ(e.at("dev/mtdblock0").inode.uid, 0u);
}

// Runs the CLI build without the root override where the suite runs as
// root, so an unreadable entry is unreadable for it too.
testsupport::CommandResult BuildWithoutOverride(const std::string& src, const std::string& image) {
  std::vector<std::string> argv;
  if (::geteuid() == 0) argv = {"setpriv", "--bounding-set=-dac_override,-dac_read_search"};
  argv.insert(argv.end(), {testsupport::AppDir() + "/firmsmith-cli", "cramfs-build", src, image});
  return testsupport::RunCommand(argv);
}

TEST(CramfsWriter, UnreadableSourcesFailTheBuildNamingThem) {
  if (::geteuid() == 0 && !testsupport::HaveProgram("setpriv")) GTEST_SKIP() << "setpriv missing";
  TempDir tmp;
  PutFile(tmp.path(), "src/secret", "s");
  PutFile(tmp.path(), "src/closed/f", "c");
  struct Case {
    const char* entry;
    const char* reason;
  };
  for (const Case& c : {Case{"src/secret", "cannot open"}, Case{"src/closed", "cannot list folder"}}) {
    SCOPED_TRACE(c.entry);
    const TreeListing before = ListTree(tmp / "src");
    ASSERT_EQ(::chmod((tmp / c.entry).c_str(), 0), 0);
    const auto run = BuildWithoutOverride(tmp / "src", tmp / "out.img");
    ::chmod((tmp / c.entry).c_str(), 0755);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.reason + std::string(" ") + (tmp / c.entry)), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Permission denied"), std::string::npos) << run.err;
    EXPECT_EQ(testsupport::ReadFile(tmp / "out.img"), "");
    EXPECT_EQ(ListTree(tmp / "src"), before);
  }
}

// The listing is a trace: standard error, and only when asked for (-v).
TEST(CramfsWriter, TraceListsEveryInodeOnStandardErrorWhenVerbose) {
  if (platform::DebugEnabled()) GTEST_SKIP() << "FIRMSMITH_DEBUG adds its own lines";
  TempDir tmp;
  PutFile(tmp.path(), "src/d/inner", "12345");
  PutFile(tmp.path(), "src/top", "");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  BuildImage(tmp / "src", tmp / "quiet.img");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  platform::SetVerbosity(platform::Verbosity::kVerbose);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  BuildImage(tmp / "src", tmp / "out.img");
  const std::string printed = ::testing::internal::GetCapturedStdout();
  const std::string out = ::testing::internal::GetCapturedStderr();
  platform::SetVerbosity(platform::Verbosity::kNormal);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(out,
            "root:\n"
            "f 0777        20     0:0   d\n"
            "f 0777         0     0:0   top\n"
            "d:\n"
            "f 0777         5     0:0   inner\n");
}

}  // namespace
