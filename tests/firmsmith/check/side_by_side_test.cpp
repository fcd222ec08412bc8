// verify reads and checks the images of a package side by side: what it
// reports, and in what order, must be what one image after another gives,
// with damage of several kinds in several images at once; and it must leave
// the package as it was. Built by the test with our cramfs writer and the
// peers mksquashfs and mkfs.jffs2.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "firmsmith/check/package_inspect.h"
#include "firmsmith/check/package_verify.h"
#include "firmsmith/check/side_by_side.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "firmsmith/fsimage/cramfs_writer.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/fsimage/jffs2_reader.h"
#include "firmsmith/package/layout/install_desc.h"
#include "check_fixture.h"
#include "test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

using namespace checktest;  // the test product's layout and Text

constexpr std::uint32_t kOtherStart = 0x00a00000, kOtherEnd = 0x00b00000;


std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

class SideBySide : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mksquashfs", "unsquashfs", "mkfs.jffs2"})
      if (!testsupport::HaveProgram(tool)) GTEST_SKIP() << tool << " missing";
    WriteFile(dir_ / "Products/TestBox.ini", checktest::kTestBoxIni);
    ASSERT_TRUE(check::FindProduct(dir_ / "Products/TestBox.ini", &product_, &error_)) << error_;
  }

  std::string Tree(const std::string& name, const std::string& seed) {
    const std::string tree = dir_ / ("tree-" + name);
    WriteFile(tree + "/etc/" + seed, Text(400, seed));
    WriteFile(tree + "/bin/" + seed + ".bin", Text(900, seed + "-bin"));
    return tree;
  }

  // Wraps `payload` into the package folder as `entry` and lists it.
  void Add(const std::string& payload, const std::string& entry, std::uint32_t start, std::uint32_t end) {
    ASSERT_EQ(fsimage::MakeImage(payload, pkg_ + "/" + entry, start, end), 0) << entry;
    ASSERT_EQ(package::AppendBuildCommand(pkg_ + "/InstallDesc", entry), package::DescResult::kOk);
  }

  std::string Cramfs(const std::string& tree) {
    const std::string out = tree + ".cramfs";
    std::string why;
    EXPECT_EQ(fsimage::BuildCramfsImage(tree, out, &why), 0) << why;
    return out;
  }

  std::string Peer(const std::vector<std::string>& argv, const std::string& out) {
    const testsupport::CommandResult r = RunCommand(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return out;
  }

  testsupport::TempDir dir_;
  std::string pkg_ = dir_ / "pkg";
  products::ProductProfile product_;
  std::string error_;
};

