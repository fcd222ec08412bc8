// The custom partition customised in place through firmsmith-cli make, on
// packages made with the peer tools and read back with them (unzip,
// fsck.cramfs --extract, unsquashfs); the user partition's gain line; the
// refusals that must leave the input package as it was.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <filesystem>

#include "firmsmith/package/layout/json_file.h"
#include "cramfs_test_util.h"
#include "package_fixture.h"

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

Json::Value ReadJson(const std::string& path) {
  Json::Value root;
  EXPECT_TRUE(package::ParseJsonObject(ReadFile(path), &root)) << path << ": " << ReadFile(path);
  return root;
}

enum class Fs { kCramfs, kSquashfs };

class CustomiseCli : public PackageTest, public ::testing::WithParamInterface<Fs> {
 protected:
  void SetUp() override {
    PackageTest::SetUp();
    if (IsSkipped()) return;
    if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("unsquashfs"))
      GTEST_SKIP() << "squashfs tools missing";
    InstallCli();
  }

  bool Squashfs() const { return GetParam() == Fs::kSquashfs; }
  std::string ImageName() const { return Squashfs() ? "custom-x.squashfs.img" : "custom-x.cramfs.img"; }

  // A custom partition as devices ship it, packed into "in.bin".
  std::string CustomPackage(const std::string& productDefinition) {
    const std::string tree = work_ / "custom-src";
    fs::remove_all(tree);
    if (!productDefinition.empty()) WriteFile(tree + "/ProductDefinition", productDefinition);
    WriteFile(tree + "/CustomConfig/NetWork.custom", "{\"Keep\": 1}");
    WriteFile(tree + "/CustomConfig/Ability.custom", "{\"SerialNo\": {\"ProductType\": \"old\"}}");
    WriteFile(tree + "/data/Strings/Spanish", "old strings");
    WriteFile(tree + "/data/Fonts/base.ttf", "base font");
    WriteFile(tree + "/debug/trace.log", "ignored by the product");
    const std::string payload = work_ / "custom.payload";
    fs::remove(payload);
    const testsupport::CommandResult made =
        Squashfs() ? RunCommand({"mksquashfs", tree, payload, "-noappend", "-all-root", "-quiet"})
                   : RunCommand({"mkfs.cramfs", tree, payload});
    EXPECT_EQ(made.status, 0) << made.err;
    const std::string image = work_ / ImageName();
    fs::remove(image);
    EXPECT_EQ(RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", "0x00850000",
                          "-e", "0x00950000", "-n", "Linux", "-d", payload, image})
                  .status,
              0);
    WriteFile(work_ / "InstallDesc",
              "{\n\t\"UpgradeCommand\" : [\n\t{\n\t\t\"Command\" : \"Burn\",\n\t\t\"FileName\" : \"" + ImageName() +
                  "\"\n\t}\n\t],\n\t\"Hardware\" : \"HW-T\"\n}\n");
    fs::remove(work_ / "in.bin");
    return PeerPackage("in.bin", {"InstallDesc", ImageName()});
  }

  testsupport::CommandResult Make(const std::string& custom) {
    WriteFile(work_ / "job.ini", "[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\ncustom=\n[Custom]\n" + custom);
    return RunCommand({prog_ / "firmsmith-cli", "make", work_ / "job.ini", "--no-pauses"});
  }

  // The custom partition of the package, unpacked by the peer tool.
  std::string UnpackWithPeer(const std::string& package) {
    const std::string image = Entry(package, ImageName());
    EXPECT_GT(image.size(), 64u);
    if (image.size() <= 64) return "";
    EXPECT_EQ(Word(image, 16), kCustomStart);  // load address
    EXPECT_EQ(Word(image, 20), kCustomEnd);    // entry point
    const std::string payload = work_ / "out.payload";
    WriteFile(payload, image.substr(64));
    const std::string out = work_ / "out";
    fs::remove_all(out);
    const testsupport::CommandResult r = Squashfs() ? RunCommand({"unsquashfs", "-d", out, payload})
                                                    : RunCommand({"fsck.cramfs", "--extract=" + out, payload});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return out;
  }
};

