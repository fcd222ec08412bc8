// The language tool's session against the device simulator on loopback:
// login and its messages, export, import, delete, observed through the
// device library's call hook.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <cstring>
#include <thread>

#include "common/devlink/devlink.h"
#include "common/devlink/wire.h"
#include "common/devlink/devsim/device_state.h"
#include "devsim_runner.h"
#include "fake_device.h"
#include "peer_tools.h"
#include "test_support.h"
#include "transloom/core/file_names.h"
#include "transloom/core/session.h"
#include "transloom/workbook/workbook.h"

namespace {

using testsupport::DevsimRunner;
using testsupport::RecordingMessageSink;
using testsupport::TempDir;
using transloom::LoginInput;
using transloom::ToolSession;

struct Call {
  std::string call;
  std::int32_t handle;
  int command;
  int channel;
  std::int32_t result;
};

// The session with its boxes recorded and every device call logged.
class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::CopyDevsimState(state()));
    session_.SetConfigFolder(dir_ / "program");
    ToolSession::StartDeviceLibrary();
    DL_SetCallObserver(
        [](const DL_CallRecord& r, void* self) {
          static_cast<SessionTest*>(self)->calls_.push_back(
              {r.call, r.handle, r.command, r.channel, r.result});
        },
        this);
  }
  void TearDown() override {
    session_.EndDeviceLibrary();
    DL_SetCallObserver(nullptr, nullptr);
  }

  std::string state() const { return dir_ / "state"; }
  void StartDevice() {
    std::string error;
    ASSERT_TRUE(devsim_.Start(state(), &error)) << error;
  }
  LoginInput Input(const std::string& user = "admin", const std::string& password = "admin123") {
    return {"127.0.0.1", std::to_string(devsim_.port()), user, password};
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& b : sink_.boxes) texts.push_back(b.text);
    return texts;
  }
  int CountCalls(const std::string& call, int command = 0) const {
    int n = 0;
    for (const Call& c : calls_) n += c.call == call && (command == 0 || c.command == command);
    return n;
  }

  TempDir dir_;
  DevsimRunner devsim_;
  RecordingMessageSink sink_;
  ToolSession session_{&sink_};
  std::vector<Call> calls_;
};

TEST_F(SessionTest, LoginFillsTheSortedListSilently) {
  testsupport::WriteFile(state() + "/languages/arabic", "k=v\n");
  testsupport::WriteFile(state() + "/languages/Dutch", "k=v\n");
  StartDevice();
  session_.m_strFileName = "old name";
  ASSERT_TRUE(session_.OnLogin(Input())) << session_.LastProblem();
  EXPECT_GT(session_.m_lLoginID, 0);
  EXPECT_EQ(session_.m_strDeviceIP, "127.0.0.1");
  EXPECT_EQ(session_.m_strFileName, "");
  EXPECT_EQ(session_.Languages(),
            (std::vector<std::string>{"arabic", "Dutch", "English", "Russian", "SimpChinese"}));
  EXPECT_TRUE(sink_.boxes.empty());
}

