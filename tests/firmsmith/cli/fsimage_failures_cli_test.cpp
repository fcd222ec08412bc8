// What the operator sees when an image or archive command fails: run through
// firmsmith-cli, each failure exits non-zero, names the file and the cause
// on standard error, claims no success, and leaves every input as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testsupport::CommandResult;
using testsupport::TempDir;
using testsupport::WriteFile;

// Random bytes: they do not compress, so images and archives of them stay
// larger than the small disk.
std::string Noise(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

std::string Cli() { return testsupport::AppDir() + "/firmsmith-cli"; }

// How a case runs the command.
enum class Run {
  kPlain,
  kWithoutFileOverride,  // mode-000 entries stay unreadable, also for root
  kOnSmallDisk,          // "small/" is a 64 KiB tmpfs
};

struct FailureCase {
  const char* what;
  // Prepares inputs below in/ of the case folder.
  void (*prepare)(const TempDir& dir);
  // The command's arguments; "@/" stands for the case folder.
  std::vector<std::string> args;
  Run run;
  int status;
  // Both must appear in standard error: the file ("@/" as above) and the cause.
  std::string file;
  std::string cause;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.what; }

std::string Expand(const std::string& text, const TempDir& dir) {
  std::string out = text;
  for (std::size_t at; (at = out.find("@/")) != std::string::npos;) out.replace(at, 2, dir.path() + "/");
  return out;
}

void Nothing(const TempDir&) {}
void Tree(const TempDir& dir) {
  WriteFile(dir / "in/tree/a.img", "first");
  WriteFile(dir / "in/tree/sub/b.img", "second");
}
void TreeWithLockedFolder(const TempDir& dir) {
  Tree(dir);
  WriteFile(dir / "in/tree/locked/c.img", "hidden");
  ::chmod((dir / "in/tree/locked").c_str(), 0);
}
void TreeWithLockedFile(const TempDir& dir) {
  Tree(dir);
  ::chmod((dir / "in/tree/sub/b.img").c_str(), 0);
}
void TreeWithTwinNames(const TempDir& dir) {
  WriteFile(dir / "in/tree/a/x.bin", "first x");
  WriteFile(dir / "in/tree/b/x.bin", "second x");
}
void BigTree(const TempDir& dir) { WriteFile(dir / "in/tree/big.bin", Noise(300000, 1)); }
void FolderInTheWay(const TempDir& dir) { ::mkdir((dir / "out").c_str(), 0755); }
void TreeAndFolderInTheWay(const TempDir& dir) {
  Tree(dir);
  ::mkdir((dir / "out.zip").c_str(), 0755);
}
void Archive(const TempDir& dir) {
  BigTree(dir);
  CommandResult r = testsupport::RunCommand({Cli(), "pack", dir / "in/tree", dir / "in/pkg.zip"});
  ASSERT_EQ(r.status, 0) << r.err;
}
void LockedArchive(const TempDir& dir) {
  Archive(dir);
  ::chmod((dir / "in/pkg.zip").c_str(), 0);
}
void Image(const TempDir& dir) {
  WriteFile(dir / "in/fs.bin", Noise(300000, 2));
  CommandResult r = testsupport::RunCommand(
      {Cli(), "image-wrap", dir / "in/fs.bin", dir / "in/fs.img", "0", "0x1000000"});
  ASSERT_EQ(r.status, 0) << r.err;
}
void ImageAndFolderInTheWay(const TempDir& dir) {
  Image(dir);
  FolderInTheWay(dir);
}
void LockedImage(const TempDir& dir) {
  Image(dir);
  ::chmod((dir / "in/fs.bin").c_str(), 0);
}
void Cramfs(const TempDir& dir) {
  BigTree(dir);
  CommandResult r =
      testsupport::RunCommand({Cli(), "cramfs-build", dir / "in/tree", dir / "in/fs.cramfs"});
  ASSERT_EQ(r.status, 0) << r.err;
}
void LockedCramfs(const TempDir& dir) {
  Cramfs(dir);
  ::chmod((dir / "in/fs.cramfs").c_str(), 0);
}

const char* const kMissing = "No such file or directory";
const char* const kDenied = "Permission denied";
const char* const kFull = "No space left on device";
const char* const kIsFolder = "Is a directory";

class FailingCommand : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailingCommand, NamesTheFileAndTheCauseAndChangesNoInput) {
  const FailureCase& c = GetParam();
  TempDir dir;
  ::mkdir((dir / "in").c_str(), 0755);
  ::mkdir((dir / "small").c_str(), 0755);
  c.prepare(dir);
  if (::testing::Test::HasFatalFailure()) return;

