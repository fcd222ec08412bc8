// firmsmith-cli inspect --svg: the flash layout picture of a package built
// for KV-N3232X, rendered by rsvg-convert (librsvg), with every partition's
// rectangle where the product file puts it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunCommand;

// KV-N3232X's partitions as its product file lays them out on a 32 MiB chip.
struct Span {
  std::uint32_t start, end;
};
const std::map<std::string, Span> kN3232X = {
    {"UBOOTLOGO", {0x00080000, 0x00190000}}, {"ROMFS", {0x00190000, 0x005d0000}},
    {"ROMFS2", {0x005d0000, 0x00a10000}},    {"USER", {0x00a10000, 0x01410000}},
    {"OEMAPP", {0x01410000, 0x01810000}},    {"OEMYLK", {0x01810000, 0x01a10000}},
    {"WEB", {0x01a10000, 0x01c10000}},       {"CUSTOM", {0x01c10000, 0x01d10000}},
    {"LOGO", {0x01d10000, 0x01e10000}},      {"PARAM", {0x01e10000, 0x01e50000}},
    {"MTD", {0x01e50000, 0x02000000}},
};
constexpr double kChip = 32.0 * 1024 * 1024;

struct Rect {
  double x = 0, y = 0, w = 0, h = 0;
  std::string fill;
};

std::map<std::string, Rect> RectsById(const std::string& svg) {
  static const std::regex kRect(
      "<rect id=\"([^\"]+)\" x=\"([0-9.]+)\" y=\"([0-9.]+)\" width=\"([0-9.]+)\" "
      "height=\"([0-9.]+)\" fill=\"(#[0-9a-f]{6})\"");
  std::map<std::string, Rect> rects;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), kRect); it != std::sregex_iterator();
       ++it) {
    const std::smatch& m = *it;
    rects[m[1]] = {std::stod(m[2]), std::stod(m[3]), std::stod(m[4]), std::stod(m[5]), m[6]};
  }
  return rects;
}

TEST(InspectSvg, PictureOfAKvN3232XPackageRendersAndIsProportional) {
  if (!testsupport::HaveProgram("rsvg-convert"))
    GTEST_SKIP() << "rsvg-convert (librsvg2-bin) is not installed";
  testsupport::TempDir dir;
  const std::string app = testsupport::AppDir();
  fs::copy_file(app + "/firmsmith-cli", dir / "firmsmith-cli");
  fs::copy(app + "/Products", dir / "Products");
  fs::copy(app + "/Language", dir / "Language");
  fs::copy_file(app + "/Config.ini", dir / "Config.ini");
  fs::copy_file(app + "/imgH.data", dir / "imgH.data");
  testsupport::WriteFile(dir / "src/custom/ProductDefinition",
                         "{\n  \"Hardware\" : \"KV-BRD-3232X-R2\"\n}\n");
  testsupport::WriteFile(dir / "src/custom/data/readme.txt", std::string(200000, 'c'));
  testsupport::WriteFile(dir / "src/romfs/bin/app", std::string(300000, 'r'));
  testsupport::WriteFile(dir / "job.ini",
                         "[Job]\nProduct=KV-N3232X\n[Partitions]\ncustom=src/custom\n"
                         "romfs=src/romfs\n");
  const auto made = RunCommand({dir / "firmsmith-cli", "make", dir / "job.ini", "--no-pauses"});
  ASSERT_EQ(made.status, 0) << made.out << made.err;
  const std::string package = dir / "KV-N3232X_all.bin";
  const std::string before = testsupport::ReadFile(package);

  const std::string svgPath = dir / "layout.svg";
  const auto drawn = RunCommand(
      {dir / "firmsmith-cli", "inspect", package, "--product", "KV-N3232X", "--svg", svgPath});
  ASSERT_EQ(drawn.status, 0) << drawn.err;
  EXPECT_EQ(testsupport::ReadFile(package), before) << "inspect changed the package";

  const auto rendered = RunCommand({"rsvg-convert", "-o", dir / "layout.png", svgPath});
  ASSERT_EQ(rendered.status, 0) << rendered.err;
  const std::string png = testsupport::ReadFile(dir / "layout.png");
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(1, 3), "PNG");

  const std::map<std::string, Rect> rects = RectsById(testsupport::ReadFile(svgPath));
  ASSERT_TRUE(rects.count("chip")) << "no chip rectangle in " << svgPath;
  const Rect chip = rects.at("chip");
  for (const auto& [section, span] : kN3232X) {
    SCOPED_TRACE(section);
    ASSERT_TRUE(rects.count("part-" + section));
    const Rect r = rects.at("part-" + section);
    EXPECT_NEAR((r.y - chip.y) / chip.h, span.start / kChip, 0.5 / chip.h);
    EXPECT_NEAR(r.h / chip.h, (span.end - span.start) / kChip, 1.0 / chip.h);
    EXPECT_DOUBLE_EQ(r.w, chip.w);
  }
  // The images it holds fill part of their partitions; the rest are empty.
  for (const char* section : {"CUSTOM", "ROMFS"}) {
    ASSERT_TRUE(rects.count(std::string("fill-") + section)) << section;
    const Rect fill = rects.at(std::string("fill-") + section);
    EXPECT_GT(fill.w, 0.0) << section;
    EXPECT_LT(fill.w, chip.w) << section;
    EXPECT_NE(fill.fill, "#d32f2f") << section << " fits, so it is not red";
  }
  EXPECT_FALSE(rects.count("fill-WEB"));

  // The factory image of the package: its partitions fill as the package's
  // images do, and erased partitions stay empty.
  testsupport::WriteFile(dir / "boot.bin", std::string(4096, 'b'));
  const std::string flash = dir / "flash.bin";
  const auto built = RunCommand({dir / "firmsmith-cli", "flash-build", package, "--product", "KV-N3232X", "--out",
                                 flash, "--boot", dir / "boot.bin"});
  ASSERT_EQ(built.status, 0) << built.err;
  const auto flashDrawn = RunCommand(
      {dir / "firmsmith-cli", "inspect", flash, "--product", "KV-N3232X", "--svg", dir / "flash.svg"});
  ASSERT_EQ(flashDrawn.status, 0) << flashDrawn.err;
  const std::map<std::string, Rect> flashRects = RectsById(testsupport::ReadFile(dir / "flash.svg"));
  for (const char* section : {"CUSTOM", "ROMFS"}) {
    ASSERT_TRUE(flashRects.count(std::string("fill-") + section)) << section;
    EXPECT_DOUBLE_EQ(flashRects.at(std::string("fill-") + section).w, rects.at(std::string("fill-") + section).w)
        << section;
  }
  for (const char* section : {"WEB", "USER", "MTD"}) EXPECT_FALSE(flashRects.count(std::string("fill-") + section));
}

TEST(InspectSvg, WithoutAMatchingProductItNamesTheHardwareAndWritesNothing) {
  testsupport::TempDir dir;
  fs::copy_file(testsupport::AppDir() + "/firmsmith-cli", dir / "firmsmith-cli");
  fs::create_directories(dir / "Products");
  const auto r = RunCommand({dir / "firmsmith-cli", "inspect", dir / "missing.bin", "--svg",
                             dir / "out.svg"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("missing.bin"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "out.svg"));
}

}  // namespace