TEST_F(SessionTest, LoginErrorsShowTheirTexts) {
  ASSERT_TRUE(testsupport::EditDeviceJson(state(), [](Json::Value& root) {
    root["MaxSessions"] = 1;
    Json::Value user;
    user["Name"] = std::string(64, 'u');  // a full 64-byte field
    devsim::SetUserPassword(std::string(64, 'p'), devlink::login::kMinIterations, &user);
    user["Rights"].append("Language");
    root["Users"].append(user);
  }));
  StartDevice();
  ToolSession holder(&sink_);  // takes the device's only session place
  ASSERT_TRUE(holder.OnLogin(Input()));
  struct Case {
    LoginInput input;
    const char* text;
  } cases[] = {
      {Input("admin", "wrong"), "LoginFailed:PasswdError"},
      {Input("nobody", "x"), "LoginFailed:UserNotExisted"},
      {Input("former", "former"), "LoginFailed:Locked"},
      {Input("guest", "guest"), "LoginFailed:UnknowError"},  // -11300, no rights
      {Input("translator", "lang2026"), "LoginFailed:SystemBusy"},
      // Cut to its first 64 bytes, the name is that of the 64-byte user.
      {Input(std::string(64, 'u') + "x", "wrong"), "LoginFailed:PasswdError"},
      {{"127.0.0.1", "1", "admin", "admin123"}, "LoginFailed:NotFound"},
  };
  for (const Case& c : cases) {
    sink_.boxes.clear();
    EXPECT_FALSE(session_.OnLogin(c.input)) << c.text;
    EXPECT_LE(session_.m_lLoginID, 0);
    ASSERT_EQ(sink_.boxes.size(), 1u) << c.text;
    EXPECT_EQ(sink_.boxes[0].text, c.text);
    EXPECT_EQ(sink_.boxes[0].caption, "Prompt");
    EXPECT_EQ(sink_.boxes[0].buttons, platform::MessageButtons::Ok);
  }
  holder.EndDeviceLibrary();  // frees the place (and the library: start it again)
  ToolSession::StartDeviceLibrary();
  // A 64-byte user name and password reach the device whole. The device
  // frees the place once it has seen the logout, which may take a moment.
  bool loggedIn = false;
  for (int attempt = 0; attempt < 50 && !loggedIn; ++attempt) {
    sink_.boxes.clear();
    loggedIn = session_.OnLogin(Input(std::string(64, 'u'), std::string(64, 'p')));
    if (!loggedIn && Texts() != std::vector<std::string>{"LoginFailed:SystemBusy"}) break;
    if (!loggedIn) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(loggedIn) << testing::PrintToString(Texts());
}

TEST_F(SessionTest, SecondFailedLoginLeavesTheToolLoggedOut) {
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  const std::int32_t first = session_.m_lLoginID;
  calls_.clear();
  EXPECT_FALSE(session_.OnLogin(Input("admin", "wrong")));
  EXPECT_LE(session_.m_lLoginID, 0);
  EXPECT_TRUE(session_.Languages().empty());
  ASSERT_GE(calls_.size(), 2u);
  EXPECT_EQ(calls_[0].call, "DL_Logout");
  EXPECT_EQ(calls_[0].handle, first);
  EXPECT_EQ(calls_[1].call, "DL_Login");
}

TEST_F(SessionTest, PortOutOfRangeStopsTheLogin) {
  StartDevice();
  for (const char* port : {"65536", "-1", "99999"}) {
    ASSERT_TRUE(session_.OnLogin(Input()));
    calls_.clear();
    sink_.boxes.clear();
    LoginInput input = Input();
    input.portText = port;
    EXPECT_FALSE(session_.OnLogin(input)) << port;
    EXPECT_EQ(Texts(), std::vector<std::string>{"PortError"});
    EXPECT_EQ(session_.m_lLoginID, -1) << "the old session is closed, so none is left";
    EXPECT_TRUE(session_.Languages().empty());
    EXPECT_EQ(CountCalls("DL_Logout"), 1);
    EXPECT_EQ(CountCalls("DL_Login"), 0);
  }
  // "0" and text without digits pass the check and try port 0.
  for (const char* port : {"0", "none"}) {
    sink_.boxes.clear();
    LoginInput input = Input();
    input.portText = port;
    EXPECT_FALSE(session_.OnLogin(input));
    EXPECT_EQ(Texts(), std::vector<std::string>{"LoginFailed:NotFound"}) << port;
  }
}

TEST_F(SessionTest, EveryDeviceOperationNeedsALogin) {
  StartDevice();
  sink_.chosenPaths = {dir_ / "a_Russian.xls", dir_ / "a_Russian.xls"};
  struct Op {
    const char* name;
    bool (ToolSession::*run)();
  } ops[] = {{"import", &ToolSession::OnImportToDevice},
             {"delete", &ToolSession::OnDeleteLanguage}};
  for (int round = 0; round < 2; ++round) {
    calls_.clear();
    sink_.boxes.clear();
    EXPECT_FALSE(session_.OnExportExcel("Russian"));
    for (const Op& op : ops) EXPECT_FALSE((session_.*op.run)()) << op.name;
    EXPECT_EQ(Texts(), std::vector<std::string>(3, "PleaseLogin"));
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(sink_.chosenPaths.size(), 2u) << "no file chooser was shown";
    // A failed login logs out too.
    ASSERT_TRUE(session_.OnLogin(Input()));
    ASSERT_FALSE(session_.OnLogin(Input("admin", "wrong")));
  }
}

class ExportTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    if (!workbooktest::HavePythonModule("xlrd")) GTEST_SKIP() << "python3-xlrd is missing";
  }
  std::vector<workbooktest::PeerSheet> Read(const std::string& path) {
    std::vector<workbooktest::PeerSheet> sheets;
    std::string error;
    EXPECT_TRUE(workbooktest::ReadWithXlrd(path, &sheets, &error)) << error;
    return sheets;
  }
  static std::string At(const workbooktest::PeerSheet& s, int row, int column) {
    auto it = s.cells.find({row, column});
    return it == s.cells.end() ? "<none>" : it->second.text;
  }
};

