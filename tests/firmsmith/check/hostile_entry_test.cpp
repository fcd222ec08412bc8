// verify and inspect of packages whose ZIP entries are hostile or damaged,
// written by Python's zipfile (the peer that writes what our packer never
// would): each gives its one-line reason naming the entry, leaves the
// package byte-identical and leaves nothing in the temporary folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "firmsmith/check/package_inspect.h"
#include "firmsmith/check/package_verify.h"
#include "firmsmith/fsimage/cramfs_writer.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/package/layout/install_desc.h"
#include "check_fixture.h"
#include "test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

using namespace checktest;  // the test product's layout and Text

constexpr const char kUserEntry[] = "user-x.cramfs.img";

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

struct HostileCase {
  const char* what;
  const char* entryName;  // the user image's name in the archive and in InstallDesc
  bool deflated;          // else stored, so its bytes stand in the archive as they are
  // Byte of the user image's data flipped in the archive after it was
  // written (-1: none); the entry's CRC-32 then no longer matches.
  long flipAt;
  std::size_t cutTo;  // the user image cut to this many bytes (0: whole)
  const char* expected;  // a piece of verify's line
  bool inspectFails;     // the package cannot be read at all
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.what; }

class HostileEntries : public ::testing::TestWithParam<HostileCase> {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "Products/TestBox.ini", kTestBoxIni);
    ASSERT_TRUE(check::FindProduct(dir_ / "Products/TestBox.ini", &product_, &error_)) << error_;
    // The check's scratch folders go here: nothing may stay, nothing may
    // land beside them.
    std::filesystem::create_directories(tmp_);
    const char* old = ::getenv("TMPDIR");
    hadTmp_ = old != nullptr;
    if (hadTmp_) oldTmp_ = old;
    ::setenv("TMPDIR", tmp_.c_str(), 1);
  }
  void TearDown() override {
    if (hadTmp_) ::setenv("TMPDIR", oldTmp_.c_str(), 1);
    else ::unsetenv("TMPDIR");
  }

  // A sound user image: a cramfs with its header.
  std::string UserImage() {
    WriteFile(dir_ / "user/etc/loadmod", Text(300, "insmod"));
    std::string why;
    EXPECT_EQ(fsimage::BuildCramfsImage(dir_ / "user", dir_ / "user.fs", &why), 0) << why;
    EXPECT_EQ(fsimage::MakeImage(dir_ / "user.fs", dir_ / "user.img", kUserStart, kUserEnd), 0);
    return ReadFile(dir_ / "user.img");
  }

  // The package as Python's zipfile writes it: InstallDesc burning `name`,
  // then the image under that name.
  std::string Zip(const std::string& name, const std::string& image, bool deflated) {
    const std::string desc = dir_ / "InstallDesc";
    EXPECT_TRUE(package::WriteFreshInstallDesc(desc, "HW-T", "Vend"));
    EXPECT_EQ(package::AppendBuildCommand(desc, name), package::DescResult::kOk);
    WriteFile(dir_ / "image.bytes", image);
    const std::string zip = dir_ / "pkg.bin";
    const testsupport::CommandResult r = RunCommand(
        {"/usr/bin/python3", "-c",
         "import sys,zipfile\n"
         "m=zipfile.ZIP_DEFLATED if sys.argv[5]=='1' else zipfile.ZIP_STORED\n"
         "z=zipfile.ZipFile(sys.argv[1],'w',m)\n"
         "z.write(sys.argv[2],'InstallDesc')\n"
         "z.writestr(zipfile.ZipInfo(sys.argv[3]),open(sys.argv[4],'rb').read(),m)\n"
         "z.close()\n",
         zip, desc, name, dir_ / "image.bytes", deflated ? "1" : "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    return zip;
  }

  testsupport::TempDir dir_;
  std::string tmp_ = dir_ / "tmp";
  bool hadTmp_ = false;
  std::string oldTmp_;
  products::ProductProfile product_;
  std::string error_;
};

TEST_P(HostileEntries, GiveOneLineNamingTheEntryAndChangeNothing) {
  const HostileCase& c = GetParam();
  std::string image = UserImage();
  if (c.cutTo != 0) image.resize(c.cutTo);
  std::string zip = ReadFile(Zip(c.entryName, image, c.deflated));
  if (c.flipAt >= 0) {
    // The stored image stands once in the archive; deflated, its data lie
    // behind the entry's name in its local header.
    const std::size_t at = c.deflated ? zip.find(c.entryName) + std::string(c.entryName).size() + c.flipAt
                                      : zip.find(image.substr(0, 64)) + c.flipAt;
    ASSERT_LT(at, zip.size());
    zip[at] = static_cast<char>(zip[at] ^ 0x5a);
    WriteFile(dir_ / "pkg.bin", zip);
  }
  const std::string bin = dir_ / "pkg.bin";

  const std::vector<std::string> problems = check::VerifyPackage(bin, &product_);
  EXPECT_NE(Joined(problems).find(c.expected), std::string::npos) << Joined(problems);
  if (c.inspectFails) {
    EXPECT_EQ(problems.size(), 1u) << Joined(problems);
  }
  for (const std::string& line : problems) EXPECT_EQ(line.find('\n'), std::string::npos) << line;

  check::PackageReport report;
  std::string error;
  const bool read = check::InspectPackage(bin, &product_, &report, &error);
  EXPECT_EQ(read, !c.inspectFails) << error;
  if (c.inspectFails) {
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
  report = check::PackageReport();  // lets the scratch folder go

  EXPECT_EQ(testsupport::FirstDifference(ReadFile(bin), zip), "");
  EXPECT_TRUE(testsupport::SnapshotTree(tmp_).empty()) << "left in the temporary folder";
  EXPECT_FALSE(std::filesystem::exists(dir_ / kUserEntry));
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostileEntries,
    ::testing::Values(
        HostileCase{"ZipCrcOfPayload", kUserEntry, false, 64 + 300, 0,
                    "entry user-x.cramfs.img of ", true},
        HostileCase{"ZipCrcOfHeader", kUserEntry, false, fsimage::IH_TIME_OFFSET, 0,
                    "is damaged: ", true},
        HostileCase{"DeflateDataDamaged", kUserEntry, true, 200, 0, "entry user-x.cramfs.img of ", true},
        HostileCase{"ShorterThanAHeader", kUserEntry, false, -1, 40,
                    "user-x.cramfs.img: too short for a partition header", false},
        HostileCase{"CutInsideThePayload", kUserEntry, true, -1, 1000,
                    "user-x.cramfs.img: header data size", false},
        HostileCase{"NameWithAFolder", "sub/user-x.cramfs.img", true, -1, 0,
                    "burns sub/user-x.cramfs.img, which the package does not hold", false},
        HostileCase{"NameClimbingOut", "../user-x.cramfs.img", true, -1, 0,
                    "burns ../user-x.cramfs.img, which the package does not hold", false}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.what); });

}  // namespace
