// Unpacking jffs2 images made by mkfs.jffs2 with each compressor our reader
// knows (zlib, rtime, none), in both byte orders: the tree must be the one
// mkfs.jffs2 was given, byte for byte. And what must not be written: a tree
// over the budget, a destination that exists, and hostile images the fuzzer
// found, each refused with one line naming the image and the cause.
#include "firmsmith/fsimage/jffs2_extract.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "firmsmith/fsimage/jffs2_format.h"
#include "firmsmith/fsimage/jffs2_reader.h"
#include "random_bytes.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

// path -> type, permission bits, link target and bytes, as lstat sees them.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st {};
    EXPECT_EQ(::lstat(it->path().c_str(), &st), 0);
    std::string what = std::to_string(st.st_mode & 07777) + (S_ISDIR(st.st_mode) ? " d" : S_ISLNK(st.st_mode) ? " l " : " f ");
    if (S_ISLNK(st.st_mode)) what += fs::read_symlink(it->path()).string();
    if (S_ISREG(st.st_mode)) what += ReadFile(it->path());
    out[fs::relative(it->path(), root).string()] = what;
  }
  return out;
}

struct CompressorCase {
  const char* name;
  std::vector<std::string> flags;  // of mkfs.jffs2
};

void PrintTo(const CompressorCase& c, std::ostream* os) { *os << c.name; }

class Jffs2Extract : public ::testing::TestWithParam<CompressorCase> {
 protected:
  void SetUp() override {
    if (!testsupport::HaveProgram("mkfs.jffs2")) GTEST_SKIP() << "mtd-utils missing";
    ::umask(022);
    WriteFile(src() + "/bin/app", RandomBytes(150000, 5));
    std::string text;
    for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i % 37) + " of the configuration\n";
    WriteFile(src() + "/etc/conf", text);
    WriteFile(src() + "/etc/empty", "");
    ::mkdir((src() + "/mnt").c_str(), 0700);
    ASSERT_EQ(::symlink("../etc/conf", (src() + "/bin/conf").c_str()), 0);
  }
  std::string src() const { return dir_ / "src"; }
  testsupport::TempDir dir_;
};

TEST_P(Jffs2Extract, GivesTheTreeMkfsJffs2WasGivenInBothByteOrders) {
  for (const char* order : {"-l", "-b"}) {
    std::vector<std::string> argv = {"mkfs.jffs2", "-d", src(), order, "-e", "0x10000", "-o", dir_ / "img"};
    argv.insert(argv.end(), GetParam().flags.begin(), GetParam().flags.end());
    const testsupport::CommandResult made = RunCommand(argv);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string out = dir_ / (std::string("out") + order);
    const platform::Status status = fsimage::ExtractJffs2Image(dir_ / "img", out);
    ASSERT_TRUE(status.ok) << status.message;
    EXPECT_EQ(Tree(out), Tree(src())) << order;
  }
}

