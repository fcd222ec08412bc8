// firmsmith-cli image-wrap, image-strip, image-info, pack, unpack, probe and
// logo-fit, run as a script would run them.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testsupport::CommandResult;
using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

CommandResult Cli(std::vector<std::string> args, const std::map<std::string, std::string>& env = {}) {
  args.insert(args.begin(), testsupport::AppDir() + "/firmsmith-cli");
  return testsupport::RunCommand(args, "", env);
}

struct WrapCase {
  const char* what;
  std::size_t size;
  const char* start;
  const char* end;
  int status;
};

void PrintTo(const WrapCase& c, std::ostream* os) { *os << c.what; }

class ImageWrapCli : public ::testing::TestWithParam<WrapCase> {};

TEST_P(ImageWrapCli, ExitStatusFollowsTheResult) {
  const WrapCase c = GetParam();
  TempDir dir;
  WriteFile(dir / "fs.bin", std::string(c.size, 'f'));
  CommandResult r = Cli({"image-wrap", dir / "fs.bin", dir / "fs.img", c.start, c.end});
  EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
  if (c.status != 0) {
    EXPECT_NE(r.err.find("firmsmith-cli: "), std::string::npos) << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageWrapCli,
    ::testing::Values(WrapCase{"hex bounds", 4096, "0x10000", "0x20000", 0},
                      WrapCase{"decimal, exactly the partition", 4096, "65536", "69632", 0},
                      WrapCase{"one byte too big", 4097, "65536", "69632", 2},
                      WrapCase{"start = end = 0", 1, "0", "0", 2},
                      WrapCase{"not a number", 10, "0x1g", "0x20000", 64},
                      WrapCase{"beyond 32 bits", 10, "0", "4294967296", 64},
                      WrapCase{"negative", 10, "-1", "0x20000", 64}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(ImageCli, MissingInputExits3AndOutputFolderMissingExits1) {
  TempDir dir;
  EXPECT_EQ(Cli({"image-wrap", dir / "absent", dir / "out.img", "0", "0x1000"}).status, 3);
  WriteFile(dir / "fs.bin", "x");
  EXPECT_EQ(Cli({"image-wrap", dir / "fs.bin", dir / "no/dir/out.img", "0", "0x1000"}).status, 1);
}

TEST(ImageCli, WrapInfoStripRoundTripWithDebugLines) {
  TempDir dir;
  const std::string payload(5000, 'p');
  WriteFile(dir / "fs.bin", payload);
  CommandResult wrap = Cli({"image-wrap", dir / "fs.bin", dir / "fs.img", "0x10000", "0x20000"},
                           {{"FIRMSMITH_DEBUG", "1"}});
  ASSERT_EQ(wrap.status, 0) << wrap.err;
  EXPECT_EQ(wrap.err, "MakeImage before!\nFirmsmith Success!\nMakeImage after!\n");

  CommandResult info = Cli({"image-info", dir / "fs.img"});
  EXPECT_EQ(info.status, 0) << info.err;
  for (const char* line : {"magic:        0x27051956 (ok)", "data size:    5000",
                           "load address: 0x00010000", "entry point:  0x00020000", "os:           5",
                           "architecture: 2", "image type:   2", "compression:  1",
                           "name:         Linux", "crc check:    both correct"})
    EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;

  ASSERT_EQ(Cli({"image-strip", dir / "fs.img", dir / "back.bin"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "back.bin"), payload);

  std::string damaged = ReadFile(dir / "fs.img");
  damaged[70] ^= 0x40;
  WriteFile(dir / "bad.img", damaged);
  info = Cli({"image-info", dir / "bad.img"});
  EXPECT_EQ(info.status, 2);
  EXPECT_NE(info.out.find("data crc:"), std::string::npos);
  EXPECT_NE(info.out.find("(wrong)"), std::string::npos) << info.out;

  WriteFile(dir / "tiny.img", "short");
  EXPECT_EQ(Cli({"image-strip", dir / "tiny.img", dir / "x"}).status, 1);
  EXPECT_EQ(Cli({"image-info", dir / "tiny.img"}).status, 1);

  CommandResult big = Cli({"image-wrap", dir / "fs.bin", dir / "fs2.img", "0", "100"},
                          {{"FIRMSMITH_DEBUG", "1"}});
  EXPECT_EQ(big.status, 2);
  EXPECT_NE(big.err.find("Too Big!\n"), std::string::npos) << big.err;
}

TEST(ArchiveCli, PackUnpackAndProbe) {
  TempDir dir;
  std::string cramfs(64, 'H');
  cramfs += std::string(16, '\0') + "Compressed ROMFS" + std::string(32, '\0');
  WriteFile(dir / "pkg/custom-x.cramfs.img", cramfs);
  WriteFile(dir / "pkg/sub/InstallDesc", "{}");
  ASSERT_EQ(Cli({"pack", dir / "pkg", dir / "pkg.bin"}).status, 0);

  CommandResult unpack = Cli({"unpack", "-v", dir / "pkg.bin", dir / "out"});
  ASSERT_EQ(unpack.status, 0) << unpack.err;
  EXPECT_EQ(unpack.out, "");
  EXPECT_EQ(unpack.err, "extract:custom-x.cramfs.img\nextract:InstallDesc\n");
  EXPECT_EQ(ReadFile(dir / "out/custom-x.cramfs.img"), cramfs);
  EXPECT_EQ(ReadFile(dir / "out/InstallDesc"), "{}");

  // An archive that cannot be read still prints -1, and the probe fails.
  struct {
    std::vector<std::string> args;
    std::string out;
    int status;
  } probes[] = {
      {{"0", dir / "pkg.bin", "custom-x", "1"}, "1\n", 0},
      {{"0", dir / "pkg.bin", "custom-x"}, "0\n", 0},
      {{"0", dir / "missing.bin", "custom-x", "1"}, "-1\n", 1},
      {{"2", dir / "out/custom-x.cramfs.img"}, "1\n", 0},
      {{"3", dir / "out/custom-x.cramfs.img"}, "0\n", 0},
      {{"1", dir / "out/custom-x.cramfs.img", "0x40"}, "1\n", 0},
  };
  for (const auto& p : probes) {
    std::vector<std::string> args = {"probe"};
    args.insert(args.end(), p.args.begin(), p.args.end());
    CommandResult r = Cli(args);
    EXPECT_EQ(r.status, p.status) << r.err;
    EXPECT_EQ(r.out, p.out) << p.args[0] << " " << p.args[1];
  }
  // A bad MODE is a usage error.
  EXPECT_EQ(Cli({"probe", "x", dir / "pkg.bin"}).status, 2);
  EXPECT_EQ(Cli({"unpack", dir / "missing.bin", dir / "out"}).status, 1);
  EXPECT_EQ(Cli({"pack", dir / "missing", dir / "x.bin"}).status, 1);
}

TEST(CliConventions, UsageErrorsExit2AndResultCommands64) {
  struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"pack", "only-one"}, 2},       {{"unpack"}, 2},
      {{"probe"}, 2},                  {{"image-strip", "a"}, 2},
      {{"cramfs-build", "a"}, 2},      {{"diff", "a"}, 2},
      {{"inspect"}, 2},                {{"verify"}, 2},
      {{"make"}, 2},                   {{"no-such-command"}, 2},
      {{"image-wrap", "a", "b"}, 64},  {{"image-info"}, 64},
      {{"logo-fit", "a", "1", "1"}, 2},
      {{"fetch-config", "--ip", "127.0.0.1", "--out", "x"}, 2},
  };
  for (const auto& c : cases) {
    CommandResult r = Cli(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << "\n" << r.err;
    EXPECT_NE(r.err.find("firmsmith-cli: "), std::string::npos) << r.err;
  }
}

// Every command listed by --help answers -h and --help with its usage on
// standard output; --version names the tool.
TEST(CliConventions, EveryCommandAnswersHelpAndTheToolItsVersion) {
  const CommandResult all = Cli({"--help"});
  ASSERT_EQ(all.status, 0) << all.err;
  std::vector<std::string> names;
  std::istringstream lines(all.out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("  ", 0) == 0 && line.size() > 2 && line[2] != ' ' && line[2] != '-')
      names.push_back(line.substr(2, line.find(' ', 2) - 2));
  EXPECT_GE(names.size(), 10u) << all.out;
  for (const std::string& name : names) {
    for (const char* flag : {"-h", "--help"}) {
      const CommandResult r = Cli({name, flag});
      EXPECT_EQ(r.status, 0) << name << " " << flag << ": " << r.err;
      EXPECT_EQ(r.out.rfind("usage: firmsmith-cli " + name + " ", 0), 0u) << r.out;
      EXPECT_EQ(r.err, "") << name;
    }
  }
  const CommandResult version = Cli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("firmsmith-cli ", 0), 0u) << version.out;
  EXPECT_EQ(Cli({"make", "--version"}).out, version.out);

  // probe's MODE is explained, each value on its own line.
  const CommandResult probe = Cli({"probe", "--help"});
  for (const char* mode : {"\n  0  PATH is a package", "\n  1  PATH is a flash image",
                           "\n  2  PATH is a partition image", "\n  3  PATH is a bare"})
    EXPECT_NE(probe.out.find(mode), std::string::npos) << probe.out;
}

// A 24-bit BMP of one colour, written by hand.
std::string SolidBmp(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  const int stride = (w * 3 + 3) / 4 * 4;
  std::string out(54 + stride * h, '\0');
  auto put32 = [&out](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(v >> (8 * i));
  };
  out[0] = 'B';
  out[1] = 'M';
  put32(2, static_cast<std::uint32_t>(out.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<std::uint32_t>(w));
  put32(22, static_cast<std::uint32_t>(h));
  out[26] = 1;
  out[28] = 24;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::size_t at = 54 + y * stride + x * 3;
      out[at] = static_cast<char>(b);
      out[at + 1] = static_cast<char>(g);
      out[at + 2] = static_cast<char>(r);
    }
  return out;
}

// The source (a folder or one file) stays byte for byte; only
// DEST/logo.bmp is written, and nothing at all when the fitting fails.
TEST(LogoCli, FitsIntoTheOutFolderAndLeavesTheSourceOrFails) {
  TempDir dir;
  const std::string red = SolidBmp(100, 40, 255, 0, 0);
  WriteFile(dir / "logo/boot.bmp", red);
  WriteFile(dir / "logo/spare.bmp", SolidBmp(10, 10, 0, 0, 255));
  for (const std::string& source : {dir / "logo", dir / "logo/boot.bmp"}) {
    const std::string dest = dir / ("dest-" + std::to_string(source.size()));
    const CommandResult r = Cli({"logo-fit", source, "200", "80", "--out", dest});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadFile(dir / "logo/boot.bmp"), red);
    EXPECT_TRUE(FileExists(dir / "logo/spare.bmp"));
    EXPECT_FALSE(FileExists(dir / "logo/logo.bmp"));
    const std::string logo = ReadFile(dest + "/logo.bmp");
    ASSERT_EQ(logo.size(), 200u * 80u * 2u + 54u);
    EXPECT_EQ(logo[28], 16);
    EXPECT_EQ(logo.substr(54, 2), std::string("\x00\x7c", 2));  // red in 5-5-5
  }

  WriteFile(dir / "text/readme.txt", "no picture");
  const CommandResult notPicture = Cli({"logo-fit", dir / "text", "200", "80", "--out", dir / "t"});
  EXPECT_EQ(notPicture.status, 1);
  EXPECT_NE(notPicture.err.find(dir / "text/readme.txt: not a loadable bitmap"), std::string::npos) << notPicture.err;
  EXPECT_EQ(ReadFile(dir / "text/readme.txt"), "no picture");
  EXPECT_FALSE(FileExists(dir / "t/logo.bmp"));
  // Usage errors: a size out of range, no --out (the old in-place form).
  EXPECT_EQ(Cli({"logo-fit", dir / "logo", "0", "80", "--out", dir / "u"}).status, 2);
  EXPECT_EQ(Cli({"logo-fit", dir / "logo", "200", "80"}).status, 2);
  EXPECT_EQ(ReadFile(dir / "logo/boot.bmp"), red);
}

}  // namespace
