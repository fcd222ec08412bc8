// The language selection dialog on folders the tests lay out: which files
// are listed and how, what OK stages into TempStrings, and the refusal of a
// folder without English.
#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "firmsmith/shell/language_select_dlg.h"
#include "test_support.h"

namespace {

using shell::CLanguageSelectDlg;

class LanguageSelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::WriteFile(prog_ / "Config.ini",
                           "[LanguageList]\nEnglish=English\nFrench=Français\nGerman=Deutsch\n");
    std::filesystem::create_directories(prog_ / "TempStrings");
  }
  // "<root>/FullLanguage/Strings" with the given files, each holding its name.
  std::string MakeStrings(const std::vector<std::string>& files) {
    const std::string strings = root_ / "FullLanguage/Strings";
    for (const std::string& f : files) testsupport::WriteFile(strings + "/" + f, f + "=text\n");
    std::filesystem::create_directories(strings + "/Fonts");  // folders are not languages
    return strings;
  }
  std::vector<std::string> Rows(const CLanguageSelectDlg& d, int column) {
    std::vector<std::string> rows;
    for (int i = 0; i < d.languageList()->topLevelItemCount(); ++i)
      rows.push_back(d.languageList()->topLevelItem(i)->text(column).toStdString());
    return rows;
  }
  std::vector<std::string> Staged() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(prog_ / "TempStrings"))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Prog() { return prog_.path() + "/"; }

  testsupport::TempDir prog_;
  testsupport::TempDir root_;
  testsupport::RecordingMessageSink sink_;
};

TEST_F(LanguageSelectTest, ListsLanguageFilesWithNumberNameAndDisplayName) {
  MakeStrings({"English", "French", "Polish", "German", "Korean", "French.xls", "notes.txt"});
  CLanguageSelectDlg d(root_ / "FullLanguage/Strings", Prog(), &sink_);
  ASSERT_TRUE(d.OnInitDialog());
  // Sorted by name; English and Korean have no row; names with an extension are left out.
  EXPECT_EQ(Rows(d, 0), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(Rows(d, 1), (std::vector<std::string>{"French", "German", "Polish"}));
  EXPECT_EQ(Rows(d, 2), (std::vector<std::string>{"Français", "Deutsch", ""}));
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(d.languageList()->topLevelItem(i)->checkState(0), Qt::Checked);
  EXPECT_TRUE(d.selectAllBox()->isChecked());
  EXPECT_FALSE(d.koreanBox()->isChecked());
  EXPECT_FALSE(d.koreanBox()->isHidden());
  EXPECT_EQ(d.languageList()->headerItem()->text(1).toStdString(), "Language");
  EXPECT_TRUE(sink_.boxes.empty());
}

struct FolderCase {
  const char* name;
  const char* given;  // relative to the root
};

class FolderForms : public LanguageSelectTest, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(FolderForms, AreNormalisedToTheStringsFolder) {
  const std::string strings = MakeStrings({"English", "Italian"});
  CLanguageSelectDlg d(root_.path() + GetParam().given, Prog(), &sink_);
  ASSERT_TRUE(d.OnInitDialog());
  EXPECT_EQ(std::filesystem::path(d.languageFolder()).lexically_normal(),
            std::filesystem::path(strings).lexically_normal());
  EXPECT_EQ(Rows(d, 1), std::vector<std::string>{"Italian"});
  EXPECT_TRUE(d.koreanBox()->isHidden());  // no Korean file
}

const FolderCase kFolderForms[] = {
    {"Strings", "/FullLanguage/Strings"},
    {"ParentOfStrings", "/FullLanguage"},
    {"ParentWithSeparator", "/FullLanguage/"},
    {"BackslashSeparators", "\\FullLanguage\\Strings"},
};
INSTANTIATE_TEST_SUITE_P(Paths, FolderForms, ::testing::ValuesIn(kFolderForms),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LanguageSelectTest, OkStagesEnglishTheTickedRowsAndKorean) {
  MakeStrings({"English", "French", "German", "Korean"});
  CLanguageSelectDlg d(root_ / "FullLanguage", Prog(), &sink_);
  ASSERT_TRUE(d.OnInitDialog());
  d.show();
  d.languageList()->topLevelItem(0)->setCheckState(0, Qt::Unchecked);  // French
  QTest::mouseClick(d.koreanBox(), Qt::LeftButton, {}, d.koreanBox()->rect().center());
  QTest::mouseClick(d.okButton(), Qt::LeftButton);
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(d.koreanChoice(), 1);
  EXPECT_EQ(Staged(), (std::vector<std::string>{"English", "German", "Korean"}));
  EXPECT_EQ(testsupport::ReadFile(prog_ / "TempStrings/German"), "German=text\n");
}

TEST_F(LanguageSelectTest, WithEveryRowUntickedOkStillStagesEnglish) {
  MakeStrings({"English", "French", "German", "Korean"});
  CLanguageSelectDlg d(root_ / "FullLanguage/Strings", Prog(), &sink_);
  ASSERT_TRUE(d.OnInitDialog());
  d.show();
  QTest::mouseClick(d.selectAllBox(), Qt::LeftButton, {}, d.selectAllBox()->rect().center());
  EXPECT_FALSE(d.selectAllBox()->isChecked());
  for (int i = 0; i < d.languageList()->topLevelItemCount(); ++i)
    EXPECT_EQ(d.languageList()->topLevelItem(i)->checkState(0), Qt::Unchecked);
  QTest::keyClick(d.languageList(), Qt::Key_Return);  // OK is the default button
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(d.koreanChoice(), 0);
  EXPECT_EQ(Staged(), std::vector<std::string>{"English"});
}

TEST_F(LanguageSelectTest, ALanguageThatCannotBeStagedIsToldAndNotTaken) {
  const std::string strings = MakeStrings({"English", "French", "German"});
  CLanguageSelectDlg d(strings, Prog(), &sink_);
  ASSERT_TRUE(d.OnInitDialog());
  d.show();
  std::filesystem::remove(strings + "/French");  // gone between listing and OK
  QTest::mouseClick(d.okButton(), Qt::LeftButton);
  EXPECT_EQ(d.result(), QDialog::Rejected);
  ASSERT_EQ(sink_.boxes.size(), 1u);
  EXPECT_NE(sink_.boxes[0].reason.find(strings + "/French"), std::string::npos) << sink_.boxes[0].reason;
}

TEST_F(LanguageSelectTest, MissingEnglishTellsAndCancels) {
  MakeStrings({"French", "English.bak"});
  CLanguageSelectDlg d(root_ / "FullLanguage/Strings", Prog(), &sink_);
  EXPECT_EQ(d.exec(), QDialog::Rejected);  // returns at once, nothing shown
  ASSERT_EQ(sink_.boxes.size(), 1u);
  EXPECT_EQ(sink_.boxes[0].text, "NotExitEnglish!");
  EXPECT_TRUE(Staged().empty());
}

TEST_F(LanguageSelectTest, EscapeCancelsWithoutStaging) {
  MakeStrings({"English", "French"});
  CLanguageSelectDlg d(root_ / "FullLanguage/Strings", Prog(), &sink_);
  QTimer::singleShot(0, &d, [&d] { QTest::keyClick(&d, Qt::Key_Escape); });
  EXPECT_EQ(d.exec(), QDialog::Rejected);
  EXPECT_TRUE(Staged().empty());
}

}  // namespace