TEST_F(ExportTest, EnglishIsFetchedOnceAndWritesTwoColumns) {
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  calls_.clear();
  const std::string path = dir_ / "out_English.xls";
  sink_.chosenPaths = {path};
  ASSERT_TRUE(session_.OnExportExcel("English")) << session_.LastProblem();
  EXPECT_EQ(CountCalls("DL_GetConfig", CMD_LANG_EXPORT), 1);
  EXPECT_TRUE(session_.m_mapEnglish.empty());
  EXPECT_EQ(Texts(), std::vector<std::string>{"ExportOK\n" + path});
  EXPECT_EQ(session_.m_strFileName.rfind("127.0.0.1_", 0), 0u);
  EXPECT_EQ(transloom::WorkbookLanguageName(session_.m_strFileName), "English");
  const auto sheets = Read(path);
  ASSERT_EQ(sheets.size(), 1u);
  EXPECT_EQ(sheets[0].cells.size(), 2 * session_.m_mapLanguage.size());
  EXPECT_EQ(session_.m_mapLanguage.size(), 427u);
  EXPECT_EQ(At(sheets[0], 0, 0), "Account.Advanced") << "no byte order mark in the first key";
  EXPECT_EQ(At(sheets[0], 0, 1), "Advanced");
}

// An existing .xlsx is replaced only after the operator agreed to lose its
// other cells; an .xls keeps them without a question of ours.
TEST_F(ExportTest, ReplacingAnXlsxFileAsksFirst) {
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  const std::string path = dir_ / "out_English.xlsx";
  workbook::Workbook old;
  ASSERT_TRUE(old.AddSheet("Mine")->WriteText(3000, 7, "translator's note").ok);
  ASSERT_TRUE(old.Save(path).ok);
  const std::string before = testsupport::ReadFile(path);

  sink_.chosenPaths = {path};
  sink_.answers = {platform::MessageAnswer::Cancel};
  EXPECT_FALSE(session_.OnExportExcel("English"));
  EXPECT_EQ(Texts(), std::vector<std::string>{"ReplaceXlsx\n" + path});
  EXPECT_EQ(sink_.boxes.back().buttons, platform::MessageButtons::OkCancel);
  EXPECT_EQ(testsupport::ReadFile(path), before);

  sink_.boxes.clear();
  sink_.chosenPaths = {path};
  sink_.answers = {platform::MessageAnswer::Ok};
  ASSERT_TRUE(session_.OnExportExcel("English")) << session_.LastProblem();
  EXPECT_EQ(Texts(), (std::vector<std::string>{"ReplaceXlsx\n" + path, "ExportOK\n" + path}));
  workbook::Workbook now;
  ASSERT_TRUE(now.Load(path).ok);
  EXPECT_EQ(now.GetSheet(0)->CellText(0, 0), "Account.Advanced");
  EXPECT_EQ(now.GetSheet(0)->CellAt(3000, 7), nullptr) << "the other cells are gone, as told";
  std::size_t written = 0;  // empty texts are no cells in an .xlsx file
  for (const auto& [key, text] : session_.m_mapLanguage) written += !key.empty() + !text.empty();
  EXPECT_EQ(now.GetSheet(0)->Cells().size(), written);
}

