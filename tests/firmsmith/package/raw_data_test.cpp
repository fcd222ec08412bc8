// Raw partition data and flash-image patching: sizes, padding, refusals, and
// where the bytes land.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "firmsmith/package/layout/flash_image.h"
#include "firmsmith/package/layout/raw_data.h"
#include "test_support.h"

namespace {

using package::FlashResult;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(MtdData, ErasedBlocksOfTheWholePartition) {
  TempDir dir;
  ASSERT_TRUE(package::WriteMtdData(dir / "mtd-x.data", 0x00f00000, 0x00f40008));
  const std::string data = ReadFile(dir / "mtd-x.data");
  EXPECT_EQ(data.size(), 0x40000u);
  EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](char c) { return c == '\xff'; }));
  EXPECT_FALSE(package::WriteMtdData(dir / "bad.data", 0x2000, 0x1000));
  EXPECT_FALSE(testsupport::FileExists(dir / "bad.data"));
}

TEST(HeaderTemplate, HexPairsUntilTheFirstOtherCharacter) {
  const struct {
    const char* text;
    std::vector<std::uint8_t> bytes;
  } cases[] = {{"55 4C 4f 47", {0x55, 0x4c, 0x4f, 0x47}},
               {"0102  03\n04", {1, 2, 3, 4}},
               {"01 0G 03", {1}},
               {"01 02 3", {1, 2}},
               {"", {}}};
  for (const auto& c : cases) EXPECT_EQ(package::ParseHeaderTemplate(c.text), c.bytes) << c.text;
  std::string many;
  for (int i = 0; i < 600; ++i) many += "AB ";
  EXPECT_EQ(package::ParseHeaderTemplate(many).size(), package::kHeaderTemplateMax);
}

struct LogoCase {
  std::uint64_t logoSize;
  std::uint64_t paddedTotal;
};
void PrintTo(const LogoCase& c, std::ostream* os) { *os << c.logoSize << " bytes"; }


class UbootLogo : public ::testing::TestWithParam<LogoCase> {};

TEST_P(UbootLogo, LayoutAndPadding) {
  const LogoCase& c = GetParam();
  TempDir dir;
  std::string logo(c.logoSize, '\0');
  for (std::size_t i = 0; i < logo.size(); ++i) logo[i] = static_cast<char>(i * 7 + 1);
  WriteFile(dir / "logo.jpg", logo);
  const std::vector<std::uint8_t> header(128, 0xA5);
  EXPECT_EQ(package::UbootLogoPaddedTotal(c.logoSize), c.paddedTotal);
  ASSERT_EQ(package::WriteUbootLogoData(dir / "ULogo-x.data", header, dir / "logo.jpg"),
            package::UbootLogoResult::kOk);
  const std::string data = ReadFile(dir / "ULogo-x.data");
  // With a 128-byte template the file is exactly the padded total.
  ASSERT_EQ(data.size(), c.paddedTotal);
  EXPECT_EQ(data.substr(0, 128), std::string(128, '\xa5'));
  EXPECT_EQ(data.substr(128, 8064), std::string(8064, '\0'));
  EXPECT_EQ(data.substr(8192, c.logoSize), logo);
  EXPECT_EQ(data.substr(8192 + c.logoSize), std::string(c.paddedTotal - 8192 - c.logoSize, '\0'));
}

INSTANTIATE_TEST_SUITE_P(Sizes, UbootLogo,
                         ::testing::Values(LogoCase{1000, 16384}, LogoCase{8192, 24576},
                                           LogoCase{8191, 16384}, LogoCase{1040384, 1056768}));

TEST(UbootLogo, RefusesTooBigAndMissingLogo) {
  TempDir dir;
  WriteFile(dir / "big.jpg", std::string(1040385, 'x'));
  const std::vector<std::uint8_t> header(128, 0);
  EXPECT_EQ(package::WriteUbootLogoData(dir / "out.data", header, dir / "big.jpg"),
            package::UbootLogoResult::kLogoTooBig);
  EXPECT_EQ(package::WriteUbootLogoData(dir / "out.data", header, dir / "none.jpg"),
            package::UbootLogoResult::kLogoUnreadable);
  EXPECT_FALSE(testsupport::FileExists(dir / "out.data"));
  // A template of another length shifts the logo; the padding still counts
  // from offset 8192.
  WriteFile(dir / "small.jpg", std::string(1000, 'L'));
  ASSERT_EQ(package::WriteUbootLogoData(dir / "out.data", std::vector<std::uint8_t>(100, 1), dir / "small.jpg"),
            package::UbootLogoResult::kOk);
  EXPECT_EQ(ReadFile(dir / "out.data").size(), 100u + 8064 + 1000 + 7192);
}

struct FlashSizeCase {
  std::uint64_t size;
  bool accepted;
};

TEST(FlashImage, SizeRule) {
  const FlashSizeCase cases[] = {{8 * package::kMebibyte, true},
                                 {16 * package::kMebibyte + 1, true},
                                 {32 * package::kMebibyte + package::kMebibyte - 1, true},
                                 {12 * package::kMebibyte, false},
                                 {8 * package::kMebibyte - 1, false},
                                 {0, false}};
  for (const auto& c : cases) EXPECT_EQ(package::FlashSizeAccepted(c.size), c.accepted) << c.size;
}

