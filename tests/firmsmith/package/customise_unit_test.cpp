// The customisation steps one by one on small trees: fonts folder rule, gain
// line, ProductDefinition check and stamp, and the configuration files.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/uitext/language_table.h"
#include "firmsmith/package/customise/custom_config.h"
#include "common/devlink/devlink.h"
#include "firmsmith/package/customise/custom_stamp.h"
#include "firmsmith/package/customise/custom_strings.h"
#include "firmsmith/package/customise/device_config.h"
#include "firmsmith/package/layout/json_file.h"
#include "firmsmith/package/customise/user_gain.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

Json::Value ReadJson(const std::string& path) {
  Json::Value root;
  EXPECT_TRUE(package::ParseJsonObject(ReadFile(path), &root)) << path;
  return root;
}

TEST(KoreanFontsFolder, FollowsTheStringsPath) {
  const struct {
    const char* strings;
    const char* fonts;
  } cases[] = {
      {"/pack/FullLanguage/Strings", "/pack/FullLanguage//Fonts_Korean"},
      {"/pack/FullLanguage", "/pack/FullLanguage/Fonts_Korean"},
      {"/pack/Other/Strings", "/pack/Other/Strings/Fonts_Korean"},
  };
  for (const auto& c : cases) EXPECT_EQ(package::KoreanFontsFolder(c.strings), c.fonts) << c.strings;
}

TEST(GainLine, BytesOfTheRegisterWrite) {
  const std::string bytes = package::GainLineBytes("0x20050068", 0x50320000, 3, 5);
  EXPECT_EQ(bytes, std::string("\nhimm 0x20050068 0x50320c14\0", 28));
}

TEST(GainLine, CodesFromDigits) {
  const struct {
    const char* digits;
    int code;
  } cases[] = {{"01011", 11}, {"0", 0}, {"11111", 31}, {"01a11", 0}, {"", 0}, {"11111111111111111", 0}};
  for (const auto& c : cases) EXPECT_EQ(package::GainCodeFromDigits(c.digits), c.code) << c.digits;
}

TEST(GainLine, AppendedToLoadmodWithConfigIniSettings) {
  testsupport::TempDir dir;
  WriteFile(dir / "prog/Config.ini",
            "[register]\nregister_basevalue_AUDIO_CODEC_CTRL0=0x50320000\n3db=00011\n6db=101\n");
  WriteFile(dir / "user/etc/loadmod", "insmod a.ko");
  package::MakeOptions o;
  o.lineInLeft = "3db";
  o.lineInRight = "6db";
  ASSERT_TRUE(package::AppendGainLineTo(dir / "user", o, dir / "prog/"));
  EXPECT_EQ(ReadFile(dir / "user/etc/loadmod"),
            std::string("insmod a.ko\nhimm 0x20050068 0x50320c14\0", 39));
  // Without Config.ini both gains are 0db (code 11).
  WriteFile(dir / "user/etc/loadmod", "x");
  ASSERT_TRUE(package::AppendGainLineTo(dir / "user", o, dir / "none/"));
  EXPECT_EQ(ReadFile(dir / "user/etc/loadmod"), std::string("x\nhimm 0x20050068 0x50322c2c\0", 29));
  // No loadmod: nothing to do. A link in its place is not followed.
  EXPECT_TRUE(package::AppendGainLineTo(dir / "empty", o, dir / "prog/"));
  WriteFile(dir / "outside", "keep");
  fs::create_directories(dir / "linked/etc");
  fs::create_symlink(dir / "outside", dir / "linked/etc/loadmod");
  std::string why;
  EXPECT_FALSE(package::AppendGainLineTo(dir / "linked", o, dir / "prog/", &why));
  EXPECT_EQ(why, dir / "linked/etc/loadmod: a link or no regular file of the tree, never written through");
  EXPECT_EQ(ReadFile(dir / "outside"), "keep");
}

