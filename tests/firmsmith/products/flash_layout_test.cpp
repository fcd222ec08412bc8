// The flash layout model: which chip a product sits on, and the source size
// of a folder that estimates its image.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "firmsmith/products/flash_layout.h"
#include "test_support.h"

namespace {

TEST(FlashLayout, ChipIsTheSmallestOf8_16_32MiBHoldingTheLastEnd) {
  const struct {
    std::uint32_t lastEnd;
    std::uint32_t chip;
  } kCases[] = {
      {0x00010000, 8u << 20},  {0x00800000, 8u << 20},  {0x00800001, 16u << 20},
      {0x01000000, 16u << 20}, {0x01000001, 32u << 20}, {0x02000000, 32u << 20},
      {0x02000001, 0},
  };
  for (const auto& c : kCases) {
    products::ProductProfile p;
    p.name = "P";
    p.romfs = {0x10000, 0x20000, "", products::kFsCramfs};
    p.mtd = {0x0000f000, c.lastEnd, "", products::kFsJffs2};
    const products::FlashLayout layout = products::MakeFlashLayout(p);
    EXPECT_EQ(layout.chipBytes, c.chip) << std::hex << c.lastEnd;
    EXPECT_EQ(products::ChipBytesFor(c.lastEnd), c.chip) << std::hex << c.lastEnd;
  }
}

TEST(FlashLayout, PartitionsByStartWithTheirImageStems) {
  products::ProductProfile p;
  p.webName = "360user";
  p.web = {0x300000, 0x400000, "", products::kFsSquashfs};
  p.custom = {0x100000, 0x200000, "", products::kFsCramfs};
  p.logo = {0x500000, 0x500000, "", products::kFsCramfs};  // empty: not drawn
  const products::FlashLayout layout = products::MakeFlashLayout(p);
  ASSERT_EQ(layout.partitions.size(), 2u);
  EXPECT_EQ(layout.partitions[0].name, "custom");
  EXPECT_EQ(layout.partitions[1].name, "360user");
  EXPECT_EQ(layout.partitions[1].section, "WEB");
}

TEST(FlashLayout, FolderSourceSizeCountsRegularFilesAndNoLinks) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "tree/a", std::string(1000, 'a'));
  testsupport::WriteFile(dir / "tree/sub/b", std::string(234, 'b'));
  testsupport::WriteFile(dir / "outside/big", std::string(50000, 'x'));
  std::filesystem::create_symlink(dir / "outside", dir / "tree/linked-folder");
  std::filesystem::create_symlink(dir / "outside/big", dir / "tree/linked-file");
  std::uint64_t bytes = 0;
  ASSERT_TRUE(products::SourceFolderBytes(dir / "tree", &bytes));
  EXPECT_EQ(bytes, 1234u);

  const platform::Status missing = products::SourceFolderBytes(dir / "nope", &bytes);
  EXPECT_FALSE(missing);
  EXPECT_NE(missing.message.find(dir / "nope"), std::string::npos) << missing.message;
}

}  // namespace
