// Product files: the reading rules and fallbacks the shipped files rely on.
#include "firmsmith/products/product_profile.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using products::LoadProductProfile;
using products::LoadProductProfiles;
using products::ProductProfile;
using testsupport::TempDir;
using testsupport::WriteFile;

ProductProfile Parse(const std::string& text) {
  TempDir dir;
  WriteFile(dir / "p.ini", text);
  return LoadProductProfile(dir / "p.ini");
}

TEST(ProductFile, FullRecord) {
  ProductProfile p = Parse(
      "[Product]\nname=NVR-A\nvendor=Acme\nhardware=HW-1\n"
      "[WEB]\nstart=0x100000\nend=0x200000\nignore=www/old\nfs=squashfs\n"
      "[LOGO]\nstart=0x200000\nend=0x240000\nlogo_width=720\nlogo_height=576\n"
      "[CUSTOM]\nstart=0x240000\nend=0x280000\nfs=jffs2\nignore=cfg/tmp\n"
      "[USER]\nstart=0x280000\nend=0x800000\n"
      "[MTD]\nstart=0x50000\nend=0x90000\nignore=never-read\n");
  EXPECT_EQ(p.name, "NVR-A");
  EXPECT_EQ(p.vendor, "Acme");
  EXPECT_EQ(p.hardware, "HW-1");
  EXPECT_EQ(p.webName, "web");
  EXPECT_EQ(p.web.start, 0x100000u);
  EXPECT_EQ(p.web.end, 0x200000u);
  EXPECT_EQ(p.web.ignore, "www/old");
  EXPECT_EQ(p.web.fs, products::kFsSquashfs);
  EXPECT_EQ(p.logoWidth, 720);
  EXPECT_EQ(p.logoHeight, 576);
  EXPECT_EQ(p.custom.fs, products::kFsJffs2);
  EXPECT_EQ(p.custom.ignore, "cfg/tmp");
  EXPECT_EQ(p.user.fs, products::kFsCramfs) << "missing fs reads as cramfs";
  EXPECT_EQ(p.mtd.start, 0x50000u);
  EXPECT_EQ(p.mtd.ignore, "") << "MTD has no ignore key";
  EXPECT_EQ(p.romfs.start, 0u);
  EXPECT_EQ(p.romfs.end, 0u) << "absent section: partition not defined";
}

struct FirstPartitionCase {
  const char* name;
  const char* text;
  const char* webName;
  std::uint32_t start;
  std::uint32_t end;
  int fs;
};

const FirstPartitionCase kFirstPartitionCases[] = {
    {"360user only", "[360USER]\nstart=0x10\nend=0x20\nfs=jffs2\n", "360user", 0x10, 0x20, 3},
    {"web start 360user end", "[WEB]\nstart=0x10\n[360User]\nstart=0x99\nend=0x30\n", "web", 0x10, 0x30, 1},
    {"web cramfs 360user squashfs", "[WEB]\nstart=0x1\nfs=cramfs\n[360USER]\nfs=squashfs\n", "web", 1, 0, 2},
    {"ext4 in web", "[WEB]\nstart=0x1\nfs=ext4\n", "web", 1, 0, 4},
    {"ext4 in 360user only", "[360USER]\nstart=0x1\nfs=ext4\n", "360user", 1, 0, 1},
    {"SquashFS other case", "[WEB]\nstart=0x1\nfs=SquashFS\n", "web", 1, 0, 1},
    {"lower-case section", "[web]\nstart=0x40\nend=0x80\n", "web", 0x40, 0x80, 1},
    {"empty start counts as missing", "[WEB]\nstart=\n[360USER]\nstart=0x5\n", "360user", 5, 0, 1},
    {"neither", "[Product]\nname=x\n", "", 0, 0, 1},
    {"upper-case X does not scan", "[WEB]\nstart=0X10\n", "web", 0, 0, 1},
};

class FirstPartition : public ::testing::TestWithParam<FirstPartitionCase> {};

TEST_P(FirstPartition, FallsBackTo360User) {
  const auto& c = GetParam();
  ProductProfile p = Parse(c.text);
  EXPECT_EQ(p.webName, c.webName);
  EXPECT_EQ(p.web.start, c.start);
  EXPECT_EQ(p.web.end, c.end);
  EXPECT_EQ(p.web.fs, c.fs);
}

INSTANTIATE_TEST_SUITE_P(Cases, FirstPartition, ::testing::ValuesIn(kFirstPartitionCases),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST(ProductFile, ValuesAreCutTo31Characters) {
  ProductProfile p = Parse("[Product]\nname=" + std::string(40, 'N') + "\nhardware=\"  H  \"\n");
  EXPECT_EQ(p.name, std::string(31, 'N'));
  EXPECT_EQ(p.hardware, "  H  ");
}

TEST(ProductFile, UnreadableOrGarbageFileGivesEmptyRecord) {
  ProductProfile missing = LoadProductProfile("/nonexistent/p.ini");
  EXPECT_TRUE(missing.name.empty());
  EXPECT_EQ(missing.web.end, 0u);
  std::string garbage(5000, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 31);
  ProductProfile g = Parse(garbage);
  EXPECT_EQ(g.user.start, 0u);
}

TEST(ProductFolder, LoadsIniFilesSortedByName) {
  TempDir dir;
  WriteFile(dir / "Products/b.ini", "[Product]\nname=B\n");
  WriteFile(dir / "Products/a.ini", "[Product]\nname=A\n");
  WriteFile(dir / "Products/x.ini.bak", "[Product]\nname=Backup\n");
  WriteFile(dir / "Products/notes.txt", "[Product]\nname=Text\n");
  WriteFile(dir / "Products/noproduct.ini", "[WEB]\nstart=0x1\n");
  WriteFile(dir / "Products/sub.ini/c.ini", "[Product]\nname=InFolder\n");
  products::ProductList list = LoadProductProfiles(dir.path() + "/");
  std::vector<std::string> names;
  for (const auto& p : list) names.push_back(p.name);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "B", "", "Backup"}));
}

TEST(ProductFolder, MissingFolderGivesEmptyList) {
  TempDir dir;
  EXPECT_TRUE(LoadProductProfiles(dir.path()).empty());
}

}  // namespace
