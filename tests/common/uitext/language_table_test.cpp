// The language table: lookups, the fallback rule and the two configurations.
#include "common/uitext/language_table.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;
using uitext::CInitLanguage;
using uitext::CMultiLanguage;

class FirmsmithTable : public ::testing::Test {
 protected:
  void TearDown() override { CInitLanguage::ReleaseInstance(); }

  CInitLanguage* Load(const std::string& config, const std::string& langName,
                      const std::string& langText) {
    if (!config.empty()) WriteFile(dir_ / "Config.ini", config);
    if (!langName.empty()) WriteFile(dir_ / ("Language/" + langName + ".lang"), langText);
    CInitLanguage* t = CInitLanguage::GetInstance();
    t->SetBasePath(dir_.path());
    t->LoadLanguage();
    return t;
  }

  TempDir dir_;
};

TEST_F(FirmsmithTable, FallbackWithoutAnyFile) {
  CInitLanguage* t = Load("", "", "");
  EXPECT_EQ(t->languageName(), "English");
  struct {
    const char* key;
    const char* shown;
  } cases[] = {
      {"alarm_make", "alarm_make"},
      {"Transloom.PortError", "PortError"},
      {"Transloom.ImportOK,Please Reboot", "ImportOK,Please Reboot"},
      {"a.b.c", "b.c"},
      {"\nalarm_readProduct", "\nalarm_readProduct"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(t->GetString(c.key), c.shown) << c.key;
}

TEST_F(FirmsmithTable, TranslatesWithProfileRules) {
  CInitLanguage* t = Load("[themes]\nSolution=SimpChinese\n", "SimpChinese",
                          "[Other]\nBrowse=wrong\n[string]\n Browse = 浏览 \nEmpty=\n"
                          "Quoted=\"  q  \"\nLong=" + std::string(400, 'x') + "\n"
                          "Browse=second\n");
  EXPECT_EQ(t->languageFilePath(), dir_ / "Language/SimpChinese.lang");
  EXPECT_EQ(t->GetString("browse"), "浏览");
  EXPECT_EQ(t->GetString("Empty"), "Empty") << "an empty value counts as missing";
  EXPECT_EQ(t->GetString("Quoted"), "  q  ");
  EXPECT_EQ(t->GetString("Long"), std::string(299, 'x'));
  EXPECT_EQ(t->GetString("Transloom.LoginFailed"), "LoginFailed");
  EXPECT_EQ(uitext::GetString("browse"), "浏览") << "the process-wide lookup uses this table";
}

TEST_F(FirmsmithTable, SolutionRules) {
  // Empty Solution selects English; a language without a file stays active
  // and everything falls back.
  CInitLanguage* t = Load("[THEMES]\nsolution=\n", "English", "[String]\nPrompt=Notice\n");
  EXPECT_EQ(t->languageName(), "English");
  EXPECT_EQ(t->GetString("Prompt"), "Notice");
  CInitLanguage::ReleaseInstance();
  t = Load("[themes]\nSolution=Klingon\n", "", "");
  EXPECT_EQ(t->languageName(), "Klingon");
  EXPECT_EQ(t->languageFilePath(), dir_ / "Language/Klingon.lang");
  EXPECT_EQ(t->GetString("Prompt"), "Prompt");
}

TEST_F(FirmsmithTable, SolutionIsCutTo127Bytes) {
  CInitLanguage* t = Load("[themes]\nSolution=" + std::string(200, 'L') + "\n", "", "");
  EXPECT_EQ(t->languageName(), std::string(127, 'L'));
}

TEST_F(FirmsmithTable, ReleaseGivesAFreshUnloadedTable) {
  Load("[themes]\nSolution=X\n", "X", "[String]\nk=v\n");
  CInitLanguage::ReleaseInstance();
  EXPECT_EQ(CInitLanguage::GetInstance()->GetString("k"), "k");
  EXPECT_TRUE(CInitLanguage::GetInstance()->languageFilePath().empty());
}

TEST(TransloomTable, FilesBesideTheProgramAnd63ByteSolution) {
  TempDir dir;
  WriteFile(dir / "Config.ini", "[themes]\nSolution=Russian\n");
  WriteFile(dir / "Russian.lang", "[String]\nTransloom.Login=Вход\n");
  CMultiLanguage* t = CMultiLanguage::GetInstance();
  t->SetBasePath(dir.path());
  t->LoadLanguage();
  EXPECT_EQ(t->languageFilePath(), dir / "Russian.lang");
  EXPECT_EQ(t->GetString("Transloom.Login"), "Вход");
  EXPECT_EQ(t->GetString("Transloom.LoginFailed:PasswdError"), "LoginFailed:PasswdError");
  WriteFile(dir / "Config.ini", "[themes]\nSolution=" + std::string(100, 'L') + "\n");
  t->LoadLanguage();
  EXPECT_EQ(t->languageName(), std::string(63, 'L'));
  CMultiLanguage::ReleaseInstance();
}

}  // namespace
