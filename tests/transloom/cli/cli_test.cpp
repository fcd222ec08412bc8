// transloom-cli against the device simulator on loopback: the same texts as
// the dialog, exit status 0 only on success. Most runs use a copy of the
// program in a folder of its own without language files, so every text shows
// as its key after the first dot.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "devsim_runner.h"
#include "loopback_listener.h"
#include "peer_tools.h"
#include "test_support.h"
#include "transloom/workbook/workbook.h"

namespace {

using testsupport::CommandResult;
using testsupport::RunCommand;
using testsupport::TempDir;

class TransloomCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::CopyDevsimState(state()));
    const std::string built = testsupport::AppDir() + "/bin/transloom-cli";
    ASSERT_TRUE(testsupport::FileExists(built)) << built;
    testsupport::WriteFile(program(), testsupport::ReadFile(built));
    ASSERT_EQ(::chmod(program().c_str(), 0755), 0);
  }
  void StartDevice() {
    std::string error;
    ASSERT_TRUE(devsim_.Start(state(), &error)) << error;
  }
  std::string state() const { return dir_ / "state"; }
  std::string program() const { return dir_ / "program/transloom-cli"; }
  std::vector<std::string> Device(const std::string& password = "admin123") const {
    return {"--ip",   "127.0.0.1", "--port",     std::to_string(devsim_.port()),
            "--user", "admin",     "--password", password};
  }
  CommandResult Run(std::vector<std::string> args, const std::vector<std::string>& device = {},
                    const std::map<std::string, std::string>& env = {}) {
    args.insert(args.begin(), program());
    args.insert(args.end(), device.begin(), device.end());
    return RunCommand(args, "", env);
  }

  TempDir dir_;
  testsupport::DevsimRunner devsim_;
};

TEST_F(TransloomCli, LanguagesInListOrder) {
  testsupport::WriteFile(state() + "/languages/arabic", "k=v\n");
  StartDevice();
  const CommandResult r = Run({"languages"}, Device());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "arabic\nEnglish\nRussian\nSimpChinese\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(TransloomCli, LoginTextsAndPasswordFromTheEnvironment) {
  StartDevice();
  struct Case {
    std::vector<std::string> device;
    std::map<std::string, std::string> env;
    int status;
    const char* err;
  } cases[] = {
      {Device("wrong"), {}, 1, "Prompt: LoginFailed:PasswdError\n"},
      {{"--ip", "127.0.0.1", "--port", "65536"}, {{"TRANSLOOM_PASSWORD", "x"}}, 1, "Prompt: PortError\n"},
      // Explicitly empty counts as given: it is sent and refused.
      {{"--ip", "127.0.0.1", "--port", std::to_string(devsim_.port())},
       {{"TRANSLOOM_PASSWORD", ""}},
       1,
       "Prompt: LoginFailed:PasswdError\n"},
      {{"--ip", "127.0.0.1", "--port", std::to_string(devsim_.port())},
       {{"TRANSLOOM_PASSWORD", "admin123"}},
       0,
       ""},
      {{"--ip", "127.0.0.1", "--port", std::to_string(devsim_.port()), "--password", "wrong"},
       {{"TRANSLOOM_PASSWORD", "admin123"}},
       1,
       "Prompt: LoginFailed:PasswdError\n"},
  };
  for (const Case& c : cases) {
    const CommandResult r = Run({"languages"}, c.device, c.env);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.err);
  }
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"languages"},
                                              {"languages", "--ip", "localhost"},
                                              {"languages", "--ip", "127.0.0.1", "--bogus", "1"},
                                              {"import", "--ip", "127.0.0.1"}}) {
    // Usage errors exit 2, as diff and grep do.
    const CommandResult r = Run(bad);
    EXPECT_EQ(r.status, 2) << bad.back();
    EXPECT_NE(r.err.find("transloom-cli: "), std::string::npos) << r.err;
  }
}