TEST_F(ExportTest, RussianCarriesTheEnglishReference) {
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  calls_.clear();
  const std::string path = dir_ / "out_Russian.xls";
  sink_.chosenPaths = {path};
  ASSERT_TRUE(session_.OnExportExcel("Russian")) << session_.LastProblem();
  std::vector<int> channels;
  for (const Call& c : calls_)
    if (c.command == CMD_LANG_EXPORT) channels.push_back(c.channel);
  EXPECT_EQ(channels, (std::vector<int>{6, 0}));
  const auto sheets = Read(path);
  ASSERT_EQ(sheets.size(), 1u);
  const workbooktest::PeerSheet& s = sheets[0];
  int row = 0, checked = 0;
  for (const auto& [key, text] : session_.m_mapLanguage) {
    ASSERT_EQ(At(s, row, 0), key);
    EXPECT_EQ(At(s, row, 2), text);
    if (key == "Login.Keyboard") {
      EXPECT_EQ(At(s, row, 1), "") << "English lacks this key";
      ++checked;
    }
    if (key == "Account.Apply") {
      EXPECT_EQ(At(s, row, 1), "Apply");
      EXPECT_NE(text, "Apply");
      ++checked;
    }
    ++row;
  }
  EXPECT_EQ(checked, 2);
  EXPECT_EQ(row, 428);
}

TEST_F(ExportTest, FailuresEndBeforeAnythingIsWritten) {
  // Invalid UTF-8 and a language too long for a sheet.
  std::string big;
  const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (int i = 0; i < 100000; ++i)
    big += std::string{digits[i % 62], digits[i / 62 % 62], digits[i / 3844 % 62]} + "=\n";
  testsupport::WriteFile(state() + "/languages/Thai", big);
  testsupport::WriteFile(state() + "/languages/Greek", "ok=\xFF\xFE bad\nk\xC0=v\n");
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));

  sink_.chosenPaths = {dir_ / "t_Thai.xls"};
  EXPECT_FALSE(session_.OnExportExcel("Thai"));
  EXPECT_EQ(session_.m_mapLanguage.size(), 100000u);
  EXPECT_EQ(Texts().back(), "SaveFailed");
  EXPECT_FALSE(testsupport::FileExists(dir_ / "t_Thai.xls"));

  sink_.chosenPaths = {dir_ / "t_Greek.xls"};
  ASSERT_TRUE(session_.OnExportExcel("Greek")) << session_.LastProblem();
  const auto sheets = Read(dir_ / "t_Greek.xls");
  ASSERT_EQ(sheets.size(), 1u);
  EXPECT_EQ(At(sheets[0], 0, 0), "k\xEF\xBF\xBD");
  EXPECT_EQ(At(sheets[0], 1, 2), "\xEF\xBF\xBD\xEF\xBF\xBD bad");

  // A language the device does not have: the map stays as it was.
  const transloom::LanguageMap before = session_.m_mapLanguage;
  sink_.boxes.clear();
  EXPECT_FALSE(session_.OnExportExcel("Korean"));
  EXPECT_EQ(Texts(), std::vector<std::string>{"ExportFailed"});
  EXPECT_EQ(session_.m_mapLanguage, before);
  sink_.boxes.clear();
  EXPECT_FALSE(session_.OnExportExcel(""));
  EXPECT_EQ(Texts(), std::vector<std::string>{"selectlang"});
}

TEST_F(SessionTest, DeviceDroppingTheReplyEndsTheExport) {
  using devlink::wire::EncodeFrame;
  using devlink::wire::MessageType;
  testsupport::FakeDevice device([](testsupport::FakeDevice& self, int fd) {
    if (!self.AcceptLogin(fd, 77, "x")) return;
    devlink::wire::Frame f;
    // The language list: refused, so the list stays empty.
    if (!self.ReadFrame(fd, &f)) return;
    self.Send(fd, self.Seal(EncodeFrame(MessageType::kGetConfigReply, 77, f.header.sequence,
                                        DL_ERR_DEVICE, {})));
    if (!self.ReadFrame(fd, &f)) return;
    std::vector<std::uint8_t> reply =
        self.Seal(EncodeFrame(MessageType::kGetConfigReply, 77, f.header.sequence, 0,
                              std::vector<std::uint8_t>(5000, 'a')));
    reply.resize(reply.size() / 2);  // half of it, then the line goes dead
    self.Send(fd, reply);
  });
  // The refused list is said, not shown as an empty device.
  EXPECT_FALSE(session_.OnLogin({"127.0.0.1", std::to_string(device.port()), "admin", "x"}));
  EXPECT_TRUE(session_.Languages().empty());
  EXPECT_EQ(Texts(), std::vector<std::string>{"ListFailed"});
  sink_.boxes.clear();
  DL_SetConnectTime(500, 1);  // the new login after the drop finds nobody answering
  session_.m_mapLanguage = {{"kept", "yes"}};
  sink_.chosenPaths = {dir_ / "x_English.xls"};
  EXPECT_FALSE(session_.OnExportExcel("English"));
  EXPECT_EQ(Texts(), std::vector<std::string>{"ConnectionLost"});
  EXPECT_FALSE(session_.IsLoggedIn());
  EXPECT_EQ(session_.m_mapLanguage, (transloom::LanguageMap{{"kept", "yes"}}));
  EXPECT_FALSE(testsupport::FileExists(dir_ / "x_English.xls"));
}