TEST_P(CustomiseCli, EveryOptionInOneRun) {
  const std::string input = CustomPackage("{\"Hardware\": \"HW-T\", \"UpdataType\": 3}");
  for (const char* lang : {"English", "French", "Korean", "German"})
    WriteFile(work_ / (std::string("FullLanguage/Strings/") + lang), std::string("strings of ") + lang);
  WriteFile(work_ / "FullLanguage/Fonts_Korean/korean.ttf", "hangul");
  WriteFile(work_ / "pics/boot.bmp", "picture");
  WriteFile(work_ / "configs/General.custom", "{\"General\": true}");

  const testsupport::CommandResult r = Make(
      "Strings=FullLanguage/Strings\nLanguages=French,Korean\nKoreanFonts=1\nPictures=pics\nConfigs=configs\n"
      "AppDownloadLink=1\nIOS=id77\nAndroid=https://a.test/app.apk\nCloudServer=1\nCloudAddress=cloud.test\n"
      "CloudPort=9001\nCloseOnlineUpgrade=1\nDeviceModel=NVR-X9\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RunCommand({"unzip", "-t", input}).status, 0);
  EXPECT_TRUE(fs::exists(input + ".bak"));

  const std::string out = UnpackWithPeer(input);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(Names(out + "/data/Strings"), (std::vector<std::string>{"English", "French", "Korean"}));
  EXPECT_EQ(ReadFile(out + "/data/Strings/French"), "strings of French");
  EXPECT_EQ(Names(out + "/data/Fonts"), (std::vector<std::string>{"base.ttf", "korean.ttf"}));
  EXPECT_EQ(ReadFile(out + "/data/Pics/boot.bmp"), "picture");
  EXPECT_FALSE(fs::exists(out + "/debug/trace.log"));  // the product's ignore path

  EXPECT_TRUE(ReadJson(out + "/CustomConfig/General.custom")["General"].asBool());
  const Json::Value links = ReadJson(out + "/CustomConfig/AppDowloadLink.custom");
  EXPECT_TRUE(links["IOSEnable"].asBool());
  EXPECT_TRUE(links["AndroidEnable"].asBool());
  EXPECT_EQ(links["IOSLink"].asString(), "https://apps.apple.com/app/id77");
  EXPECT_EQ(links["AndroidLink"].asString(), "https://a.test/app.apk");
  const Json::Value network = ReadJson(out + "/CustomConfig/NetWork.custom");
  EXPECT_EQ(network["Keep"].asInt(), 1);
  EXPECT_EQ(network["Nat"]["Addr"].asString(), "cloud.test");
  EXPECT_EQ(network["Nat"]["Port"].asInt(), 9001);
  EXPECT_FALSE(network["OnlineUpgrade"]["Enable"].asBool());
  EXPECT_TRUE(network["OnlineUpgrade"].isMember("Enable"));
  EXPECT_EQ(ReadJson(out + "/CustomConfig/Ability.custom")["SerialNo"]["ProductType"].asString(), "NVR-X9");

  const Json::Value definition = ReadJson(out + "/ProductDefinition");
  EXPECT_EQ(definition["Hardware"].asString(), "HW-T");
  EXPECT_EQ(definition["UpdataType"].asInt(), 0xF3);
  EXPECT_FALSE(definition["UpdataTime"].asString().empty());
}

TEST_P(CustomiseCli, StampOfStringsAndPictures) {
  const struct {
    const char* definition;
    int expected;
  } cases[] = {{"{\"Hardware\": \"HW-T\", \"UpdataType\": 3}", 0x63}, {"{\"Hardware\": \"HW-T\"}", 0x60}};
  WriteFile(work_ / "strings/English", "english");
  WriteFile(work_ / "pics/boot.bmp", "picture");
  for (const auto& c : cases) {
    const std::string input = CustomPackage(c.definition);
    fs::remove(input + ".bak");
    const testsupport::CommandResult r = Make("Strings=strings\nPictures=pics\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = UnpackWithPeer(input);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(ReadJson(out + "/ProductDefinition")["UpdataType"].asInt(), c.expected) << c.definition;
    // A plain strings folder is added to what the partition had.
    EXPECT_EQ(Names(out + "/data/Strings"), (std::vector<std::string>{"English", "Spanish"}));
  }
}

// Each refusal ends with its message, leaves the input as it was and no work
// folder behind.
TEST_P(CustomiseCli, RefusalsLeaveTheInputUnchanged) {
  const struct {
    const char* definition;
    const char* job;
    const char* message;  // part of the English text
  } cases[] = {
      {"{\"Hardware\": \"HW-OTHER\"}", "Strings=strings\n", "made for other hardware than the selected product!"},
      {"Hardware=HW-T", "Strings=strings\n", "ProductDefinition of the custom partition is not valid JSON"},
      {"", "Strings=strings\n", "No such file or directory\nCannot read the product definition"},
      {"{\"Hardware\": \"HW-T\"}", "AppDownloadLink=1\nAndroid=\n", "Please enter the link of every ticked app."},
  };
  WriteFile(work_ / "strings/English", "english");
  for (const auto& c : cases) {
    const std::string input = CustomPackage(c.definition);
    const std::string before = ReadFile(input);
    const testsupport::CommandResult r = Make(c.job);
    EXPECT_EQ(r.status, 1) << c.job;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(input), before) << c.job;
    EXPECT_FALSE(fs::exists(input + ".bak"));
    EXPECT_TRUE(RunLeftovers(work_.path()).empty()) << c.job;
  }
}

TEST_P(CustomiseCli, ImageThatIsNoFileSystem) {
  const std::string input = CustomPackage("{\"Hardware\": \"HW-T\"}");
  // Replace the custom image by a header over garbage.
  const std::string garbage = work_ / "garbage";
  WriteFile(garbage, std::string(4096, 'G'));
  ASSERT_EQ(RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", "0x00850000",
                        "-e", "0x00950000", "-n", "Linux", "-d", garbage, work_ / ImageName()})
                .status,
            0);
  fs::remove(input);
  PeerPackage("in.bin", {"InstallDesc", ImageName()});
  const std::string before = ReadFile(input);
  WriteFile(work_ / "strings/English", "english");
  const testsupport::CommandResult r = Make("Strings=strings\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(r.err.empty());
  EXPECT_EQ(ReadFile(input), before);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, CustomiseCli, ::testing::Values(Fs::kCramfs, Fs::kSquashfs),
                         [](const auto& info) { return info.param == Fs::kCramfs ? "Cramfs" : "Squashfs"; });