// No --password, no TRANSLOOM_PASSWORD and no terminal to ask: every device
// command stops before it connects.
TEST_F(TransloomCli, NoPasswordAndNoTerminalStopsEveryDeviceCommandBeforeConnecting) {
  testsupport::LoopbackListener device;
  ASSERT_TRUE(device.Start());
  const std::vector<std::string> login = {"--ip", "127.0.0.1", "--port", std::to_string(device.port())};
  testsupport::WriteFile(dir_ / "book.xls", "not opened");
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"languages"}, {"delete"},
        {"export", "--language", "Russian", "--out", dir_ / "out.xls"},
        {"import", dir_ / "book.xls"}}) {
    const CommandResult r = Run(command, login);
    EXPECT_EQ(r.status, 2) << command[0] << ": " << r.err;
    EXPECT_NE(r.err.find("transloom-cli: no password given"), std::string::npos) << r.err;
  }
  EXPECT_EQ(device.Connections(), 0);
  EXPECT_FALSE(testsupport::FileExists(dir_ / "out.xls"));
  EXPECT_EQ(testsupport::ReadFile(dir_ / "book.xls"), "not opened");
}

// On a terminal the password is asked for, and what is typed is not echoed.
TEST_F(TransloomCli, AsksForThePasswordWithoutEchoOnATerminal) {
  StartDevice();
  // A pseudo-terminal as standard input and output; the typed password is
  // sent once the prompt shows, and everything the terminal shows is kept.
  const char* kOnTerminal =
      "import os, pty, signal, sys\n"
      "pid, fd = pty.fork()\n"
      "if pid == 0:\n"
      "    os.execv(sys.argv[1], sys.argv[1:])\n"
      // A prompt that never shows, or input that is never taken, fails the
      // test within a minute instead of hanging it.
      "signal.alarm(60)\n"
      "shown = b''\n"
      "while b'Password: ' not in shown:\n"
      "    shown += os.read(fd, 1024)\n"
      "os.write(fd, b'admin123\\n')\n"
      "try:\n"
      "    while True:\n"
      "        chunk = os.read(fd, 1024)\n"
      "        if not chunk: break\n"
      "        shown += chunk\n"
      "except OSError:\n"
      "    pass\n"
      "status = os.waitpid(pid, 0)[1]\n"
      "sys.stdout.write(shown.decode(errors='replace'))\n"
      "sys.exit(os.waitstatus_to_exitcode(status))\n";
  const CommandResult r =
      RunCommand({"/usr/bin/python3", "-c", kOnTerminal, program(), "languages", "--ip", "127.0.0.1",
                  "--port", std::to_string(devsim_.port())});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Password: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Russian"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("admin123"), std::string::npos) << r.out;
}

