// Runs of firmsmith-cli make that must never announce a broken result:
// damaged inputs are refused before anything is written, outputs are checked
// under their temporary name before they replace anything, and every failure
// leaves the input, its backups and older outputs byte for byte as they
// were. Also the two backups, the root file system's room, and the flash
// image patch compared with dd.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <filesystem>
#include <fstream>
#include <map>

#include "firmsmith/package/layout/flash_image.h"
#include "firmsmith/package/layout/json_file.h"
#include "package_fixture.h"

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using testsupport::FirstDifference;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string Sha256(const std::string& path) {
  if (!fs::exists(path)) return "absent";
  return RunCommand({"sha256sum", path}).out.substr(0, 64);
}

// Runs a command without root's right to read what it may not: mode 000
// then means what it means for everyone else.
std::vector<std::string> WithoutOverride(std::vector<std::string> argv) {
  if (::geteuid() != 0) return argv;
  argv.insert(argv.begin(), {"setpriv", "--bounding-set=-dac_override,-dac_read_search"});
  return argv;
}

class IntegrityCli : public PackageTest {
 protected:
  void SetUp() override {
    PackageTest::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() == 0 && !testsupport::HaveProgram("setpriv")) GTEST_SKIP() << "setpriv missing";
    InstallCli();
  }

  testsupport::CommandResult Make(const std::string& job, bool withoutOverride = false) {
    WriteFile(work_ / "job.ini", job);
    std::vector<std::string> argv = {prog_ / "firmsmith-cli", "make", work_ / "job.ini", "--no-pauses"};
    return RunCommand(withoutOverride ? WithoutOverride(argv) : argv);
  }

  // A package with logo, user and custom images made by the peer tools,
  // as "in.bin", with an older ".bak" and ".prev" beside it.
  std::string BasePackage(const std::vector<std::string>& extraCommands = {}) {
    for (const char* stale : {"in.bin", "in.bin.bak", "in.bin.prev"}) fs::remove(work_ / stale);
    fs::remove_all(work_ / ".h264dvr");
    PeerImage(MakeFolder("oldlogo", "old logo"), "logo-x.cramfs.img", kLogoStart, kLogoEnd);
    PeerImage(MakeFolder("olduser", "old user"), "user-x.cramfs.img", kUserStart, kUserEnd);
    const std::string custom = work_ / "oldcustom";
    fs::remove_all(custom);
    WriteFile(custom + "/ProductDefinition", "{\"Hardware\": \"HW-T\"}");
    WriteFile(custom + "/data/Strings/English", NoiseBytes(40000, 7));
    PeerImage(custom, "custom-x.cramfs.img", kCustomStart, kCustomEnd);
    std::vector<std::string> images = {"logo-x.cramfs.img", "user-x.cramfs.img", "custom-x.cramfs.img"};
    std::string desc = "{\n\t\"UpgradeCommand\" : [";
    std::vector<std::string> listed = images;
    listed.insert(listed.end(), extraCommands.begin(), extraCommands.end());
    for (std::size_t i = 0; i < listed.size(); ++i)
      desc += std::string(i ? "," : "") + "\n\t{\n\t\t\"Command\" : \"Burn\",\n\t\t\"FileName\" : \"" + listed[i] +
              "\"\n\t}";
    WriteFile(work_ / "InstallDesc", desc + "\n\t],\n\t\"Hardware\" : \"HW-T\",\n\t\"Vendor\" : \"Vend\"\n}\n");
    images.insert(images.begin(), "InstallDesc");
    const std::string input = PeerPackage("in.bin", images);
    WriteFile(input + ".bak", "the vendor's original");
    WriteFile(input + ".prev", "the package before the last run");
    return input;
  }

  // Re-zips "in.bin" after an image was changed in work_.
  std::string Repack() {
    fs::remove(work_ / "in.bin");
    return PeerPackage("in.bin", {"InstallDesc", "logo-x.cramfs.img", "user-x.cramfs.img", "custom-x.cramfs.img"});
  }

  void CorruptByte(const std::string& path, std::size_t offset) {
    std::string bytes = ReadFile(path);
    ASSERT_LT(offset, bytes.size()) << path;
    bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5a);
    WriteFile(path, bytes);
  }

  std::vector<std::string> PartFiles(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(folder))
      if (e.path().filename().string().find(".part-") != std::string::npos) found.push_back(e.path());
    return found;
  }
};

