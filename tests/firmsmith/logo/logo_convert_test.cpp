// Logo fitting: the written 16-bit bitmaps are read back by an independent
// decoder (bmp16_probe.py, plain Python) and checked pixel by pixel.
#include "firmsmith/logo/logo_convert.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <sstream>
#include <string>
#include <vector>

#include "common/platform/files.h"
#include "test_support.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

struct Rgb5 {
  int r, g, b;
  bool operator==(const Rgb5& o) const { return r == o.r && g == o.g && b == o.b; }
};
std::ostream& operator<<(std::ostream& os, const Rgb5& c) {
  return os << "(" << c.r << "," << c.g << "," << c.b << ")";
}
const Rgb5 kRed{31, 0, 0}, kGreen{0, 31, 0}, kBlue{0, 0, 31};

struct Decoded {
  int width = 0, height = 0, bpp = 0;
  std::vector<Rgb5> pixels;  // one per point asked for
};

// Reads a 16-bit BMP with the independent decoder; fails the test when the
// decoder rejects the file.
Decoded Decode(const std::string& path, const std::vector<std::pair<int, int>>& points) {
  std::vector<std::string> argv = {"/usr/bin/python3",
                                   testsupport::SourceDir() + "/tests/firmsmith/logo/bmp16_probe.py",
                                   path};
  for (auto [x, y] : points) argv.push_back(std::to_string(x) + "," + std::to_string(y));
  auto r = RunCommand(argv);
  Decoded d;
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream in(r.out);
  int compression = 0, size = 0, offset = 0;
  in >> d.width >> d.height >> d.bpp >> compression >> size >> offset;
  for (std::size_t i = 0; i < points.size(); ++i) {
    Rgb5 c{};
    in >> c.r >> c.g >> c.b;
    d.pixels.push_back(c);
  }
  return d;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : testsupport::ListEntries(folder)) names.push_back(e.name);
  return names;
}

// A green picture whose top-left pixel is red and bottom-right pixel blue.
QImage MarkedPicture(int w, int h) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(QColor(0, 255, 0));
  img.setPixel(0, 0, qRgb(255, 0, 0));
  img.setPixel(w - 1, h - 1, qRgb(0, 0, 255));
  return img;
}

void SaveBmp(const QImage& img, const std::string& path) {
  ASSERT_TRUE(img.save(QString::fromStdString(path), "BMP")) << path;
}

TEST(ConvertLogoFolder, LogoOfExactlyTheSizeIsLeftUnchanged) {
  TempDir dir;
  SaveBmp(MarkedPicture(200, 80), dir / "logo.bmp");
  const std::string before = ReadFile(dir / "logo.bmp");
  ASSERT_TRUE(shell::ConvertLogoFolder(dir.path() + "/", 200, 80));
  EXPECT_TRUE(ReadFile(dir / "logo.bmp") == before);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"logo.bmp"});
}

struct SourceFormat {
  const char* what;
  QImage::Format format;
};

void PrintTo(const SourceFormat& f, std::ostream* os) { *os << f.what; }

class SmallPicture : public ::testing::TestWithParam<SourceFormat> {};

TEST_P(SmallPicture, IsCentredOnItsTopLeftColour) {
  TempDir dir;
  SaveBmp(MarkedPicture(100, 40).convertToFormat(GetParam().format), dir / "boot.bmp");
  ASSERT_TRUE(shell::ConvertLogoFolder(dir.path() + "/", 200, 80));
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"logo.bmp"});
  Decoded d = Decode(dir / "logo.bmp", {{0, 0}, {49, 20}, {50, 19}, {50, 20}, {51, 20},
                                        {100, 40}, {149, 59}, {150, 59}, {149, 60}, {199, 79}});
  EXPECT_EQ(d.width, 200);
  EXPECT_EQ(d.height, 80);
  EXPECT_EQ(d.bpp, 16);
  const std::vector<Rgb5> expected = {kRed,   kRed,   kRed,  kRed, kGreen,
                                      kGreen, kBlue,  kRed,  kRed, kRed};
  EXPECT_EQ(d.pixels, expected);
}

INSTANTIATE_TEST_SUITE_P(Formats, SmallPicture,
                         ::testing::Values(SourceFormat{"24-bit", QImage::Format_RGB32},
                                           SourceFormat{"8-bit indexed", QImage::Format_Indexed8},
                                           SourceFormat{"32-bit", QImage::Format_ARGB32}),
                         [](const auto& info) { return "format" + std::to_string(info.index); });

