// The cramfs extractor on damaged, unusual and hostile images: superblock
// checks and warnings, holes, names that try to leave the destination, links
// already in the destination, loops in the directory area.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <random>

#include "cramfs_test_util.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace cramfstest;
using namespace fsimage::cramfs;
using testsupport::TempDir;

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// A small tree whose data ends past the first 4096 bytes of the image.
void MakeBaseTree(const std::string& src) {
  PutFile(src, "sub/file", RandomBytes(9000, 1));
  PutFile(src, "top", TextContent(100, 2));
  PutFolder(src, "empty");
}

void SetWord(Bytes& image, std::size_t offset, std::uint32_t value) { PutLe32(image.data() + offset, value); }

struct Extraction {
  int rc = 0;
  std::string err;
  std::string why;
};

Extraction Extract(const std::string& image, const std::string& dest) {
  Extraction x;
  ::testing::internal::CaptureStderr();
  x.rc = fsimage::ExtractCramfsImage(image, dest, &x.why);
  x.err = ::testing::internal::GetCapturedStderr();
  return x;
}

enum class Outcome { kTree, kNothing };

struct DamageCase {
  const char* what;
  std::function<void(Bytes&)> damage;
  int rc;
  const char* warning;
  Outcome outcome;
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.what; }

class CramfsReaderDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(CramfsReaderDamage, ChecksAndWarnings) {
  const DamageCase& c = GetParam();
  TempDir tmp;
  MakeBaseTree(tmp / "src");
  Bytes image = BuildImage(tmp / "src", tmp / "base.img");
  ASSERT_GT(image.size(), 4096u);
  c.damage(image);
  WriteBytes(tmp / "damaged.img", image);
  const Extraction x = Extract(tmp / "damaged.img", tmp / "out");
  EXPECT_EQ(x.rc, c.rc) << x.why;
  EXPECT_EQ(x.err, c.warning);
  if (c.rc != 0) {
    EXPECT_FALSE(x.why.empty());
  }
  if (c.outcome == Outcome::kTree) {
    EXPECT_EQ(ListTree(tmp / "out"), ListTree(tmp / "src"));
  } else {
    EXPECT_FALSE(fs::exists(tmp / "out"));
  }
}

const char kOld[] = "warning: old cramfs format\n";
const char kLong[] = "warning: file extends past end of filesystem\n";

INSTANTIATE_TEST_SUITE_P(
    Table, CramfsReaderDamage,
    ::testing::Values(
        DamageCase{"intact", [](Bytes&) {}, 0, "", Outcome::kTree},
        DamageCase{"below_76_bytes", [](Bytes& b) { b.resize(75); }, -1, "", Outcome::kNothing},
        DamageCase{"no_magic", [](Bytes& b) { b[0] ^= 0xFF; }, -1, "", Outcome::kNothing},
        DamageCase{"flags_0x800", [](Bytes& b) { SetWord(b, kSuperFlags, 0x803); }, -1, "",
                   Outcome::kNothing},
        DamageCase{"size_below_4096", [](Bytes& b) { SetWord(b, kSuperSize, 4092); }, -1, "",
                   Outcome::kNothing},
        DamageCase{"zero_files", [](Bytes& b) { SetWord(b, kSuperFiles, 0); }, -1, "", Outcome::kNothing},
        DamageCase{"70_bytes_short", [](Bytes& b) { b.resize(b.size() - 70); }, -1, "",
                   Outcome::kNothing},
        DamageCase{"70_bytes_long", [](Bytes& b) { b.resize(b.size() + 70, 0xEE); }, 0, kLong,
                   Outcome::kTree},
        DamageCase{"root_is_regular_file", [](Bytes& b) { SetWord(b, kSuperRoot, 0100777); }, -1, "",
                   Outcome::kNothing},
        DamageCase{"root_offset_elsewhere",
                   [](Bytes& b) { SetInodeOffset(b.data() + kSuperRoot, 80); }, -1, "",
                   Outcome::kNothing},
        DamageCase{"old_format", [](Bytes& b) { SetWord(b, kSuperFlags, 0x2); }, 0, kOld, Outcome::kTree},
        // The data runs past the size field: fails, unless the old format
        // skips that check.
        DamageCase{"data_past_size", [](Bytes& b) { SetWord(b, kSuperSize, 4096); }, -1, kLong,
                   Outcome::kTree},
        DamageCase{"old_format_data_past_size",
                   [](Bytes& b) {
                     SetWord(b, kSuperFlags, 0x2);
                     SetWord(b, kSuperSize, 4096);
                   },
                   0, kOld, Outcome::kTree}),
    [](const ::testing::TestParamInfo<DamageCase>& i) { return std::string(i.param.what); });

