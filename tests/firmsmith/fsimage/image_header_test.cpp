// Partition image header: checked against U-Boot's own mkimage -l, which
// recognises a legacy image only when its magic and both CRCs are right.
#include "firmsmith/fsimage/image_header.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "common/platform/file_ops.h"
#include "random_bytes.h"
#include "test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

std::uint32_t Be32(const std::string& s, std::size_t at) {
  return (std::uint32_t{static_cast<std::uint8_t>(s[at])} << 24) |
         (std::uint32_t{static_cast<std::uint8_t>(s[at + 1])} << 16) |
         (std::uint32_t{static_cast<std::uint8_t>(s[at + 2])} << 8) |
         std::uint32_t{static_cast<std::uint8_t>(s[at + 3])};
}

struct WrapCase {
  std::size_t size;
  std::uint32_t start;
  std::uint32_t end;
};

void PrintTo(const WrapCase& c, std::ostream* os) { *os << c.size << " bytes"; }

class WrapWithPeer : public ::testing::TestWithParam<WrapCase> {};

TEST_P(WrapWithPeer, MkimageRecognisesItAndStripGivesTheInputBack) {
  if (!testsupport::HaveProgram("mkimage")) GTEST_SKIP() << "mkimage (u-boot-tools) missing";
  const WrapCase c = GetParam();
  TempDir dir;
  const std::string input = RandomBytes(c.size, static_cast<unsigned>(c.size));
  WriteFile(dir / "fs.bin", input);
  // A known modification time: it must reach the time field.
  struct timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "fs.bin").c_str(), times, 0), 0);

  ASSERT_EQ(fsimage::MakeImage(dir / "fs.bin", dir / "fs.img", c.start, c.end), 0);
  const std::string image = ReadFile(dir / "fs.img");
  ASSERT_EQ(image.size(), c.size + 64);
  EXPECT_EQ(Be32(image, 8), 1600000000u);

  auto listing = RunCommand({"mkimage", "-l", dir / "fs.img"});
  EXPECT_EQ(listing.status, 0) << listing.err;
  EXPECT_NE(listing.out.find("Image Name:   Linux"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("ARM Linux Kernel Image (gzip compressed)"), std::string::npos)
      << listing.out;
  char load[64], entry[64], size[64];
  std::snprintf(load, sizeof load, "Load Address: %08x", c.start);
  std::snprintf(entry, sizeof entry, "Entry Point:  %08x", c.end);
  std::snprintf(size, sizeof size, "Data Size:    %zu Bytes", c.size);
  EXPECT_NE(listing.out.find(load), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find(entry), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find(size), std::string::npos) << listing.out;

  ASSERT_EQ(fsimage::StripImageHeader(dir / "fs.img", dir / "back.bin"), 0);
  EXPECT_TRUE(ReadFile(dir / "back.bin") == input);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WrapWithPeer,
                         ::testing::Values(WrapCase{1, 0x10000, 0x20000},
                                           WrapCase{4096, 0x10000, 0x20000},
                                           WrapCase{4097, 0x0, 0x2000},
                                           WrapCase{123457, 0x00400000, 0x00800000},
                                           WrapCase{3 * 1024 * 1024 + 5, 0x01000000, 0x02000000}));

TEST(MakeImage, CramfsSizedImageCarriesTheBoundsBigEndian) {
  TempDir dir;
  WriteFile(dir / "fs.bin", RandomBytes(4096, 7));
  ASSERT_EQ(fsimage::MakeImage(dir / "fs.bin", dir / "fs.img", 0x10000, 0x20000), 0);
  const std::string image = ReadFile(dir / "fs.img");
  ASSERT_EQ(image.size(), 4160u);
  EXPECT_EQ(image.substr(16, 4), std::string("\x00\x01\x00\x00", 4));
  EXPECT_EQ(image.substr(20, 4), std::string("\x00\x02\x00\x00", 4));
  EXPECT_EQ(image.substr(0, 4), std::string("\x27\x05\x19\x56", 4));
  EXPECT_EQ(image.substr(28, 4), std::string("\x05\x02\x02\x01", 4));
  EXPECT_EQ(image.substr(32, 32), std::string("Linux") + std::string(27, '\0'));
}

