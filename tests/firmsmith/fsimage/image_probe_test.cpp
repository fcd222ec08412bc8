// Image-kind probe in its four modes, on synthetic signatures and on real
// images made by mksquashfs and mkfs.cramfs.
#include "firmsmith/fsimage/image_probe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/cramfs_writer.h"
#include "firmsmith/fsimage/image_header.h"
#include "test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

const std::string kCramfsSignature = "Compressed ROMFS";

// A file system start carrying only the signature of the given kind.
std::string FakeFs(int kind) {
  std::string fs(64, '\0');
  if (kind == fsimage::kImageKindSquashfs) fs.replace(0, 4, "hsqs");
  if (kind == fsimage::kImageKindCramfs) fs.replace(16, 16, kCramfsSignature);
  return fs;
}

std::string Header() { return std::string(64, 'H'); }

struct FileCase {
  const char* what;
  int mode;
  std::string content;
  std::string key;
  int expected;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.what; }

class ProbeFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(ProbeFile, FindsTheSignatureWhereTheModeLooks) {
  const FileCase c = GetParam();
  TempDir dir;
  WriteFile(dir / "image", c.content);
  EXPECT_EQ(fsimage::DetectImageKind(c.mode, dir / "image", c.key, 0), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProbeFile,
    ::testing::Values(
        FileCase{"bare squashfs", 3, FakeFs(2), "", 2},
        FileCase{"bare cramfs", 3, FakeFs(1), "", 1},
        FileCase{"bare neither", 3, FakeFs(0), "", 0},
        // The jffs2 node magic alone, without a header CRC that fits it.
        FileCase{"jffs2 magic only, little endian", 3, std::string("\x85\x19\x03\x20", 4) + FakeFs(0), "", 0},
        FileCase{"jffs2 magic only, big endian", 3, std::string("\x19\x85\x20\x03", 4) + FakeFs(0), "", 0},
        FileCase{"shorter than 20 bytes", 3, "hsq", "", 0},
        FileCase{"19 bytes, cramfs cut short", 3, std::string(16, '\0') + "Com", "", 0},
        FileCase{"behind header squashfs", 2, Header() + FakeFs(2), "", 2},
        FileCase{"behind header cramfs", 2, Header() + FakeFs(1), "", 1},
        FileCase{"behind header sees not the start", 2, FakeFs(2) + FakeFs(0), "", 0},
        FileCase{"at decimal offset", 1, std::string(4096, 'x') + FakeFs(2), "4096", 2},
        FileCase{"at hex offset", 1, std::string(0x1000, 'x') + FakeFs(1), "0x1000", 1},
        FileCase{"offset past the end", 1, FakeFs(2), "100000", 0},
        FileCase{"offset absent", 1, FakeFs(2), "", 0},
        FileCase{"offset not a number", 1, FakeFs(2), "start", 0},
        FileCase{"offset negative", 1, FakeFs(2), "-1", 0},
        FileCase{"unknown mode", 4, FakeFs(2), "", 0},
        FileCase{"negative mode", -1, FakeFs(2), "", 0}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(Probe, EmptyOrUnreadablePathGivesNeither) {
  TempDir dir;
  EXPECT_EQ(fsimage::DetectImageKind(3, "", "", 0), 0);
  EXPECT_EQ(fsimage::DetectImageKind(3, dir / "absent", "", 0), 0);
  EXPECT_EQ(fsimage::DetectImageKind(2, dir.path(), "", 0), 0);  // a folder
  EXPECT_EQ(fsimage::DetectImageKind(0, "", "custom-x", 1), 0);
}

class ProbeArchive : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "pkg/custom-x.cramfs.img", Header() + FakeFs(1));
    WriteFile(dir_ / "pkg/user-x.cramfs.img", Header() + FakeFs(2));  // squashfs under a cramfs name
    WriteFile(dir_ / "pkg/logo-x.cramfs.img", Header() + FakeFs(0));
    WriteFile(dir_ / "pkg/InstallDesc", "{}");
    ASSERT_EQ(fsimage::PackFolder(dir_ / "pkg", package()), 0);
  }
  std::string package() const { return dir_ / "pkg.bin"; }
  TempDir dir_;
};