constexpr const char* kReworkJob = "[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\n";

// Rewrites a package with its entries stored, then breaks user-x.cramfs.img
// the way a damaged download or a foreign packer would.
constexpr const char kBreakPackage[] = R"(
import struct, sys, warnings, zipfile
case, path = sys.argv[1], sys.argv[2]
name = 'user-x.cramfs.img'
with zipfile.ZipFile(path) as z:
    items = [(i.filename, z.read(i.filename)) for i in z.infolist()]
if case == 'duplicate':
    items.append((name, dict(items)[name]))
warnings.simplefilter('ignore')
with zipfile.ZipFile(path, 'w') as z:
    for n, d in items:
        z.writestr(n, d, compress_type=zipfile.ZIP_STORED)
b = bytearray(open(path, 'rb').read())
local = zipfile.ZipFile(path).getinfo(name).header_offset
if case == 'crc':
    b[local + 30 + len(name) + 200] ^= 0x20
elif case == 'encrypted':
    at = b.find(b'PK\x01\x02')
    while struct.unpack_from('<H', b, at + 28)[0] != len(name) or b[at + 46:at + 46 + len(name)] != name.encode():
        at = b.find(b'PK\x01\x02', at + 4)
    struct.pack_into('<H', b, at + 8, 1)
    struct.pack_into('<H', b, local + 6, 1)
open(path, 'wb').write(bytes(b))
)";