// A custom partition whose eight files of 2 MiB share one stretch of cramfs
// blocks, with the program folder's budget at 1 MiB: the rework stops at the
// unpack with the budget named, and the input stays as it was.
class CustomiseBomb : public CustomiseCli {};

TEST_P(CustomiseBomb, StopsAtTheExtractionBudgetAndKeepsTheInput) {
  WriteFile(prog_ / "Config.ini", "[themes]\nSolution=English\n[Limits]\nExtractBudgetMiB=1\n");
  const std::string tree = work_ / "bomb-src";
  WriteFile(tree + "/ProductDefinition", "{\"Hardware\": \"HW-T\"}");
  for (int i = 0; i < 8; ++i) {
    WriteFile(tree + "/data/f" + std::to_string(i), "");
    fs::resize_file(tree + "/data/f" + std::to_string(i), 2u << 20);
  }
  // Our writer stores identical files' blocks once.
  const testsupport::CommandResult built =
      RunCommand({prog_ / "firmsmith-cli", "cramfs-build", tree, work_ / "bomb.payload"});
  ASSERT_EQ(built.status, 0) << built.err;
  fs::remove_all(tree);
  ASSERT_EQ(RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", "0x00850000", "-e",
                        "0x00950000", "-n", "Linux", "-d", work_ / "bomb.payload", work_ / ImageName()})
                .status,
            0);
  WriteFile(work_ / "InstallDesc", "{\"UpgradeCommand\":[{\"Command\":\"Burn\",\"FileName\":\"" + ImageName() +
                                       "\"}],\"Hardware\":\"HW-T\"}\n");
  const std::string input = PeerPackage("in.bin", {"InstallDesc", ImageName()});
  const std::string original = ReadFile(input);

  const testsupport::CommandResult r = Make("DeviceModel=NVR-X9\n");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("extraction budget of 1 MiB ([Limits] ExtractBudgetMiB in Config.ini)"), std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFile(input), original);
  EXPECT_FALSE(fs::exists(input + ".bak"));
  // Nothing of the cut extraction is kept, wherever the run worked.
  for (const std::string& root : {prog_.path(), work_.path()})
    for (const auto& e : fs::recursive_directory_iterator(root))
      EXPECT_EQ(e.path().string().find("/data/f"), std::string::npos) << e.path();
}

