// The make operation end to end, against the peer tools: new packages from
// folders, reworks of packages made by mkfs.cramfs + mkimage + zip, bad
// inputs, and the guarantee that a failed run leaves the input as it was.
#include <gtest/gtest.h>

#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "common/uitext/language_table.h"
#include "firmsmith/package/customise/custom_partition.h"
#include "firmsmith/package/layout/input_probe.h"
#include "firmsmith/package/layout/json_file.h"
#include "firmsmith/package/make/make_options.h"
#include "package_fixture.h"

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using package::MakeOutcome;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

std::string DescWith(const std::vector<std::string>& images, const std::string& extra = "") {
  std::string text = "{\n\t\"UpgradeCommand\" : [";
  for (std::size_t i = 0; i < images.size(); ++i)
    text += std::string(i ? "," : "") + "\n\t{\n\t\t\"Command\" : \"Burn\",\n\t\t\"FileName\" : \"" +
            images[i] + "\"\n\t}";
  return text + "\n\t],\n\t\"Hardware\" : \"HW-T\"" + extra + ",\n\t\"Vendor\" : \"Vend\"\n}\n";
}

class MakePipeline : public PackageTest {};

TEST_F(MakePipeline, NewPackageFromLogoAndUserFolders) {
  package::MakeOptions o = Options(false);
  package::TickSlot(&o, package::kSlotLogo);
  package::TickSlot(&o, package::kSlotUser);
  o.slots[package::kSlotLogo].sourcePath = MakeFolder("logo", "logo");
  o.slots[package::kSlotUser].sourcePath = MakeFolder("user", "user");
  ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kPackageBuilt) << LastBox();
  const std::string pkg = Prog() + "TestBox_all.bin";
  EXPECT_EQ(LastBox(), "package_success");

  const testsupport::CommandResult test = RunCommand({"unzip", "-t", pkg});
  EXPECT_EQ(test.status, 0) << test.out;
  std::vector<std::string> entries = Entries(pkg);
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"InstallDesc", "logo-x.cramfs.img", "user-x.cramfs.img"}));

  const std::string desc = Entry(pkg, "InstallDesc");
  EXPECT_EQ(CommandFileNames(desc), (std::vector<std::string>{"user-x.cramfs.img", "logo-x.cramfs.img"}));
  EXPECT_NE(desc.find("\n\t,\n"), std::string::npos) << desc;

  const struct {
    const char* entry;
    std::uint32_t start, end;
  } images[] = {{"logo-x.cramfs.img", kLogoStart, kLogoEnd}, {"user-x.cramfs.img", kUserStart, kUserEnd}};
  for (const auto& img : images) {
    const std::string path = work_ / img.entry;
    WriteFile(path, Entry(pkg, img.entry));
    const testsupport::CommandResult list = RunCommand({"mkimage", "-l", path});
    EXPECT_EQ(list.status, 0) << list.out << list.err;
    char load[64], entry[64];
    std::snprintf(load, sizeof load, "Load Address: %08x", img.start);
    std::snprintf(entry, sizeof entry, "Entry Point:  %08x", img.end);
    EXPECT_NE(list.out.find(load), std::string::npos) << list.out;
    EXPECT_NE(list.out.find(entry), std::string::npos) << list.out;
    WriteFile(path + ".payload", ReadFile(path).substr(64));
    const testsupport::CommandResult fsck = RunCommand({"fsck.cramfs", path + ".payload"});
    EXPECT_EQ(fsck.status, 0) << fsck.err;
  }
  // The run's temporary and distribution folders go with the run: the
  // program folder holds what it held and the new package.
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(prog_.path())) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"Products", "TestBox_all.bin", "imgH.data"}));
}

TEST_F(MakePipeline, NewPackageCustomFolderLosesIgnoredFilesButTheFolderKeepsThem) {
  package::MakeOptions o = Options(false);
  package::TickSlot(&o, package::kSlotCustom);
  o.slots[package::kSlotCustom].sourcePath = MakeFolder("custom", "custom");
  ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kPackageBuilt) << LastBox();
  const std::string image = Entry(Prog() + "TestBox_all.bin", "custom-x.cramfs.img");
  WriteFile(work_ / "c.payload", image.substr(64));
  const testsupport::CommandResult fsck =
      RunCommand({"fsck.cramfs", "--extract=" + work_ / "c.tree", work_ / "c.payload"});
  ASSERT_EQ(fsck.status, 0) << fsck.err;
  EXPECT_TRUE(testsupport::FileExists(work_ / "c.tree/marker.txt"));
  EXPECT_FALSE(testsupport::FileExists(work_ / "c.tree/debug/trace.log"));
  EXPECT_TRUE(testsupport::FileExists(work_ / "custom/debug/trace.log")) << "operator folder changed";
}