TEST(CramfsReader, PointerEqualToBlockStartIsAHoleOfZeroBytes) {
  TempDir tmp;
  const std::string content = TextContent(4096, 1) + std::string(4096 + 100, '\0');
  PutFile(tmp / "src", "f", content);
  Bytes image = BuildImage(tmp / "src", tmp / "base.img");
  const std::uint32_t table = WalkImage(image).at("f").inode.offset;
  const std::uint32_t endOfFirst = Word(image, table);
  SetWord(image, table + 4, endOfFirst);  // full hole
  SetWord(image, table + 8, endOfFirst);  // last, partial hole
  WriteBytes(tmp / "holes.img", image);
  const Extraction x = Extract(tmp / "holes.img", tmp / "out");
  EXPECT_EQ(x.rc, 0) << x.why;
  EXPECT_EQ(testsupport::ReadFile(tmp / "out/f"), content);
}

TEST(CramfsReader, DamagedBlockLeavesTheFileShortAndTheWalkGoesOn) {
  TempDir tmp;
  MakeBaseTree(tmp / "src");
  Bytes image = BuildImage(tmp / "src", tmp / "base.img");
  const std::uint32_t table = WalkImage(image).at("sub/file").inode.offset;
  const std::uint32_t secondBlock = Word(image, table);
  image[secondBlock + 2] ^= 0x55;
  WriteBytes(tmp / "bad.img", image);
  const Extraction x = Extract(tmp / "bad.img", tmp / "out");
  EXPECT_EQ(x.rc, 0) << x.why;
  EXPECT_EQ(fs::file_size(tmp / "out/sub/file"), 4096u);
  EXPECT_EQ(testsupport::ReadFile(tmp / "out/top"), TextContent(100, 2));
}

TEST(CramfsReader, NamesThatLeaveTheDestinationAreSkipped) {
  TempDir tmp;
  PutFile(tmp / "src", "aa", "dot dot file");
  PutFile(tmp / "src", "bbb", "slash file");
  PutFile(tmp / "src", "cc/x", "in a dot dot folder");
  PutFile(tmp / "src", "d", "dot");
  PutFile(tmp / "src", "keep", "kept");
  Bytes image = BuildImage(tmp / "src", tmp / "base.img");
  Rename(image, "aa", "..");
  Rename(image, "bbb", "../");
  Rename(image, "cc", "..");
  Rename(image, "d", ".");
  WriteBytes(tmp / "evil.img", image);
  fs::create_directory(tmp / "work");
  const Extraction x = Extract(tmp / "evil.img", tmp / "work/dest");
  EXPECT_EQ(ListTree(tmp / "work"), (TreeListing{{"dest", "dir"}, {"dest/keep", ListTree(tmp / "src").at("keep")}}));
  EXPECT_EQ(ListTree(tmp.path()).count("x"), 0u);
}

TEST(CramfsReader, LinksAlreadyInTheDestinationAreReplacedNotFollowed) {
  TempDir tmp;
  MakeBaseTree(tmp / "src");
  BuildImage(tmp / "src", tmp / "base.img");
  PutFile(tmp / "outside", "victim", "untouched");
  fs::create_directory(tmp / "out");
  fs::create_directory_symlink(tmp / "outside", tmp / "out/sub");
  fs::create_symlink(tmp / "outside/victim", tmp / "out/top");
  const Extraction x = Extract(tmp / "base.img", tmp / "out");
  EXPECT_EQ(x.rc, 0) << x.why;
  EXPECT_EQ(ListTree(tmp / "outside"), (TreeListing{{"victim", ListTree(tmp / "outside").at("victim")}}));
  EXPECT_EQ(testsupport::ReadFile(tmp / "outside/victim"), "untouched");
  EXPECT_EQ(ListTree(tmp / "out"), ListTree(tmp / "src"));
}