// Damage of three file systems in four images, between sound images of
// each kind, and header lines of other images between their lines; then the
// same file systems in the partitions of a flash image.
TEST_F(SideBySide, VerifyReportsEveryImageInEntryOrderWhateverTheWorkers) {
  std::filesystem::create_directories(pkg_);
  ASSERT_TRUE(package::WriteFreshInstallDesc(pkg_ + "/InstallDesc", "HW-T", "Vend"));
  const std::string custom = Tree("custom", "custom");
  WriteFile(custom + "/ProductDefinition", "{ \"Hardware\" : \"HW-T\" }\n");
  Add(Cramfs(custom), "custom-x.cramfs.img", kCustomStart, kCustomEnd);

  // user: a compressed block of one file no longer inflates.
  std::string user = ReadFile(Cramfs(Tree("user", "user")));
  const std::size_t block = user.find("\x78\xda", 76);
  ASSERT_NE(block, std::string::npos);
  user[block + 20] = static_cast<char>(user[block + 20] ^ 0xff);
  WriteFile(dir_ / "user.damaged", user);
  Add(dir_ / "user.damaged", "user-x.cramfs.img", kUserStart, kUserEnd);

  // a second cramfs with its superblock's file count cleared.
  std::string zero = ReadFile(Cramfs(Tree("zero", "zero")));
  for (int i = 0; i < 4; ++i) zero[44 + i] = 0;
  WriteFile(dir_ / "zero.damaged", zero);
  Add(dir_ / "zero.damaged", "aaa-x.cramfs.img", kOtherStart, kOtherEnd);

  const std::string sqTree = Tree("sq", "sq");
  Add(Peer({"mksquashfs", sqTree, dir_ / "sq.ok", "-noappend", "-quiet", "-no-progress"}, dir_ / "sq.ok"),
      "romfs-x.squashfs.img", kOtherStart, kOtherEnd);
  std::string web = ReadFile(
      Peer({"mksquashfs", Tree("web", "web"), dir_ / "web.sq", "-noappend", "-quiet", "-no-progress"}, dir_ / "web.sq"));
  web[28] = 7;  // a major version no reader knows
  WriteFile(dir_ / "web.damaged", web);
  Add(dir_ / "web.damaged", "web-x.squashfs.img", kOtherStart, kOtherEnd);

  const std::string jTree = Tree("app", "app");
  Add(Peer({"mkfs.jffs2", "-d", jTree, "-l", "-e", "0x10000", "-o", dir_ / "app.jffs2"}, dir_ / "app.jffs2"),
      "app-x.jffs2.img", kOtherStart, kOtherEnd);
  std::string mtd = ReadFile(
      Peer({"mkfs.jffs2", "-d", Tree("mtd", "mtd"), "-l", "-e", "0x10000", "-o", dir_ / "mtd.jffs2"}, dir_ / "mtd.jffs2"));
  mtd[mtd.size() / 2] = static_cast<char>(mtd[mtd.size() / 2] ^ 0x5a);
  WriteFile(dir_ / "mtd.damaged", mtd);
  Add(dir_ / "mtd.damaged", "mtd-x.jffs2.img", kOtherStart, kOtherEnd);
  if (HasFatalFailure()) return;
  // Where mkfs.jffs2 put the damaged node depends on the tree it read; the
  // reader says which it is.
  const platform::Status mtdCheck = fsimage::CheckJffs2Image(dir_ / "mtd.damaged");
  ASSERT_FALSE(mtdCheck.ok);
  const std::string mtdLine = "mtd-x.jffs2.img: " + mtdCheck.message.substr((dir_ / "mtd.damaged").size() + 2);

  const std::string bin = dir_ / "pkg.bin";
  ASSERT_EQ(fsimage::PackFolder(pkg_, bin), 0);
  const std::string before = ReadFile(bin);

  const std::vector<std::string> oneByOne = check::VerifyPackage(bin, &product_, 1);
  // Every image in entry (name) order, each with its header lines first.
  EXPECT_EQ(Joined(oneByOne),
            "aaa-x.cramfs.img: cramfs superblock file count is 0\n"
            "app-x.jffs2.img: product TestBox has no OEMAPP partition\n"
            "mtd-x.jffs2.img: product TestBox has no MTD partition\n" +
                mtdLine + "\n"
            "romfs-x.squashfs.img: product TestBox has no ROMFS partition\n"
            "user-x.cramfs.img: cramfs /: superblock CRC is wrong\n"
            "user-x.cramfs.img: cramfs bin/user.bin: block 0 does not inflate\n"
            "web-x.squashfs.img: squashfs superblock rejected by unsquashfs\n");
  for (unsigned workers : {0u, 2u, 5u})
    EXPECT_EQ(Joined(check::VerifyPackage(bin, &product_, workers)), Joined(oneByOne)) << workers << " workers";
  EXPECT_EQ(testsupport::FirstDifference(ReadFile(bin), before), "");

  // The same file systems in the partitions of a 16 MiB flash image: each
  // partition is read out and checked side by side, and every line comes
  // in the product's partition order whatever the workers.
  const std::string flashIni = dir_ / "Products/Flash.ini";
  WriteFile(flashIni, std::string(kTestBoxIni) +
                          "[WEB]\nstart=0x00650000\nend=0x00750000\nfs=squashfs\n"
                          "[LOGO]\nstart=0x00b50000\nend=0x00c50000\nfs=cramfs\n"
                          "[OEMAPP]\nstart=0x00750000\nend=0x00850000\nfs=jffs2\n"
                          "[ROMFS]\nstart=0x00100000\nend=0x00200000\nfs=squashfs\n"
                          "[MTD]\nstart=0x00950000\nend=0x00a50000\nfs=jffs2\n");
  products::ProductProfile flashProduct;
  ASSERT_TRUE(check::FindProduct(flashIni, &flashProduct, &error_)) << error_;
  std::string chip(16 * 1024 * 1024, '\xff');
  for (const auto& [file, start] : std::vector<std::pair<std::string, std::uint32_t>>{
           {custom + ".cramfs", kCustomStart}, {dir_ / "user.damaged", kUserStart},
           {dir_ / "zero.damaged", 0x00b50000}, {dir_ / "sq.ok", 0x00100000},
           {dir_ / "web.damaged", 0x00650000}, {dir_ / "app.jffs2", 0x00750000},
           {dir_ / "mtd.damaged", 0x00950000}}) {
    const std::string fs = ReadFile(file);
    ASSERT_LT(fs.size(), 0x100000u) << file;
    chip.replace(start, fs.size(), fs);
  }
  const std::string flash = dir_ / "flash.img";
  WriteFile(flash, chip);
  const std::vector<std::string> partitionByPartition = check::VerifyPackage(flash, &flashProduct, 1);
  EXPECT_EQ(Joined(partitionByPartition),
            "WEB: squashfs superblock rejected by unsquashfs\n"
            "LOGO: cramfs superblock file count is 0\n"
            "USER: cramfs /: superblock CRC is wrong\n"
            "USER: cramfs bin/user.bin: block 0 does not inflate\n"
            "MTD: " + mtdLine.substr(std::string("mtd-x.jffs2.img: ").size()) + "\n");
  check::PackageReport oneReport;
  ASSERT_TRUE(check::InspectPackage(flash, &flashProduct, &oneReport, &error_, 1)) << error_;
  for (unsigned workers : {0u, 2u, 5u}) {
    EXPECT_EQ(Joined(check::VerifyPackage(flash, &flashProduct, workers)), Joined(partitionByPartition))
        << workers << " workers";
    check::PackageReport report;
    ASSERT_TRUE(check::InspectPackage(flash, &flashProduct, &report, &error_, workers)) << error_;
    EXPECT_EQ(check::ReportText(report), check::ReportText(oneReport)) << workers << " workers";
    // A peer's line names the partition, never our scratch copy of it.
    EXPECT_EQ(check::ReportText(report).find(report.scratch->path()), std::string::npos) << check::ReportText(report);
  }
  EXPECT_EQ(testsupport::FirstDifference(ReadFile(flash), chip), "");
}

// The threads an image's walk gets inside: all the workers for a lone
// image, at least one each, and never more than about two per worker once
// the images side by side are counted.
TEST(SideBySideBudget, ThreadsInsideStayWithinTwicePerWorker) {
  for (unsigned workers = 1; workers <= 8; ++workers) {
    EXPECT_EQ(check::ThreadsInsideEach(1, workers), workers);
    for (std::size_t count = 0; count <= 12; ++count) {
      const unsigned inside = check::ThreadsInsideEach(count, workers);
      const std::size_t atOnce = std::max<std::size_t>(1, std::min<std::size_t>(count, workers));
      EXPECT_GE(inside, 1u) << count << " images, " << workers << " workers";
      EXPECT_LE(inside, workers) << count << " images, " << workers << " workers";
      EXPECT_LE(atOnce * inside, 2u * workers) << count << " images, " << workers << " workers";
      // Two images on two workers: the one left alone still gets both.
      if (count >= 2 && workers >= 2 && count <= workers) {
        EXPECT_GE(atOnce * inside, workers);
      }
    }
  }
  EXPECT_GE(check::ThreadsInsideEach(1, 0), 1u);  // 0: one per core
}

}  // namespace
