// A program folder of its own (product file, boot-logo template), partition
// folders and input packages made with the peer tools (mkfs.cramfs, mkimage,
// zip), and readers of what the make operation produced (unzip).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "firmsmith/package/make/make_operation.h"
#include "firmsmith/products/product_profile.h"
#include "test_support.h"

namespace packagetest {

// Layout of the test product "TestBox" (hardware "HW-T", vendor "Vend").
inline constexpr std::uint32_t kRomfsStart = 0x00050000, kRomfsEnd = 0x00250000;
inline constexpr std::uint32_t kUserStart = 0x00250000, kUserEnd = 0x00650000;
inline constexpr std::uint32_t kWebStart = 0x00650000, kWebEnd = 0x00850000;
inline constexpr std::uint32_t kCustomStart = 0x00850000, kCustomEnd = 0x00950000;
inline constexpr std::uint32_t kLogoStart = 0x00950000, kLogoEnd = 0x009d0000;
inline constexpr std::uint32_t kMtdStart = 0x009d0000, kMtdEnd = 0x00a10000;
inline constexpr std::uint32_t kUbootLogoStart = 0x00040000, kUbootLogoEnd = 0x00050000;
inline constexpr std::uint32_t kAppStart = 0x00a10000, kAppEnd = 0x00b10000;

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override;

  std::string Prog() const { return prog_.path() + "/"; }
  // The program folder as an installation runs it: firmsmith-cli, the
  // English language file and a Config.ini choosing it.
  void InstallCli();
  package::MakeEnvironment Env();
  products::ProductProfile Product() const;
  package::MakeOptions Options(bool withInput, const std::string& input = "") const;

  // A folder with a few files (and a "debug" tree the product ignores).
  std::string MakeFolder(const std::string& name, const std::string& marker);
  // mkfs.cramfs of `folder`, wrapped by mkimage with the bounds.
  std::string PeerImage(const std::string& folder, const std::string& name, std::uint32_t start,
                        std::uint32_t end);
  // A zip of the given files of `dir` (InstallDesc and images), by the zip tool.
  std::string PeerPackage(const std::string& name, const std::vector<std::string>& files);

  std::vector<std::string> Entries(const std::string& package);            // unzip -Z1
  std::string Entry(const std::string& package, const std::string& entry);  // unzip -p
  std::vector<std::string> CommandFileNames(const std::string& installDesc);
  // Packs `userTree` as the only image of "in.bin", reworks it with the gain
  // line 3db/6db and extracts the rebuilt user partition with fsck.cramfs
  // into work_/user-out.
  void ReworkUserWithGainLine(const std::string& userTree);
  std::string LastBox() const { return sink_.boxes.empty() ? "" : sink_.boxes.back().text; }

  testsupport::TempDir prog_;
  testsupport::TempDir work_;
  testsupport::RecordingMessageSink sink_;
};

bool HavePeers();

// What a make run leaves in `folder` that it should not: run folders
// (".h264dvr*", "tmp*", "dist*") and partial or temporary files
// ("*.part-*", "*.tmp-*"), by name.
std::vector<std::string> RunLeftovers(const std::string& folder);

// Big-endian 32-bit word of an image header (load address at 16, entry at 20).
inline std::uint32_t Word(const std::string& image, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4 && at + i < image.size(); ++i) v = (v << 8) | static_cast<std::uint8_t>(image[at + i]);
  return v;
}

// Bytes that no compressor shrinks, the same in every run.
inline std::string NoiseBytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 23);
  }
  return bytes;
}

// A 24-bit BMP of width x height, one colour.
inline std::string Bitmap(int width, int height) {
  const int row = (width * 3 + 3) & ~3;
  const std::uint32_t size = 54 + row * height;
  std::string bmp(size, '\0');
  auto put = [&](std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) bmp[at + i] = static_cast<char>(v >> (8 * i));
  };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put(2, size, 4);
  put(10, 54, 4);
  put(14, 40, 4);
  put(18, width, 4);
  put(22, height, 4);
  put(26, 1, 2);
  put(28, 24, 2);
  for (std::size_t i = 54; i < bmp.size(); ++i) bmp[i] = '\x40';
  return bmp;
}

}  // namespace packagetest