TEST_F(MakePipeline, LogoIsFittedInACopyOfTheOperatorsFolder) {
  std::string ini = ReadFile(prog_ / "Products/TestBox.ini");
  ini.replace(ini.find("[LOGO]\n"), 7, "[LOGO]\nlogo_width=8\nlogo_height=4\n");
  WriteFile(prog_ / "Products/TestBox.ini", ini);
  ASSERT_EQ(Product().logoWidth, 8);
  WriteFile(work_ / "logo/picture.bmp", Bitmap(4, 2));
  package::MakeOptions o = Options(false);
  package::TickSlot(&o, package::kSlotLogo);
  o.slots[package::kSlotLogo].sourcePath = work_ / "logo";
  ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kPackageBuilt) << LastBox();
  EXPECT_EQ(ReadFile(work_ / "logo/picture.bmp"), Bitmap(4, 2)) << "the operator's picture stays";
  EXPECT_FALSE(testsupport::FileExists(work_ / "logo/logo.bmp"));
  WriteFile(work_ / "l.payload", Entry(Prog() + "TestBox_all.bin", "logo-x.cramfs.img").substr(64));
  ASSERT_EQ(RunCommand({"fsck.cramfs", "--extract=" + work_ / "l.tree", work_ / "l.payload"}).status, 0);
  EXPECT_EQ(ReadFile(work_ / "l.tree/logo.bmp").size(), 8u * 4 * 2 + 54);
  EXPECT_FALSE(testsupport::FileExists(work_ / "l.tree/picture.bmp"));

  // A picture that cannot be loaded stops the run.
  WriteFile(work_ / "logo/picture.bmp", "not a picture");
  EXPECT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kFailed);
  EXPECT_EQ(LastBox(), "The logo pictures could not be converted.");
  EXPECT_EQ(sink_.boxes.back().reason, work_ / "logo/picture.bmp: not a loadable bitmap");
  EXPECT_EQ(ReadFile(work_ / "logo/picture.bmp"), "not a picture");
}

TEST_F(MakePipeline, NewPackageImageTooBigForItsPartition) {
  WriteFile(prog_ / "Products/TestBox.ini", "[Product]\nname=TestBox\nhardware=HW-T\n"
                                            "[LOGO]\nstart=0x10000\nend=0x10100\n");
  package::MakeOptions o = Options(false);
  package::TickSlot(&o, package::kSlotLogo);
  o.slots[package::kSlotLogo].sourcePath = MakeFolder("logo", std::string(3000, 'q'));
  EXPECT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kFailed);
  EXPECT_EQ(LastBox(), "alarm_file");
  EXPECT_FALSE(testsupport::FileExists(Prog() + "TestBox_all.bin"));
}

TEST_F(MakePipeline, ReworkKeepsExistingNamesRebuildsRomfsAsJffs2AndSkipsApp) {
  const std::string userImg = PeerImage(MakeFolder("olduser", "old"), "user-x.squashfs.img", kUserStart, kUserEnd);
  PeerImage(MakeFolder("oldromfs", "oldr"), "romfs-x.cramfs.img", kRomfsStart, kRomfsEnd);
  WriteFile(work_ / "InstallDesc", DescWith({"romfs-x.cramfs.img", "user-x.squashfs.img"}));
  const std::string input = PeerPackage("in.bin", {"InstallDesc", "user-x.squashfs.img", "romfs-x.cramfs.img"});
  const std::string original = ReadFile(input);

  package::MakeOptions o = Options(true, input);
  for (int slot : {package::kSlotUser, package::kSlotRomfs, package::kSlotApp}) package::TickSlot(&o, slot);
  o.slots[package::kSlotUser].sourcePath = MakeFolder("newuser", "new user");
  o.slots[package::kSlotRomfs].sourcePath = MakeFolder("newromfs", "new romfs");
  o.slots[package::kSlotApp].sourcePath = MakeFolder("newapp", "new app");
  ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kReworked) << LastBox();
  EXPECT_EQ(LastBox(), "alarm_make");

  EXPECT_EQ(ReadFile(input + ".bak"), original);
  EXPECT_EQ(RunCommand({"unzip", "-t", input}).status, 0);
  std::vector<std::string> entries = Entries(input);
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"InstallDesc", "romfs-x.cramfs.img", "user-x.squashfs.img"}));
  EXPECT_EQ(CommandFileNames(Entry(input, "InstallDesc")),
            (std::vector<std::string>{"romfs-x.cramfs.img", "user-x.squashfs.img"}));

  const std::string user = Entry(input, "user-x.squashfs.img");
  ASSERT_GT(user.size(), 64u);
  EXPECT_NE(user, ReadFile(userImg));
  WriteFile(work_ / "u.payload", user.substr(64));
  ASSERT_EQ(RunCommand({"fsck.cramfs", "--extract=" + work_ / "u.tree", work_ / "u.payload"}).status, 0);
  EXPECT_EQ(ReadFile(work_ / "u.tree/marker.txt"), "new user");
  EXPECT_FALSE(testsupport::FileExists(work_ / "u.tree/debug/trace.log")) << "custom ignore applies to every slot";

  // romfs: jffs2 (little-endian magic 0x1985) with the bounds of the old image.
  const std::string romfs = Entry(input, "romfs-x.cramfs.img");
  ASSERT_GT(romfs.size(), 66u);
  EXPECT_EQ(static_cast<std::uint8_t>(romfs[64]), 0x85);
  EXPECT_EQ(static_cast<std::uint8_t>(romfs[65]), 0x19);
  EXPECT_EQ(Word(romfs, 16), kRomfsStart);
  EXPECT_TRUE(RunLeftovers(work_.path()).empty());
  EXPECT_TRUE(RunLeftovers(prog_.path()).empty());
}