class Customise : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.programDirectory = dir_ / "prog/";
    env_.sink = &sink_;
    env_.pauseScale = 0;
    options_.selectedProduct.hardware = "HW-T";
    request_.options = &options_;
    request_.environment = &env_;
    request_.workFolder = dir_ / "work";
    fs::create_directories(request_.workFolder);
    fs::create_directories(part_ + "/CustomConfig");
  }
  std::string LastBox() const { return sink_.boxes.empty() ? "" : sink_.boxes.back().text; }
  bool Apply(int* bits) { return package::ApplyCustomConfigs(request_, dir_ / "tmp", part_, bits); }

  testsupport::TempDir dir_;
  testsupport::RecordingMessageSink sink_;
  package::MakeEnvironment env_;
  package::MakeOptions options_;
  package::CustomisationRequest request_;
  std::string part_ = dir_ / "part";
};

TEST_F(Customise, ProductDefinitionCheck) {
  const struct {
    const char* content;  // nullptr: no file
    bool ok;
    std::string box;
    std::string reason;
  } cases[] = {
      {"{\"Hardware\": \"HW-T\"}", true, "", ""},
      {"{\"Hardware\": \"HW-X\"}", false, uitext::GetString(package::kOtherHardwareKey),
       "ProductDefinition of the custom partition: Hardware \"HW-X\", the product's is \"HW-T\""},
      {"{\"Hardware\": 7}", false, uitext::GetString(package::kOtherHardwareKey),
       "ProductDefinition of the custom partition: Hardware is no text, the product's is \"HW-T\""},
      {"Hardware=HW-T", false, uitext::GetString(package::kProductDefinitionNotJsonKey),
       "ProductDefinition of the custom partition: not a JSON object"},
      {nullptr, false, std::string(std::strerror(ENOENT)) + "\n" + uitext::GetString("alarm_readProduct"), ""},
  };
  for (const auto& c : cases) {
    fs::remove(part_ + "/ProductDefinition");
    if (c.content) WriteFile(part_ + "/ProductDefinition", c.content);
    sink_.boxes.clear();
    EXPECT_EQ(package::CheckProductDefinition(part_, "HW-T", env_), c.ok) << c.content;
    EXPECT_EQ(LastBox(), c.box);
    EXPECT_EQ(sink_.boxes.empty() ? "" : sink_.boxes.back().reason, c.reason);
  }
}

TEST_F(Customise, StampOrsTheBitsAndDatesTheFile) {
  const struct {
    const char* content;
    int bits;
    int expected;
  } cases[] = {
      {"{\"Hardware\": \"HW-T\", \"UpdataType\": 3}", 0x60, 0x63},
      {"{\"Hardware\": \"HW-T\"}", 0x60, 0x60},
      {"{\"Hardware\": \"HW-T\", \"UpdataType\": null}", 0x90, 0x90},
  };
  for (const auto& c : cases) {
    WriteFile(part_ + "/ProductDefinition", c.content);
    ASSERT_TRUE(package::StampProductDefinition(part_, c.bits));
    const Json::Value root = ReadJson(part_ + "/ProductDefinition");
    EXPECT_EQ(root["UpdataType"].asInt(), c.expected) << c.content;
    EXPECT_EQ(root["Hardware"].asString(), "HW-T");
    // "%Y-%m-%d %X": 2026-12-10 01:23:45
    EXPECT_EQ(root["UpdataTime"].asString().size(), 19u) << root["UpdataTime"].asString();
    EXPECT_EQ(root["UpdataTime"].asString()[10], ' ');
  }
  WriteFile(part_ + "/ProductDefinition", "not json");
  EXPECT_FALSE(package::StampProductDefinition(part_, 0x20));
}