TEST_F(TransloomCli, TranslatedTextsBesideTheBuiltProgram) {
  StartDevice();
  const CommandResult r =
      RunCommand({testsupport::AppDir() + "/bin/transloom-cli", "languages", "--ip", "127.0.0.1",
                  "--port", std::to_string(devsim_.port()), "--password", "wrong"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "Prompt: Login failed:wrong password\n");
}

TEST_F(TransloomCli, ExportImportDeleteConvert) {
  if (!workbooktest::HavePythonModule("xlrd")) GTEST_SKIP() << "python3-xlrd is missing";
  StartDevice();
  const std::string book = dir_ / "work/127.0.0.1_20261210000000_Russian.xls";
  testsupport::WriteFile(dir_ / "work/.keep", "");
  CommandResult r = Run({"export", "--language", "Russian", "--out", book}, Device());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, book + "\n");
  EXPECT_EQ(r.err, "Prompt: ExportOK\n" + book + "\n");
  std::vector<workbooktest::PeerSheet> sheets;
  std::string error;
  ASSERT_TRUE(workbooktest::ReadWithXlrd(book, &sheets, &error)) << error;
  ASSERT_EQ(sheets.size(), 1u);
  bool sawKeyboard = false;
  for (const auto& [pos, cell] : sheets[0].cells) {
    if (pos.second == 0 && cell.text == "Login.Keyboard") {
      sawKeyboard = true;
      EXPECT_EQ(sheets[0].cells.at({pos.first, 1}).text, "");
      EXPECT_NE(sheets[0].cells.at({pos.first, 2}).text, "");
    }
  }
  EXPECT_TRUE(sawKeyboard);

  r = Run({"export", "--language", "Korean", "--out", dir_ / "k_Korean.xls"}, Device());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "Prompt: selectlang\n");

  r = Run({"import", book}, Device());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Prompt: ImportOK,Please Reboot\n");
  EXPECT_TRUE(testsupport::FileExists(state() + "/imported/Russian"));
  r = Run({"delete"}, Device());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Prompt: DeleteLangSuccess,Please Reboot\n");
  EXPECT_FALSE(testsupport::FileExists(state() + "/imported/Russian"));

  // Conversion into the strings folder of Config.ini, or the one given.
  testsupport::WriteFile(dir_ / "program/Config.ini",
                         "[Path]\nStringPath=" + dir_ / "strings" + "\n");
  testsupport::WriteFile(dir_ / "strings/.keep", "");
  testsupport::WriteFile(dir_ / "other/.keep", "");
  r = Run({"convert", book});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Prompt: CreateOk\n" + dir_ / "strings/Russian" + "\n");
  const std::string file = testsupport::ReadFile(dir_ / "strings/Russian");
  EXPECT_EQ(file.substr(0, 5), "\xEF\xBB\xBF\r\n");
  EXPECT_NE(file.find("\r\nLogin.Keyboard="), std::string::npos);
  r = Run({"convert", book, "--strings-dir", dir_ / "other"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::ReadFile(dir_ / "other/Russian"), file);

  // Silent ends of the dialog still fail the command, with the reason.
  testsupport::WriteFile(dir_ / "work/a_Thai.XLS", testsupport::ReadFile(book));
  testsupport::WriteFile(dir_ / "work/b_Thai.xls", "not a workbook");
  for (const std::string& input : {dir_ / "work/a_Thai.XLS", dir_ / "work/b_Thai.xls"}) {
    r = Run({"convert", input});
    EXPECT_EQ(r.status, 1) << input;
    EXPECT_EQ(r.err.rfind("transloom-cli: ", 0), 0u) << r.err;
    EXPECT_FALSE(testsupport::FileExists(dir_ / "strings/Thai"));
  }
}

// A translator's spreadsheet program wrote this workbook, not our writer:
// LibreOffice turns a CSV into an Excel 97 file, which we import and convert.
TEST_F(TransloomCli, WorkbookSavedByLibreOfficeFromCsv) {
  if (!testsupport::HaveProgram("soffice")) GTEST_SKIP() << "LibreOffice is missing";
  testsupport::WriteFile(dir_ / "lo/127.0.0.1_20261210000000_Russian.csv",
                         "Menu.Title,Main menu,\u0413\u043b\u0430\u0432\u043d\u043e\u0435\n"
                         "Menu.Net,Network,\u7f51\u7edc\u8bbe\u7f6e\n"
                         "Menu.Ar,Arabic,\u0645\u0631\u062d\u0628\u0627\n"
                         "Menu.Count,Count,10\n"
                         ",orphan,left out\n");
  const CommandResult lo = RunCommand(
      {"soffice", "--headless", "--norestore", "--infilter=CSV:44,34,76,1",
       "--convert-to", "xls:MS Excel 97", "--outdir", dir_ / "lo",
       dir_ / "lo/127.0.0.1_20261210000000_Russian.csv"},
      "", {{"HOME", dir_ / "lo-home"}});
  const std::string book = dir_ / "lo/127.0.0.1_20261210000000_Russian.xls";
  ASSERT_TRUE(testsupport::FileExists(book)) << lo.out << lo.err;

  const std::string lines =
      "Menu.Title=\u0413\u043b\u0430\u0432\u043d\u043e\u0435\r\n"
      "Menu.Net=\u7f51\u7edc\u8bbe\u7f6e\r\n"
      "Menu.Ar=\u0645\u0631\u062d\u0628\u0627\r\n"
      "Menu.Count=10\r\n";
  StartDevice();
  CommandResult r = Run({"import", book}, Device());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::ReadFile(state() + "/imported/Russian"), lines);

  testsupport::WriteFile(dir_ / "strings/.keep", "");
  r = Run({"convert", book, "--strings-dir", dir_ / "strings"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::ReadFile(dir_ / "strings/Russian"), "\xEF\xBB\xBF\r\n" + lines);
}

