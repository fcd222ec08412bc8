// Starts the Firmsmith program under Xvfb from a program folder of its own
// and reads back the captions its window showed (FIRMSMITH_UI_REPORT): with
// no language file every caption is its key's own text, with Simplified
// Chinese selected the captions are Chinese.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

struct StartCase {
  const char* name;
  const char* solution;    // themes/Solution, "" for none
  bool copyLanguageFiles;  // Language/*.lang of the sample installation
  std::map<std::string, std::string> captions;  // objectName -> shown text
};

std::ostream& operator<<(std::ostream& os, const StartCase& c) { return os << c.name; }

class FirmsmithStart : public ::testing::TestWithParam<StartCase> {};

std::map<std::string, std::string> ReadReport(const std::string& text) {
  std::map<std::string, std::string> captions;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto tab = line.find('\t');
    if (tab != std::string::npos) captions.emplace(line.substr(0, tab), line.substr(tab + 1));
  }
  return captions;
}

TEST_P(FirmsmithStart, ShowsTheCaptionsOfItsLanguage) {
  if (!testsupport::HaveProgram("xvfb-run")) GTEST_SKIP() << "xvfb-run is not installed";
  const std::string program = testsupport::AppDir() + "/Firmsmith";
  ASSERT_TRUE(testsupport::FileExists(program)) << program;
  testsupport::TempDir prog;
  namespace fs = std::filesystem;
  fs::copy_file(program, prog / "Firmsmith");
  fs::copy(testsupport::SourceDir() + "/data/app/Products", prog / "Products");
  if (GetParam().copyLanguageFiles)
    fs::copy(testsupport::SourceDir() + "/data/app/Language", prog / "Language");
  testsupport::WriteFile(prog / "Config.ini",
                         std::string("[themes]\nSolution=") + GetParam().solution + "\n");

  const std::string report = prog / "captions.txt";
  const auto run = testsupport::RunCommand(
      {"xvfb-run", "-a", prog / "Firmsmith"}, "",
      {{"FIRMSMITH_UI_REPORT", report}, {"QT_QPA_PLATFORM", "xcb"}});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const auto captions = ReadReport(testsupport::ReadFile(report));
  ASSERT_FALSE(captions.empty()) << run.err;
  for (const auto& [name, text] : GetParam().captions) {
    const auto shown = captions.find(name);
    ASSERT_NE(shown, captions.end()) << name;
    EXPECT_EQ(shown->second, text) << name;
  }
  // The program folder stays as it was, apart from the report.
  EXPECT_FALSE(testsupport::FileExists(prog / "CrashDumpFile.dmp"));
}

const StartCase kStartCases[] = {
    {"NoLanguageFiles", "", false,
     {{"windowTitle", "Firmsmith"},
      {"ok", "Ok"},
      {"cancel", "Cancel"},
      {"originalBrowse", "Browse"},
      {"packageType", "Network_upgrades|Burning_piecefile"},
      {"restoreDefaults", "升级后全部恢复默认"},
      {"ios", "iOS   https://apps.apple.com/app/"},
      {"stringsCheck", "Strings"},
      {"deviceGroup", "Device"}}},
    {"SimplifiedChinese", "SimpChinese", true,
     {{"cancel", "取消"},
      {"ok", "确定"},
      {"originalBrowse", "浏览..."},
      {"packageType", "网络升级包|烧录片文件"},
      {"productGroup", "产品"},
      {"partitionGroup", "分区"}}},
};
INSTANTIATE_TEST_SUITE_P(Languages, FirmsmithStart, ::testing::ValuesIn(kStartCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
