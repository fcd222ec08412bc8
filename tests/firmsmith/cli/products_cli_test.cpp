// firmsmith-cli products, run as the operator runs it: from a program folder
// of its own.
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>

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