// Every broken input ends with exit 1 and a message naming the cause, and
// leaves the input, its backups and no temporary file behind.
TEST_F(IntegrityCli, BrokenInputsChangeNothing) {
  const std::string newUser = MakeFolder("newuser", "new user");
  WriteFile(work_ / "strings/French", "francais");
  const struct Case {
    const char* name;
    std::function<void()> breakIt;  // after BasePackage
    std::string partitions;
    std::vector<std::string> expected;  // each in standard error
    bool withoutOverride;
  } cases[] = {
      {"output check: InstallDesc names a missing image",
       [&] { BasePackage({"app-x.cramfs.img"}); }, "user=newuser\n",
       {"does not pass its check", "app-x.cramfs.img, which the package does not hold"}, false},
      {"header CRC of a kept image",
       [&] {
         BasePackage();
         CorruptByte(work_ / "logo-x.cramfs.img", 40);  // in the name field
         Repack();
       },
       "user=newuser\n", {"logo-x.cramfs.img", "header CRC wrong"}, false},
      {"data CRC of a kept image",
       [&] {
         BasePackage();
         CorruptByte(work_ / "logo-x.cramfs.img", 64 + 200);
         Repack();
       },
       "user=newuser\n", {"logo-x.cramfs.img", "data CRC wrong"}, false},
      {"damaged cramfs block in the custom partition",
       [&] {
         BasePackage();
         // The payload is damaged, then wrapped with fresh, valid CRCs.
         const std::string payload = work_ / "custom-x.cramfs.img.payload";
         CorruptByte(payload, static_cast<std::size_t>(fs::file_size(payload) / 2));
         ASSERT_EQ(RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a",
                               "0x00850000", "-e", "0x00950000", "-n", "Linux", "-d", payload,
                               work_ / "custom-x.cramfs.img"})
                       .status,
                   0);
         Repack();
       },
       "custom=\n[Custom]\nStrings=strings\n", {"custom-x", "damaged"}, false},
      {"damaged squashfs user partition",
       [&] {
         BasePackage();
         const std::string tree = work_ / "sqsh";
         fs::remove_all(tree);
         WriteFile(tree + "/etc/loadmod", "insmod codec.ko");
         std::string text;
         for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + " of the recorder's application\n";
         WriteFile(tree + "/bin/app", text);
         fs::remove(work_ / "user.sqfs");
         ASSERT_EQ(RunCommand({"mksquashfs", tree, work_ / "user.sqfs", "-noappend", "-quiet"}).status, 0);
         CorruptByte(work_ / "user.sqfs", static_cast<std::size_t>(fs::file_size(work_ / "user.sqfs") / 3));
         fs::remove(work_ / "user-x.cramfs.img");
         ASSERT_EQ(RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a",
                               "0x00250000", "-e", "0x00650000", "-n", "Linux", "-d", work_ / "user.sqfs",
                               work_ / "user-x.cramfs.img"})
                       .status,
                   0);
         Repack();
       },
       "user=\n[Custom]\nLineInGain=1\n", {"user-x", "damaged", "unsquashfs"}, false},
      {"unreadable source file",
       [&] {
         BasePackage();
         WriteFile(newUser + "/bin/secret.bin", "locked away");
         ::chmod((newUser + "/bin/secret.bin").c_str(), 0);
       },
       "user=newuser\n", {"secret.bin", "Permission denied"}, true},
      {"unreadable source file of a squashfs build",
       [&] {
         BasePackage();
         WriteFile(newUser + "/bin/secret.bin", "locked away");
         ::chmod((newUser + "/bin/secret.bin").c_str(), 0);
       },
       "user=newuser\n[FileSystems]\nuser=Squashfs\n", {"secret.bin", "Permission denied"}, true},
      {"unreadable source file of a jffs2 build",
       [&] {
         BasePackage();
         WriteFile(newUser + "/bin/secret.bin", "locked away");
         ::chmod((newUser + "/bin/secret.bin").c_str(), 0);
       },
       "romfs=newuser\n", {"secret.bin", "Permission denied"}, true},
      {"corrupted package entry",
       [&] {
         ASSERT_EQ(RunCommand({"/usr/bin/python3", "-c", kBreakPackage, "crc", BasePackage()}).status, 0);
       },
       "user=newuser\n", {"user-x.cramfs.img", "CRC-32"}, false},
      {"encrypted package entry",
       [&] {
         ASSERT_EQ(RunCommand({"/usr/bin/python3", "-c", kBreakPackage, "encrypted", BasePackage()}).status, 0);
       },
       "user=newuser\n", {"user-x.cramfs.img", "encrypted"}, false},
      {"package entry there twice",
       [&] {
         ASSERT_EQ(RunCommand({"/usr/bin/python3", "-c", kBreakPackage, "duplicate", BasePackage()}).status, 0);
       },
       "user=newuser\n", {"user-x.cramfs.img", "twice"}, false},
      {"unreadable folder staged for the ignore rule",
       [&] {
         BasePackage();
         fs::remove_all(work_ / "customdir");
         MakeFolder("customdir", "custom");  // holds debug/, which the product ignores
         WriteFile(work_ / "customdir/ProductDefinition", "{\"Hardware\": \"HW-T\"}");
         WriteFile(work_ / "customdir/locked/inner.txt", "never read");
         ::chmod((work_ / "customdir/locked").c_str(), 0);
       },
       "custom=customdir\n", {"customdir/locked", "Permission denied"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.breakIt();
    const std::vector<std::string> watched = {work_ / "in.bin", work_ / "in.bin.bak", work_ / "in.bin.prev",
                                              Prog() + "TestBox_all.bin"};
    std::map<std::string, std::string> before;
    for (const std::string& f : watched) before[f] = Sha256(f);
    const testsupport::CommandResult r = Make(std::string(kReworkJob) + c.partitions, c.withoutOverride);
    EXPECT_EQ(r.status, 1) << r.err;
    for (const std::string& text : c.expected) EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Firmsmith: Make upgrade file\n"), std::string::npos) << r.err;  // no success
    for (const std::string& f : watched) EXPECT_EQ(Sha256(f), before[f]) << f;
    EXPECT_EQ(PartFiles(work_.path()), std::vector<std::string>{});
    ::chmod((newUser + "/bin/secret.bin").c_str(), 0600);
    ::chmod((work_ / "customdir/locked").c_str(), 0700);
    fs::remove(newUser + "/bin/secret.bin");
  }
}