// The raw deflate data zlib gives for `path` at minizip's settings (default
// level, 15-bit window, memory level 8).
std::string ZlibDeflated(const std::string& path) {
  const testsupport::CommandResult r = RunCommand(
      {"/usr/bin/python3", "-c",
       "import sys,zlib\n"
       "c=zlib.compressobj(-1,zlib.DEFLATED,-15,8)\n"
       "d=open(sys.argv[1],'rb').read()\n"
       "sys.stdout.buffer.write(c.compress(d)+c.flush())\n",
       path});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

// A rework copies the deflate data of the images it left alone from its
// input (zip's own at level 9, which zlib would not give, so a copy shows) and
// deflates the ones it rebuilt.
TEST_F(MakePipeline, ReworkKeepsTheInputsDeflateDataOfTheImagesItLeftAlone) {
  const std::string userImg = PeerImage(MakeFolder("olduser", "old user"), "user-x.cramfs.img", kUserStart, kUserEnd);
  PeerImage(MakeFolder("oldromfs", "old romfs"), "romfs-x.cramfs.img", kRomfsStart, kRomfsEnd);
  WriteFile(work_ / "InstallDesc", DescWith({"romfs-x.cramfs.img", "user-x.cramfs.img"}));
  // zip at level 9: at the default level it can give zlib's very bytes.
  const std::string input = work_ / "in.bin";
  ASSERT_EQ(RunCommand({"zip", "-q", "-j", "-9", input, work_ / "InstallDesc", userImg, work_ / "romfs-x.cramfs.img"})
                .status,
            0);
  const auto before = testsupport::ZipRawEntries(input);
  ASSERT_TRUE(before.at("user-x.cramfs.img").raw != ZlibDeflated(userImg));

  package::MakeOptions o = Options(true, input);
  package::TickSlot(&o, package::kSlotRomfs);
  o.slots[package::kSlotRomfs].sourcePath = MakeFolder("newromfs", "new romfs");
  ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kReworked) << LastBox();
  EXPECT_EQ(RunCommand({"unzip", "-tq", input}).status, 0);
  const auto after = testsupport::ZipRawEntries(input);
  EXPECT_EQ(Entry(input, "user-x.cramfs.img"), ReadFile(userImg));
  EXPECT_TRUE(after.at("user-x.cramfs.img").raw == before.at("user-x.cramfs.img").raw) << "kept image not copied";

  const std::string romfs = Entry(input, "romfs-x.cramfs.img");
  ASSERT_GT(romfs.size(), 64u);
  EXPECT_EQ(Word(romfs, 16), kRomfsStart);
  WriteFile(work_ / "romfs.out", romfs);
  EXPECT_TRUE(after.at("romfs-x.cramfs.img").raw == ZlibDeflated(work_ / "romfs.out")) << "rebuilt image not deflated";
}