TEST_F(ExportTest, EditedWorkbookGoesToTheDeviceAndBack) {
  if (!workbooktest::HavePythonModule("xlwt")) GTEST_SKIP() << "python3-xlwt is missing";
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  const std::string exported = dir_ / "first_Russian.xls";
  sink_.chosenPaths = {exported};
  ASSERT_TRUE(session_.OnExportExcel("Russian"));
  // The translator edits one text in another program and saves a copy.
  const std::string edited = dir_ / "edited_Russian.xls";
  std::string error;
  ASSERT_TRUE(workbooktest::WriteWithXlwt(
      "import xlrd\n"
      "src = xlrd.open_workbook('" +
          exported +
          "').sheet_by_index(0)\n"
          "b = xlwt.Workbook(encoding='utf-8')\n"
          "s = b.add_sheet('Sheet1')\n"
          "for r in range(src.nrows):\n"
          "    for c in range(src.ncols):\n"
          "        v = src.cell_value(r, c)\n"
          "        if src.cell_value(r, 0) == 'Account.Apply' and c == 2: v = 'Применить сейчас'\n"
          "        s.write(r, c, v)\n"
          "b.save(path)\n",
      edited, &error))
      << error;
  const std::string original = session_.m_mapLanguage.at("Account.Apply");

  calls_.clear();
  sink_.boxes.clear();
  sink_.chosenPaths = {edited};
  ASSERT_TRUE(session_.OnImportToDevice()) << session_.LastProblem();
  ASSERT_EQ(sink_.boxes.size(), 2u);
  EXPECT_EQ(sink_.boxes[0].text, "YESorNO?");
  EXPECT_EQ(sink_.boxes[0].caption, "Transloom");
  EXPECT_EQ(sink_.boxes[0].buttons, platform::MessageButtons::OkCancel);
  EXPECT_EQ(sink_.boxes[1].text, "ImportOK,Please Reboot");
  ASSERT_EQ(CountCalls("DL_SetConfig", CMD_LANG_IMPORT), 1);
  for (const Call& c : calls_) {
    if (c.call == "DL_SetConfig") {
      EXPECT_EQ(c.channel, 6);
    }
  }
  const std::string sent = testsupport::ReadFile(state() + "/imported/Russian");
  EXPECT_EQ(sent.rfind("Account.Advanced=", 0), 0u) << "UTF-8 without byte order mark";
  EXPECT_NE(sent.find("\r\nAccount.Apply=Применить сейчас\r\n"), std::string::npos);

  sink_.chosenPaths = {dir_ / "second_Russian.xls"};
  ASSERT_TRUE(session_.OnExportExcel("Russian"));
  EXPECT_EQ(session_.m_mapLanguage.at("Account.Apply"), "Применить сейчас");
  EXPECT_EQ(session_.m_mapLanguage.size(), 428u);

  // Cancelling the confirmation sends nothing.
  calls_.clear();
  sink_.boxes.clear();
  sink_.chosenPaths = {edited};
  sink_.answers = {platform::MessageAnswer::Cancel};
  EXPECT_FALSE(session_.OnImportToDevice());
  EXPECT_EQ(CountCalls("DL_SetConfig"), 0);
  EXPECT_EQ(sink_.boxes.size(), 1u);

  sink_.boxes.clear();
  ASSERT_TRUE(session_.OnDeleteLanguage());
  EXPECT_EQ(Texts(), std::vector<std::string>{"DeleteLangSuccess,Please Reboot"});
  sink_.chosenPaths = {dir_ / "third_Russian.xls"};
  ASSERT_TRUE(session_.OnExportExcel("Russian"));
  EXPECT_EQ(session_.m_mapLanguage.at("Account.Apply"), original);
}