INSTANTIATE_TEST_SUITE_P(Compressors, Jffs2Extract,
                         ::testing::Values(CompressorCase{"zlib", {}}, CompressorCase{"rtime", {"-x", "zlib"}},
                                           CompressorCase{"none", {"-x", "zlib", "-x", "rtime"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Jffs2ExtractRefusals, OverTheBudgetOrIntoAnExistingFolderWritesNothing) {
  if (!testsupport::HaveProgram("mkfs.jffs2")) GTEST_SKIP() << "mtd-utils missing";
  testsupport::TempDir dir;
  // 4 MiB of zero bytes: a small image that unpacks past a 1 MiB budget.
  WriteFile(dir / "src/zeros", std::string(4u << 20, '\0'));
  ASSERT_EQ(RunCommand({"mkfs.jffs2", "-d", dir / "src", "-l", "-e", "0x10000", "-o", dir / "img"}).status, 0);
  const std::string image = ReadFile(dir / "img");
  fsimage::Jffs2ExtractOptions options;
  options.budget = fsimage::kBytesPerMiB;
  platform::Status status = fsimage::ExtractJffs2Image(dir / "img", dir / "out", options);
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.message.find(dir / "img"), std::string::npos) << status.message;
  EXPECT_NE(status.message.find("extraction budget of 1 MiB"), std::string::npos) << status.message;
  EXPECT_FALSE(fs::exists(dir / "out"));

  fs::create_directories(dir / "taken");
  WriteFile(dir / "taken/keep", "mine");
  status = fsimage::ExtractJffs2Image(dir / "img", dir / "taken");
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.message.find(dir / "taken"), std::string::npos) << status.message;
  EXPECT_EQ(ReadFile(dir / "taken/keep"), "mine");
  EXPECT_EQ(fs::directory_iterator(dir / "taken")->path().filename(), "keep");
  EXPECT_EQ(ReadFile(dir / "img"), image);
}

// A hostile image, made by mkfs.jffs2 from a tree (and patched where
// mkfs.jffs2 cannot write what a hostile image holds).
struct HostileCase {
  const char* what;
  void (*make)(const std::string& dir);  // writes dir + "/img"
  const char* reason;                    // in the one-line refusal
  bool checkRefuses = true;              // false: only listing and unpack need what is wrong
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.what; }

void MakeImage(const std::string& dir) {
  ASSERT_EQ(RunCommand({"mkfs.jffs2", "-d", dir + "/src", "-l", "-e", "0x10000", "-o", dir + "/img"}).status, 0);
}

void NameWithLineBreak(const std::string& dir) {
  WriteFile(dir + "/src/etc/conf", "x");
  WriteFile(dir + "/src/etc/evil\nname", "y");
  MakeImage(dir);
}

// Gives the first inode node of `type` (S_IFLNK, S_IFCHR, ...) zero-filled
// data of `dataSize` bytes, with its node CRC set right again.
void PatchInode(const std::string& image, std::uint32_t type, std::uint32_t dataSize) {
  namespace j = fsimage::jffs2;
  std::string bytes = ReadFile(image);
  auto* b = reinterpret_cast<std::uint8_t*>(bytes.data());
  auto u32 = [&](std::size_t at) { return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24); };
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  for (std::size_t at = 0; at + j::kInodeSize <= bytes.size();) {
    const std::uint32_t length = u32(at + j::kHeaderTotalLength);
    if ((u32(at) & 0xFFFF) == j::kMagic && (u32(at) >> 16) == j::kNodeTypeInode &&
        (u32(at + j::kInodeMode) & S_IFMT) == type) {
      b[at + j::kInodeCompression] = j::kComprZero;
      put32(at + j::kInodeDataSize, dataSize);
      put32(at + j::kInodeNodeCrc, fsimage::Jffs2Crc(b + at, j::kInodeDataCrc));
      WriteFile(image, bytes);
      return;
    }
    at += (u32(at) & 0xFFFF) == j::kMagic ? (length + 3) & ~3u : 4;
  }
  ADD_FAILURE() << "no inode node of type " << type << " in " << image;
}

// 4 GiB of zeros for a link's target or a device's number: refused before
// anything is read into memory.
void HugeLinkTarget(const std::string& dir) {
  WriteFile(dir + "/src/etc/conf", "x");
  ASSERT_EQ(::symlink("etc/conf", (dir + "/src/link").c_str()), 0);
  MakeImage(dir);
  PatchInode(dir + "/img", S_IFLNK, 0xFFFFFFF0u);
}

void HugeDeviceNumber(const std::string& dir) {
  WriteFile(dir + "/src/etc/conf", "x");
  WriteFile(dir + "/devices", "/dev d 755 0 0 - - - - -\n/dev/console c 600 0 0 5 1 - - -\n");
  ASSERT_EQ(RunCommand({"mkfs.jffs2", "-d", dir + "/src", "-D", dir + "/devices", "-l", "-e", "0x10000", "-o",
                        dir + "/img"})
                .status,
            0);
  PatchInode(dir + "/img", S_IFCHR, 0xFFFFFFF0u);
}

class Jffs2Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Jffs2Hostile, IsRefusedInOneLineAndNothingIsWritten) {
  if (!testsupport::HaveProgram("mkfs.jffs2")) GTEST_SKIP() << "mtd-utils missing";
  testsupport::TempDir dir;
  GetParam().make(dir.path());
  const std::string image = ReadFile(dir / "img");
  std::vector<fsimage::SourceEntry> entries;
  platform::Status checked;
  const platform::Status listed = fsimage::ListJffs2Image(dir / "img", &entries, &checked);
  const platform::Status unpacked = fsimage::ExtractJffs2Image(dir / "img", dir / "out");
  EXPECT_EQ(checked.ok, !GetParam().checkRefuses) << checked.message;
  for (const platform::Status& status : {listed, GetParam().checkRefuses ? checked : listed, unpacked}) {
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.message.find('\n'), std::string::npos) << status.message;
    EXPECT_NE(status.message.find(dir / "img"), std::string::npos) << status.message;
    EXPECT_NE(status.message.find(GetParam().reason), std::string::npos) << status.message;
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out")));
  EXPECT_EQ(ReadFile(dir / "img"), image);
}

INSTANTIATE_TEST_SUITE_P(
    Found, Jffs2Hostile,
    ::testing::Values(HostileCase{"name with a line break", NameWithLineBreak, "control character in its name"},
                      HostileCase{"4 GiB link target", HugeLinkTarget, "more than a link may hold"},
                      HostileCase{"4 GiB device number", HugeDeviceNumber, "device node without its number", false}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

}  // namespace