// The window's progress panel and the command line show these lines; they
// must come in the order the work happens, once per step. Unpacking and
// packing count their bytes right after their own line: each whole percent
// at most once, up to 100%.
TEST_F(MakePipeline, ReworkAndNewPackageTellTheirStepsInOrder) {
  PeerImage(MakeFolder("olduser", "old"), "user-x.squashfs.img", kUserStart, kUserEnd);
  WriteFile(work_ / "InstallDesc", DescWith({"user-x.squashfs.img"}));
  const std::string input = PeerPackage("in.bin", {"InstallDesc", "user-x.squashfs.img"});
  std::vector<std::string> steps;
  std::map<std::string, std::vector<std::uint64_t>> percents;  // by step line
  package::MakeEnvironment env = Env();
  env.progress = [&](const package::MakeProgress& p) {
    const std::string line = package::DescribeProgress(p);
    if (p.total == 0) {
      steps.push_back(line);
      return;
    }
    ASSERT_FALSE(steps.empty()) << line;
    EXPECT_EQ(line.rfind(steps.back() + " (", 0), 0u) << line << " after " << steps.back();
    percents[steps.back()].push_back(p.done * 100 / p.total);
  };
  env.verifyOutput = [](const std::string&, const products::ProductProfile*, std::string*) { return true; };
  auto expectCounted = [&](const std::vector<std::string>& counted) {
    for (const auto& [step, seen] : percents) {
      EXPECT_NE(std::find(counted.begin(), counted.end(), step), counted.end()) << step << " counts";
      ASSERT_FALSE(seen.empty());
      EXPECT_TRUE(std::adjacent_find(seen.begin(), seen.end(), std::greater_equal<>()) == seen.end())
          << step << ": a percent told twice or going back";
      EXPECT_EQ(seen.back(), 100u) << step;
    }
    for (const std::string& step : counted) EXPECT_EQ(percents.count(step), 1u) << step << " has no count";
  };

  package::MakeOptions o = Options(true, input);
  package::TickSlot(&o, package::kSlotUser);
  o.slots[package::kSlotUser].sourcePath = MakeFolder("newuser", "new user");
  ASSERT_EQ(package::RunMakeOperation(o, env), MakeOutcome::kReworked) << LastBox();
  EXPECT_EQ(steps, (std::vector<std::string>{"unpacking in.bin", "building user-x as cramfs",
                                             "wrapping user-x.squashfs.img", "packing in.bin",
                                             "checking in.bin"}));
  expectCounted({"unpacking in.bin", "packing in.bin"});

  // Two partitions built side by side: both builds start before the first
  // is wrapped; the wraps come in slot order. One build at a time tells
  // each partition's steps together.
  package::TickSlot(&o, package::kSlotRomfs);
  o.slots[package::kSlotRomfs].sourcePath = MakeFolder("newromfs", "new romfs");
  PeerImage(MakeFolder("oldromfs", "old"), "romfs-x.cramfs.img", kRomfsStart, kRomfsEnd);
  WriteFile(work_ / "InstallDesc", DescWith({"user-x.squashfs.img", "romfs-x.cramfs.img"}));
  const std::string two = PeerPackage("two.bin", {"InstallDesc", "user-x.squashfs.img", "romfs-x.cramfs.img"});
  o.originalFile = two;
  const struct {
    unsigned threads;
    std::vector<std::string> steps;
  } orders[] = {
      {2, {"unpacking two.bin", "building user-x as cramfs", "building romfs-x as jffs2",
           "wrapping user-x.squashfs.img", "wrapping romfs-x.cramfs.img", "packing two.bin", "checking two.bin"}},
      {1, {"unpacking two.bin", "building user-x as cramfs", "wrapping user-x.squashfs.img",
           "building romfs-x as jffs2", "wrapping romfs-x.cramfs.img", "packing two.bin", "checking two.bin"}},
  };
  for (const auto& order : orders) {
    SCOPED_TRACE(order.threads);
    steps.clear();
    env.buildThreads = order.threads;
    ASSERT_EQ(package::RunMakeOperation(o, env), MakeOutcome::kReworked) << LastBox();
    EXPECT_EQ(steps, order.steps);
  }
  env.buildThreads = 0;

  steps.clear();
  percents.clear();
  package::MakeOptions fresh = Options(false);
  package::TickSlot(&fresh, package::kSlotLogo);
  fresh.slots[package::kSlotLogo].sourcePath = MakeFolder("logo", "logo");
  ASSERT_EQ(package::RunMakeOperation(fresh, env), MakeOutcome::kPackageBuilt) << LastBox();
  EXPECT_EQ(steps, (std::vector<std::string>{"building logo-x as cramfs", "wrapping logo-x.cramfs.img",
                                             "packing TestBox_all.bin", "checking TestBox_all.bin"}));
  expectCounted({"packing TestBox_all.bin"});
}