TEST_F(SessionTest, ImportEdgeCases) {
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  sheet->WriteText(0, 0, "A");
  sheet->WriteText(0, 1, "en");
  sheet->WriteText(0, 2, "ru");
  sheet->WriteText(2, 0, "B");  // row 1 has no key and is left out; no text cell here
  testsupport::WriteFile(dir_ / "English/.keep", "");
  struct Case {
    std::string path;
    int channel;
    std::string sent;  // "" when the device keeps nothing under that name
    const char* stored;
  } cases[] = {
      {dir_ / "x_Russian.xls", 6, "A=ru\r\nB=\r\n", "Russian"},
      {dir_ / "x_English.xls", 0, "A=en\r\nB=\r\n", "English"},
      // The folder's name does not choose the column; the file name does.
      {dir_ / "English/x_Russian.xls", 6, "A=ru\r\nB=\r\n", "Russian"},
      {dir_ / "x_russian.xls", -1, "", nullptr},
      {dir_ / "xRussian.xls", -1, "", nullptr},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(book.Save(c.path));
    calls_.clear();
    sink_.boxes.clear();
    sink_.chosenPaths = {c.path};
    const bool ok = session_.OnImportToDevice();
    ASSERT_EQ(CountCalls("DL_SetConfig"), 1) << c.path;
    for (const Call& call : calls_) {
      if (call.call == "DL_SetConfig") {
        EXPECT_EQ(call.channel, c.channel) << c.path;
      }
    }
    if (c.stored) {
      EXPECT_TRUE(ok) << c.path;
      EXPECT_EQ(testsupport::ReadFile(state() + "/imported/" + c.stored), c.sent) << c.path;
      EXPECT_EQ(Texts().back(), "ImportOK,Please Reboot");
    } else {
      EXPECT_FALSE(ok) << c.path;
      EXPECT_EQ(Texts().back(), "ImportFailed") << "the device knows no language -1";
    }
  }
  // Not a workbook: silent, nothing sent.
  testsupport::WriteFile(dir_ / "bad_Russian.xls", "A=b\r\n");
  calls_.clear();
  sink_.boxes.clear();
  sink_.chosenPaths = {dir_ / "bad_Russian.xls"};
  EXPECT_FALSE(session_.OnImportToDevice());
  EXPECT_EQ(Texts(), std::vector<std::string>{"YESorNO?"});
  EXPECT_EQ(CountCalls("DL_SetConfig"), 0);
  EXPECT_FALSE(session_.LastProblem().empty());
}

TEST_F(SessionTest, RefusalsOfAUserWithoutTheLanguageRight) {
  ASSERT_TRUE(testsupport::EditDeviceJson(state(), [](Json::Value& root) {
    for (Json::Value& u : root["Users"])
      if (u["Name"] == "admin") {
        u["Rights"] = Json::Value(Json::arrayValue);
        u["Rights"].append("Config");
      }
  }));
  StartDevice();
  // Listing needs the right too: logged in, told why the list is empty.
  EXPECT_FALSE(session_.OnLogin(Input()));
  EXPECT_TRUE(session_.IsLoggedIn());
  EXPECT_TRUE(session_.Languages().empty());
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  sheet->WriteText(0, 0, "k");
  sheet->WriteText(0, 2, "t");
  ASSERT_TRUE(book.Save(dir_ / "x_Russian.xls"));
  sink_.chosenPaths = {dir_ / "x_Russian.xls"};
  EXPECT_FALSE(session_.OnImportToDevice());
  EXPECT_FALSE(session_.OnDeleteLanguage());
  sink_.chosenPaths = {dir_ / "x_Russian.xls"};
  EXPECT_FALSE(session_.OnExportExcel("Russian"));
  EXPECT_EQ(Texts(), (std::vector<std::string>{"NoRight", "YESorNO?", "NoRight", "NoRight",
                                               "NoRight"}));
  EXPECT_TRUE(session_.IsLoggedIn()) << "the session stays open";
}

// --- cells a device language line cannot carry --------------------------

struct HostileRow {
  const char* name;
  std::vector<std::array<std::string, 3>> rows;  // key, English, text
  std::vector<int> sheetRows;                    // rows the refusal names (from 1)
};

