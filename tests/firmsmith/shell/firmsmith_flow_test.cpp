// The whole operator flow through the main dialog: a package is built from
// a custom folder, then chosen as the original file and reworked with a
// FullLanguage strings folder whose languages are picked in the selection
// dialog; the message sink answers every box and chooser. The result is
// checked with unzip, not with our own archive reader.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <string>
#include <vector>

#include "dialog_fixture.h"
#include "firmsmith/package/customise/custom_partition.h"
#include "firmsmith/shell/flash_layout_bar.h"
#include "firmsmith/shell/language_select_dlg.h"

namespace dialogtest {
namespace {

using Row = shell::CFirmsmithDlg::RowIndex;

// Stands for the in-place customisation: hands back a tree holding the
// staged language files, and notes what the dialog asked for.
class StagingCustomiser : public package::PartitionCustomiser {
 public:
  explicit StagingCustomiser(std::string treeFolder) : tree_(std::move(treeFolder)) {}
  bool PrepareCustomPartition(const package::CustomisationRequest& request,
                              std::string* folder) const override {
    ++calls;
    seen = *request.options;
    const std::string staging = request.options->stagedStringsFolder;
    std::filesystem::create_directories(tree_ + "/data/Strings");
    for (const auto& e : std::filesystem::directory_iterator(staging))
      std::filesystem::copy_file(e.path(), tree_ + "/data/Strings/" + e.path().filename().string(),
                                 std::filesystem::copy_options::overwrite_existing);
    *folder = tree_;
    return true;
  }
  bool PrepareUserPartition(const package::CustomisationRequest&, std::string*) const override {
    return false;
  }
  bool AppendGainLine(const package::CustomisationRequest&, const std::string&) const override {
    return false;
  }
  mutable int calls = 0;
  mutable package::MakeOptions seen;