  std::vector<std::string> argv = {Cli()};
  for (const std::string& a : c.args) argv.push_back(Expand(a, dir));
  if (c.run == Run::kWithoutFileOverride) argv = testsupport::WithoutFileOverride(argv);
  if (c.run == Run::kOnSmallDisk) {
    argv = testsupport::OnSmallDisk(dir / "small", 64, argv);
    if (argv.empty()) GTEST_SKIP() << "no private mount namespace with a tmpfs on this machine";
  }

  const auto before = testsupport::SnapshotTree(dir / "in");
  const CommandResult r = testsupport::RunCommand(argv);
  EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
  EXPECT_NE(r.err.find(Expand(c.file, dir)), std::string::npos) << c.what << "\n" << r.err;
  EXPECT_NE(r.err.find(c.cause), std::string::npos) << c.what << "\n" << r.err;
  EXPECT_EQ(r.err.find("Success"), std::string::npos) << r.err;
  EXPECT_TRUE(testsupport::SnapshotTree(dir / "in") == before) << c.what;
  // Let TempDir remove what the case locked.
  for (const char* p : {"in/tree/locked", "in/tree/sub/b.img", "in/pkg.zip", "in/fs.bin",
                        "in/fs.cramfs"})
    ::chmod((dir / p).c_str(), 0755);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailingCommand,
    ::testing::Values(
        FailureCase{"pack: missing source folder", Nothing, {"pack", "@/in/none", "@/out.zip"},
                    Run::kPlain, 1, "@/in/none", kMissing},
        FailureCase{"pack: unreadable sub-folder", TreeWithLockedFolder,
                    {"pack", "@/in/tree", "@/out.zip"}, Run::kWithoutFileOverride, 1,
                    "@/in/tree/locked", kDenied},
        FailureCase{"pack: unreadable file", TreeWithLockedFile,
                    {"pack", "@/in/tree", "@/out.zip"}, Run::kWithoutFileOverride, 1,
                    "@/in/tree/sub/b.img", kDenied},
        FailureCase{"pack: a folder in the archive's place", TreeAndFolderInTheWay,
                    {"pack", "@/in/tree", "@/out.zip"}, Run::kPlain, 1, "@/out.zip", kIsFolder},
        FailureCase{"pack: two files of one name", TreeWithTwinNames, {"pack", "@/in/tree", "@/in/out.zip"},
                    Run::kPlain, 1, "@/in/tree", "a/x.bin and b/x.bin would both be the entry x.bin"},
        FailureCase{"pack: full disk", BigTree, {"pack", "@/in/tree", "@/small/out.zip"},
                    Run::kOnSmallDisk, 1, "@/small/out.zip", kFull},
        FailureCase{"unpack: missing archive", Nothing, {"unpack", "@/in/none.zip", "@/out"},
                    Run::kPlain, 1, "@/in/none.zip", kMissing},
        FailureCase{"unpack: unreadable archive", LockedArchive, {"unpack", "@/in/pkg.zip", "@/out"},
                    Run::kWithoutFileOverride, 1, "@/in/pkg.zip", kDenied},
        FailureCase{"unpack: destination that cannot be created", Archive,
                    {"unpack", "@/in/pkg.zip", "@/no/such/out"}, Run::kPlain, 1, "@/no/such/out",
                    kMissing},
        FailureCase{"unpack: full disk", Archive, {"unpack", "@/in/pkg.zip", "@/small/out"},
                    Run::kOnSmallDisk, 1, "@/small/out/big.bin", kFull},
        FailureCase{"image-wrap: missing input", Nothing,
                    {"image-wrap", "@/in/none.bin", "@/out.img", "0", "0x100000"}, Run::kPlain, 3,
                    "@/in/none.bin", kMissing},
        FailureCase{"image-wrap: unreadable input", LockedImage,
                    {"image-wrap", "@/in/fs.bin", "@/out.img", "0", "0x1000000"},
                    Run::kWithoutFileOverride, 3, "@/in/fs.bin", kDenied},
        FailureCase{"image-wrap: a folder in the output's place", ImageAndFolderInTheWay,
                    {"image-wrap", "@/in/fs.bin", "@/out", "0", "0x1000000"}, Run::kPlain, 1,
                    "@/out", kIsFolder},
        FailureCase{"image-wrap: full disk", Image,
                    {"image-wrap", "@/in/fs.bin", "@/small/fs.img", "0", "0x1000000"},
                    Run::kOnSmallDisk, 1, "@/small/fs.img", kFull},
        FailureCase{"image-strip: missing image", Nothing,
                    {"image-strip", "@/in/none.img", "@/out.bin"}, Run::kPlain, 1, "@/in/none.img",
                    kMissing},
        FailureCase{"image-strip: a folder in the output's place", ImageAndFolderInTheWay,
                    {"image-strip", "@/in/fs.img", "@/out"}, Run::kPlain, 1, "@/out", kIsFolder},
        FailureCase{"image-strip: full disk", Image, {"image-strip", "@/in/fs.img", "@/small/fs.bin"},
                    Run::kOnSmallDisk, 1, "@/small/fs.bin", kFull},
        FailureCase{"cramfs-build: missing source folder", Nothing,
                    {"cramfs-build", "@/in/none", "@/out.cramfs"}, Run::kPlain, 1, "@/in/none",
                    kMissing},
        FailureCase{"cramfs-build: unreadable sub-folder", TreeWithLockedFolder,
                    {"cramfs-build", "@/in/tree", "@/out.cramfs"}, Run::kWithoutFileOverride, 1,
                    "@/in/tree/locked", kDenied},
        FailureCase{"cramfs-build: a folder in the image's place", TreeAndFolderInTheWay,
                    {"cramfs-build", "@/in/tree", "@/out.zip"}, Run::kPlain, 1, "@/out.zip",
                    kIsFolder},
        FailureCase{"cramfs-build: full disk", BigTree,
                    {"cramfs-build", "@/in/tree", "@/small/fs.cramfs"}, Run::kOnSmallDisk, 1,
                    "@/small/fs.cramfs", kFull},
        FailureCase{"cramfs-extract: unreadable image", LockedCramfs,
                    {"cramfs-extract", "@/in/fs.cramfs", "@/out"}, Run::kWithoutFileOverride, 1,
                    "@/in/fs.cramfs", kDenied},
        FailureCase{"cramfs-extract: destination that cannot be created", Cramfs,
                    {"cramfs-extract", "@/in/fs.cramfs", "@/no/such/out"}, Run::kPlain, 1,
                    "@/no/such/out", kMissing},
        FailureCase{"cramfs-extract: full disk", Cramfs,
                    {"cramfs-extract", "@/in/fs.cramfs", "@/small/out"}, Run::kOnSmallDisk, 1,
                    "@/small/out", kFull},
        FailureCase{"probe: missing image", Nothing, {"probe", "2", "@/in/none.img"}, Run::kPlain, 1,
                    "@/in/none.img", kMissing},
        FailureCase{"probe: unreadable archive", LockedArchive,
                    {"probe", "0", "@/in/pkg.zip", "big", "1"}, Run::kWithoutFileOverride, 1,
                    "@/in/pkg.zip", kDenied}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// Broken packages, written by Python's zipfile and patched where zipfile
// would refuse. Each case names the entry the unpack must stop at.
constexpr const char kBreakZip[] = R"(
import struct, sys, zipfile
case, out = sys.argv[1], sys.argv[2]
S, D, B = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2
def build(entries):
    with zipfile.ZipFile(out, 'w') as z:
        for name, data, method in entries:
            z.writestr(name, data, compress_type=method)
def patch(at, fmt, value):
    b = bytearray(open(out, 'rb').read())
    struct.pack_into(fmt, b, at, value)
    open(out, 'wb').write(bytes(b))
def central(name):
    b = open(out, 'rb').read()
    at = b.find(b'PK\x01\x02')
    while at >= 0:
        n = struct.unpack_from('<H', b, at + 28)[0]
        if b[at + 46:at + 46 + n] == name.encode():
            return at
        at = b.find(b'PK\x01\x02', at + 4)
    raise SystemExit('no central entry ' + name)
def local(name):
    return zipfile.ZipFile(out).getinfo(name).header_offset
fine = ('first.txt', b'first\n' * 50, D)
if case == 'crc':
    build([fine, ('InstallDesc', b'{"UpgradeCommand": []}' * 20, S)])
    at = local('InstallDesc') + 30 + len('InstallDesc') + 5
    b = bytearray(open(out, 'rb').read()); b[at] ^= 0x20; open(out, 'wb').write(bytes(b))
elif case == 'encrypted':
    build([fine, ('secret.img', b'x' * 300, S)])
    patch(central('secret.img') + 8, '<H', 1)
    patch(local('secret.img') + 6, '<H', 1)
elif case == 'method':
    build([fine, ('packed.img', b'y' * 3000, B)])
elif case == 'duplicate':
    import warnings; warnings.simplefilter('ignore')
    build([fine, ('user-x.cramfs.img', b'one', S), ('user-x.cramfs.img', b'two', S)])
elif case == 'shared':
    build([('a.img', b'a' * 4000, S), ('b.img', b'b' * 4000, S)])
    patch(central('b.img') + 42, '<I', local('a.img'))
elif case == 'overlap':
    build([('a.img', b'a' * 4000, S), ('b.img', b'b' * 4000, S)])
    patch(central('b.img') + 42, '<I', local('a.img') + 100)
elif case == 'huge':
    build([fine, ('romfs-x.img', b'z' * 100, S)])
    patch(central('romfs-x.img') + 24, '<I', 2147483649)
)";

struct BrokenZip {
  const char* what;
  const char* patch;  // the case of kBreakZip
  const char* entry;  // named in the reason
  const char* cause;
};

void PrintTo(const BrokenZip& c, std::ostream* os) { *os << c.what; }

class BrokenPackage : public ::testing::TestWithParam<BrokenZip> {};

TEST_P(BrokenPackage, UnpackStopsNamingTheEntryAndLeavesNoPartOfIt) {
  const BrokenZip& c = GetParam();
  TempDir dir;
  ::mkdir((dir / "in").c_str(), 0755);
  CommandResult made =
      testsupport::RunCommand({"/usr/bin/python3", "-c", kBreakZip, c.patch, dir / "in/pkg.bin"});
  ASSERT_EQ(made.status, 0) << made.err;
  const auto before = testsupport::SnapshotTree(dir / "in");

  CommandResult r = testsupport::RunCommand({Cli(), "unpack", dir / "in/pkg.bin", dir / "out"});
  EXPECT_EQ(r.status, 1) << c.what << "\n" << r.err;
  EXPECT_NE(r.err.find(c.entry), std::string::npos) << c.what << "\n" << r.err;
  EXPECT_NE(r.err.find(c.cause), std::string::npos) << c.what << "\n" << r.err;
  EXPECT_NE(r.err.find(dir / "in/pkg.bin"), std::string::npos) << r.err;
  EXPECT_TRUE(testsupport::SnapshotTree(dir / "in") == before) << c.what;
  // Whatever was written is whole: only entries before the broken one, each
  // with its own bytes; the broken entry left no file.
  for (const auto& [path, content] : testsupport::SnapshotTree(dir / "out")) {
    if (path.back() == '/') continue;
    EXPECT_EQ(path, dir / "out/first.txt") << c.what;
    std::string expected;
    for (int i = 0; i < 50; ++i) expected += "first\n";
    EXPECT_EQ(content, expected) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenPackage,
    ::testing::Values(BrokenZip{"corrupted entry (CRC-32)", "crc", "InstallDesc", "CRC-32"},
                      BrokenZip{"encrypted entry", "encrypted", "secret.img", "encrypted"},
                      BrokenZip{"compression method we cannot read", "method", "packed.img",
                                "compression method 12"},
                      BrokenZip{"duplicate entry name", "duplicate", "user-x.cramfs.img", "twice"},
                      BrokenZip{"entries sharing a local header", "shared", "b.img", "shares"},
                      BrokenZip{"overlapping entries", "overlap", "b.img", "overlaps"},
                      BrokenZip{"entry over the size limit", "huge", "romfs-x.img", "2147483649"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

}  // namespace