class FlashPatch : public ::testing::Test {
 protected:
  void SetUp() override {
    flash_.assign(16 * package::kMebibyte + 1, '\0');
    for (std::size_t i = 0; i < flash_.size(); ++i) flash_[i] = static_cast<char>(i % 251);
    WriteFile(dir_ / "flash.bin", flash_);
  }
  TempDir dir_;
  std::string flash_;
};

TEST_F(FlashPatch, WritesAtStartAndKeepsTheRest) {
  WriteFile(dir_ / "fs.img", std::string(5000, 'Z'));
  ASSERT_EQ(package::PatchFlashImage(dir_ / "flash.bin", dir_ / "fs.img", 0x10000, 0x20000), FlashResult::kOk);
  const std::string after = ReadFile(dir_ / "flash.bin");
  ASSERT_EQ(after.size(), flash_.size());
  EXPECT_EQ(after.substr(0x10000, 5000), std::string(5000, 'Z'));
  EXPECT_EQ(testsupport::FirstDifference(after.substr(0, 0x10000), flash_.substr(0, 0x10000)), "");
  EXPECT_EQ(testsupport::FirstDifference(after.substr(0x10000 + 5000), flash_.substr(0x10000 + 5000)), "");
}

TEST_F(FlashPatch, RefusalsLeaveTheFlashUntouched) {
  WriteFile(dir_ / "fs.img", std::string(0x10001, 'Z'));
  WriteFile(dir_ / "twelve.bin", std::string(12 * package::kMebibyte, '\0'));
  const struct {
    const char* flash;
    const char* image;
    std::uint32_t start, end;
    FlashResult expected;
  } cases[] = {
      {"flash.bin", "fs.img", 0x10000, 0x20000, FlashResult::kImageTooBig},
      {"flash.bin", "none.img", 0x10000, 0x20000, FlashResult::kOpenImageFailed},
      {"flash.bin", "fs.img", 0x00ff0000, 0x01100000, FlashResult::kFlashTooSmall},
      {"flash.bin", "fs.img", 0x20000, 0x10000, FlashResult::kFlashTooSmall},
      {"twelve.bin", "fs.img", 0, 0x100000, FlashResult::kBadFlashSize},
      {"missing.bin", "fs.img", 0, 0x100000, FlashResult::kOpenFlashFailed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(package::PatchFlashImage(dir_ / c.flash, dir_ / c.image, c.start, c.end), c.expected)
        << c.flash << " " << c.image << " " << c.start;
  }
  EXPECT_EQ(testsupport::FirstDifference(ReadFile(dir_ / "flash.bin"), flash_), "");
  EXPECT_STREQ(package::FlashResultKey(FlashResult::kBadFlashSize), "original_file_error");
  EXPECT_STREQ(package::FlashResultKey(FlashResult::kImageTooBig), "cramfs_filesize");
}

TEST_F(FlashPatch, ReadsAPartitionOut) {
  ASSERT_EQ(package::ReadPartitionFromFlash(dir_ / "flash.bin", dir_ / "custom.cramfs", 0x20000, 0x21000),
            FlashResult::kOk);
  EXPECT_EQ(ReadFile(dir_ / "custom.cramfs"), flash_.substr(0x20000, 0x1000));
  // A partition reaching past the flash gives what the flash has.
  const std::uint32_t nearEnd = static_cast<std::uint32_t>(flash_.size() - 10);
  ASSERT_EQ(package::ReadPartitionFromFlash(dir_ / "flash.bin", dir_ / "tail", nearEnd, nearEnd + 100),
            FlashResult::kOk);
  EXPECT_EQ(ReadFile(dir_ / "tail"), flash_.substr(nearEnd));
  // The operator may name the flash image by a link (verify, inspect); a
  // FIFO or folder in its place is refused with the reason, never read.
  ASSERT_EQ(::symlink((dir_ / "flash.bin").c_str(), (dir_ / "flash.link").c_str()), 0);
  ASSERT_EQ(package::ReadPartitionFromFlash(dir_ / "flash.link", dir_ / "via-link", 0x20000, 0x21000),
            FlashResult::kOk);
  EXPECT_EQ(ReadFile(dir_ / "via-link"), flash_.substr(0x20000, 0x1000));
  ASSERT_EQ(::mkfifo((dir_ / "flash.fifo").c_str(), 0600), 0);
  std::string why;
  EXPECT_EQ(package::ReadPartitionFromFlash(dir_ / "flash.fifo", dir_ / "y", 0, 16, &why),
            FlashResult::kOpenFlashFailed);
  EXPECT_NE(why.find(dir_ / "flash.fifo"), std::string::npos) << why;
  EXPECT_EQ(package::ReadPartitionFromFlash(dir_ / "none.bin", dir_ / "x", 0, 16), FlashResult::kOpenFlashFailed);
  EXPECT_EQ(package::ReadPartitionFromFlash(dir_ / "flash.bin", dir_ / "no/such/dir/x", 0, 16),
            FlashResult::kCreateFailed);
  // A link where the copy goes is never followed: what it points at stays.
  testsupport::WriteFile(dir_ / "outside", "keep");
  ASSERT_EQ(::symlink((dir_ / "outside").c_str(), (dir_ / "linked").c_str()), 0);
  EXPECT_EQ(package::ReadPartitionFromFlash(dir_ / "flash.bin", dir_ / "linked", 0x20000, 0x21000),
            FlashResult::kCreateFailed);
  EXPECT_EQ(ReadFile(dir_ / "outside"), "keep");
  EXPECT_EQ(testsupport::FirstDifference(ReadFile(dir_ / "flash.bin"), flash_), "");
}

}  // namespace