TEST_F(MakePipeline, ReworkProbesTheInputAndRebuildsSquashfsAsSquashfs) {
  if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("unsquashfs"))
    GTEST_SKIP() << "squashfs tools missing";
  ASSERT_EQ(RunCommand({"mksquashfs", MakeFolder("olduser", "old"), work_ / "u.sqfs", "-noappend", "-quiet"}).status, 0);
  ASSERT_EQ(RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", "0x00250000",
                        "-e", "0x00650000", "-n", "Linux", "-d", work_ / "u.sqfs", work_ / "user-x.squashfs.img"})
                .status,
            0);
  PeerImage(MakeFolder("oldlogo", "l"), "logo-x.cramfs.img", kLogoStart, kLogoEnd);
  WriteFile(work_ / "InstallDesc", DescWith({"user-x.squashfs.img", "logo-x.cramfs.img"}));
  const std::string input = PeerPackage("in.bin", {"InstallDesc", "user-x.squashfs.img", "logo-x.cramfs.img"});

  package::MakeOptions o = Options(true, input);
  package::DetectInputFileSystems(&o);
  EXPECT_EQ(o.slots[package::kSlotUser].fs, products::kFsSquashfs);
  EXPECT_EQ(o.slots[package::kSlotLogo].fs, products::kFsCramfs);
  EXPECT_EQ(o.slots[package::kSlotYlk].fs, products::kFsJffs2);
  package::TickSlot(&o, package::kSlotUser);
  o.slots[package::kSlotUser].sourcePath = MakeFolder("newuser", "new");
  ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kReworked) << LastBox();
  const std::string user = Entry(input, "user-x.squashfs.img");
  ASSERT_GT(user.size(), 68u);
  EXPECT_EQ(user.substr(64, 4), "hsqs");
  WriteFile(work_ / "new.sqfs", user.substr(64));
  const testsupport::CommandResult list = RunCommand({"unsquashfs", "-l", work_ / "new.sqfs"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("marker.txt"), std::string::npos) << list.out;
}

TEST_F(MakePipeline, ReworkAddsMtdAndDropsTheBootLoader) {
  PeerImage(MakeFolder("web", "w"), "web-x.cramfs.img", kWebStart, kWebEnd);
  PeerImage(MakeFolder("user", "u"), "user-x.cramfs.img", kUserStart, kUserEnd);
  WriteFile(work_ / "u-boot.bin.img", std::string(100, 'B'));
  WriteFile(work_ / "InstallDesc", DescWith({"web-x.cramfs.img", "u-boot.bin.img", "user-x.cramfs.img"}));
  const std::string input =
      PeerPackage("in.bin", {"InstallDesc", "web-x.cramfs.img", "u-boot.bin.img", "user-x.cramfs.img"});
  package::MakeOptions o = Options(true, input);
  o.restoreDefaults = true;
  o.slots[package::kSlotMtd].value = package::kSlotMtd + 1;
  o.slots[package::kSlotMtd].imageName = "mtd-x";
  ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kReworked) << LastBox();
  EXPECT_EQ(CommandFileNames(Entry(input, "InstallDesc")),
            (std::vector<std::string>{"web-x.cramfs.img", "user-x.cramfs.img", "mtd-x.img"}));
  std::vector<std::string> entries = Entries(input);
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "u-boot.bin.img"), 0);
  const std::string mtd = Entry(input, "mtd-x.img");
  ASSERT_EQ(mtd.size(), 64u + (kMtdEnd - kMtdStart));
  EXPECT_EQ(Word(mtd, 16), kMtdStart);
  EXPECT_EQ(Word(mtd, 20), kMtdEnd);
  EXPECT_EQ(mtd.substr(64).find_first_not_of('\xff'), std::string::npos);
}

