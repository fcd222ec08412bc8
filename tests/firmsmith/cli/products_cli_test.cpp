// firmsmith-cli products, run as the operator runs it: from a program folder
// of its own.
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <map>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunCommand;
using testsupport::TempDir;

class ProductsCli : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(testsupport::AppDir() + "/firmsmith-cli", dir_ / "firmsmith-cli");
    testsupport::WriteFile(dir_ / "Products/b.ini",
                           "[Product]\nname=Beta\nvendor=V\nhardware=HW-B\n"
                           "[360USER]\nstart=0x40000\nend=0x80000\nfs=squashfs\n"
                           "[CUSTOM]\nstart=0x80000\nend=0xc0000\nignore=data/tmp\n");
    testsupport::WriteFile(dir_ / "Products/a.ini", "[Product]\nname=Alpha\n[WEB]\nstart=0x10000\nend=0x20000\n");
  }
  TempDir dir_;
};

TEST_F(ProductsCli, JsonListsEveryProductInNameOrder) {
  testsupport::CommandResult r = RunCommand({dir_ / "firmsmith-cli", "products", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  Json::Value root;
  std::string errs;
  std::istringstream in(r.out);
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &root, &errs)) << errs;
  ASSERT_EQ(root.size(), 2u);
  EXPECT_EQ(root[0]["name"].asString(), "Alpha");
  EXPECT_EQ(root[1]["webName"].asString(), "360user");
  const Json::Value& web = root[1]["partitions"]["WEB"];
  EXPECT_EQ(web["start"].asUInt(), 0x40000u);
  EXPECT_EQ(web["fs"].asString(), "squashfs");
  EXPECT_EQ(root[1]["partitions"]["CUSTOM"]["ignore"].asString(), "data/tmp");
  EXPECT_EQ(root[1]["partitions"]["USER"]["end"].asUInt(), 0u);
}

TEST_F(ProductsCli, TableShowsDefinedPartitions) {
  testsupport::CommandResult r = RunCommand({dir_ / "firmsmith-cli", "products"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Beta  vendor=V  hardware=HW-B  webName=360user"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CUSTOM     0x00080000 0x000c0000 cramfs    data/tmp"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("USER "), std::string::npos) << "undefined partitions are left out";
}

// A product file that cannot be used as written, and the reason --check gives.
struct BadProduct {
  const char* file;
  const char* text;
  const char* reason;
};
const BadProduct kBadProducts[] = {
    {"latin1.ini", "[Product]\nname=Caf\xe9\n", "not UTF-8 text: byte 0xe9 at offset 18"},
    {"backwards.ini", "[Product]\nname=Back\n[LOGO]\nstart=0x200000\nend=0x100000\n",
     "LOGO ends at 0x00100000, not after its start 0x00200000"},
    {"overlap.ini",
     "[Product]\nname=Over\n[ROMFS]\nstart=0x100000\nend=0x300000\n"
     "[USER]\nstart=0x200000\nend=0x400000\n",
     "ROMFS 0x00100000-0x00300000 overlaps USER 0x00200000-0x00400000"},
    {"huge.ini", "[Product]\nname=Huge\n[MTD]\nstart=0x1f00000\nend=0x2100000\n",
     "MTD ends at 0x02100000, beyond the largest chip of 32 MiB"},
    {"yaffs.ini", "[Product]\nname=Yaffs\n[USER]\nstart=0x100000\nend=0x200000\nfs=yaffs2\n",
     "USER fs \"yaffs2\" is none of cramfs, squashfs, jffs2, ext4"},
};

TEST_F(ProductsCli, CheckNamesEveryBadFileWithItsReasonAndFails) {
  for (const BadProduct& bad : kBadProducts)
    testsupport::WriteFile(dir_ / ("Products/" + std::string(bad.file)), bad.text);
  // A file that cannot be read: a link to nothing.
  fs::create_symlink(dir_ / "no-such-target.ini", dir_ / "Products/gone.ini");
  std::map<std::string, std::string> before;
  for (const auto& e : fs::directory_iterator(dir_ / "Products"))
    if (fs::is_regular_file(e.path())) before[e.path()] = testsupport::ReadFile(e.path());

  const testsupport::CommandResult r = RunCommand({dir_ / "firmsmith-cli", "products", "--check"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  for (const BadProduct& bad : kBadProducts)
    EXPECT_NE(r.out.find("/Products/" + std::string(bad.file) + ": " + bad.reason),
              std::string::npos)
        << bad.file << " in:\n" << r.out;
  const std::size_t gone = r.out.find("/Products/gone.ini: ");
  ASSERT_NE(gone, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("No such file or directory", gone), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("a.ini"), std::string::npos) << "a usable file is not listed";
  EXPECT_EQ(r.out.find("b.ini"), std::string::npos) << "a usable file is not listed";
  EXPECT_NE(r.err.find("6 of 8 product files"), std::string::npos) << r.err;
  for (const auto& [path, text] : before) EXPECT_EQ(testsupport::ReadFile(path), text) << path;
}

TEST(Cli, SampleInstallationPassesTheProductCheck) {
  const testsupport::CommandResult r =
      RunCommand({testsupport::AppDir() + "/firmsmith-cli", "products", "--check"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("4 product files, all readable"), std::string::npos) << r.out;
}

TEST(Cli, UnknownCommandAndHelp) {
  const std::string cli = testsupport::AppDir() + "/firmsmith-cli";
  testsupport::CommandResult bad = RunCommand({cli, "no-such-command"});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.err.find("unknown command 'no-such-command'"), std::string::npos);
  testsupport::CommandResult help = RunCommand({cli, "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("products [--json]"), std::string::npos);
}

}  // namespace