// An export to .xlsx holds the same cells as the .xls export of the same
// language, as openpyxl and LibreOffice read them; an existing .xlsx file is
// replaced only with --force, since none of its other cells are kept.
TEST_F(TransloomCli, ExportToXlsxReadsLikeTheXlsExport) {
  if (!workbooktest::HavePythonModule("openpyxl")) GTEST_SKIP() << "python3-openpyxl is missing";
  StartDevice();
  const std::string xls = dir_ / "work/127.0.0.1_20261210000000_Russian.xls";
  const std::string xlsx = dir_ / "work/127.0.0.1_20261210000000_Russian.xlsx";
  testsupport::WriteFile(dir_ / "work/.keep", "");
  for (const std::string& out : {xls, xlsx}) {
    const CommandResult r = Run({"export", "--language", "Russian", "--out", out}, Device());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Prompt: ExportOK\n" + out + "\n");
  }
  EXPECT_EQ(testsupport::ReadFile(xlsx).substr(0, 2), "PK");
  std::vector<workbooktest::PeerSheet> fromXls;
  workbooktest::PeerSheet fromXlsx;
  std::string error;
  ASSERT_TRUE(workbooktest::ReadWithXlrd(xls, &fromXls, &error)) << error;
  ASSERT_TRUE(workbooktest::ReadWithOpenpyxl(xlsx, &fromXlsx, &error)) << error;
  // xlrd shows the empty English texts of keys English lacks; the .xlsx
  // writer leaves such cells out.
  std::map<std::pair<int, int>, std::string> expected;
  for (const auto& [pos, cell] : fromXls.at(0).cells)
    if (!cell.text.empty()) expected[pos] = cell.text;
  ASSERT_GT(expected.size(), 10u);
  ASSERT_EQ(fromXlsx.cells.size(), expected.size());
  for (const auto& [pos, text] : expected) {
    ASSERT_TRUE(fromXlsx.cells.count(pos)) << pos.first << "," << pos.second;
    EXPECT_EQ(fromXlsx.cells.at(pos).text, text) << pos.first << "," << pos.second;
  }
  if (testsupport::HaveProgram("soffice")) {
    std::vector<std::vector<std::string>> rows;
    ASSERT_TRUE(workbooktest::ReadWithLibreOffice(xlsx, &rows, &error)) << error;
    for (const auto& [pos, text] : expected) {
      ASSERT_LT(pos.first, static_cast<int>(rows.size()));
      ASSERT_LT(pos.second, static_cast<int>(rows[pos.first].size()));
      EXPECT_EQ(rows[pos.first][pos.second], text) << pos.first << "," << pos.second;
    }
  }

  const std::string before = testsupport::ReadFile(xlsx);
  CommandResult r = Run({"export", "--language", "English", "--out", xlsx}, Device());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(xlsx + " exists: an .xlsx export writes a new file"), std::string::npos)
      << r.err;
  EXPECT_EQ(testsupport::ReadFile(xlsx), before);
  r = Run({"export", "--language", "English", "--out", xlsx, "--force"}, Device());
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(workbooktest::ReadWithOpenpyxl(xlsx, &fromXlsx, &error)) << error;
  // English has two columns; nothing of the Russian file's third is left.
  for (const auto& [pos, cell] : fromXlsx.cells) EXPECT_LT(pos.second, 2) << pos.first;
}

