// Configs read from a running device (devsim on 127.0.0.1) while the custom
// partition of a package is reworked: accounts, the hardware check, login
// and command refusals.
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>

#include "common/uitext/language_table.h"
#include "devsim_runner.h"
#include "firmsmith/package/layout/json_file.h"
#include "package_fixture.h"

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

class CustomiseFromDevice : public PackageTest {
 protected:
  void SetUp() override {
    PackageTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(testsupport::CopyDevsimState(state()));
    const std::string tree = work_ / "custom-src";
    WriteFile(tree + "/ProductDefinition", "{\"Hardware\": \"HW-T\"}");
    WriteFile(tree + "/CustomConfig/Old.custom", "{}");
    PeerImage(tree, "custom-x.cramfs.img", kCustomStart, kCustomEnd);
    WriteFile(work_ / "InstallDesc",
              "{\"UpgradeCommand\": [{\"Command\": \"Burn\", \"FileName\": \"custom-x.cramfs.img\"}], "
              "\"Hardware\": \"HW-T\"}");
    input_ = PeerPackage("in.bin", {"InstallDesc", "custom-x.cramfs.img"});
    before_ = ReadFile(input_);
  }
  std::string state() const { return work_ / "state"; }
  void DeviceHardware(const std::string& hardware) {
    WriteFile(state() + "/custom/ProductType.ini", hardware + "\r\nmore\n");
  }
  void StartDevice() {
    std::string error;
    ASSERT_TRUE(devsim_.Start(state(), &error)) << error;
  }
  package::MakeOutcome Run(const std::string& password, bool copyUsers) {
    package::MakeOptions o = Options(true, input_);
    package::TickSlot(&o, package::kSlotCustom);
    o.configs = true;
    o.slots[package::kSlotUbootLogo].value = package::kSlotUbootLogo + 1;
    o.fromDevice = true;
    o.deviceIp = devsim_.host();
    o.devicePort = std::to_string(devsim_.port());
    o.userName = "admin";
    o.password = password;
    o.copyUsers = copyUsers;
    return package::RunMakeOperation(o, Env());
  }
  // The custom partition of the reworked package, by the peer extractor.
  std::string Unpacked() {
    const std::string image = Entry(input_, "custom-x.cramfs.img");
    EXPECT_GT(image.size(), 64u);
    WriteFile(work_ / "out.payload", image.size() > 64 ? image.substr(64) : "");
    EXPECT_EQ(RunCommand({"fsck.cramfs", "--extract=" + work_ / "out", work_ / "out.payload"}).status, 0);
    return work_ / "out";
  }

  testsupport::DevsimRunner devsim_;
  std::string input_;
  std::string before_;
};

TEST_F(CustomiseFromDevice, CopiesTheCustomConfigurationAndTheAccounts) {
  DeviceHardware("HW-T");
  StartDevice();
  ASSERT_EQ(Run("admin123", true), package::MakeOutcome::kReworked) << LastBox();
  const std::string out = Unpacked();
  EXPECT_TRUE(fs::exists(out + "/CustomConfig/Old.custom"));
  EXPECT_TRUE(fs::exists(out + "/CustomConfig/NetWork.custom"));
  EXPECT_TRUE(fs::exists(out + "/CustomConfig/Ability.custom"));
  EXPECT_FALSE(fs::exists(out + "/CustomConfig/ProductType.ini"));
  Json::Value accounts;
  ASSERT_TRUE(package::ParseJsonObject(ReadFile(out + "/CustomConfig/Account.custom"), &accounts));
  ASSERT_TRUE(accounts["Users"].isArray());
  ASSERT_GE(accounts["Users"].size(), 2u);
  for (const Json::Value& user : accounts["Users"]) {
    EXPECT_TRUE(user["NoMD5"].isBool() && user["NoMD5"].asBool()) << user.toStyledString();
    EXPECT_FALSE(user["Name"].asString().empty());
  }
  EXPECT_TRUE(accounts.isMember("Groups"));
  Json::Value definition;
  ASSERT_TRUE(package::ParseJsonObject(ReadFile(out + "/ProductDefinition"), &definition));
  EXPECT_EQ(definition["UpdataType"].asInt(), 0x10);
}

TEST_F(CustomiseFromDevice, WithoutCopyUsersNoAccounts) {
  DeviceHardware("HW-T");
  StartDevice();
  ASSERT_EQ(Run("admin123", false), package::MakeOutcome::kReworked) << LastBox();
  EXPECT_FALSE(fs::exists(Unpacked() + "/CustomConfig/Account.custom"));
}

// Each refusal: its message, no work folder, the input as it was.
TEST_F(CustomiseFromDevice, Refusals) {
  const struct {
    const char* hardware;
    const char* password;
    bool refuseCustomConfig;
    const char* key;
  } cases[] = {
      {"NVR-K7000-S", "admin123", false, "alarm_logindevtype_diffrent"},
      {"HW-T", "wrong", false, "alarm_password_notvalid"},
      {"HW-T", "admin123", true, "alarm_devicenotsupport"},
  };
  for (const auto& c : cases) {
    devsim_.Stop();
    DeviceHardware(c.hardware);
    ASSERT_TRUE(testsupport::EditDeviceJson(state(), [&](Json::Value& device) {
      device["RefusedCommands"] = Json::Value(Json::arrayValue);
      if (c.refuseCustomConfig) device["RefusedCommands"].append(155);
    }));
    StartDevice();
    sink_.boxes.clear();
    EXPECT_EQ(Run(c.password, true), package::MakeOutcome::kFailed) << c.key;
    EXPECT_EQ(LastBox(), uitext::GetString(c.key));
    EXPECT_EQ(sink_.boxes.size(), 1u) << c.key;
    EXPECT_TRUE(RunLeftovers(work_.path()).empty()) << c.key;
    EXPECT_TRUE(RunLeftovers(prog_.path()).empty()) << c.key;
    EXPECT_EQ(ReadFile(input_), before_) << c.key;
    EXPECT_FALSE(fs::exists(input_ + ".bak"));
  }
}

}  // namespace
}  // namespace packagetest