INSTANTIATE_TEST_SUITE_P(OurCramfsWriter, CustomiseBomb, ::testing::Values(Fs::kCramfs));

// The user partition of a package gets the gain line when no user folder is
// given; the rebuilt image holds it at the end of etc/loadmod.
TEST_F(PackageTest, GainLineInTheUserPartitionOfAPackage) {
  WriteFile(work_ / "user/etc/loadmod", "insmod codec.ko");
  ASSERT_NO_FATAL_FAILURE(ReworkUserWithGainLine(work_ / "user"));
  EXPECT_EQ(ReadFile(work_ / "user-out/etc/loadmod"),
            std::string("insmod codec.ko\nhimm 0x20050068 0x50320c14\0", 43));
}

// A user partition shaped like a device root (busybox applet links, library
// links, a link to a host file, a dangling link, a FIFO and, as root, device
// nodes) keeps every link and node through the gain-line rework, whether
// the nodes could be made in the work folder or not; only etc/loadmod
// changes, and no node or FIFO is ever made in a work folder.
TEST_F(PackageTest, GainLineReworkKeepsTheLinksAndNodesOfADeviceRoot) {
  const cramfstest::DeviceRoot made = cramfstest::MakeDeviceRoot(work_ / "user", ::geteuid() == 0);
  const std::string loadmod = ReadFile(work_ / "user/etc/loadmod");
  ASSERT_NO_FATAL_FAILURE(ReworkUserWithGainLine(work_ / "user"));

  cramfstest::TreeListing expected = cramfstest::ListTree(work_ / "user");
  expected["etc/loadmod"] =
      cramfstest::ListTree(work_ / "user-out").at("etc/loadmod");  // checked below
  EXPECT_EQ(cramfstest::ListTree(work_ / "user-out"), expected);
  EXPECT_EQ(ReadFile(work_ / "user-out/etc/loadmod"), loadmod + std::string("\nhimm 0x20050068 0x50320c14\0", 28));
  EXPECT_EQ(fs::read_symlink(work_ / "user-out/lib/libcrypto.so").string(), made.hostFile);

  // The program folder holds the run's temporary folders: nothing in them
  // is a node, FIFO or socket, or open to every user.
  for (auto it = fs::recursive_directory_iterator(prog_.path()); it != fs::end(it); ++it) {
    const fs::file_status st = it->symlink_status();
    if (fs::is_symlink(st)) continue;
    EXPECT_TRUE(fs::is_regular_file(st) || fs::is_directory(st)) << it->path();
    EXPECT_EQ(st.permissions() & (fs::perms::others_write | fs::perms::set_uid | fs::perms::set_gid),
              fs::perms::none)
        << it->path();
  }
}