TEST_F(Customise, CloudServerAndOnlineUpgradeEditNetWorkCustom) {
  const struct {
    const char* address;
    const char* port;
    bool closeUpgrade;
    const char* expected;  // NetWork.custom members, compact
  } cases[] = {
      {"cloud.test", "9000", false, R"({"Keep":1,"Nat":{"Addr":"cloud.test","Port":9000}})"},
      {"cloud.test", "", false, R"({"Keep":1,"Nat":{"Addr":"cloud.test"}})"},
      {"cloud.test", "9000", true,
       R"({"Keep":1,"Nat":{"Addr":"cloud.test","Port":9000},"OnlineUpgrade":{"Enable":false}})"},
  };
  for (const auto& c : cases) {
    WriteFile(part_ + "/CustomConfig/NetWork.custom", "{\"Keep\": 1, \"Nat\": {\"Old\": true}}");
    options_.cloudServer = true;
    options_.cloudAddress = c.address;
    options_.cloudPort = c.port;
    options_.closeOnlineUpgrade = c.closeUpgrade;
    int bits = 0;
    ASSERT_TRUE(Apply(&bits)) << LastBox();
    EXPECT_EQ(bits, package::kUpdateConfigs);
    Json::Value expected;
    ASSERT_TRUE(package::ParseJsonObject(c.expected, &expected));
    EXPECT_EQ(ReadJson(part_ + "/CustomConfig/NetWork.custom"), expected) << c.expected;
  }
}

TEST_F(Customise, DeviceModelWritesSerialNo) {
  for (const char* model : {"NVR-99", ""}) {
    WriteFile(part_ + "/CustomConfig/Ability.custom", "{\"SerialNo\": {\"ProductType\": \"old\"}, \"K\": 2}");
    options_.deviceModel = true;
    options_.deviceModelText = model;
    int bits = 0;
    ASSERT_TRUE(Apply(&bits));
    const Json::Value root = ReadJson(part_ + "/CustomConfig/Ability.custom");
    EXPECT_EQ(root["K"].asInt(), 2);
    if (*model) {
      EXPECT_EQ(root["SerialNo"]["ProductType"].asString(), model);
      EXPECT_EQ(root["SerialNo"].size(), 1u);
    } else {
      EXPECT_TRUE(root.isMember("SerialNo"));
      EXPECT_TRUE(root["SerialNo"].isNull());
    }
  }
}

TEST_F(Customise, AppLinksWithTheStorePrefix) {
  WriteFile(env_.programDirectory + "Config.ini", "[custom]\nAppStoreLinkPrefix=https://store.test/app/\n");
  options_.appDownloadLink = options_.ios = options_.android = options_.other = true;
  options_.iosLink = "id42";
  options_.androidLink = "https://a.test/x.apk";
  options_.otherName = "Web";
  options_.otherContent = "";
  int bits = 0;
  ASSERT_TRUE(Apply(&bits));
  EXPECT_EQ(bits, package::kUpdateAppLinks);
  Json::Value expected;
  ASSERT_TRUE(package::ParseJsonObject(
      R"({"IOSEnable":true,"AndroidEnable":true,"SNEnable":false,"OtherEnable":true,
          "IOSLink":"https://store.test/app/id42","AndroidLink":"https://a.test/x.apk","OtherName":"Web"})",
      &expected));
  EXPECT_EQ(ReadJson(part_ + "/CustomConfig/AppDowloadLink.custom"), expected);

  const struct {
    bool ios, android;
    const char* iosLink;
    const char* androidLink;
    bool ok;
  } checks[] = {{true, true, "a", "b", true}, {true, false, "", "", false},
                {false, true, "x", "", false}, {false, false, "", "", true}};
  for (const auto& c : checks) {
    options_.ios = c.ios;
    options_.android = c.android;
    options_.iosLink = c.iosLink;
    options_.androidLink = c.androidLink;
    sink_.boxes.clear();
    EXPECT_EQ(package::CheckAppLinks(options_, env_), c.ok);
    EXPECT_EQ(LastBox(), c.ok ? "" : uitext::GetString("InputLink"));
  }
}