TEST_F(MakePipeline, ReworkAddsTheBootLogoAndRefusesABigOne) {
  WriteFile(work_ / "InstallDesc", DescWith({}));
  const std::string input = PeerPackage("in.bin", {"InstallDesc"});
  const std::string original = ReadFile(input);
  package::MakeOptions o = Options(true, input);
  o.ubootLogo = true;
  o.slots[package::kSlotUbootLogo].value = package::kSlotUbootLogo + 1;
  o.slots[package::kSlotUbootLogo].imageName = "ubootlogo-x";
  o.ubootLogoPath = work_ / "boot.jpg";
  WriteFile(o.ubootLogoPath, std::string(1040385, 'J'));
  EXPECT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kFailed);
  ASSERT_FALSE(sink_.boxes.empty());
  EXPECT_EQ(sink_.boxes.back().text, "UBOOTLOGO图片文件需低于56kB");
  EXPECT_EQ(sink_.boxes.back().caption, "alarm_make");
  EXPECT_EQ(ReadFile(input), original);

  WriteFile(o.ubootLogoPath, std::string(1000, 'J'));
  ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kReworked) << LastBox();
  EXPECT_EQ(CommandFileNames(Entry(input, "InstallDesc")), std::vector<std::string>{"ubootlogo-x.img"});
  const std::string logo = Entry(input, "ubootlogo-x.img");
  ASSERT_EQ(logo.size(), 64u + 16384);
  EXPECT_EQ(logo.substr(64 + 8192, 1000), std::string(1000, 'J'));
  EXPECT_EQ(static_cast<std::uint8_t>(logo[64]), 0xA5);
}

TEST_F(MakePipeline, NvrK7000SEndsUserAtTheCustomImageAndNeedsTheLogoImage) {
  std::string ini = ReadFile(prog_ / "Products/TestBox.ini");
  ini.replace(ini.find("hardware=HW-T"), 13, "hardware=NVR-K7000-S");
  WriteFile(prog_ / "Products/TestBox.ini", ini);
  // The package's custom image sits lower than the product file says.
  PeerImage(MakeFolder("custom", "c"), "custom-x.cramfs.img", kUserStart + 0x100000, kCustomEnd);
  WriteFile(work_ / "InstallDesc", DescWith({"custom-x.cramfs.img"}));
  const std::string input = PeerPackage("in.bin", {"InstallDesc", "custom-x.cramfs.img"});
  package::MakeOptions o = Options(true, input);
  package::TickSlot(&o, package::kSlotUser);
  o.slots[package::kSlotUser].sourcePath = MakeFolder("user", "u");
  ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kReworked) << LastBox();
  const std::string user = Entry(input, "user-x.cramfs.img");
  ASSERT_GT(user.size(), 64u);
  EXPECT_EQ(Word(user, 16), kUserStart);
  EXPECT_EQ(Word(user, 20), kUserStart + 0x100000);

  // The custom partition ends where the logo image starts; without one the
  // run stops with the missing image's path.
  package::TickSlot(&o, package::kSlotCustom);
  o.slots[package::kSlotCustom].sourcePath = MakeFolder("custom2", "c2");
  const std::string before = ReadFile(input);
  EXPECT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kFailed);
  ASSERT_FALSE(sink_.boxes.empty());
  EXPECT_EQ(sink_.boxes.back().caption, "loss file");
  EXPECT_NE(sink_.boxes.back().text.find("/.h264dvr-"), std::string::npos);
  EXPECT_NE(sink_.boxes.back().text.find("/package/logo-x.cramfs.img"), std::string::npos);
  EXPECT_EQ(ReadFile(input), before);
}

TEST_F(MakePipeline, OemDevTypeAloneRewritesDevIdAndRepacks) {
  const struct {
    std::string devId;
    std::string expected;
  } cases[] = {{"0123456789ABCDEFGHIJKLMN", "0123456789ABCDEFGHIJKLQZ"},
               {"0123456789ABCDEFGHIJKLM", "0123456789ABCDEFGHIJKLM"}};
  for (const auto& c : cases) {
    WriteFile(work_ / "InstallDesc", DescWith({}, ",\n\t\"DevID\" : \"" + c.devId + "\""));
    fs::remove(work_ / "in.bin");
    const std::string input = PeerPackage("in.bin", {"InstallDesc"});
    package::MakeOptions o = Options(true, input);
    o.oemDevType = true;
    o.oemDevTypeText = "QZ";
    ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kReworked) << LastBox();
    Json::Value root;
    ASSERT_TRUE(package::ParseJsonObject(Entry(input, "InstallDesc"), &root));
    EXPECT_EQ(root["DevID"].asString(), c.expected);
    EXPECT_EQ(root["Hardware"].asString(), "HW-T");
    fs::remove(input + ".bak");
  }
}