 private:
  std::string tree_;
};

// Confirms the language selection once it is up, unticking German.
void ConfirmLanguageSelectionWhenShown() {
  WhenModalShown([](QWidget* modal) {
    auto* select = qobject_cast<shell::CLanguageSelectDlg*>(modal);
    ASSERT_NE(select, nullptr);
    QTreeWidget* list = select->languageList();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      if (list->topLevelItem(i)->text(1) == "German")
        list->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
    QTest::mouseClick(select->okButton(), Qt::LeftButton);
  });
}

TEST_F(DialogTest, BuildThenReworkAPackageWithSelectedLanguages) {
  if (!testsupport::HaveProgram("unzip")) GTEST_SKIP() << "unzip is not installed";
  testsupport::TempDir work;
  StagingCustomiser customiser(work / "custom-tree");
  environment_.customiser = &customiser;
  WriteConfig("[LanguageList]\nFrench=Français\n");
  auto& d = Open();
  const auto& c = C();

  // 1. A new package from a custom folder.
  testsupport::WriteFile(work / "custom/ProductDefinition",
                         "{\n  \"Hardware\" : \"KV-BRD-0804C-R1\"\n}\n");
  testsupport::WriteFile(work / "custom/version.bak", "dropped by the product's ignore path\n");
  ASSERT_TRUE(ClickProduct(kSmallProduct));
  Click(c.rows[Row::kRowCustom].check);
  QTest::keyClicks(c.rows[Row::kRowCustom].path, QString::fromStdString(work / "custom"));
  Click(c.ok);
  ASSERT_EQ(sink_.boxes.size(), 1u);
  const std::string built = Prog() + "KV-N0804C_all.bin";
  EXPECT_EQ(sink_.boxes[0].text, "package_success");
  ASSERT_TRUE(testsupport::FileExists(built));
  const std::string input = work / "device.bin";
  std::filesystem::copy_file(built, input);

  // 2. The package as original file, custom-x customised with Strings.
  sink_.chosenPaths.push_back(input);
  Click(c.originalBrowse);
  EXPECT_EQ(c.originalFile->text().toStdString(), input);
  EXPECT_TRUE(d.originalFileLoaded());
  EXPECT_FALSE(c.rows[Row::kRowCustom].type->isEnabled());
  ASSERT_TRUE(c.rows[Row::kRowCustom].check->isChecked());
  ASSERT_TRUE(c.strings.check->isEnabled());
  Click(c.strings.check);
  EXPECT_FALSE(c.rows[Row::kRowCustom].path->isVisibleTo(&d));

  const std::string languages = work / "FullLanguage";
  for (const char* name : {"English", "French", "German"})
    testsupport::WriteFile(languages + "/Strings/" + name, std::string(name) + "=1\n");
  testsupport::WriteFile(Prog() + "TempStrings/Stale", "left from an earlier run\n");
  sink_.chosenPaths.push_back(languages);
  ConfirmLanguageSelectionWhenShown();
  Click(c.strings.browse);
  EXPECT_EQ(c.strings.path->text().toStdString(), languages);
  EXPECT_TRUE(d.fullLanguageStrings());
  EXPECT_EQ(d.koreanFonts(), 0);
  // Staged in a folder of this window's own; the shared "TempStrings" of
  // another run is neither used nor emptied.
  const std::string staged = d.stagedStringsFolder();
  EXPECT_EQ(staged.rfind(Prog() + "TempStrings-", 0), 0u) << staged;
  EXPECT_TRUE(testsupport::FileExists(staged + "/English"));
  EXPECT_TRUE(testsupport::FileExists(staged + "/French"));
  EXPECT_FALSE(testsupport::FileExists(staged + "/German"));
  EXPECT_FALSE(testsupport::FileExists(staged + "/Stale"));
  EXPECT_TRUE(testsupport::FileExists(Prog() + "TempStrings/Stale"));

  // 3. Enter runs the rework.
  d.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
  c.userName->setFocus();
  QTest::keyClick(c.userName, Qt::Key_Return);
  ASSERT_EQ(sink_.boxes.size(), 2u);
  EXPECT_EQ(sink_.boxes[1].text, "alarm_make");  // the completion message
  EXPECT_EQ(customiser.calls, 1);
  EXPECT_TRUE(customiser.seen.strings);
  EXPECT_TRUE(customiser.seen.fullLanguageStrings);
  EXPECT_EQ(customiser.seen.stagedStringsFolder, staged);
  EXPECT_TRUE(customiser.seen.SlotTicked(package::kSlotCustom));
  EXPECT_TRUE(testsupport::FileExists(input + ".bak"));

  const auto test = testsupport::RunCommand({"unzip", "-t", input});
  EXPECT_EQ(test.status, 0) << test.out << test.err;
  const auto list = testsupport::RunCommand({"unzip", "-Z1", input});
  EXPECT_NE(list.out.find("InstallDesc"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("custom-x."), std::string::npos) << list.out;
  EXPECT_NE(testsupport::ReadFile(input), testsupport::ReadFile(input + ".bak"));
}

// Customisation marks ticked and then given up with custom-x must not block
// the build, and the restore-defaults switch keeps its mtd-x partition.
TEST_F(DialogTest, UntickingCustomThenOkReworksWithMtd) {
  if (!testsupport::HaveProgram("unzip")) GTEST_SKIP() << "unzip is not installed";
  probeAnswers_ = false;  // "Close online upgrade" is preset, then given up too
  testsupport::TempDir work;
  const auto& c = C();
  testsupport::WriteFile(work / "custom/ProductDefinition",
                         "{\n  \"Hardware\" : \"KV-BRD-3232X-R2\"\n}\n");
  ASSERT_TRUE(ClickProduct(kFullProduct));
  Click(c.rows[Row::kRowCustom].check);
  QTest::keyClicks(c.rows[Row::kRowCustom].path, QString::fromStdString(work / "custom"));
  Click(c.ok);
  ASSERT_EQ(LastBox(), "package_success");
  const std::string input = work / "device.bin";
  std::filesystem::copy_file(Prog() + "KV-N3232X_all.bin", input);

  sink_.chosenPaths.push_back(input);
  Click(c.originalBrowse);
  ASSERT_TRUE(c.rows[Row::kRowCustom].check->isChecked());
  ASSERT_TRUE(c.closeOnlineUpgrade->isChecked());
  // Without a folder the layout bar shows the package's custom image exactly.
  c.rows[Row::kRowCustom].path->clear();
  products::FlashLayout layout = c.layoutBar->flashLayout();
  ASSERT_NE(layout.Find("CUSTOM"), nullptr);
  ASSERT_TRUE(layout.Find("CUSTOM")->fill.has_value());
  EXPECT_FALSE(layout.Find("CUSTOM")->estimated);
  EXPECT_GT(*layout.Find("CUSTOM")->fill, 0u);
  EXPECT_TRUE(layout.Find("CUSTOM")->fits());
  Click(c.strings.check);
  Click(c.configs.check);
  Click(c.restoreDefaults);
  Click(c.rows[Row::kRowCustom].check);

  Click(c.ok);
  ASSERT_EQ(sink_.boxes.size(), 2u);
  EXPECT_EQ(sink_.boxes[1].text, "alarm_make");  // built, not refused
  const auto list = testsupport::RunCommand({"unzip", "-Z1", input});
  EXPECT_NE(list.out.find("mtd-x"), std::string::npos) << list.out;
  EXPECT_TRUE(testsupport::FileExists(input + ".bak"));
}

}  // namespace
}  // namespace dialogtest