const HostileRow kHostileRows[] = {
    {"LineBreakInText", {{"A", "a", "ok"}, {"B", "b", "two\nlines"}}, {2}},
    {"CarriageReturnInText", {{"A", "a", "one\rtwo"}}, {1}},
    {"LineBreakInKey", {{"A", "a", "x"}, {"Evil\nKey", "b", "y"}}, {2}},
    {"EqualsInKey", {{"A=B", "a", "x"}}, {1}},
    {"DuplicateKey", {{"A", "a", "x"}, {"B", "b", "y"}, {"A", "c", "z"}}, {3}},
    {"TextColumnEmptyEverywhere", {{"A", "a", ""}, {"B", "b", ""}}, {}},
};

class HostileWorkbook : public SessionTest, public ::testing::WithParamInterface<HostileRow> {};

TEST_P(HostileWorkbook, ImportAndConvertRefuseAndChangeNothing) {
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  int row = 0;
  for (const auto& r : GetParam().rows) {
    for (int c = 0; c < 3; ++c) {
      if (!r[c].empty()) {
        ASSERT_TRUE(sheet->WriteText(row, c, r[c]));
      }
    }
    ++row;
  }
  // Both workbook formats are refused alike.
  for (const char* extension : {".xls", ".xlsx"}) {
    SCOPED_TRACE(extension);
    const std::string path = dir_ / (std::string("x_Russian") + extension);
    ASSERT_TRUE(book.Save(path));
    const std::string strings = dir_ / "strings";
    testsupport::WriteFile(strings + "/Russian", "\xEF\xBB\xBF\r\nA=old\r\n");
    testsupport::WriteFile(dir_ / "program/Config.ini", "[Path]\nStringPath=" + strings + "\n");
    const std::string workbookBefore = testsupport::ReadFile(path);
    const std::string deviceBefore = testsupport::ReadFile(state() + "/languages/Russian");

    auto expectRefusal = [&](const char* what) {
      ASSERT_FALSE(sink_.boxes.empty()) << what;
      const std::string& text = sink_.boxes.back().text;
      EXPECT_EQ(0u, text.rfind("CellsRefused", 0)) << what << ": " << text;
      for (int r : GetParam().sheetRows)
        EXPECT_NE(std::string::npos, text.find("row " + std::to_string(r) + ":")) << what << ": " << text;
      if (GetParam().sheetRows.empty()) {
        EXPECT_NE(std::string::npos, text.find("empty in every row")) << what << ": " << text;
      }
    };
    sink_.chosenPaths = {path};
    calls_.clear();
    EXPECT_FALSE(session_.OnImportToDevice());
    expectRefusal("import");
    EXPECT_EQ(0, CountCalls("DL_SetConfig")) << "nothing reaches the device";
    sink_.chosenPaths = {path};
    EXPECT_FALSE(session_.OnCreateLanguage());
    expectRefusal("convert");

    EXPECT_FALSE(testsupport::FileExists(state() + "/imported/Russian"));
    EXPECT_EQ(deviceBefore, testsupport::ReadFile(state() + "/languages/Russian"));
    EXPECT_EQ("\xEF\xBB\xBF\r\nA=old\r\n", testsupport::ReadFile(strings + "/Russian"));
    EXPECT_EQ(workbookBefore, testsupport::ReadFile(path));
    EXPECT_FALSE(testsupport::FileExists(dir_ / "program/LanguageBackup/Russian"));
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileWorkbook, ::testing::ValuesIn(kHostileRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, TheToolsOwnExportShapesStillPassAndConvertKeepsABackup) {
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  // A key with a trailing blank and a row without a key, as exports hold them.
  sheet->WriteText(0, 0, "Key ");
  sheet->WriteText(0, 2, "text one");
  sheet->WriteText(1, 1, "no key here");
  sheet->WriteText(1, 2, "ignored");
  sheet->WriteText(2, 0, "Other");
  sheet->WriteText(2, 2, "text two");
  // In a folder whose name holds "English": the file name alone decides.
  const std::string path = dir_ / "EnglishTeam/x_Russian.xls";
  testsupport::WriteFile(dir_ / "EnglishTeam/.keep", "");
  ASSERT_TRUE(book.Save(path));
  sink_.chosenPaths = {path};
  ASSERT_TRUE(session_.OnImportToDevice()) << session_.LastProblem();
  EXPECT_EQ("Key =text one\r\nOther=text two\r\n",
            testsupport::ReadFile(state() + "/imported/Russian"));

  const std::string strings = dir_ / "strings";
  testsupport::WriteFile(strings + "/Russian", "previous file");
  testsupport::WriteFile(dir_ / "program/Config.ini", "[Path]\nStringPath=" + strings + "\n");
  sink_.chosenPaths = {path};
  ASSERT_TRUE(session_.OnCreateLanguage()) << session_.LastProblem();
  EXPECT_EQ("\xEF\xBB\xBF\r\nKey =text one\r\nOther=text two\r\n",
            testsupport::ReadFile(strings + "/Russian"));
  EXPECT_EQ("previous file", testsupport::ReadFile(dir_ / "program/LanguageBackup/Russian"));
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(strings))
    names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"Russian"}) << "no backup in the shipped folder";
  // One level: the next conversion keeps the file it replaces, not older ones.
  sink_.chosenPaths = {path};
  ASSERT_TRUE(session_.OnCreateLanguage());
  EXPECT_EQ(testsupport::ReadFile(strings + "/Russian"),
            testsupport::ReadFile(dir_ / "program/LanguageBackup/Russian"));
}

