// The devlink calls against a real simulator on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "common/devlink/devlink.h"
#include "common/devlink/language_ids.h"
#include "devsim_runner.h"
#include "fake_device.h"
#include "test_support.h"

namespace {

using testsupport::DevsimRunner;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLanguageBuffer = 655360;
constexpr std::uint32_t kConfigBuffer = 131072;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string SampleLanguageText(const std::string& name) {
  std::string text = testsupport::ReadFile(testsupport::SampleDevsimState() + "/languages/" + name);
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  return text;
}

class DevlinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::CopyDevsimState(state()));
    DL_Init(0, 0);
    DL_SetConnectTime(2000, 2);
  }
  void TearDown() override { DL_Cleanup(); }

  std::string state() const { return dir_ / "state"; }
  void StartDevice() {
    std::string error;
    ASSERT_TRUE(devsim_.Start(state(), &error)) << error;
  }
  std::int32_t Login(const char* user, const char* password, int* error = nullptr) {
    int e = 12345;
    DeviceInfoRecord info;
    const std::int32_t h =
        DL_Login("127.0.0.1", devsim_.port(), user, password, &info, &e, 0);
    if (h > 0) lastHardware_ = info.hardware;
    if (error) *error = e;
    return h;
  }
  std::string Export(std::int32_t handle, int language, std::int32_t* result = nullptr) {
    std::vector<char> buffer(kLanguageBuffer);
    std::uint32_t returned = 0;
    const std::int32_t r = DL_GetConfig(handle, CMD_LANG_EXPORT, language, buffer.data(),
                                        kLanguageBuffer, &returned, 1000);
    if (result) *result = r;
    return r >= 0 ? std::string(buffer.data(), returned) : std::string();
  }
  std::vector<std::string> LanguageList(std::int32_t handle) {
    LanguageListRecord record;
    std::uint32_t returned = 0;
    const std::int32_t r =
        DL_GetConfig(handle, CMD_LANG_LIST, -1, &record, sizeof record, &returned, 5000);
    EXPECT_GT(r, 0);
    std::vector<std::string> names;
    for (int i = 0; r > 0 && i < record.count; ++i) names.emplace_back(record.names[i]);
    return names;
  }
  std::string GetZip(std::int32_t handle, int command, std::int32_t* result) {
    std::vector<char> buffer(kConfigBuffer);
    std::uint32_t returned = 0;
    *result = DL_GetConfig(handle, command, -1, buffer.data(), kConfigBuffer, &returned, 8000);
    return std::string(buffer.data(), returned);
  }

  TempDir dir_;
  DevsimRunner devsim_;
  std::string lastHardware_;
};

struct LoginCase {
  const char* name;
  const char* user;
  const char* password;
  int error;
};

class LoginTest : public DevlinkTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(LoginTest, GivesTheHandleOrTheErrorCode) {
  StartDevice();
  int error = 12345;
  const std::int32_t h = Login(GetParam().user, GetParam().password, &error);
  EXPECT_EQ(GetParam().error, error);
  if (GetParam().error == 0) {
    EXPECT_GT(h, 0);
    EXPECT_EQ("NVR-K7000-S", lastHardware_);
  } else {
    EXPECT_EQ(0, h);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Users, LoginTest,
    ::testing::Values(LoginCase{"Right", "admin", "admin123", 0},
                      LoginCase{"WrongPassword", "admin", "admin124", DL_LOGIN_PASSWORD},
                      LoginCase{"EmptyPassword", "admin", "", DL_LOGIN_PASSWORD},
                      LoginCase{"UnknownUser", "nobody", "admin123", DL_LOGIN_NO_USER},
                      LoginCase{"UserNameCase", "Admin", "admin123", DL_LOGIN_NO_USER},
                      LoginCase{"Locked", "former", "former", DL_LOGIN_LOCKED},
                      LoginCase{"NoRights", "guest", "guest", DL_LOGIN_NO_RIGHTS}),
    [](const auto& info) { return info.param.name; });

TEST_F(DevlinkTest, RepeatedWrongPasswordsHoldTheUserBackAndTheHoldIsKept) {
  testsupport::EditDeviceJson(state(), [](Json::Value& v) { v["LoginBackoffMs"] = 60000; });
  StartDevice();
  int error = 0;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(0, Login("translator", "wrong", &error));
    EXPECT_EQ(DL_LOGIN_PASSWORD, error) << "attempt " << i;
  }
  // The sixth wrong proof starts a back-off; meanwhile even the right
  // password is answered "locked".
  EXPECT_EQ(0, Login("translator", "wrong", &error));
  EXPECT_EQ(DL_LOGIN_PASSWORD, error);
  EXPECT_EQ(0, Login("translator", "lang2026", &error));
  EXPECT_EQ(DL_LOGIN_LOCKED, error);
  // The back-off was written to the state before it was reported.
  devsim_.Kill();
  StartDevice();
  EXPECT_EQ(0, Login("translator", "lang2026", &error));
  EXPECT_EQ(DL_LOGIN_LOCKED, error);
  EXPECT_GT(Login("admin", "admin123"), 0);  // other users are not affected
}