TEST_F(Customise, BadOrMissingFiles) {
  // NetWork.custom that is no JSON: the run ends and the work folder goes.
  WriteFile(part_ + "/CustomConfig/NetWork.custom", "Nat=1");
  options_.cloudServer = true;
  int bits = 0;
  EXPECT_FALSE(Apply(&bits));
  EXPECT_EQ(LastBox(), uitext::GetString("alarm_CloudServer"));
  EXPECT_FALSE(fs::exists(request_.workFolder));
  EXPECT_EQ(ReadFile(part_ + "/CustomConfig/NetWork.custom"), "Nat=1");

  fs::create_directories(request_.workFolder);
  options_.cloudServer = false;
  options_.closeOnlineUpgrade = true;
  EXPECT_FALSE(Apply(&bits));
  EXPECT_EQ(LastBox(), uitext::GetString("alarm_LineUpgrade"));

  options_.closeOnlineUpgrade = false;
  options_.deviceModel = true;  // Ability.custom must exist
  EXPECT_FALSE(Apply(&bits));
  EXPECT_EQ(LastBox(), uitext::GetString("alarm_readAbility"));

  // Without CustomConfig each step says so and the run goes on; nothing was
  // written, so nothing is stamped.
  fs::remove_all(part_ + "/CustomConfig");
  options_.appDownloadLink = options_.cloudServer = true;
  sink_.boxes.clear();
  EXPECT_TRUE(Apply(&bits));
  EXPECT_EQ(bits, 0);
  ASSERT_EQ(sink_.boxes.size(), 3u);
  for (const auto& box : sink_.boxes) EXPECT_EQ(box.text, uitext::GetString(package::kNoCustomConfigKey));
  EXPECT_FALSE(fs::exists(part_ + "/CustomConfig"));
}

TEST_F(Customise, ConfigsFromAFolderNeverLeaveThePartition) {
  WriteFile(dir_ / "configs/General.custom", "{}");
  WriteFile(dir_ / "configs/sub/Deep.custom", "{}");
  // A hostile package's CustomConfig is a link out of the partition.
  fs::remove_all(part_ + "/CustomConfig");
  fs::create_directories(dir_ / "elsewhere");
  fs::create_directory_symlink(dir_ / "elsewhere", part_ + "/CustomConfig");
  options_.configs = true;
  options_.slots[package::kSlotUbootLogo].sourcePath = dir_ / "configs";
  int bits = 0;
  ASSERT_TRUE(Apply(&bits));
  EXPECT_EQ(bits, package::kUpdateConfigs);
  EXPECT_FALSE(fs::is_symlink(part_ + "/CustomConfig"));
  EXPECT_TRUE(fs::exists(part_ + "/CustomConfig/General.custom"));
  EXPECT_TRUE(fs::exists(part_ + "/CustomConfig/sub/Deep.custom"));
  EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
}