TEST(MakeImage, HeaderCrcIsTheCrcOfTheHeaderWithItsFieldZeroed) {
  TempDir dir;
  WriteFile(dir / "fs.bin", RandomBytes(1000, 3));
  ASSERT_EQ(fsimage::MakeImage(dir / "fs.bin", dir / "fs.img", 0, 0x100000), 0);
  // Python's zlib as the independent CRC.
  auto r = RunCommand({"/usr/bin/python3", "-c",
                       "import sys,zlib,struct\n"
                       "b=open(sys.argv[1],'rb').read()\n"
                       "h=bytearray(b[:64]); stored=struct.unpack('>I',h[4:8])[0]; h[4:8]=b'\\0'*4\n"
                       "d=struct.unpack('>I',b[24:28])[0]\n"
                       "print(zlib.crc32(bytes(h))==stored and zlib.crc32(b[64:])==d)",
                       dir / "fs.img"});
  EXPECT_EQ(r.out, "True\n") << r.err;
}

struct BoundsCase {
  const char* what;
  std::size_t size;
  std::uint32_t start;
  std::uint32_t end;
  int expected;
};

void PrintTo(const BoundsCase& c, std::ostream* os) { *os << c.what; }

class MakeImageBounds : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(MakeImageBounds, ResultFollowsTheUnsignedDifference) {
  const BoundsCase c = GetParam();
  TempDir dir;
  WriteFile(dir / "fs.bin", RandomBytes(c.size, 11));
  EXPECT_EQ(fsimage::MakeImage(dir / "fs.bin", dir / "fs.img", c.start, c.end), c.expected)
      << c.what;
  if (c.expected == 0) {
    EXPECT_EQ(ReadFile(dir / "fs.img").size(), c.size + 64);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MakeImageBounds,
    ::testing::Values(BoundsCase{"exactly end - start", 0x1000, 0x10000, 0x11000, 0},
                      BoundsCase{"one byte more", 0x1001, 0x10000, 0x11000, -2},
                      BoundsCase{"start = end = 0, non-empty", 1, 0, 0, -2},
                      BoundsCase{"start = end = 0, empty", 0, 0, 0, 0},
                      BoundsCase{"end below start never too big", 5000, 0x20000, 0x10000, 0},
                      BoundsCase{"start = end, non-zero", 10, 0x5000, 0x5000, -2}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(MakeImage, MissingInputGivesMinus3AndAnEmptyOutput) {
  TempDir dir;
  EXPECT_EQ(fsimage::MakeImage(dir / "absent.bin", dir / "out.img", 0, 0x1000), -3);
  ASSERT_TRUE(testsupport::FileExists(dir / "out.img"));
  EXPECT_EQ(ReadFile(dir / "out.img"), "");
}

TEST(MakeImage, FailuresGiveMinus1) {
  TempDir dir;
  WriteFile(dir / "fs.bin", "payload");
  ::mkdir((dir / "folder").c_str(), 0755);
  EXPECT_EQ(fsimage::MakeImage(dir / "fs.bin", dir / "no/such/dir/out.img", 0, 0x1000), -1);
  EXPECT_EQ(fsimage::MakeImage(dir / "folder", dir / "out.img", 0, 0x1000), -1);
  // Wrapping a file onto itself would truncate it before reading it.
  EXPECT_EQ(fsimage::MakeImage(dir / "fs.bin", dir / "fs.bin", 0, 0x1000), -1);
  EXPECT_EQ(ReadFile(dir / "fs.bin"), "payload");
}

TEST(MakeImage, InputOverTheLimitGivesMinus1) {
  TempDir dir;
  // Sparse: no disk space needed for the length check.
  WriteFile(dir / "big.bin", "");
  ASSERT_EQ(::truncate((dir / "big.bin").c_str(), 167772096 + 1), 0);
  EXPECT_EQ(fsimage::MakeImage(dir / "big.bin", dir / "out.img", 0, 0xFFFFFFFF), -1);
}

TEST(MakeImage, PayloadOfManyChunksCarriesTheCrcOfAllOfIt) {
  TempDir dir;
  // Several read chunks and a short last one: every chunk must reach both
  // the data CRC and the file, in order.
  const std::string input = RandomBytes(2 * 1024 * 1024 + 12345, 21);
  WriteFile(dir / "fs.bin", input);
  ASSERT_EQ(fsimage::MakeImage(dir / "fs.bin", dir / "fs.img", 0, 0x800000), 0);
  const std::string image = ReadFile(dir / "fs.img");
  ASSERT_EQ(image.size(), input.size() + 64);
  EXPECT_TRUE(image.substr(64) == input);
  auto r = RunCommand({"/usr/bin/python3", "-c",
                       "import sys,zlib,struct\n"
                       "b=open(sys.argv[1],'rb').read()\n"
                       "d=open(sys.argv[2],'rb').read()\n"
                       "print(zlib.crc32(d)==struct.unpack('>I',b[24:28])[0])",
                       dir / "fs.img", dir / "fs.bin"});
  EXPECT_EQ(r.out, "True\n") << r.err;
  if (testsupport::HaveProgram("mkimage")) {
    auto listing = RunCommand({"mkimage", "-l", dir / "fs.img"});
    EXPECT_EQ(listing.status, 0) << listing.err;
  }
}

// Files whose length fstat does not tell: kernel files read back more (or
// fewer) bytes than their stated size, as an image still being written
// (or cut) meanwhile would.
struct ChangingCase {
  const char* path;
  const char* reason;
};

void PrintTo(const ChangingCase& c, std::ostream* os) { *os << c.path; }

class MakeImageChangingInput : public ::testing::TestWithParam<ChangingCase> {};

TEST_P(MakeImageChangingInput, FailsNamingTheFileAndLeavesNoValidHeader) {
  const ChangingCase c = GetParam();
  struct stat st {};
  if (::stat(c.path, &st) != 0 || !S_ISREG(st.st_mode)) GTEST_SKIP() << c.path << " missing";
  TempDir dir;
  platform::Status why;
  EXPECT_EQ(fsimage::MakeImage(c.path, dir / "out.img", 0, 0x100000, &why), -1);
  EXPECT_EQ(why.message, std::string("cannot read ") + c.path + ": " + c.reason);
  // Whatever was written, the header is not among it.
  const std::string out = ReadFile(dir / "out.img");
  EXPECT_TRUE(out.size() < 4 || out.substr(0, 4) != std::string("\x27\x05\x19\x56", 4));
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, MakeImageChangingInput,
    ::testing::Values(ChangingCase{"/proc/self/status", "it grew while being read"},
                      ChangingCase{"/sys/kernel/mm/transparent_hugepage/enabled",
                                   "it shrank while being read"}),
    [](const auto& info) { return info.index == 0 ? std::string("Grew") : std::string("Shrank"); });

// WrapImageInPlace: the image was built 64 bytes into its file.
std::string WithHeaderRoom(const std::string& payload) { return std::string(64, '\0') + payload; }

void SetTime(const std::string& path, time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// The same payload bare ("bare.bin", for MakeImage) and behind room for its
// header ("room.bin", for WrapImageInPlace), both dated `when`: the header
// time is the payload's.
void WriteBareAndRoom(const TempDir& dir, const std::string& payload, time_t when) {
  WriteFile(dir / "bare.bin", payload);
  WriteFile(dir / "room.bin", WithHeaderRoom(payload));
  SetTime(dir / "bare.bin", when);
  SetTime(dir / "room.bin", when);
}

class WrapInPlaceSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WrapInPlaceSizes, GivesMakeImagesBytesAndMovesTheFile) {
  const std::size_t size = GetParam();
  TempDir dir;
  const std::string payload = RandomBytes(size, static_cast<unsigned>(size) + 1);
  WriteBareAndRoom(dir, payload, 1700000000);
  ASSERT_EQ(fsimage::MakeImage(dir / "bare.bin", dir / "made.img", 0x40000, 0x440000), 0);
  platform::Status why;
  ASSERT_EQ(fsimage::WrapImageInPlace(dir / "room.bin", dir / "wrapped.img", 0x40000, 0x440000, &why), 0)
      << why.message;
  EXPECT_FALSE(testsupport::FileExists(dir / "room.bin"));
  const std::string made = ReadFile(dir / "made.img");
  ASSERT_EQ(made.size(), size + 64);
  EXPECT_TRUE(ReadFile(dir / "wrapped.img") == made);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WrapInPlaceSizes,
                         ::testing::Values(std::size_t{0}, std::size_t{4096}, std::size_t{1000001}));

TEST(WrapImageInPlace, ReplacesAnOlderImageOfTheSameName) {
  TempDir dir;
  WriteFile(dir / "out.img", "an older image of the partition");
  WriteFile(dir / "room.bin", WithHeaderRoom("new payload"));
  ASSERT_EQ(fsimage::WrapImageInPlace(dir / "room.bin", dir / "out.img", 0, 0x1000), 0);
  const std::string image = ReadFile(dir / "out.img");
  EXPECT_EQ(image.substr(64), "new payload");
  EXPECT_EQ(Be32(image, 12), 11u);
}

struct InPlaceFailure {
  const char* what;
  std::string content;  // of the file; "" with exists false: no file
  bool exists;
  std::uint32_t end;
  int expected;
  const char* reason;  // in the message
};

void PrintTo(const InPlaceFailure& c, std::ostream* os) { *os << c.what; }

class WrapInPlaceFailures : public ::testing::TestWithParam<InPlaceFailure> {};

TEST_P(WrapInPlaceFailures, LeaveTheFileAsItWasAndNameIt) {
  const InPlaceFailure c = GetParam();
  TempDir dir;
  if (c.exists) WriteFile(dir / "room.bin", c.content);
  WriteFile(dir / "out.img", "older image");
  platform::Status why;
  EXPECT_EQ(fsimage::WrapImageInPlace(dir / "room.bin", dir / "out.img", 0x1000, c.end, &why), c.expected);
  EXPECT_NE(why.message.find(dir / "room.bin"), std::string::npos) << why.message;
  EXPECT_NE(why.message.find(c.reason), std::string::npos) << why.message;
  EXPECT_EQ(testsupport::FileExists(dir / "room.bin"), c.exists);
  if (c.exists) {
    EXPECT_TRUE(ReadFile(dir / "room.bin") == c.content);
  }
  EXPECT_EQ(ReadFile(dir / "out.img"), "older image");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WrapInPlaceFailures,
    ::testing::Values(
        InPlaceFailure{"missing", "", false, 0x2000, -3, "cannot open"},
        InPlaceFailure{"shorter than the room", std::string(63, '\0'), true, 0x2000, -1, "shorter than"},
        InPlaceFailure{"one byte too big", WithHeaderRoom(std::string(0x1001, 'x')), true, 0x2000, -2,
                       "larger than the partition"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(WrapImageInPlace, CopiesBehindAHeaderOntoAnotherFileSystem) {
  TempDir dir;
  platform::TempFolder other;
  struct stat here {}, there {};
  if (!other.Create("/dev/shm", "wrap-test-") || ::stat(dir.path().c_str(), &here) != 0 ||
      ::stat(other.path().c_str(), &there) != 0 || here.st_dev == there.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  const std::string payload = RandomBytes(300000, 4);
  WriteBareAndRoom(dir, payload, 1650000000);
  ASSERT_EQ(fsimage::MakeImage(dir / "bare.bin", dir / "made.img", 0, 0x100000), 0);
  platform::Status why;
  ASSERT_EQ(fsimage::WrapImageInPlace(dir / "room.bin", other.path() + "/wrapped.img", 0, 0x100000, &why), 0)
      << why.message;
  EXPECT_TRUE(ReadFile(other.path() + "/wrapped.img") == ReadFile(dir / "made.img"));
}

struct StripCase {
  std::size_t size;
  int expected;
  std::size_t outputSize;
};

void PrintTo(const StripCase& c, std::ostream* os) { *os << c.size << " bytes"; }

class StripSizes : public ::testing::TestWithParam<StripCase> {};

TEST_P(StripSizes, CopiesEverythingBehindTheHeader) {
  const StripCase c = GetParam();
  TempDir dir;
  const std::string image = RandomBytes(c.size, 5);
  WriteFile(dir / "in.img", image);
  EXPECT_EQ(fsimage::StripImageHeader(dir / "in.img", dir / "out.bin"), c.expected);
  if (c.expected == 0) {
    std::string out = ReadFile(dir / "out.bin");
    EXPECT_EQ(out.size(), c.outputSize);
    EXPECT_TRUE(out == image.substr(64));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, StripSizes,
                         ::testing::Values(StripCase{0, -1, 0}, StripCase{63, -1, 0},
                                           StripCase{64, 0, 0}, StripCase{65, 0, 1},
                                           StripCase{200000, 0, 200000 - 64}));

TEST(StripImageHeader, UnreadableOrUnwritableGivesMinus1) {
  TempDir dir;
  WriteFile(dir / "in.img", std::string(100, 'x'));
  EXPECT_EQ(fsimage::StripImageHeader(dir / "absent.img", dir / "out.bin"), -1);
  EXPECT_EQ(fsimage::StripImageHeader(dir / "in.img", dir / "no/such/out.bin"), -1);
  EXPECT_EQ(fsimage::StripImageHeader(dir / "in.img", dir / "in.img"), -1);
  EXPECT_EQ(ReadFile(dir / "in.img").size(), 100u);
}

TEST(VerifyImage, FlagsADamagedHeaderAndDamagedData) {
  TempDir dir;
  WriteFile(dir / "fs.bin", RandomBytes(5000, 9));
  ASSERT_EQ(fsimage::MakeImage(dir / "fs.bin", dir / "fs.img", 0x1000, 0x9000), 0);
  fsimage::ImageHeader header;
  fsimage::ImageCheck check;
  ASSERT_TRUE(fsimage::VerifyImage(dir / "fs.img", &header, &check));
  EXPECT_TRUE(check.magicOk && check.headerCrcOk && check.dataComplete && check.dataCrcOk);
  EXPECT_EQ(header.loadAddress, 0x1000u);
  EXPECT_EQ(header.entryPoint, 0x9000u);
  EXPECT_EQ(header.dataSize, 5000u);

  std::string image = ReadFile(dir / "fs.img");
  std::string damagedData = image;
  damagedData[100] ^= 1;
  WriteFile(dir / "data.img", damagedData);
  ASSERT_TRUE(fsimage::VerifyImage(dir / "data.img", &header, &check));
  EXPECT_TRUE(check.headerCrcOk);
  EXPECT_FALSE(check.dataCrcOk);

  std::string damagedHeader = image;
  damagedHeader[40] ^= 1;
  WriteFile(dir / "header.img", damagedHeader);
  ASSERT_TRUE(fsimage::VerifyImage(dir / "header.img", &header, &check));
  EXPECT_FALSE(check.headerCrcOk);

  WriteFile(dir / "short.img", image.substr(0, 1000));
  ASSERT_TRUE(fsimage::VerifyImage(dir / "short.img", &header, &check));
  EXPECT_FALSE(check.dataComplete);
  WriteFile(dir / "tiny.img", image.substr(0, 63));
  EXPECT_FALSE(fsimage::VerifyImage(dir / "tiny.img", &header, &check));
}

}  // namespace
