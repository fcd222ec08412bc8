// firmsmith-cli fetch-config against a simulator started by the test.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/devlink/devlink.h"
#include "common/platform/profile.h"
#include "devsim_runner.h"
#include "loopback_listener.h"
#include "test_support.h"

namespace {

using testsupport::RunCommand;

std::string Cli() { return testsupport::AppDir() + "/firmsmith-cli"; }

// The text the sample installation shows for a message key.
std::string Shown(const std::string& key) {
  return platform::Profile::Load(testsupport::AppDir() + "/Language/English.lang")
      .Get("String", key, key);
}

std::vector<std::string> FilesUnder(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file()) out.push_back(std::filesystem::relative(it->path(), root).string());
  std::sort(out.begin(), out.end());
  return out;
}

class FetchConfigTest : public ::testing::Test {
 protected:
  void Start(const std::function<void(Json::Value&)>& edit = nullptr) {
    ASSERT_TRUE(testsupport::CopyDevsimState(state()));
    if (edit) testsupport::EditDeviceJson(state(), edit);
    std::string error;
    ASSERT_TRUE(devsim_.Start(state(), &error)) << error;
  }
  testsupport::CommandResult Fetch(const std::string& user, const std::string& password,
                                   bool users, std::map<std::string, std::string> env = {}) {
    std::vector<std::string> argv = {Cli(), "fetch-config", "--ip", "127.0.0.1", "--port",
                                     std::to_string(devsim_.port()), "--user", user, "--out",
                                     out()};
    if (!password.empty()) {
      argv.push_back("--password");
      argv.push_back(password);
    }
    if (users) argv.push_back("--users");
    return RunCommand(argv, "", env);
  }
  std::string state() const { return dir_ / "state"; }
  std::string out() const { return dir_ / "out"; }

  testsupport::TempDir dir_;
  testsupport::DevsimRunner devsim_;
};

TEST_F(FetchConfigTest, SavesCustomConfigurationAndWithUsersTheExport) {
  Start();
  const auto r = Fetch("admin", "admin123", true);
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ((std::vector<std::string>{"Ability.custom", "General.custom", "NetWork.custom",
                                      "ProductType.ini", "cfg/Account1", "cfg/General"}),
            FilesUnder(out()));
  EXPECT_EQ("NVR-K7000-S\n", testsupport::ReadFile(out() + "/ProductType.ini"));
  EXPECT_EQ(testsupport::ReadFile(state() + "/config/Account1"),
            testsupport::ReadFile(out() + "/cfg/Account1"));
}

TEST_F(FetchConfigTest, TakesThePasswordFromTheEnvironment) {
  Start();
  const auto r = Fetch("admin", "", false, {{"FIRMSMITH_PASSWORD", "admin123"}});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ((std::vector<std::string>{"Ability.custom", "General.custom", "NetWork.custom",
                                      "ProductType.ini"}),
            FilesUnder(out()));
}

struct LoginFailure {
  const char* name;
  const char* user;
  const char* password;
  const char* key;
};

class FetchConfigLoginTest : public FetchConfigTest,
                             public ::testing::WithParamInterface<LoginFailure> {};

TEST_P(FetchConfigLoginTest, PrintsTheTranslatedLoginMessageAndExitsOne) {
  Start();
  const auto r = Fetch(GetParam().user, GetParam().password, true,
                       {{"FIRMSMITH_PASSWORD", "admin123"}});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("firmsmith-cli: " + Shown(GetParam().key) + "\n", r.err);
  EXPECT_TRUE(FilesUnder(out()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FetchConfigLoginTest,
    ::testing::Values(LoginFailure{"WrongPassword", "admin", "nope", "alarm_password_notvalid"},
                      LoginFailure{"UnknownUser", "nobody", "x", "alarm_usernotexist"},
                      LoginFailure{"NoRights", "guest", "guest", "alarm_nopower"},
                      LoginFailure{"Locked", "former", "former", "alarm_loginerror"}),
    [](const auto& info) { return info.param.name; });

TEST_F(FetchConfigTest, DeviceNotOnline) {
  Start();
  const std::uint16_t port = devsim_.port();
  devsim_.Stop();
  const auto r = RunCommand({Cli(), "fetch-config", "--ip", "127.0.0.1", "--port",
                             std::to_string(port), "--user", "admin", "--password", "x", "--out",
                             out()});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("firmsmith-cli: " + Shown("alarm_device_notonline") + "\n", r.err);
}

TEST_F(FetchConfigTest, DeviceThatRefusesCustomConfigurationIsNotSupported) {
  Start([](Json::Value& v) { v["RefusedCommands"].append(CMD_CUSTOM_CONFIG); });
  const auto r = Fetch("admin", "admin123", false);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find(Shown("alarm_devicenotsupport"))) << r.err;
  EXPECT_TRUE(FilesUnder(out()).empty());
}

// Missing or malformed options are usage errors (exit 2), found before any
// connection.
TEST_F(FetchConfigTest, BadArgumentsAreUsageErrors) {
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"--ip", "127.0.0.1", "--user", "admin", "--out", "x"},
        std::vector<std::string>{"--ip", "127.0.0.1", "--port", "70000", "--user", "admin",
                                 "--out", "x"},
        std::vector<std::string>{"--ip", "127.0.0.1", "--port", "12ab", "--user", "admin",
                                 "--out", "x"}}) {
    std::vector<std::string> argv = {Cli(), "fetch-config"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const auto r = RunCommand(argv);
    EXPECT_EQ(2, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("fetch-config")) << r.err;
  }
}

}  // namespace

namespace {

// No --password, no FIRMSMITH_PASSWORD and no terminal to ask: the command
// stops before it connects, so no empty guess counts against the account.
TEST(FetchConfigPassword, NoPasswordAndNoTerminalStopsBeforeConnecting) {
  testsupport::TempDir dir;
  testsupport::LoopbackListener device;
  ASSERT_TRUE(device.Start());
  const auto r = RunCommand({Cli(), "fetch-config", "--ip", "127.0.0.1", "--port",
                             std::to_string(device.port()), "--user", "admin", "--out", dir / "out"});
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("no password given")) << r.err;
  EXPECT_EQ(0, device.Connections());
  EXPECT_FALSE(testsupport::FileExists(dir / "out"));
}

// An explicitly empty variable is a given password: it is sent, and the
// simulator refuses it.
TEST_F(FetchConfigTest, AnExplicitlyEmptyPasswordIsSent) {
  Start();
  const auto r = Fetch("admin", "", false, {{"FIRMSMITH_PASSWORD", ""}});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("firmsmith-cli: " + Shown("alarm_password_notvalid") + "\n", r.err);
}

}  // namespace