// A custom partition without ProductDefinition cannot be checked against
// the product: the system's reason and "alarm_readProduct", input unchanged.
TEST_F(MakePipeline, CustomPartitionWithoutProductDefinitionIsRefused) {
  PeerImage(MakeFolder("custom", "c"), "custom-x.cramfs.img", kCustomStart, kCustomEnd);
  WriteFile(work_ / "InstallDesc", DescWith({"custom-x.cramfs.img"}));
  const std::string input = PeerPackage("in.bin", {"InstallDesc", "custom-x.cramfs.img"});
  const std::string original = ReadFile(input);
  package::MakeOptions o = Options(true, input);
  package::TickSlot(&o, package::kSlotCustom);
  o.strings = true;
  o.slots[package::kSlotStrings].value = package::kSlotStrings + 1;
  o.slots[package::kSlotStrings].sourcePath = MakeFolder("strings", "s");
  EXPECT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kFailed);
  EXPECT_EQ(LastBox(), std::string(std::strerror(ENOENT)) + "\n" + uitext::GetString("alarm_readProduct"));
  EXPECT_EQ(ReadFile(input), original);
  EXPECT_FALSE(fs::exists(input + ".bak"));
}

// Each bad input ends with its message and leaves the input file as it was.
struct BadInputCase {
  const char* name;
  const char* expectedText;
  const char* expectedCaption;
  const char* cause = "";  // what the reason line says beside naming the input
};
void PrintTo(const BadInputCase& c, std::ostream* os) { *os << c.name; }


class BadInput : public PackageTest, public ::testing::WithParamInterface<BadInputCase> {
 protected:
  std::string MakeInput(const std::string& name) {
    if (name == "notZip") {
      WriteFile(work_ / "in.bin", "this is not an archive at all, just text\n");
      return work_ / "in.bin";
    }
    PeerImage(MakeFolder("user", "u"), "user-x.cramfs.img", kUserStart, kUserEnd);
    if (name == "shortImage") {
      WriteFile(work_ / "user-x.cramfs.img", std::string(63, 'h'));
      WriteFile(work_ / "InstallDesc", DescWith({"user-x.cramfs.img"}));
      return PeerPackage("in.bin", {"InstallDesc", "user-x.cramfs.img"});
    }
    if (name == "noInstallDesc") return PeerPackage("in.bin", {"user-x.cramfs.img"});
    if (name == "damagedEntry") {
      // A deflated entry whose data is damaged half-way.
      std::string filler;
      for (int i = 0; filler.size() < 400000; ++i) filler += "line " + std::to_string(i * 7919 % 100003) + "\n";
      WriteFile(work_ / "filler.img", filler);
      WriteFile(work_ / "InstallDesc", DescWith({}));
      const std::string pkg = PeerPackage("in.bin", {"InstallDesc", "filler.img"});
      std::string bytes = ReadFile(pkg);
      for (std::size_t i = bytes.size() / 3; i < bytes.size() / 3 + 64; ++i) bytes[i] = static_cast<char>(~bytes[i]);
      WriteFile(pkg, bytes);
      return pkg;
    }
    WriteFile(work_ / "InstallDesc", name == "descNotJson" ? "{ \"UpgradeCommand\" : [ " : DescWith({}));
    const std::string pkg = PeerPackage("in.bin", {"InstallDesc", "user-x.cramfs.img"});
    if (name == "truncatedZip") {
      const std::string whole = ReadFile(pkg);
      WriteFile(pkg, whole.substr(0, whole.size() / 2));
    }
    return pkg;
  }
};