TEST_F(ProbeArchive, MatchesEntriesByContainedOrWholeName) {
  struct Case {
    std::string key;
    int match;
    int expected;
  } cases[] = {
      {"custom-x", 1, 1},                 // contained: finds custom-x.cramfs.img
      {"custom-x", 0, 0},                 // equal: no entry is named just that
      {"custom-x.cramfs.img", 0, 1},
      {"user-x", 1, 2},
      {"logo-x", 1, 0},                   // neither signature
      {"-x.cramfs.img", 1, 1},            // first entry with a signature decides (custom-x)
      {"web-x", 1, 0},
      {"", 1, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(fsimage::DetectImageKind(0, package(), c.key, c.match), c.expected)
        << c.key << " match " << c.match;
}

TEST_F(ProbeArchive, ArchiveThatCannotBeOpenedGivesMinus1) {
  EXPECT_EQ(fsimage::DetectImageKind(0, dir_ / "absent.bin", "custom-x", 1), -1);
  WriteFile(dir_ / "plain.txt", "not a zip");
  EXPECT_EQ(fsimage::DetectImageKind(0, dir_ / "plain.txt", "custom-x", 1), -1);
  EXPECT_EQ(fsimage::DetectImageKind(0, dir_ / "pkg", "custom-x", 1), -1);  // only pkg.bin exists
  WriteFile(dir_ / "other.zip", ReadFile(package()));
  EXPECT_EQ(fsimage::DetectImageKind(0, dir_ / "other", "custom-x", 1), -1);
}

// Real file systems from the peer tools and from our cramfs writer, bare,
// wrapped, in a flash image and in a package.
struct RealImage {
  const char* name;
  const char* tool;  // needed on PATH; nullptr for our own writer
  int kind;
  bool (*build)(const std::string& tree, const std::string& image);
};

bool RunTool(const std::vector<std::string>& argv) {
  auto r = RunCommand(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.status == 0;
}
bool BuildWithMksquashfs(const std::string& tree, const std::string& image) {
  return RunTool({"mksquashfs", tree, image, "-noappend", "-quiet"});
}
bool BuildWithMkfsCramfs(const std::string& tree, const std::string& image) {
  return RunTool({"mkfs.cramfs", tree, image});
}
bool BuildWithMkfsJffs2Little(const std::string& tree, const std::string& image) {
  return RunTool({"mkfs.jffs2", "-d", tree, "-l", "-e", "0x10000", "-o", image});
}
bool BuildWithMkfsJffs2Big(const std::string& tree, const std::string& image) {
  return RunTool({"mkfs.jffs2", "-d", tree, "-b", "-e", "0x10000", "-o", image});
}
bool BuildWithOurWriter(const std::string& tree, const std::string& image) {
  testing::internal::CaptureStdout();  // the writer lists its inodes there
  int rc = fsimage::BuildCramfsImage(tree, image);
  testing::internal::GetCapturedStdout();
  return rc == 0;
}

void PrintTo(const RealImage& c, std::ostream* os) { *os << c.name; }

class ProbeRealImages : public ::testing::TestWithParam<RealImage> {};

TEST_P(ProbeRealImages, EveryModeRecognisesIt) {
  const RealImage c = GetParam();
  if (c.tool && !testsupport::HaveProgram(c.tool)) GTEST_SKIP() << c.tool << " missing";
  TempDir dir;
  WriteFile(dir / "tree/etc/hello.txt", "hello");
  WriteFile(dir / "tree/bin/data.bin", std::string(10000, 'z'));
  ASSERT_TRUE(c.build(dir / "tree", dir / "fs.bin"));

  EXPECT_EQ(fsimage::DetectImageKind(3, dir / "fs.bin", "", 0), c.kind);
  ::mkdir((dir / "pkg").c_str(), 0755);
  ASSERT_EQ(fsimage::MakeImage(dir / "fs.bin", dir / "pkg/custom-x.cramfs.img", 0x10000,
                               0x1000000),
            0);
  EXPECT_EQ(fsimage::DetectImageKind(2, dir / "pkg/custom-x.cramfs.img", "", 0), c.kind);
  ASSERT_EQ(fsimage::PackFolder(dir / "pkg", dir / "pkg.bin"), 0);
  EXPECT_EQ(fsimage::DetectImageKind(0, dir / "pkg.bin", "custom-x", 1), c.kind);

  // A flash image with the file system at 0x30000.
  std::string flash(0x30000, '\xff');
  flash += ReadFile(dir / "fs.bin");
  WriteFile(dir / "flash.bin", flash);
  EXPECT_EQ(fsimage::DetectImageKind(1, dir / "flash.bin", "196608", 0), c.kind);
  EXPECT_EQ(fsimage::DetectImageKind(1, dir / "flash.bin", "0x20000", 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Builders, ProbeRealImages,
    ::testing::Values(
        RealImage{"mksquashfs", "mksquashfs", fsimage::kImageKindSquashfs, BuildWithMksquashfs},
        RealImage{"mkfs.cramfs", "mkfs.cramfs", fsimage::kImageKindCramfs, BuildWithMkfsCramfs},
        RealImage{"our cramfs writer", nullptr, fsimage::kImageKindCramfs, BuildWithOurWriter},
        RealImage{"mkfs.jffs2 -l", "mkfs.jffs2", fsimage::kImageKindJffs2, BuildWithMkfsJffs2Little},
        RealImage{"mkfs.jffs2 -b", "mkfs.jffs2", fsimage::kImageKindJffs2, BuildWithMkfsJffs2Big}),
    [](const auto& info) { return "builder" + std::to_string(info.index); });

}  // namespace