TEST_F(DevlinkTest, SessionLimitAnswersBusyUntilASessionCloses) {
  testsupport::EditDeviceJson(state(), [](Json::Value& v) { v["MaxSessions"] = 2; });
  StartDevice();
  const std::int32_t a = Login("admin", "admin123");
  const std::int32_t b = Login("translator", "lang2026");
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_NE(a, b);
  int error = 0;
  EXPECT_EQ(0, Login("admin", "admin123", &error));
  EXPECT_EQ(DL_LOGIN_BUSY, error);
  DL_Logout(a);
  // The device notices the closed connection shortly after.
  std::int32_t c = 0;
  for (int i = 0; i < 50 && c <= 0; ++i) {
    c = Login("admin", "admin123");
    if (c <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GT(c, 0);
}

TEST_F(DevlinkTest, NoServerListeningIsNotFoundWithinTheConnectTime) {
  // A port that was just free and has nobody listening.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  DL_SetConnectTime(500, 3);
  int error = 0;
  const auto start = Clock::now();
  EXPECT_EQ(0, DL_Login("127.0.0.1", ntohs(addr.sin_port), "admin", "admin123", nullptr,
                        &error, 0));
  EXPECT_EQ(DL_LOGIN_NOT_FOUND, error);
  EXPECT_LE(MsSince(start), 1500 + 300);
}

TEST_F(DevlinkTest, BadAddressOrPortZeroIsNotFound) {
  int error = 0;
  EXPECT_EQ(0, DL_Login("192.168.1.", 34567, "admin", "x", nullptr, &error, 0));
  EXPECT_EQ(DL_LOGIN_NOT_FOUND, error);
  EXPECT_EQ(0, DL_Login("127.0.0.1", 0, "admin", "x", nullptr, &error, 0));
  EXPECT_EQ(DL_LOGIN_NOT_FOUND, error);
}

TEST_F(DevlinkTest, DeviceThatAcceptsButNeverAnswersTimesOutWithinTheWait) {
  testsupport::FakeDevice silent(
      [](testsupport::FakeDevice&, int fd) { testsupport::FakeDevice::HoldOpen(fd, 5000); });
  DL_SetConnectTime(600, 5);
  int error = 0;
  const auto start = Clock::now();
  EXPECT_EQ(0, DL_Login("127.0.0.1", silent.port(), "admin", "admin123", nullptr, &error, 0));
  const long elapsed = MsSince(start);
  EXPECT_EQ(DL_ERR_TIMEOUT, error);
  EXPECT_GE(elapsed, 550);
  EXPECT_LE(elapsed, 600 + 400);
}

// Another thread ends a login at once through the caller's pipe: while the
// device keeps silent after the connection, and while a refused connection
// waits for its next try. A cancel written before the login starts ends it
// before any connection.
TEST_F(DevlinkTest, LoginEndsAtOnceWhenItsPipeIsWritten) {
  testsupport::FakeDevice silent(
      [](testsupport::FakeDevice&, int fd) { testsupport::FakeDevice::HoldOpen(fd, 8000); });
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  socklen_t len = sizeof addr;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(probe);
  const std::uint16_t nobody = ntohs(addr.sin_port);
  // Left alone, either login would take seconds.
  DL_SetConnectTime(5000, 60);
  struct Case {
    const char* what;
    std::uint16_t port;
    int cancelAfterMs;  // -1: written before the login starts
  } cases[] = {{"silent device", silent.port(), 300},
               {"refused connection", nobody, 300},
               {"cancelled before", nobody, -1}};
  for (const Case& c : cases) {
    int ends[2];
    ASSERT_EQ(0, ::pipe(ends));
    if (c.cancelAfterMs < 0) {
      ASSERT_EQ(1, ::write(ends[1], "x", 1));
    }
    std::thread canceller([&] {
      if (c.cancelAfterMs < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(c.cancelAfterMs));
      EXPECT_EQ(1, ::write(ends[1], "x", 1));
    });
    int error = 0;
    const auto start = Clock::now();
    EXPECT_EQ(0, DL_LoginCancellable("127.0.0.1", c.port, "admin", "admin123", nullptr, &error,
                                     ends[0]))
        << c.what;
    const long elapsed = MsSince(start);
    canceller.join();
    EXPECT_EQ(DL_ERR_CANCELLED, error) << c.what;
    EXPECT_GE(elapsed, std::max(c.cancelAfterMs, 0)) << c.what;
    EXPECT_LE(elapsed, std::max(c.cancelAfterMs, 0) + 400) << c.what;
    ::close(ends[0]);
    ::close(ends[1]);
  }
}

TEST_F(DevlinkTest, CommandThatIsNeverAnsweredTimesOutAndTheSessionGoesOn) {
  testsupport::EditDeviceJson(state(), [](Json::Value& v) {
    v["SilentCommands"].append(CMD_CONFIG_EXPORT);
  });
  StartDevice();
  const std::int32_t h = Login("admin", "admin123");
  ASSERT_GT(h, 0);
  std::int32_t r = 0;
  const auto start = Clock::now();
  std::vector<char> buffer(kConfigBuffer);
  std::uint32_t returned = 99;
  r = DL_GetConfig(h, CMD_CONFIG_EXPORT, -1, buffer.data(), kConfigBuffer, &returned, 400);
  const long elapsed = MsSince(start);
  EXPECT_EQ(DL_ERR_TIMEOUT, r);
  EXPECT_EQ(0u, returned);
  EXPECT_GE(elapsed, 380);
  EXPECT_LE(elapsed, 400 + 300);
  EXPECT_EQ(SampleLanguageText("English"), Export(h, 0));
}

TEST_F(DevlinkTest, LanguageListNamesTheDeviceLanguages) {
  StartDevice();
  const std::int32_t h = Login("admin", "admin123");
  ASSERT_GT(h, 0);
  const std::vector<std::string> names = LanguageList(h);
  EXPECT_EQ((std::set<std::string>{"English", "Russian", "SimpChinese"}),
            std::set<std::string>(names.begin(), names.end()));
  EXPECT_EQ(3u, names.size());
}

TEST_F(DevlinkTest, EveryLanguageExportsAsItsTextWithoutByteOrderMark) {
  StartDevice();
  const std::int32_t h = Login("translator", "lang2026");
  ASSERT_GT(h, 0);
  for (const std::string name : {"English", "SimpChinese", "Russian"}) {
    std::int32_t r = 0;
    const std::string text = Export(h, devlink::NameToLanguageId(name), &r);
    EXPECT_GE(r, 0) << name;
    EXPECT_EQ(SampleLanguageText(name), text) << name;
    EXPECT_GT(std::count(text.begin(), text.end(), '\n'), 300) << name;
  }
  std::int32_t r = 0;
  Export(h, devlink::NameToLanguageId("German"), &r);
  EXPECT_EQ(DL_ERR_NO_DATA, r);
  Export(h, -1, &r);
  EXPECT_LT(r, 0);
}

TEST_F(DevlinkTest, ImportThenExportGivesTheSameBytesAndDeleteRestoresTheDevice) {
  StartDevice();
  const std::int32_t h = Login("admin", "admin123");
  ASSERT_GT(h, 0);
  const std::string russian = "Menu.Title=Главное меню\r\nMenu.Apply= Применить \r\n=\r\nk==v\r\n";
  const std::string german = "Menu.Title=Hauptmen\xC3\xBC\r\n";
  ASSERT_EQ(0, DL_SetConfig(h, CMD_LANG_IMPORT, 6, russian.data(),
                            static_cast<std::uint32_t>(russian.size()), 15000));
  ASSERT_GE(DL_SetConfig(h, CMD_LANG_IMPORT, 8, german.data(),
                         static_cast<std::uint32_t>(german.size()), 15000), 0);
  EXPECT_EQ(russian, Export(h, 6));
  EXPECT_EQ(german, Export(h, 8));
  const auto names = LanguageList(h);
  EXPECT_EQ(1, std::count(names.begin(), names.end(), "German"));
  EXPECT_EQ(1, std::count(names.begin(), names.end(), "Russian"));
  // An import of zero bytes is a language without texts.
  ASSERT_GE(DL_SetConfig(h, CMD_LANG_IMPORT, 0, "", 0, 15000), 0);
  std::int32_t r = -1;
  EXPECT_EQ("", Export(h, 0, &r));
  EXPECT_GE(r, 0);
  // The import survives a simulator that is killed right after answering.
  devsim_.Kill();
  StartDevice();
  const std::int32_t h2 = Login("admin", "admin123");
  ASSERT_GT(h2, 0);
  EXPECT_EQ(russian, Export(h2, 6));

  std::vector<char> buffer(kLanguageBuffer);
  std::uint32_t returned = 0;
  EXPECT_GT(DL_GetConfig(h2, CMD_LANG_DELETE, -1, buffer.data(), kLanguageBuffer, &returned, 5000),
            0);
  EXPECT_EQ(SampleLanguageText("Russian"), Export(h2, 6));
  EXPECT_EQ(SampleLanguageText("English"), Export(h2, 0));
  Export(h2, 8, &r);
  EXPECT_EQ(DL_ERR_NO_DATA, r);
  const auto after = LanguageList(h2);
  EXPECT_EQ(0, std::count(after.begin(), after.end(), "German"));
  // The device's own files are untouched.
  EXPECT_EQ(testsupport::ReadFile(testsupport::SampleDevsimState() + "/languages/Russian"),
            testsupport::ReadFile(state() + "/languages/Russian"));
}

TEST_F(DevlinkTest, ImportWithoutLanguageRightOrUnknownNumberFails) {
  testsupport::EditDeviceJson(state(), [](Json::Value& v) {
    for (Json::Value& u : v["Users"])
      if (u["Name"] == "translator") {
        u["Rights"] = Json::Value(Json::arrayValue);
        u["Rights"].append("Config");
      }
  });
  StartDevice();
  const std::int32_t h = Login("translator", "lang2026");
  ASSERT_GT(h, 0);
  EXPECT_EQ(DL_LOGIN_NO_RIGHTS, DL_SetConfig(h, CMD_LANG_IMPORT, 6, "a=b", 3, 15000));
  const std::int32_t admin = Login("admin", "admin123");
  EXPECT_LT(DL_SetConfig(admin, CMD_LANG_IMPORT, -1, "a=b", 3, 15000), 0);
  EXPECT_LT(DL_SetConfig(admin, CMD_LANG_IMPORT, 15, "a=b", 3, 15000), 0);  // unused number
  EXPECT_EQ(DL_ERR_NOT_SUPPORTED, DL_SetConfig(admin, CMD_CONFIG_EXPORT, -1, "x", 1, 1000));
}

TEST_F(DevlinkTest, ReplyLargerThanTheBufferIsAnErrorAndNothingIsWrittenPastIt) {
  StartDevice();
  const std::int32_t h = Login("admin", "admin123");
  ASSERT_GT(h, 0);
  std::vector<char> memory(4096, '#');
  std::uint32_t returned = 77;
  EXPECT_EQ(DL_ERR_BUFFER_TOO_SMALL,
            DL_GetConfig(h, CMD_LANG_EXPORT, 0, memory.data(), 100, &returned, 1000));
  EXPECT_EQ(0u, returned);
  EXPECT_EQ(std::string(4096, '#'), std::string(memory.begin(), memory.end()));
  LanguageListRecord record;
  EXPECT_EQ(DL_ERR_BUFFER_TOO_SMALL,
            DL_GetConfig(h, CMD_LANG_LIST, -1, &record, sizeof record - 1, &returned, 5000));
  EXPECT_EQ(SampleLanguageText("English"), Export(h, 0));  // the session goes on
}

struct ZipCase {
  const char* name;
  int command;
  std::vector<std::string> entries;
};

class ZipReplyTest : public DevlinkTest, public ::testing::WithParamInterface<ZipCase> {};

TEST_P(ZipReplyTest, IsAValidZipWithTheFolderFiles) {
  if (!testsupport::HaveProgram("unzip")) GTEST_SKIP() << "unzip is not installed";
  StartDevice();
  const std::int32_t h = Login("admin", "admin123");
  ASSERT_GT(h, 0);
  std::int32_t r = 0;
  const std::string zip = GetZip(h, GetParam().command, &r);
  ASSERT_GT(r, 0);
  const std::string path = dir_ / "reply.zip";
  testsupport::WriteFile(path, zip);
  const auto test = testsupport::RunCommand({"unzip", "-t", path});
  EXPECT_EQ(0, test.status) << test.out << test.err;
  const auto list = testsupport::RunCommand({"unzip", "-Z1", path});
  std::string expected;
  for (const std::string& e : GetParam().entries) expected += e + "\n";
  EXPECT_EQ(expected, list.out);
  const std::string folder = GetParam().command == CMD_CONFIG_EXPORT ? "config" : "custom";
  for (const std::string& e : GetParam().entries)
    EXPECT_EQ(testsupport::ReadFile(state() + "/" + folder + "/" + e),
              testsupport::RunCommand({"unzip", "-p", path, e}).out)
        << e;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ZipReplyTest,
    ::testing::Values(ZipCase{"ConfigExport", CMD_CONFIG_EXPORT, {"Account1", "General"}},
                      ZipCase{"CustomConfig",
                              CMD_CUSTOM_CONFIG,
                              {"Ability.custom", "General.custom", "NetWork.custom",
                               "ProductType.ini"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(DevlinkTest, ConfigCommandsNeedTheConfigRightAndCanBeRefused) {
  testsupport::EditDeviceJson(state(), [](Json::Value& v) {
    v["RefusedCommands"].append(CMD_CUSTOM_CONFIG);
  });
  StartDevice();
  const std::int32_t translator = Login("translator", "lang2026");
  const std::int32_t admin = Login("admin", "admin123");
  std::int32_t r = 0;
  GetZip(translator, CMD_CONFIG_EXPORT, &r);
  EXPECT_EQ(DL_LOGIN_NO_RIGHTS, r);
  GetZip(admin, CMD_CUSTOM_CONFIG, &r);
  EXPECT_EQ(DL_ERR_NOT_SUPPORTED, r);
  GetZip(admin, 4242, &r);
  EXPECT_EQ(DL_ERR_NOT_SUPPORTED, r);
  GetZip(admin, CMD_CONFIG_EXPORT, &r);
  EXPECT_GT(r, 0);
}

TEST_F(DevlinkTest, ClosedOrInvalidHandlesAreRefusedAndLogoutOfNoneIsIgnored) {
  StartDevice();
  struct Log {
    std::vector<std::string> calls;
  } log;
  DL_SetCallObserver(
      [](const DL_CallRecord& r, void* ctx) {
        static_cast<Log*>(ctx)->calls.push_back(std::string(r.call) + "(" +
                                                std::to_string(r.handle) + ")");
      },
      &log);
  const std::int32_t h = Login("admin", "admin123");
  ASSERT_GT(h, 0);
  DL_Logout(h);
  std::int32_t r = 0;
  Export(h, 0, &r);
  EXPECT_EQ(DL_ERR_INVALID_HANDLE, r);
  DL_Logout(-1);
  DL_Logout(0);
  DL_Logout(h);  // twice
  EXPECT_EQ(DL_ERR_INVALID_HANDLE, DL_SetConfig(-1, CMD_LANG_IMPORT, 0, "a", 1, 1000));
  DL_Cleanup();
  DL_SetCallObserver(nullptr, nullptr);
  const std::vector<std::string> expected = {
      "DL_Login(" + std::to_string(h) + ")",  "DL_Logout(" + std::to_string(h) + ")",
      "DL_GetConfig(" + std::to_string(h) + ")",
      "DL_Logout(-1)",  "DL_Logout(0)", "DL_Logout(" + std::to_string(h) + ")",
      "DL_SetConfig(-1)", "DL_Cleanup(0)"};
  EXPECT_EQ(expected, log.calls);
}

TEST_F(DevlinkTest, CallsBeforeInitAndAfterCleanupFail) {
  StartDevice();
  const std::int32_t h = Login("admin", "admin123");
  ASSERT_GT(h, 0);
  DL_Cleanup();  // closes the session too
  int error = 0;
  EXPECT_EQ(0, Login("admin", "admin123", &error));
  EXPECT_EQ(DL_ERR_NOT_INITIALIZED, error);
  std::int32_t r = 0;
  Export(h, 0, &r);
  EXPECT_EQ(DL_ERR_INVALID_HANDLE, r);
  DL_Init(0, 0);
  EXPECT_GT(Login("admin", "admin123"), 0);
}

TEST_F(DevlinkTest, TwoSessionsOnTwoThreadsDoNotInterfere) {
  StartDevice();
  const std::int32_t a = Login("admin", "admin123");
  const std::int32_t b = Login("translator", "lang2026");
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  const std::string english = SampleLanguageText("English");
  const std::string chinese = SampleLanguageText("SimpChinese");
  int badA = 0, badB = 0;
  std::thread ta([&] {
    for (int i = 0; i < 30; ++i) badA += Export(a, 0) != english;
  });
  std::thread tb([&] {
    for (int i = 0; i < 30; ++i) badB += Export(b, 1) != chinese;
  });
  ta.join();
  tb.join();
  EXPECT_EQ(0, badA);
  EXPECT_EQ(0, badB);
}

TEST_F(DevlinkTest, PasswordNeverCrossesTheWire) {
  const std::string password = "S3cret-Pa55word";
  testsupport::FakeDevice fake([password](testsupport::FakeDevice& self, int fd) {
    self.AcceptLogin(fd, 77, password);
    testsupport::FakeDevice::HoldOpen(fd, 2000);
  });
  int error = 0;
  const std::int32_t h =
      DL_Login("127.0.0.1", fake.port(), "admin", password.c_str(), nullptr, &error, 0);
  EXPECT_GT(h, 0);
  DL_Logout(h);
  const auto sent = fake.received();
  const std::string bytes(sent.begin(), sent.end());
  EXPECT_NE(std::string::npos, bytes.find("admin"));
  EXPECT_EQ(std::string::npos, bytes.find(password));
  EXPECT_EQ(std::string::npos, bytes.find("S3cret"));
}

TEST_F(DevlinkTest, SimulatorEndsCleanlyOnSigtermAndSigintWithSessionsOpen) {
  for (int signal : {SIGTERM, SIGINT}) {
    StartDevice();
    EXPECT_EQ(0u, devsim_.listeningLine().find("listening on 127.0.0.1:"));
    const std::int32_t h = Login("admin", "admin123");
    ASSERT_GT(h, 0);
    const auto start = Clock::now();
    EXPECT_EQ(0, devsim_.Stop(signal)) << "signal " << signal;
    EXPECT_LT(MsSince(start), 2000);
    std::int32_t r = 0;
    Export(h, 0, &r);  // the session is gone with the device
    EXPECT_LT(r, 0);
    DL_Logout(h);
  }
}

TEST_F(DevlinkTest, FullSixtyFourByteFieldsAreReadWithoutTheirTerminator) {
  StartDevice();
  char user[64], password[64];
  std::memset(user, 'u', sizeof user);
  std::memset(password, 'p', sizeof password);
  int error = 0;
  // The library reads 64 bytes at most: an unknown user, not a crash.
  EXPECT_EQ(0, DL_Login("127.0.0.1", devsim_.port(), user, password, nullptr, &error, 0));
  EXPECT_EQ(DL_LOGIN_NO_USER, error);
}

}  // namespace