TEST_P(BadInput, EndsWithItsMessageAndKeepsTheInput) {
  const BadInputCase& c = GetParam();
  const std::string input = MakeInput(c.name);
  const std::string original = ReadFile(input);
  package::MakeOptions o = Options(true, input);
  package::TickSlot(&o, package::kSlotUser);
  o.slots[package::kSlotUser].sourcePath = MakeFolder("newuser", "n");
  EXPECT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kFailed);
  ASSERT_FALSE(sink_.boxes.empty());
  EXPECT_EQ(sink_.boxes.back().text, uitext::FallbackText(c.expectedText));
  EXPECT_EQ(sink_.boxes.back().caption, c.expectedCaption);
  // The reason names the input and the cause.
  const std::string& reason = sink_.boxes.back().reason;
  EXPECT_NE(reason.find(input), std::string::npos) << reason;
  EXPECT_NE(reason.find(c.cause), std::string::npos) << reason;
  EXPECT_EQ(ReadFile(input), original);
  EXPECT_FALSE(fs::exists(input + ".bak"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadInput,
    ::testing::Values(BadInputCase{"notZip", "alarm_extract", "alarm_make"},
                      BadInputCase{"truncatedZip", "alarm_extract", "alarm_make"},
                      BadInputCase{"shortImage", "readfile", "alarm_make"},
                      BadInputCase{"damagedEntry", "alarm_extract", "alarm_make"},
                      BadInputCase{"noInstallDesc", "Firmsmith.The upgrade file holds no InstallDesc.", "alarm_make",
                                   "its InstallDesc is missing or unreadable (cannot open "},
                      BadInputCase{"descNotJson", "Firmsmith.The InstallDesc of the upgrade file is not valid JSON.",
                                   "alarm_make", "its InstallDesc is not a JSON object with a command list"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MakePipeline, EntryOverThePackingLimitLeavesTheInputByteIdentical) {
  // An entry over the 160 MiB packing limit could never be packed again:
  // the unpack refuses it before any partition is rebuilt. (This test once
  // let the 2 GiB unpack limit pass it and saw the pack fail; entries are now
  // bounded by what packing allows.)
  // The image is sound (header and data CRCs).
  WriteFile(work_ / "InstallDesc", DescWith({}));
  {
    std::ofstream big(work_ / "huge.data", std::ios::binary);
    big.seekp(167772161 - 64 - 1);
    big.put('\0');
  }
  ASSERT_EQ(RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", "0", "-e",
                        "0x0a000000", "-n", "Linux", "-d", work_ / "huge.data", work_ / "huge.img"})
                .status,
            0);
  fs::remove(work_ / "huge.data");
  const std::string input = PeerPackage("in.bin", {"InstallDesc", "huge.img"});
  fs::remove(work_ / "huge.img");
  const std::string original = ReadFile(input);
  package::MakeOptions o = Options(true, input);
  package::TickSlot(&o, package::kSlotUser);
  o.slots[package::kSlotUser].sourcePath = MakeFolder("user", "u");
  EXPECT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kFailed);
  EXPECT_EQ(LastBox(), "alarm_extract");
  EXPECT_EQ(ReadFile(input), original);
  for (const auto& e : fs::directory_iterator(work_.path()))
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
}

TEST_F(MakePipeline, FlashImageKeepsItsBackupFromBeforeTheRun) {
  std::string flash(16 * 1048576, '\0');
  for (std::size_t i = 0; i < flash.size(); i += 4096) flash[i] = static_cast<char>(i >> 12);
  WriteFile(work_ / "flash.bin", flash);
  package::MakeOptions o = Options(true, work_ / "flash.bin");
  o.kind = package::PackageKind::BurningPiecefile;
  package::TickSlot(&o, package::kSlotUser);
  package::TickSlot(&o, package::kSlotWeb);
  o.slots[package::kSlotUser].sourcePath = MakeFolder("user", "u");
  o.slots[package::kSlotWeb].sourcePath = MakeFolder("web", "w");
  ASSERT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kReworked) << LastBox();
  EXPECT_EQ(testsupport::FirstDifference(ReadFile(work_ / "flash.bin.bak"), flash), "");
  const std::string after = ReadFile(work_ / "flash.bin");
  ASSERT_EQ(after.size(), flash.size());
  WriteFile(work_ / "user.payload", after.substr(kUserStart, kUserEnd - kUserStart));
  const testsupport::CommandResult fsck = RunCommand({"fsck.cramfs", work_ / "user.payload"});
  EXPECT_EQ(fsck.status, 0) << fsck.err;
  EXPECT_EQ(testsupport::FirstDifference(after.substr(0, kUserStart), flash.substr(0, kUserStart)), "");
  EXPECT_EQ(after.compare(kWebStart, 4, "\x45\x3d\xcd\x28"), 0) << "cramfs magic at the web partition";

  // A partition that does not fit stops the run before the flash image is
  // touched, though an earlier partition of the run was already written.
  std::string noise(3 * 1048576, '\0');
  std::uint32_t x = 12345;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  WriteFile(work_ / "web/noise.bin", noise);
  EXPECT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kFailed);
  EXPECT_EQ(LastBox(), "cramfs_filesize");
  EXPECT_EQ(testsupport::FirstDifference(ReadFile(work_ / "flash.bin"), after), "");
  EXPECT_EQ(testsupport::FirstDifference(ReadFile(work_ / "flash.bin.bak"), flash), "");
  for (const auto& e : fs::directory_iterator(work_.path()))
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();

  WriteFile(work_ / "twelve.bin", std::string(12 * 1048576, '\0'));
  o.originalFile = work_ / "twelve.bin";
  EXPECT_EQ(package::RunMakeOperation(o, Env()), MakeOutcome::kFailed);
  EXPECT_EQ(LastBox(), "original_file_error");
  EXPECT_EQ(ReadFile(work_ / "twelve.bin"), std::string(12 * 1048576, '\0'));
}

}  // namespace
}  // namespace packagetest