// --- a session that lasts -------------------------------------------------

TEST_F(SessionTest, IdleSessionIsKeptAliveWithoutLoggingInAgain) {
  ASSERT_TRUE(testsupport::EditDeviceJson(state(), [](Json::Value& v) { v["SessionIdleMs"] = 600; }));
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * 600 + 200));
  sink_.chosenPaths = {dir_ / "a_English.xls"};
  EXPECT_TRUE(session_.OnExportExcel("English")) << session_.LastProblem();
  EXPECT_EQ(0, CountCalls("DL_Relogin")) << "the device dropped the idle session";
}

TEST_F(SessionTest, RestartedDeviceIsLoggedInAgainOnceAndAStoppedOneIsReported) {
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  sink_.chosenPaths = {dir_ / "a_English.xls"};
  ASSERT_TRUE(session_.OnExportExcel("English"));
  const std::uint16_t port = devsim_.port();
  devsim_.Stop();
  std::string error;
  ASSERT_TRUE(devsim_.Start(state(), &error, port)) << error;
  sink_.chosenPaths = {dir_ / "b_English.xls"};
  EXPECT_TRUE(session_.OnExportExcel("English")) << session_.LastProblem();
  EXPECT_EQ(1, CountCalls("DL_Relogin"));
  EXPECT_TRUE(session_.IsLoggedIn());

  devsim_.Stop();
  DL_SetConnectTime(300, 1);
  sink_.boxes.clear();
  sink_.chosenPaths = {dir_ / "c_English.xls"};
  EXPECT_FALSE(session_.OnExportExcel("English"));
  EXPECT_EQ(Texts(), std::vector<std::string>{"ConnectionLost"});
  EXPECT_FALSE(session_.IsLoggedIn());
  EXPECT_TRUE(session_.Languages().empty());
  EXPECT_FALSE(testsupport::FileExists(dir_ / "c_English.xls"));
}

TEST_F(SessionTest, ImportOverTheRequestLimitNamesSizeAndLimitAndSendsNothing) {
  StartDevice();
  ASSERT_TRUE(session_.OnLogin(Input()));
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  for (int row = 0; row < 40; ++row) {
    ASSERT_TRUE(sheet->WriteText(row, 0, "Key" + std::to_string(row)));
    ASSERT_TRUE(sheet->WriteText(row, 2, std::string(30000, 'a' + row % 26)));
  }
  const std::string path = dir_ / "big_Russian.xls";
  ASSERT_TRUE(book.Save(path));
  sink_.chosenPaths = {path};
  calls_.clear();
  sink_.boxes.clear();
  EXPECT_FALSE(session_.OnImportToDevice());
  EXPECT_EQ(0, CountCalls("DL_SetConfig"));
  ASSERT_EQ(2u, sink_.boxes.size());
  const std::string& text = sink_.boxes.back().text;
  EXPECT_EQ(0u, text.rfind("TooLarge\n", 0)) << text;
  EXPECT_NE(std::string::npos, text.find(" bytes > 1048536 bytes")) << text;
  EXPECT_NE(std::string::npos, session_.LastProblem().find("limit of 1048536 bytes"));
  EXPECT_FALSE(testsupport::FileExists(state() + "/imported/Russian"));
}

}  // namespace