TEST(ConvertLogoFolder, LargePictureIsStretchedByAveragingColours) {
  TempDir dir;
  // Left half a one-pixel black and white checkerboard, right half blue.
  QImage img(400, 160, QImage::Format_RGB32);
  for (int y = 0; y < 160; ++y)
    for (int x = 0; x < 400; ++x)
      img.setPixel(x, y, x >= 200 ? qRgb(0, 0, 255) : ((x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0)));
  SaveBmp(img, dir / "big.bmp");
  ASSERT_TRUE(shell::ConvertLogoFolder(dir.path(), 200, 80));
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"logo.bmp"});
  Decoded d = Decode(dir / "logo.bmp", {{10, 10}, {50, 60}, {190, 70}, {120, 5}});
  EXPECT_EQ(d.width, 200);
  EXPECT_EQ(d.height, 80);
  // Averaging gives mid grey; picking single pixels would give black or white.
  for (int i : {0, 1}) {
    EXPECT_GE(d.pixels[i].r, 13) << d.pixels[i];
    EXPECT_LE(d.pixels[i].r, 18) << d.pixels[i];
    EXPECT_EQ(d.pixels[i].r, d.pixels[i].g);
    EXPECT_EQ(d.pixels[i].r, d.pixels[i].b);
  }
  EXPECT_EQ(d.pixels[2], kBlue);
  EXPECT_EQ(d.pixels[3], kBlue);
}

TEST(ConvertLogoFolder, WideFlatPictureIsScaledToFitAndCentred) {
  TempDir dir;
  // 400 x 40 for a 200 x 80 logo: halves to 200 x 20, then sits at (0, 30).
  QImage img(400, 40, QImage::Format_RGB32);
  img.fill(QColor(0, 255, 0));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 40; ++x) img.setPixel(x, y, qRgb(255, 0, 0));
  SaveBmp(img, dir / "wide.bmp");
  ASSERT_TRUE(shell::ConvertLogoFolder(dir.path(), 200, 80));
  Decoded d = Decode(dir / "logo.bmp", {{100, 29}, {100, 30}, {100, 49}, {100, 50}, {0, 30}});
  const std::vector<Rgb5> expected = {kRed, kGreen, kGreen, kRed, kRed};
  EXPECT_EQ(d.pixels, expected);
}

TEST(ConvertLogoFolder, OddLogoWidthPadsEachRow) {
  TempDir dir;
  SaveBmp(MarkedPicture(100, 40), dir / "boot.bmp");
  ASSERT_TRUE(shell::ConvertLogoFolder(dir.path(), 201, 81));
  // The decoder checks the length against rows padded to 404 bytes.
  Decoded d = Decode(dir / "logo.bmp", {{50, 20}, {51, 20}, {149, 59}, {200, 80}});
  EXPECT_EQ(d.width, 201);
  EXPECT_EQ(d.height, 81);
  const std::vector<Rgb5> expected = {kRed, kGreen, kBlue, kRed};
  EXPECT_EQ(d.pixels, expected);
  EXPECT_EQ(ReadFile(dir / "logo.bmp").size(), 54u + 404u * 81u);
}

TEST(ConvertLogoFolder, FirstOfTwoBitmapsBecomesTheLogoAndBothSourcesGo) {
  TempDir dir;
  QImage red(100, 40, QImage::Format_RGB32);
  red.fill(QColor(255, 0, 0));
  QImage blue(400, 160, QImage::Format_RGB32);
  blue.fill(QColor(0, 0, 255));
  SaveBmp(red, dir / "a.bmp");
  SaveBmp(blue, dir / "b.bmp");
  ASSERT_TRUE(shell::ConvertLogoFolder(dir.path(), 200, 80));
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"logo.bmp"});
  Decoded d = Decode(dir / "logo.bmp", {{0, 0}, {100, 40}, {199, 79}});
  EXPECT_EQ(d.pixels, (std::vector<Rgb5>{kRed, kRed, kRed}));
}

TEST(ConvertLogoFolder, FileThatIsNoBitmapFailsAndStays) {
  TempDir dir;
  WriteFile(dir / "notes.txt", "this is not a picture\n");
  EXPECT_FALSE(shell::ConvertLogoFolder(dir.path(), 200, 80));
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"notes.txt"});
}

TEST(ConvertLogoFolder, PngIsNoWindowsBitmap) {
  TempDir dir;
  ASSERT_TRUE(MarkedPicture(100, 40).save(QString::fromStdString(dir / "boot.png"), "PNG"));
  EXPECT_FALSE(shell::ConvertLogoFolder(dir.path(), 200, 80));
  EXPECT_TRUE(FileExists(dir / "boot.png"));
}

TEST(ScalePicture, SavesInTheFormatOfTheTargetExtension) {
  TempDir dir;
  SaveBmp(MarkedPicture(400, 160), dir / "in.bmp");
  ASSERT_TRUE(shell::ScalePicture(dir / "in.bmp", dir / "out.png", 200, 80));
  ASSERT_TRUE(shell::ScalePicture(dir / "in.bmp", dir / "out.BMP", 200, 80));
  Decoded d = Decode(dir / "out.BMP", {{100, 40}});
  EXPECT_EQ(d.width, 200);
  EXPECT_EQ(d.pixels[0], kGreen);
  if (testsupport::HaveProgram("identify")) {
    auto r = RunCommand({"identify", dir / "out.png", dir / "out.BMP"});
    EXPECT_NE(r.out.find("PNG 200x80"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.out.find("BMP3 200x80"), std::string::npos) << r.out << r.err;
  }
  EXPECT_FALSE(shell::ScalePicture(dir / "missing.bmp", dir / "x.bmp", 200, 80));
}

}  // namespace