TEST(StringsAndPictures, FullLanguageReplacesTheStringsAndAddsKoreanFonts) {
  testsupport::TempDir dir;
  WriteFile(dir / "prog/TempStrings/English", "e");
  WriteFile(dir / "prog/TempStrings/Korean", "k");
  WriteFile(dir / "pack/FullLanguage/Strings/English", "E");
  WriteFile(dir / "pack/FullLanguage/Fonts_Korean/kr.ttf", "font");
  WriteFile(dir / "pics/boot.bmp", "bmp");
  WriteFile(dir / "part/data/Strings/Old", "old");
  WriteFile(dir / "part/data/Strings/sub/Older", "old");
  package::MakeOptions o;
  o.strings = o.fullLanguageStrings = o.koreanFonts = o.pictures = true;
  o.slots[package::kSlotStrings].sourcePath = dir / "pack/FullLanguage/Strings";
  o.slots[package::kSlotMtd].sourcePath = dir / "pics";
  EXPECT_EQ(package::ApplyStringsAndPictures(o, dir / "prog/", dir / "part"),
            package::kUpdateStrings | package::kUpdatePictures);
  EXPECT_EQ(ReadFile(dir / "part/data/Strings/English"), "e");
  EXPECT_EQ(ReadFile(dir / "part/data/Strings/Korean"), "k");
  EXPECT_FALSE(fs::exists(dir / "part/data/Strings/Old"));
  EXPECT_FALSE(fs::exists(dir / "part/data/Strings/sub/Older"));
  EXPECT_EQ(ReadFile(dir / "part/data/Fonts/kr.ttf"), "font");
  EXPECT_EQ(ReadFile(dir / "part/data/Pics/boot.bmp"), "bmp");

  // An operator's plain strings folder is copied over what is there.
  o.fullLanguageStrings = false;
  o.pictures = false;
  WriteFile(dir / "plain/French", "f");
  o.slots[package::kSlotStrings].sourcePath = dir / "plain";
  EXPECT_EQ(package::ApplyStringsAndPictures(o, dir / "prog/", dir / "part"), package::kUpdateStrings);
  EXPECT_EQ(ReadFile(dir / "part/data/Strings/French"), "f");
  EXPECT_EQ(ReadFile(dir / "part/data/Strings/English"), "e");

  // An empty strings path is no folder (least of all the root folder); with
  // nothing copied, nothing is stamped.
  o.slots[package::kSlotStrings].sourcePath = "";
  EXPECT_EQ(package::ApplyStringsAndPictures(o, dir / "prog/", dir / "part"), 0);
  // English, Korean, French and the emptied folder sub, as before.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "part/data/Strings"), fs::directory_iterator()), 4);
  EXPECT_FALSE(package::CopyFolderInto("", dir / "part"));

  // Languages staged in a folder of the run's own come from there, not from
  // the program folder's TempStrings.
  WriteFile(dir / "own/German", "g");
  o.fullLanguageStrings = true;
  o.koreanFonts = false;
  o.stagedStringsFolder = dir / "own";
  EXPECT_EQ(package::ApplyStringsAndPictures(o, dir / "prog/", dir / "part"), package::kUpdateStrings);
  EXPECT_EQ(ReadFile(dir / "part/data/Strings/German"), "g");
  EXPECT_FALSE(fs::exists(dir / "part/data/Strings/English"));
}

// The custom-configuration reply as the device hands it back, without a
// device: what each result and payload leads to.
TEST_F(Customise, CustomConfigReplies) {
  // A real archive of the custom configuration, made by the zip tool.
  WriteFile(dir_ / "reply/ProductType.ini", "HW-T\r\n");
  WriteFile(dir_ / "reply/NetWork.custom", "{}");
  ASSERT_EQ(testsupport::RunCommand({"zip", "-q", "-j", dir_ / "reply.zip", dir_ / "reply/ProductType.ini",
                                     dir_ / "reply/NetWork.custom"})
                .status,
            0);
  const std::string zip = ReadFile(dir_ / "reply.zip");
  const std::vector<std::uint8_t> archive(zip.begin(), zip.end());
  const std::vector<std::uint8_t> notZip = {'n', 'o', 't', ' ', 'z', 'i', 'p'};
  const struct {
    std::int32_t result;
    const std::vector<std::uint8_t>* reply;
    const char* key;  // nullptr: accepted
  } cases[] = {
      {1, &archive, nullptr},
      {1, &notZip, "alarm_getcfg_error"},
      {DL_ERR_TIMEOUT, &notZip, "alarm_getcfg_error"},
      {DL_ERR_NOT_SUPPORTED, &notZip, "alarm_devicenotsupport"},
  };
  for (const auto& c : cases) {
    fs::remove_all(part_ + "/CustomConfig");
    fs::create_directories(part_ + "/CustomConfig");
    fs::create_directories(request_.workFolder);
    sink_.boxes.clear();
    const bool ok = package::TakeCustomConfigReply(request_, c.result, *c.reply, dir_ / "tmp",
                                                   part_ + "/CustomConfig");
    EXPECT_EQ(ok, c.key == nullptr) << c.result;
    EXPECT_EQ(LastBox(), c.key ? uitext::GetString(c.key) : "");
    EXPECT_EQ(fs::exists(request_.workFolder), c.key == nullptr);
    EXPECT_EQ(fs::exists(part_ + "/CustomConfig/NetWork.custom"), c.key == nullptr);
    EXPECT_FALSE(fs::exists(part_ + "/CustomConfig/ProductType.ini"));
    EXPECT_FALSE(fs::exists(dir_ / "tmp/customDevice"));
  }
}

}  // namespace