// The same sheet saved by LibreOffice as .xls and as .xlsx imports and
// converts to the same bytes.
TEST_F(TransloomCli, WorkbookSavedByLibreOfficeAsXlsxMatchesItsXlsTwin) {
  if (!testsupport::HaveProgram("soffice")) GTEST_SKIP() << "LibreOffice is missing";
  const std::string csv = dir_ / "lo/127.0.0.1_20261210000000_Russian.csv";
  testsupport::WriteFile(csv,
                         "Menu.Title,Main menu,\u0413\u043b\u0430\u0432\u043d\u043e\u0435\n"
                         "Menu.Pad,Padded,\"  \u043f\u0440\u043e\u0431\u0435\u043b  \"\n"
                         "Menu.Emoji,Emoji,\U0001F4F9 \u5f55\u50cf\n"
                         "Menu.Count,Count,10\n"
                         "Menu.Half,Half,0.5\n"
                         ",orphan,left out\n");
  std::map<std::string, std::string> imported, converted;
  StartDevice();
  for (const char* format : {"xls:MS Excel 97", "xlsx:Calc MS Excel 2007 XML"}) {
    const CommandResult lo =
        RunCommand({"soffice", "--headless", "--norestore", "--infilter=CSV:44,34,76,1",
                    "--convert-to", format, "--outdir", dir_ / "lo", csv},
                   "", {{"HOME", dir_ / "lo-home"}});
    const std::string extension = std::string(format).substr(0, std::string(format).find(':'));
    const std::string book = dir_ / ("lo/127.0.0.1_20261210000000_Russian." + extension);
    ASSERT_TRUE(testsupport::FileExists(book)) << lo.out << lo.err;
    CommandResult r = Run({"import", book}, Device());
    ASSERT_EQ(r.status, 0) << r.err;
    imported[extension] = testsupport::ReadFile(state() + "/imported/Russian");
    testsupport::WriteFile(dir_ / ("strings-" + extension + "/.keep"), "");
    r = Run({"convert", book, "--strings-dir", dir_ / ("strings-" + extension)});
    ASSERT_EQ(r.status, 0) << r.err;
    converted[extension] = testsupport::ReadFile(dir_ / ("strings-" + extension + "/Russian"));
  }
  const std::string lines =
      "Menu.Title=\u0413\u043b\u0430\u0432\u043d\u043e\u0435\r\n"
      "Menu.Pad=  \u043f\u0440\u043e\u0431\u0435\u043b  \r\n"
      "Menu.Emoji=\U0001F4F9 \u5f55\u50cf\r\n"
      "Menu.Count=10\r\n"
      "Menu.Half=0.5\r\n";
  EXPECT_EQ(imported["xls"], lines);
  EXPECT_EQ(imported["xlsx"], imported["xls"]);
  EXPECT_EQ(converted["xls"], "\xEF\xBB\xBF\r\n" + lines);
  EXPECT_EQ(converted["xlsx"], converted["xls"]);
}

// Every failed device call fails the command: a list the device refuses
// is not an empty device.
TEST_F(TransloomCli, LanguagesFailsWhenTheListIsRefused) {
  ASSERT_TRUE(testsupport::EditDeviceJson(state(), [](Json::Value& root) {
    for (Json::Value& u : root["Users"])
      if (u["Name"] == "admin") {
        u["Rights"] = Json::Value(Json::arrayValue);
        u["Rights"].append("Config");
      }
  }));
  StartDevice();
  const CommandResult r = Run({"languages"}, Device());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("NoRight"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("-11300"), std::string::npos) << r.err;
}

// The text column comes from the workbook's name, however the path to it
// is written: a Russian workbook in a folder named "EnglishTeam".
TEST_F(TransloomCli, RussianWorkbookInAnEnglishFolderConvertsToRussian) {
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  sheet->WriteText(0, 0, "Menu.Title");
  sheet->WriteText(0, 1, "Main menu");
  sheet->WriteText(0, 2, "\u0413\u043b\u0430\u0432\u043d\u043e\u0435");
  testsupport::WriteFile(dir_ / "work/EnglishTeam/.keep", "");
  testsupport::WriteFile(dir_ / "strings/.keep", "");
  ASSERT_TRUE(book.Save(dir_ / "work/EnglishTeam/x_Russian.xls"));
  const std::string expected =
      "\xEF\xBB\xBF\r\nMenu.Title=\u0413\u043b\u0430\u0432\u043d\u043e\u0435\r\n";
  CommandResult r = Run({"convert", dir_ / "work/EnglishTeam/x_Russian.xls", "--strings-dir",
                         dir_ / "strings"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::ReadFile(dir_ / "strings/Russian"), expected);
  ::unlink((dir_ / "strings/Russian").c_str());
  r = RunCommand({"/bin/sh", "-c",
                  "cd \"$1\" && exec \"$2\" convert EnglishTeam/x_Russian.xls --strings-dir \"$3\"",
                  "sh", dir_ / "work", program(), dir_ / "strings"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::ReadFile(dir_ / "strings/Russian"), expected);
}

}  // namespace