// Building from folders, the operator's etc/loadmod is edited in place; a
// user folder without one is built as it stands.
TEST_F(PackageTest, GainLineInTheOperatorsUserFolder) {
  WriteFile(work_ / "user/etc/loadmod", "insmod codec.ko");
  WriteFile(work_ / "plain/etc/rc", "rc");
  for (const char* folder : {"user", "plain"}) {
    package::MakeOptions o = Options(false);
    package::TickSlot(&o, package::kSlotUser);
    o.slots[package::kSlotUser].sourcePath = work_ / folder;
    o.lineInGain = true;
    ASSERT_EQ(package::RunMakeOperation(o, Env()), package::MakeOutcome::kPackageBuilt) << LastBox();
    const std::string image = Entry(Prog() + "TestBox_all.bin", "user-x.cramfs.img");
    ASSERT_GT(image.size(), 64u);
    WriteFile(work_ / "user.payload", image.substr(64));
    fs::remove_all(work_ / "user-out");
    ASSERT_EQ(RunCommand({"fsck.cramfs", "--extract=" + work_ / "user-out", work_ / "user.payload"}).status, 0);
    EXPECT_EQ(ReadFile(work_ / "user-out/etc/loadmod"), ReadFile(work_ / (std::string(folder) + "/etc/loadmod")));
  }
  EXPECT_EQ(ReadFile(work_ / "user/etc/loadmod"), std::string("insmod codec.ko\nhimm 0x20050068 0x50322c2c\0", 43));
  EXPECT_FALSE(fs::exists(work_ / "plain/etc/loadmod"));
}

// In a flash image the custom partition is read from its bounds, customised
// and patched back in place.
TEST_F(PackageTest, CustomPartitionOfAFlashImage) {
  WriteFile(work_ / "custom-src/ProductDefinition", "{\"Hardware\": \"HW-T\", \"UpdataType\": 1}");
  WriteFile(work_ / "custom-src/CustomConfig/Ability.custom", "{}");
  ASSERT_EQ(RunCommand({"mkfs.cramfs", work_ / "custom-src", work_ / "custom.payload"}).status, 0);
  const std::string payload = ReadFile(work_ / "custom.payload");
  std::string flash(16 * 1048576, '\xff');
  flash.replace(kCustomStart, payload.size(), payload);
  WriteFile(work_ / "flash.bin", flash);
  package::MakeOptions o = Options(true, work_ / "flash.bin");
  o.kind = package::PackageKind::BurningPiecefile;
  package::TickSlot(&o, package::kSlotCustom);
  o.deviceModel = true;
  o.deviceModelText = "NVR-F1";
  ASSERT_EQ(package::RunMakeOperation(o, Env()), package::MakeOutcome::kReworked) << LastBox();
  const std::string after = ReadFile(work_ / "flash.bin");
  ASSERT_EQ(after.size(), flash.size());
  EXPECT_EQ(testsupport::FirstDifference(after.substr(0, kCustomStart), flash.substr(0, kCustomStart)), "");
  EXPECT_EQ(testsupport::FirstDifference(after.substr(kCustomEnd), flash.substr(kCustomEnd)), "");
  WriteFile(work_ / "out.payload", after.substr(kCustomStart, kCustomEnd - kCustomStart));
  ASSERT_EQ(RunCommand({"fsck.cramfs", "--extract=" + work_ / "out", work_ / "out.payload"}).status, 0);
  EXPECT_EQ(ReadJson(work_ / "out/CustomConfig/Ability.custom")["SerialNo"]["ProductType"].asString(), "NVR-F1");
  EXPECT_EQ(ReadJson(work_ / "out/ProductDefinition")["UpdataType"].asInt(), 0x11);
}

}  // namespace
}  // namespace packagetest