// A disk that fills up while a partition is built: the program folder,
// where intermediate images are written, is a copy on a small tmpfs in a
// private mount namespace. The run fails naming the partition and leaves
// everything as it was.
TEST_F(IntegrityCli, FullDiskDuringABuildChangesNothing) {
  if (::geteuid() != 0 || !testsupport::HaveProgram("unshare")) GTEST_SKIP() << "needs root for a mount namespace";
  if (RunCommand({"unshare", "-m", "true"}).status != 0) GTEST_SKIP() << "no mount namespaces here";
  const std::string input = BasePackage();
  WriteFile(work_ / "big/lib/blob.so", NoiseBytes(3 * 1048576, 9));
  const std::uint64_t room = fs::file_size(prog_ / "firmsmith-cli") / 1024 + 1024;  // KiB: the copy + 1 MiB
  const struct {
    const char* name;
    const char* partitions;
    const char* tool;
  } cases[] = {
      {"jffs2", "romfs=big\n", "mkfs.jffs2"},
      {"squashfs", "user=big\n[FileSystems]\nuser=Squashfs\n", "mksquashfs"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!testsupport::HaveProgram(c.tool)) continue;
    const std::vector<std::string> watched = {input, input + ".bak", input + ".prev"};
    std::map<std::string, std::string> before;
    for (const std::string& f : watched) before[f] = Sha256(f);
    WriteFile(work_ / "job.ini", std::string(kReworkJob) + c.partitions);
    const std::string small = work_ / "small";
    fs::create_directories(small);
    const testsupport::CommandResult r = RunCommand(
        {"unshare", "-m", "sh", "-c",
         "mount -t tmpfs -o size=" + std::to_string(room) + "k tmpfs \"$1\" && cp -a \"$2\"/. \"$1\"/ && "
         "exec \"$1\"/firmsmith-cli make \"$3\" --no-pauses",
         "sh", small, prog_.path(), work_ / "job.ini"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(c.name == std::string("jffs2") ? "romfs-x" : "user-x"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Firmsmith: Make upgrade file\n"), std::string::npos) << r.err;
    for (const std::string& f : watched) EXPECT_EQ(Sha256(f), before[f]) << f;
    EXPECT_EQ(PartFiles(work_.path()), std::vector<std::string>{});
  }
}

// A new package from a folder that cannot be read whole is not written, and
// an older package of the product stays as it was.
TEST_F(IntegrityCli, NewPackageFromAnUnreadableFolderWritesNothing) {
  const std::string custom = MakeFolder("customdir", "custom");
  WriteFile(custom + "/locked/inner.txt", "never read");
  ::chmod((custom + "/locked").c_str(), 0);
  const std::string older = Prog() + "TestBox_all.bin";
  WriteFile(older, "an older package");
  const testsupport::CommandResult r =
      Make("[Job]\nProduct=TestBox\n[Partitions]\ncustom=customdir\n", true);
  ::chmod((custom + "/locked").c_str(), 0700);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("cannot list folder " + custom + "/locked: Permission denied"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(older), "an older package");
  EXPECT_EQ(PartFiles(prog_.path()), std::vector<std::string>{});
}

// ".bak" keeps the package as it was before the first rework; ".prev" the
// package before the latest run.
TEST_F(IntegrityCli, TwoReworksKeepTheOriginalAndThePreviousState) {
  const std::string input = BasePackage();
  fs::remove(input + ".bak");
  fs::remove(input + ".prev");
  const std::string original = ReadFile(input);
  MakeFolder("user1", "first run");
  MakeFolder("user2", "second run");
  ASSERT_EQ(Make(std::string(kReworkJob) + "user=user1\n").status, 0);
  const std::string afterFirst = ReadFile(input);
  EXPECT_NE(afterFirst, original);
  EXPECT_EQ(ReadFile(input + ".prev"), original);
  const testsupport::CommandResult second = Make(std::string(kReworkJob) + "user=user2\n");
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(ReadFile(input + ".bak"), original);
  EXPECT_EQ(ReadFile(input + ".prev"), afterFirst);
  const std::string user = Entry(input, "user-x.cramfs.img");
  ASSERT_GT(user.size(), 64u);
  WriteFile(work_ / "user.payload", user.substr(64));
  ASSERT_EQ(RunCommand({"fsck.cramfs", "--extract=" + work_ / "user-out", work_ / "user.payload"}).status, 0);
  EXPECT_EQ(ReadFile(work_ / "user-out/marker.txt"), "second run");
  EXPECT_EQ(PartFiles(work_.path()), std::vector<std::string>{});
  // Backups taken without copying must not share a file with anything that
  // is written in place later: not with the input, nor with each other.
  const std::string afterSecond = ReadFile(input);
  {
    std::ofstream inPlace(input, std::ios::binary | std::ios::in | std::ios::out);
    inPlace.write("XXXX", 4);
  }
  {
    std::ofstream inPlace(input + ".prev", std::ios::binary | std::ios::in | std::ios::out);
    inPlace.write("YYYY", 4);
  }
  EXPECT_EQ(ReadFile(input + ".bak"), original);
  EXPECT_EQ(ReadFile(input + ".prev").substr(4), afterFirst.substr(4));
  EXPECT_EQ(ReadFile(input).substr(4), afterSecond.substr(4));
}

// An input with a second name elsewhere may be written through that name:
// its backups are copies, which such a write leaves alone.
TEST_F(IntegrityCli, BackupsOfAnInputWithASecondNameAreCopies) {
  const std::string input = BasePackage();
  fs::remove(input + ".bak");
  fs::remove(input + ".prev");
  const std::string original = ReadFile(input);
  const std::string other = work_ / "other-name.bin";
  fs::remove(other);
  ASSERT_EQ(::link(input.c_str(), other.c_str()), 0);
  MakeFolder("user1", "first run");
  ASSERT_EQ(Make(std::string(kReworkJob) + "user=user1\n").status, 0);
  {
    std::ofstream inPlace(other, std::ios::binary | std::ios::in | std::ios::out);
    inPlace.write("XXXX", 4);
  }
  EXPECT_EQ(ReadFile(input + ".bak"), original);
  EXPECT_EQ(ReadFile(input + ".prev"), original);
  fs::remove(other);
}

// The root file system may grow into the product's whole ROMFS partition;
// an image that does not fit says how big it is and how much room there is;
// an old image that lies elsewhere stops the run.
TEST_F(PackageTest, RomfsUsesItsWholePartition) {
  const std::string oldTree = work_ / "oldromfs";
  WriteFile(oldTree + "/lib/base.so", NoiseBytes(300000, 1));
  ASSERT_EQ(RunCommand({"mkfs.jffs2", "-d", oldTree, "-l", "-e", "0x10000", "-o", work_ / "old.jffs2"}).status, 0);
  const std::uint64_t oldSize = fs::file_size(work_ / "old.jffs2");
  const struct {
    const char* name;
    std::uint32_t oldLoad;
    std::size_t extraBytes;  // added to the old tree
    bool succeeds;
    std::vector<std::string> expected;  // in the last box or its reason
  } cases[] = {
      {"one erase block larger", kRomfsStart, 0x10000 + 4096, true, {}},
      {"larger than the partition", kRomfsStart, kRomfsEnd - kRomfsStart, false,
       {"room for " + std::to_string(kRomfsEnd - kRomfsStart) + " bytes", "image of "}},
      {"old image elsewhere", kRomfsStart + 0x10000, 0, false,
       {"does not start where the product's ROMFS partition starts", "load address 0x00060000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(work_ / "romfs-x.cramfs.img");
    ASSERT_EQ(RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a",
                          Hex(c.oldLoad), "-e", Hex(static_cast<std::uint32_t>(c.oldLoad + oldSize)), "-n", "Linux", "-d",
                          work_ / "old.jffs2", work_ / "romfs-x.cramfs.img"})
                  .status,
              0);
    WriteFile(work_ / "InstallDesc",
              "{\"UpgradeCommand\": [{\"Command\": \"Burn\", \"FileName\": \"romfs-x.cramfs.img\"}], \"Hardware\": \"HW-T\"}");
    fs::remove(work_ / "in.bin");
    const std::string input = PeerPackage("in.bin", {"InstallDesc", "romfs-x.cramfs.img"});
    const std::string before = ReadFile(input);
    const std::string newTree = work_ / "newromfs";
    fs::remove_all(newTree);
    fs::copy(oldTree, newTree, fs::copy_options::recursive);
    if (c.extraBytes) WriteFile(newTree + "/lib/more.so", NoiseBytes(c.extraBytes, 2));

    package::MakeOptions o = Options(true, input);
    package::TickSlot(&o, package::kSlotRomfs);
    o.slots[package::kSlotRomfs].sourcePath = newTree;
    sink_.boxes.clear();
    const package::MakeOutcome outcome = package::RunMakeOperation(o, Env());
    if (c.succeeds) {
      ASSERT_EQ(outcome, package::MakeOutcome::kReworked) << LastBox();
      const std::string romfs = Entry(input, "romfs-x.cramfs.img");
      ASSERT_GT(romfs.size(), 64u);
      EXPECT_GE(romfs.size() - 64, oldSize + 0x10000);
      EXPECT_EQ(Word(romfs, 16), kRomfsStart);
      EXPECT_EQ(Word(romfs, 20), kRomfsEnd);
      continue;
    }
    EXPECT_EQ(outcome, package::MakeOutcome::kFailed);
    ASSERT_FALSE(sink_.boxes.empty());
    const std::string shown = sink_.boxes.back().text + "\n" + sink_.boxes.back().reason;
    for (const std::string& text : c.expected) EXPECT_NE(shown.find(text), std::string::npos) << shown;
    EXPECT_EQ(ReadFile(input), before);
  }
}

// A file-system image several times larger than the copy buffer lands byte
// for byte at the partition's offset (read back with dd); behind it the
// partition keeps its bytes, or is erased to 0xFF for jffs2.
TEST(FlashPatch, LargeImageAtItsOffsetComparedWithDd) {
  if (!testsupport::HaveProgram("dd")) GTEST_SKIP() << "dd missing";
  testsupport::TempDir dir;
  const std::uint32_t start = 0x200000, end = 0x800000;
  const std::string image = NoiseBytes(3 * 1048576 + 12345, 3);
  WriteFile(dir / "fs.img", image);
  for (const bool eraseRest : {false, true}) {
    SCOPED_TRACE(eraseRest ? "erase the rest" : "keep the rest");
    const std::string flash = NoiseBytes(16 * 1048576, 4);
    WriteFile(dir / "flash.bin", flash);
    ASSERT_EQ(package::PatchFlashImage(dir / "flash.bin", dir / "fs.img", start, end, eraseRest),
              package::FlashResult::kOk);
    const testsupport::CommandResult dd =
        RunCommand({"dd", "if=" + dir / "flash.bin", "of=" + dir / "read.bin", "iflag=skip_bytes,count_bytes",
                    "skip=" + std::to_string(start), "count=" + std::to_string(image.size()), "status=none"});
    ASSERT_EQ(dd.status, 0) << dd.err;
    EXPECT_EQ(FirstDifference(ReadFile(dir / "read.bin"), image), "");
    const std::string after = ReadFile(dir / "flash.bin");
    ASSERT_EQ(after.size(), flash.size());
    EXPECT_EQ(FirstDifference(after.substr(0, start), flash.substr(0, start)), "");
    const std::size_t rest = start + image.size();
    const std::string expectedRest =
        eraseRest ? std::string(end - rest, '\xff') : flash.substr(rest, end - rest);
    EXPECT_EQ(FirstDifference(after.substr(rest, end - rest), expectedRest), "");
    EXPECT_EQ(FirstDifference(after.substr(end), flash.substr(end)), "");
  }
}

// A jffs2 partition of a flash image (KV-N3232X's OEMYLK) reworked from a
// folder: the new image at the partition's start, the rest of the partition
// erased, so no old node behind it can win on the device.
TEST_F(IntegrityCli, Jffs2PartitionOfAFlashImageKeepsNoOldNodes) {
  if (!testsupport::HaveProgram("jffs2dump")) GTEST_SKIP() << "jffs2dump missing";
  fs::copy_file(testsupport::SourceDir() + "/data/app/Products/KV-N3232X.ini", prog_ / "Products/KV-N3232X.ini");
  const std::uint32_t start = 0x01810000, end = 0x01a10000;  // [OEMYLK]
  WriteFile(work_ / "old/oldfile.txt", "old contents");
  WriteFile(work_ / "stale/stalefile.txt", "a later version of an old file");
  WriteFile(work_ / "newylk/freshfile.txt", "new contents");
  for (const char* tree : {"old", "stale"})
    ASSERT_EQ(RunCommand({"mkfs.jffs2", "-d", work_ / tree, "-l", "-e", "0x10000", "-o",
                          work_ / (std::string(tree) + ".jffs2")})
                  .status,
              0);
  std::string flash(32 * 1048576, '\xff');
  const std::string old = ReadFile(work_ / "old.jffs2");
  const std::string stale = ReadFile(work_ / "stale.jffs2");
  flash.replace(start, old.size(), old);
  flash.replace(start + 0x100000, stale.size(), stale);
  WriteFile(work_ / "flash.bin", flash);

  const testsupport::CommandResult r =
      Make("[Job]\nProduct=KV-N3232X\nKind=Burning_piecefile\nOriginalFile=flash.bin\n[Partitions]\nylk=newylk\n"
           "[FileSystems]\nylk=Jffs2\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string after = ReadFile(work_ / "flash.bin");
  ASSERT_EQ(after.size(), flash.size());
  EXPECT_EQ(FirstDifference(after.substr(0, start), flash.substr(0, start)), "");
  EXPECT_EQ(FirstDifference(after.substr(end), flash.substr(end)), "");
  EXPECT_EQ(FirstDifference(ReadFile(work_ / "flash.bin.bak"), flash), "");
  WriteFile(work_ / "ylk.part", after.substr(start, end - start));
  const testsupport::CommandResult dump = RunCommand({"jffs2dump", "-c", "-e", "0x10000", work_ / "ylk.part"});
  EXPECT_NE(dump.out.find("freshfile.txt"), std::string::npos) << dump.out;
  EXPECT_EQ(dump.out.find("oldfile.txt"), std::string::npos) << dump.out;
  EXPECT_EQ(dump.out.find("stalefile.txt"), std::string::npos) << dump.out;
  // Behind the new image the partition is erased flash.
  std::size_t image = after.find_last_not_of('\xff', end - 1);
  ASSERT_NE(image, std::string::npos);
  EXPECT_LT(image, start + 0x100000u);
}

// KV-N0804C names its first partition 360user: a new package with it and
// the user partition lists each image once, the user image stays cramfs, and
// a rework adding the gain line to the user partition succeeds.
TEST_F(IntegrityCli, Kvn0804cWith360userAndUser) {
  if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("unsquashfs"))
    GTEST_SKIP() << "squashfs tools missing";
  fs::copy_file(testsupport::SourceDir() + "/data/app/Products/KV-N0804C.ini", prog_ / "Products/KV-N0804C.ini");
  fs::copy_file(testsupport::SourceDir() + "/data/app/Config.ini", prog_ / "Config.ini",
                fs::copy_options::overwrite_existing);
  MakeFolder("web", "web pages");
  MakeFolder("user", "user");
  WriteFile(work_ / "user/etc/loadmod", "insmod codec.ko");
  MakeFolder("logo", "logo");
  MakeFolder("romfs", "romfs");
  MakeFolder("custom", "custom");
  WriteFile(work_ / "custom/ProductDefinition", "{\"Hardware\": \"KV-BRD-0804C-R1\"}");
  const testsupport::CommandResult made =
      Make("[Job]\nProduct=KV-N0804C\n[Partitions]\nweb=web\nuser=user\nlogo=logo\ncustom=custom\nromfs=romfs\n");
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string package = Prog() + "KV-N0804C_all.bin";
  std::vector<std::string> listed = CommandFileNames(Entry(package, "InstallDesc"));
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"360user-x.cramfs.img", "custom-x.cramfs.img", "logo-x.cramfs.img",
                                              "romfs-x.cramfs.img", "user-x.cramfs.img"}));
  const std::string user = Entry(package, "user-x.cramfs.img");
  ASSERT_GT(user.size(), 64u);
  WriteFile(work_ / "user.payload", user.substr(64));
  const testsupport::CommandResult fsck = RunCommand({"fsck.cramfs", work_ / "user.payload"});
  EXPECT_EQ(fsck.status, 0) << fsck.err;

  fs::copy_file(package, work_ / "kv.bin");
  const testsupport::CommandResult gain =
      Make("[Job]\nProduct=KV-N0804C\nOriginalFile=kv.bin\n[Partitions]\nuser=\n[Custom]\nLineInGain=1\n");
  ASSERT_EQ(gain.status, 0) << gain.err;
  const std::string reworked = Entry(work_ / "kv.bin", "user-x.cramfs.img");
  ASSERT_GT(reworked.size(), 64u);
  WriteFile(work_ / "reworked.payload", reworked.substr(64));
  ASSERT_EQ(RunCommand({"fsck.cramfs", "--extract=" + work_ / "reworked", work_ / "reworked.payload"}).status, 0);
  EXPECT_NE(ReadFile(work_ / "reworked/etc/loadmod").find("insmod codec.ko\nhimm 0x20050068 0x"), std::string::npos);
}

}  // namespace
}  // namespace packagetest