TEST(CramfsReader, ReadOnlyFilesAreOverwrittenAndPermissionBitsApplied) {
  TempDir tmp;
  MakeBaseTree(tmp / "src");
  Bytes image = BuildImage(tmp / "src", tmp / "base.img");
  SetWord(image, WalkImage(image).at("top").inodeOffset, 0100444);
  WriteBytes(tmp / "ro.img", image);
  PutFile(tmp / "out", "sub/file", "stale");
  ::chmod((tmp / "out/sub/file").c_str(), 0444);
  ASSERT_EQ(Extract(tmp / "ro.img", tmp / "out").rc, 0);
  EXPECT_EQ(ListTree(tmp / "out"), ListTree(tmp / "src"));
  struct stat st {};
  ASSERT_EQ(::stat((tmp / "out/top").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
}

// Not an image fault: something in the destination that we cannot replace.
TEST(CramfsReader, EntriesThatCannotBeWrittenFailTheExtractionAfterTheWalk) {
  TempDir tmp;
  MakeBaseTree(tmp / "src");
  BuildImage(tmp / "src", tmp / "base.img");
  PutFile(tmp / "out", "top/keep", "a folder where the image has a file");
  const Extraction x = Extract(tmp / "base.img", tmp / "out");
  EXPECT_EQ(x.rc, -1);
  EXPECT_NE(x.why.find("top"), std::string::npos) << x.why;
  EXPECT_EQ(testsupport::ReadFile(tmp / "out/top/keep"), "a folder where the image has a file");
  EXPECT_EQ(testsupport::ReadFile(tmp / "out/sub/file"), RandomBytes(9000, 1));
}

TEST(CramfsReader, DirectoryLoopsEnd) {
  TempDir tmp;
  MakeBaseTree(tmp / "src");
  PutFile(tmp / "src", "sub/inner/f", "x");
  Bytes image = BuildImage(tmp / "src", tmp / "base.img");
  const auto entries = WalkImage(image);
  Bytes toRoot = image, toSelf = image;
  SetInodeOffset(toRoot.data() + entries.at("sub/inner").inodeOffset, kSuperblockSize);
  SetInodeOffset(toSelf.data() + entries.at("sub/inner").inodeOffset, entries.at("sub").inode.offset);
  for (const Bytes* b : {&toRoot, &toSelf}) {
    WriteBytes(tmp / "loop.img", *b);
    fs::remove_all(tmp / "out");
    Extract(tmp / "loop.img", tmp / "out");
    EXPECT_EQ(testsupport::ReadFile(tmp / "out/top"), TextContent(100, 2));
    EXPECT_FALSE(fs::exists(tmp / "out/sub/inner/sub"));
  }
}

// Folders whose entries share one list double the tree at every level; a
// list is expanded once, so 40 levels stay 40 folders, not 2^40.
TEST(CramfsReader, SharedListsAreExpandedOnce) {
  TempDir tmp;
  std::string level;
  for (int i = 0; i < 40; ++i, level += "x/") PutFolder(tmp / "src", level + "y");
  PutFile(tmp / "src", level + "f", "leaf");
  Bytes image = BuildImage(tmp / "src", tmp / "base.img");
  const auto entries = WalkImage(image);
  for (const auto& [path, entry] : entries) {
    if (path.size() < 1 || path.back() != 'y') continue;
    const Inode x = entries.at(path.substr(0, path.size() - 1) + "x").inode;
    Inode y = entry.inode;
    y.size = x.size;
    y.offset = x.offset;
    EncodeInode(y, image.data() + entry.inodeOffset);
  }
  WriteBytes(tmp / "fan.img", image);
  Extract(tmp / "fan.img", tmp / "out");
  EXPECT_EQ(testsupport::ReadFile(tmp / "out/" + level + "f"), "leaf");
}

TEST(CramfsReader, EachExtractionStartsFresh) {
  TempDir tmp;
  PutFile(tmp / "small", "f", "x");
  for (int i = 0; i < 60; ++i) PutFile(tmp / "wide", "d/entry" + std::to_string(i), std::to_string(i));
  BuildImage(tmp / "small", tmp / "small.img");
  BuildImage(tmp / "wide", tmp / "wide.img");
  EXPECT_EQ(Extract(tmp / "small.img", tmp / "out1").rc, 0);
  EXPECT_EQ(Extract(tmp / "wide.img", tmp / "out2").rc, 0);
  EXPECT_EQ(ListTree(tmp / "out2"), ListTree(tmp / "wide"));
}

// The fuzzer's seeds extract cleanly; what it found once stays harmless.
TEST(CramfsReader, FuzzSeedsAndRegressionCases) {
  const std::string base = testsupport::SourceDir() + "/fuzz/cramfs/";
  int seen = 0;
  for (const char* folder : {"seeds", "regressions"}) {
    if (!fs::is_directory(base + folder)) continue;
    for (const auto& item : fs::directory_iterator(base + folder)) {
      TempDir tmp;
      const Extraction x = Extract(item.path().string(), tmp / "out");
      if (std::string(folder) == "seeds") {
        EXPECT_EQ(x.rc, 0) << item.path() << ": " << x.why;
      }
      ++seen;
    }
  }
  EXPECT_GT(seen, 0);
}

TEST(CramfsReader, MissingParentOrImageFails) {
  TempDir tmp;
  MakeBaseTree(tmp / "src");
  BuildImage(tmp / "src", tmp / "base.img");
  EXPECT_EQ(Extract(tmp / "base.img", tmp / "no/parent").rc, -1);
  EXPECT_EQ(Extract(tmp / "missing.img", tmp / "out").rc, -1);
  ASSERT_EQ(::mkfifo((tmp / "fifo.img").c_str(), 0644), 0);
  EXPECT_EQ(Extract(tmp / "fifo.img", tmp / "out").rc, -1);  // returns, does not wait for a writer
  EXPECT_FALSE(fs::exists(tmp / "out"));
}

}  // namespace
