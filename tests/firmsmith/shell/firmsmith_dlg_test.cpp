// The main dialog driven through its real widgets: the start state, the
// product tree, the rules of the partition and customisation boxes, the port
// fields, the gain lists from Config.ini, the language tool button, and the
// keyboard (Enter builds, Escape closes).
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/devlink/devlink.h"
#include "common/platform/profile.h"
#include "dialog_fixture.h"
#include "common/net/ping.h"

namespace dialogtest {
namespace {

using shell::CFirmsmithDlg;
using Row = CFirmsmithDlg::RowIndex;

// ---------------------------------------------------------------------------
// Gain lists

TEST_F(DialogTest, GainListsWithoutConfigSelect0dbAndCarryCode11) {
  std::filesystem::remove(prog_ / "Config.ini");
  configWritten_ = true;
  for (QComboBox* list : {C().lineInLeft, C().lineInRight}) {
    ASSERT_EQ(list->count(), 28);
    EXPECT_EQ(list->itemText(0).toStdString(), "-16.5db");
    EXPECT_EQ(list->itemText(27).toStdString(), "24db");
    EXPECT_EQ(list->currentText().toStdString(), "0db");
    EXPECT_EQ(list->currentIndex(), 11);
    for (int i = 0; i < list->count(); ++i) EXPECT_EQ(list->itemData(i).toInt(), 11) << i;
    EXPECT_FALSE(list->isEnabled());
  }
}

TEST_F(DialogTest, GainCodesComeFromConfigAndABadCodeIsZero) {
  WriteConfig("[register]\ndefaultLineInGain=3db\n3db=1O101\n-15db=00001\n24db=11011\n");
  QComboBox* left = C().lineInLeft;
  EXPECT_EQ(left->currentText().toStdString(), "3db");
  EXPECT_EQ(C().lineInRight->currentText().toStdString(), "3db");
  EXPECT_EQ(left->itemData(left->findText("3db")).toInt(), 0);  // a letter O, not a zero
  EXPECT_EQ(left->itemData(left->findText("-15db")).toInt(), 1);
  EXPECT_EQ(left->itemData(left->findText("24db")).toInt(), 27);
  EXPECT_EQ(left->itemData(left->findText("9db")).toInt(), 11);  // missing: the default code
}

// ---------------------------------------------------------------------------
// Start state

TEST_F(DialogTest, StartsWithEveryRowLockedUntilAProductIsTicked) {
  const auto& c = C();
  for (const auto& row : c.rows) {
    EXPECT_FALSE(row.check->isEnabled());
    EXPECT_FALSE(row.type->isEnabled());
    EXPECT_EQ(row.type->currentText().toStdString(), "Cramfs");
  }
  EXPECT_FALSE(c.rows[Row::kRowApp].check->isVisibleTo(dialog_.get()));
  EXPECT_FALSE(c.rows[Row::kRowYlk].check->isVisibleTo(dialog_.get()));
  EXPECT_FALSE(c.unmountPartitions->isVisibleTo(dialog_.get()));
  EXPECT_FALSE(c.oemDevType->isVisibleTo(dialog_.get()));
  EXPECT_FALSE(c.mac->isVisibleTo(dialog_.get()));
  EXPECT_TRUE(c.fromDevice->isChecked());
  EXPECT_FALSE(c.fromDevice->isEnabled());
  EXPECT_FALSE(c.configs.path->isVisibleTo(dialog_.get()));  // "From Device" layout
  EXPECT_TRUE(c.deviceIp->isVisibleTo(dialog_.get()));
  EXPECT_EQ(c.devicePort->text().toStdString(), "34567");
  EXPECT_EQ(c.userName->text().toStdString(), "admin");
  EXPECT_EQ(c.cloudPort->text().toStdString(), "8000");
  EXPECT_EQ(c.cloudAddress->text().toStdString(), shell::kDefaultCloudServerHost);
  EXPECT_EQ(c.oemDevTypeText->maxLength(), 2);
  EXPECT_TRUE(c.rows[Row::kRowWeb].path->isEnabled());
  EXPECT_FALSE(c.rows[Row::kRowWeb].browse->isEnabled());
  EXPECT_EQ(c.packageType->count(), 2);
  EXPECT_EQ(c.packageType->currentIndex(), 0);
  EXPECT_TRUE(c.ok->isDefault());
  EXPECT_EQ(c.productTree->topLevelItemCount(), 4);
}

TEST_F(DialogTest, InitialisingAndDestroyingTheDialogStartsAndReleasesDevlink) {
  std::vector<std::string> calls;
  DL_SetCallObserver(
      [](const DL_CallRecord& r, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(r.call);
      },
      &calls);
  Open();
  EXPECT_EQ(calls, std::vector<std::string>{"DL_Init"});
  dialog_.reset();
  DL_SetCallObserver(nullptr, nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"DL_Init", "DL_Cleanup"}));
}

// ---------------------------------------------------------------------------
// Product tree

TEST_F(DialogTest, ASecondProductUnticksTheFirstAndAThirdClickClearsTheChoice) {
  auto& d = Open();
  ASSERT_TRUE(ClickProduct(kFullProduct));
  EXPECT_EQ(d.selectedProduct().name, kFullProduct);
  ASSERT_TRUE(ClickProduct(kSmallProduct));
  EXPECT_EQ(d.selectedProduct().name, kSmallProduct);
  int ticked = 0;
  for (int i = 0; i < C().productTree->topLevelItemCount(); ++i)
    ticked += CFirmsmithDlg::IsItemTicked(C().productTree->topLevelItem(i));
  EXPECT_EQ(ticked, 1);
  EXPECT_FALSE(CFirmsmithDlg::IsItemTicked(d.productItem(3)));

  // KV-N0804C names its first partition 360user and has no app partition.
  EXPECT_EQ(C().rows[Row::kRowWeb].check->text().toStdString(), "360user-x");
  EXPECT_TRUE(C().rows[Row::kRowLogo].check->isEnabled());
  EXPECT_FALSE(C().rows[Row::kRowApp].check->isEnabled());
  // Without an original file the type lists show the product's file systems.
  EXPECT_EQ(C().rows[Row::kRowWeb].type->currentText().toStdString(), "Squashfs");

  Click(C().rows[Row::kRowLogo].check);
  EXPECT_EQ(d.slot(1).value, 2);
  EXPECT_EQ(d.slot(1).imageName, "logo-x.cramfs");

  ASSERT_TRUE(ClickProduct(kSmallProduct));
  EXPECT_TRUE(d.selectedProduct().name.empty());
  for (const auto& row : C().rows) {
    EXPECT_FALSE(row.check->isEnabled());
    EXPECT_FALSE(row.check->isChecked());
  }
  EXPECT_EQ(d.slot(1).value, 0);
  EXPECT_EQ(d.slot(1).imageName, "");
}

TEST_F(DialogTest, FilterShowsTheChosenProductTickedAndTheChoiceStands) {
  auto& d = Open();
  ASSERT_TRUE(ClickProduct(kFullProduct));
  QTest::keyClicks(C().productFilter, "n3");
  EXPECT_EQ(d.productFilter(), "n3");
  ASSERT_EQ(C().productTree->topLevelItemCount(), 1);
  QTreeWidgetItem* item = C().productTree->topLevelItem(0);
  EXPECT_EQ(item->text(0).toStdString(), kFullProduct);
  EXPECT_EQ(item->data(0, Qt::UserRole).toInt(), 3);  // its index in the product list
  EXPECT_TRUE(CFirmsmithDlg::IsItemTicked(item));
  EXPECT_EQ(d.selectedProduct().name, kFullProduct);
  C().productFilter->clear();
  EXPECT_EQ(C().productTree->topLevelItemCount(), 4);
}

TEST_F(DialogTest, SpaceTicksTheCurrentProduct) {
  auto& d = Open();
  C().productTree->setCurrentItem(C().productTree->topLevelItem(2));
  C().productTree->setFocus();
  QTest::keyClick(C().productTree, Qt::Key_Space);
  EXPECT_EQ(d.selectedProduct().name, "KV-N1608W");
}

TEST_F(DialogTest, UnusableProductFilesAreNamedWarnedAndStaySelectable) {
  testsupport::WriteFile(prog_ / "Products/zz-overlap.ini",
                         "[Product]\nname=Overlapping\n[ROMFS]\nstart=0x100000\nend=0x300000\n"
                         "[USER]\nstart=0x200000\nend=0x400000\n");
  testsupport::WriteFile(prog_ / "Products/zz-latin1.ini", "[Product]\nname=Caf\xe9\n");
  auto& d = Open();
  QTreeWidget* tree = C().productTree;
  ASSERT_EQ(tree->topLevelItemCount(), 6);
  const struct {
    const char* shown;
    const char* reason;
  } kCases[] = {
      {"zz-overlap.ini", "ROMFS 0x00100000-0x00300000 overlaps USER 0x00200000-0x00400000"},
      {"zz-latin1.ini", "not UTF-8 text: byte 0xe9 at offset 18"},
  };
  for (const auto& c : kCases) {
    const auto found = tree->findItems(c.shown, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << c.shown;
    EXPECT_EQ(found.front()->toolTip(0).toStdString(), c.reason);
    EXPECT_FALSE(found.front()->icon(1).isNull()) << c.shown << ": no warning icon";
  }
  // The sample products carry no warning.
  EXPECT_TRUE(d.productItem(3)->icon(1).isNull());
  EXPECT_TRUE(d.productItem(3)->toolTip(0).isEmpty());

  // Read as written, and selectable.
  ASSERT_TRUE(ClickProduct("zz-overlap.ini"));
  EXPECT_EQ(d.selectedProduct().name, "Overlapping");
  EXPECT_TRUE(C().rows[Row::kRowRomfs].check->isEnabled());
  EXPECT_TRUE(C().rows[Row::kRowUser].check->isEnabled());
}

// ---------------------------------------------------------------------------
// Boxes that need an original file

struct LockedBox {
  const char* name;
  QCheckBox* (*box)(const CFirmsmithDlg::Controls&);
};

class LockedWithoutOriginalFile : public DialogTest,
                                  public ::testing::WithParamInterface<LockedBox> {};

TEST_P(LockedWithoutOriginalFile, CannotBeTicked) {
  ASSERT_TRUE(ClickProduct(kFullProduct));
  Click(C().rows[Row::kRowCustom].check);  // custom-x unlocks Configs and Strings only with a file
  QCheckBox* box = GetParam().box(C());
  EXPECT_FALSE(box->isEnabled());
  Click(box);
  EXPECT_FALSE(box->isChecked());
  for (int slot : {5, 6, 7, 10, 11}) EXPECT_EQ(Open().slot(slot).value, 0) << slot;

  // With a file the same box can be ticked.
  SetOriginalFile(prog_ / "input.bin");
  EXPECT_TRUE(Open().originalFileLoaded());
  EXPECT_TRUE(box->isEnabled());
  Click(box);
  EXPECT_TRUE(box->isChecked());
}

const LockedBox kLockedBoxes[] = {
    {"RestoreDefaults", [](const CFirmsmithDlg::Controls& c) { return c.restoreDefaults; }},
    {"UbootLogo", [](const CFirmsmithDlg::Controls& c) { return c.ubootLogo.check; }},
    {"Romfs2", [](const CFirmsmithDlg::Controls& c) { return c.romfs2.check; }},
    {"Param", [](const CFirmsmithDlg::Controls& c) { return c.param.check; }},
    {"Configs", [](const CFirmsmithDlg::Controls& c) { return c.configs.check; }},
    {"Strings", [](const CFirmsmithDlg::Controls& c) { return c.strings.check; }},
};
INSTANTIATE_TEST_SUITE_P(Boxes, LockedWithoutOriginalFile, ::testing::ValuesIn(kLockedBoxes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DialogTest, InPlaceBoxesSetTheirSlotsAndClearingThePathLocksThemAgain) {
  auto& d = Open();
  ASSERT_TRUE(ClickProduct(kFullProduct));
  SetOriginalFile(prog_ / "input.bin");
  Click(C().restoreDefaults);
  Click(C().romfs2.check);
  EXPECT_EQ(d.slot(6).value, 7);
  EXPECT_EQ(d.slot(6).imageName, "mtd-x");
  EXPECT_EQ(d.slot(10).value, 11);
  EXPECT_EQ(d.slot(10).imageName, "romfs2-x");
  EXPECT_TRUE(C().romfs2.path->isEnabled());
  EXPECT_TRUE(C().romfs2.browse->isEnabled());

  C().originalFile->clear();
  EXPECT_FALSE(d.originalFileLoaded());
  EXPECT_FALSE(C().restoreDefaults->isEnabled());
  EXPECT_FALSE(C().restoreDefaults->isChecked());
  EXPECT_FALSE(C().romfs2.check->isChecked());
  EXPECT_FALSE(C().romfs2.path->isEnabled());
  EXPECT_EQ(d.slot(6).value, 0);
  EXPECT_EQ(d.slot(10).value, 0);
  // Back to building from folders: the file systems are the operator's choice again.
  EXPECT_TRUE(C().rows[Row::kRowWeb].type->isEnabled());
}

TEST_F(DialogTest, UncheckingConfigsKeepsTheBootLogoSlotWhileItsBoxIsTicked) {
  PrepareInPlaceCustomisation();
  auto& d = Open();
  Click(C().configs.check);
  Click(C().ubootLogo.check);
  EXPECT_EQ(d.slot(7).value, 8);
  EXPECT_EQ(d.slot(7).imageName, "ubootlogo-x");
  Click(C().configs.check);
  EXPECT_FALSE(C().configs.check->isChecked());
  EXPECT_TRUE(C().ubootLogo.check->isChecked());
  EXPECT_EQ(d.slot(7).value, 8);
  EXPECT_EQ(d.slot(7).imageName, "ubootlogo-x");

  sink_.chosenPaths.push_back(std::string("/tmp/logo.jpg"));
  Click(C().ubootLogo.browse);
  EXPECT_EQ(C().ubootLogo.path->text().toStdString(), "/tmp/logo.jpg");

  // Unticking the logo box as well gives the slot up.
  Click(C().ubootLogo.check);
  EXPECT_EQ(d.slot(7).value, 0);
  EXPECT_EQ(d.slot(7).imageName, "");
}

TEST_F(DialogTest, TypingThePathAgainKeepsTheConfigsMark) {
  PrepareInPlaceCustomisation();
  Click(C().configs.check);
  QTest::keyClicks(C().originalFile, "x");
  EXPECT_TRUE(C().configs.check->isChecked());
  EXPECT_EQ(Open().slot(7).value, 8);
}

// ---------------------------------------------------------------------------
// custom-x and the customisation boxes

TEST_F(DialogTest, CustomWithAFileUnlocksTheCustomisationsAndProbesLoopback) {
  PrepareInPlaceCustomisation();
  const auto& c = C();
  EXPECT_EQ(Open().slot(4).value, 5);
  EXPECT_EQ(Open().slot(4).imageName, "custom-x.cramfs");
  for (QWidget* w : std::initializer_list<QWidget*>{c.configs.check, c.strings.check,
                                                     c.appDownloadLink, c.cloudServer,
                                                     c.deviceModel, c.closeOnlineUpgrade, c.line})
    EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
  EXPECT_FALSE(c.pictures.check->isEnabled());
  EXPECT_FALSE(c.devicePort->isEnabled());  // device fields follow "Configs"
  // The probe answered, so online upgrade stays on (both answers: ProbeAnswer).
  EXPECT_FALSE(c.closeOnlineUpgrade->isChecked());

  Click(c.configs.check);
  EXPECT_TRUE(c.devicePort->isEnabled());
  EXPECT_TRUE(c.deviceIp->isEnabled());
  EXPECT_TRUE(c.copyUsers->isEnabled());

  Click(c.rows[Row::kRowCustom].check);
  EXPECT_EQ(Open().slot(4).value, 0);
  for (QWidget* w : std::initializer_list<QWidget*>{c.configs.check, c.strings.check,
                                                     c.appDownloadLink, c.cloudServer,
                                                     c.devicePort, c.copyUsers,
                                                     c.closeOnlineUpgrade, c.line})
    EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
}

TEST_F(DialogTest, CustomWithoutAFileOffersNoCustomisation) {
  ASSERT_TRUE(ClickProduct(kFullProduct));
  Click(C().rows[Row::kRowCustom].check);
  const auto& c = C();
  EXPECT_TRUE(c.rows[Row::kRowCustom].browse->isEnabled());
  for (QCheckBox* box : {c.configs.check, c.strings.check, c.appDownloadLink, c.cloudServer,
                         c.closeOnlineUpgrade, c.deviceModel}) {
    EXPECT_FALSE(box->isEnabled()) << box->objectName().toStdString();
    EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
  }
}

TEST_F(DialogTest, CustomisationBoxesHideTheCustomFolder) {
  PrepareInPlaceCustomisation();
  const auto& c = C();
  QLineEdit* customPath = c.rows[Row::kRowCustom].path;
  QTest::keyClicks(customPath, "/some/folder");
  Click(c.strings.check);
  EXPECT_FALSE(customPath->isVisibleTo(dialog_.get()));
  EXPECT_TRUE(customPath->text().isEmpty());
  EXPECT_EQ(Open().slot(5).value, 6);
  EXPECT_TRUE(c.advance->isEnabled());

  // Unticking CloudServer leaves the folder hidden while Strings is ticked.
  Click(c.cloudServer);
  EXPECT_TRUE(c.cloudAddress->isEnabled());
  Click(c.cloudServer);
  EXPECT_FALSE(c.cloudAddress->isEnabled());
  EXPECT_FALSE(customPath->isVisibleTo(dialog_.get()));

  Click(c.strings.check);
  EXPECT_TRUE(customPath->isVisibleTo(dialog_.get()));
  EXPECT_FALSE(c.advance->isEnabled());
  EXPECT_EQ(Open().slot(5).value, 0);

  // AppDownloadLink keeps the folder hidden when Strings is unticked.
  Click(c.strings.check);
  Click(c.appDownloadLink);
  Click(c.strings.check);
  EXPECT_FALSE(customPath->isVisibleTo(dialog_.get()));
}

TEST_F(DialogTest, AppLinksFollowTheirBoxes) {
  PrepareInPlaceCustomisation();
  const auto& c = C();
  EXPECT_FALSE(c.ios->isEnabled());
  Click(c.appDownloadLink);
  EXPECT_TRUE(c.ios->isEnabled());
  EXPECT_TRUE(c.sn->isEnabled());
  EXPECT_FALSE(c.iosLink->isEnabled());
  Click(c.ios);
  Click(c.other);
  EXPECT_TRUE(c.iosLink->isEnabled());
  EXPECT_TRUE(c.otherName->isEnabled());
  EXPECT_TRUE(c.otherContent->isEnabled());
  EXPECT_FALSE(c.androidLink->isEnabled());
  Click(c.appDownloadLink);
  EXPECT_FALSE(c.ios->isEnabled());
  EXPECT_FALSE(c.iosLink->isEnabled());
  EXPECT_FALSE(c.otherName->isEnabled());
}

// ---------------------------------------------------------------------------
// Port fields

struct PortCase {
  const char* typed;
  const char* shown;
};

class PortFields : public DialogTest, public ::testing::WithParamInterface<PortCase> {
 protected:
  // Both port fields are usable once Configs and CloudServer are ticked.
  std::vector<QLineEdit*> Ports() {
    PrepareInPlaceCustomisation();
    Click(C().configs.check);
    Click(C().cloudServer);
    return {C().devicePort, C().cloudPort};
  }
};

TEST_P(PortFields, ClampWhileTyping) {
  for (QLineEdit* port : Ports()) {
    ASSERT_TRUE(port->isEnabled());
    port->selectAll();
    QTest::keyClick(port, Qt::Key_Delete);
    QTest::keyClicks(port, GetParam().typed);
    EXPECT_EQ(port->text().toStdString(), GetParam().shown) << port->objectName().toStdString();
  }
}

const PortCase kPortCases[] = {
    {"70000", "65535"}, {"65535", "65535"}, {"0", "1"}, {"8080", "8080"}, {"99999999999", "65535"},
};
INSTANTIATE_TEST_SUITE_P(Typed, PortFields, ::testing::ValuesIn(kPortCases),
                         [](const auto& info) { return "Typed" + std::string(info.param.typed); });

TEST_F(PortFields, PastedNegativeBecomesOneAndEmptyBecomesTheDefaultOnLeaving) {
  auto ports = Ports();
  dialog_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
  for (QLineEdit* port : ports) {
    port->setText("-5");
    EXPECT_EQ(port->text().toStdString(), "1");
    port->setFocus();
    port->clear();
    EXPECT_EQ(port->text().toStdString(), "");
    C().userName->setFocus();  // leave the field
    EXPECT_EQ(port->text().toStdString(), "34567") << port->objectName().toStdString();
  }
}

// ---------------------------------------------------------------------------
// Language tool button

TEST_F(DialogTest, AdvanceWithAnEmptyPathTellsAndWritesTheToolSettings) {
  WriteConfig("[themes]\nSolution=SimpChinese\n");
  PrepareInPlaceCustomisation();
  Click(C().strings.check);
  Click(C().advance);
  ASSERT_EQ(sink_.boxes.size(), 1u);
  EXPECT_EQ(sink_.boxes[0].text, "The path is error !");
  EXPECT_EQ(sink_.boxes[0].caption, "Prompt");
  const auto tool = platform::Profile::Load(prog_ / "bin/Config.ini");
  EXPECT_TRUE(tool.Has("Path", "StringPath"));
  EXPECT_EQ(tool.Get("themes", "Solution"), "SimpChinese");
}

TEST_F(DialogTest, AdvanceStartsTheLanguageToolWithoutWaiting) {
  PrepareInPlaceCustomisation();
  const std::string strings = prog_ / "MyStrings";
  std::filesystem::create_directories(strings);
  const std::string marker = prog_ / "bin/started";
  // A stand-in language tool that records its start and stays running a while.
  testsupport::WriteFile(prog_ / "bin/Transloom",
                         "#!/bin/sh\npwd > started.tmp && mv started.tmp started\nsleep 3\n");
  std::filesystem::permissions(prog_ / "bin/Transloom", std::filesystem::perms::owner_all);
  Click(C().strings.check);
  QTest::keyClicks(C().strings.path, QString::fromStdString(strings));

  const auto before = std::chrono::steady_clock::now();
  Click(C().advance);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_TRUE(sink_.boxes.empty());
  EXPECT_EQ(Open().stringsPath(), strings);
  EXPECT_EQ(platform::Profile::Load(prog_ / "bin/Config.ini").Get("Path", "StringPath"), strings);
  EXPECT_EQ(platform::Profile::Load(prog_ / "Config.ini").Get("Path", "StringPath"), strings);
  for (int i = 0; i < 100 && !testsupport::FileExists(marker); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(testsupport::FileExists(marker));
}

// ---------------------------------------------------------------------------
// Keyboard

TEST_F(DialogTest, EnterStartsTheBuildAndEscapeCloses) {
  auto& d = Open();
  d.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
  C().productFilter->setFocus();
  QTest::keyClick(C().productFilter, Qt::Key_Return);
  ASSERT_EQ(sink_.boxes.size(), 1u);
  EXPECT_EQ(sink_.boxes[0].text, "alarm_filetype");  // nothing ticked: the build says so
  EXPECT_TRUE(d.isVisible());

  QTest::keyClick(C().userName, Qt::Key_Escape);
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(d.result(), QDialog::Rejected);
}

TEST_F(DialogTest, AboutShowsNameAndVersionWithOneOkButton) {
  Open();
  QStringList texts;
  int buttons = 0;
  WhenModalShown([&](QWidget* about) {
    for (const QLabel* label : about->findChildren<QLabel*>()) texts << label->text();
    const auto found = about->findChildren<QPushButton*>();
    buttons = found.size();
    if (!found.isEmpty()) QTest::mouseClick(found.front(), Qt::LeftButton);
  });
  Click(C().about);
  EXPECT_EQ(texts, QStringList{"Firmsmith, Version 1.0"});
  EXPECT_EQ(buttons, 1);
}

// ---------------------------------------------------------------------------
// The options record

TEST_F(DialogTest, OptionsRecordCarriesTheDialogState) {
  PrepareInPlaceCustomisation();
  const auto& c = C();
  Click(c.rows[Row::kRowUser].check);
  QTest::keyClicks(c.rows[Row::kRowUser].path, "/src/user");
  Click(c.configs.check);
  c.deviceIp->setText("127.0.0.1");
  QTest::keyClicks(c.password, "secret");
  Click(c.appDownloadLink);
  Click(c.android);
  QTest::keyClicks(c.androidLink, "market://x");
  Click(c.deviceModel);
  QTest::keyClicks(c.deviceModelText, "NVR-9");
  c.packageType->setCurrentIndex(1);

  const package::MakeOptions o = Open().CollectOptions();
  EXPECT_EQ(o.kind, package::PackageKind::BurningPiecefile);
  EXPECT_TRUE(o.originalFileLoaded);
  EXPECT_EQ(o.originalFile, prog_ / "no-such-package.bin");
  EXPECT_EQ(o.selectedProduct.name, kFullProduct);
  EXPECT_TRUE(o.SlotTicked(package::kSlotUser));
  EXPECT_EQ(o.slots[package::kSlotUser].sourcePath, "/src/user");
  EXPECT_EQ(o.slots[package::kSlotUser].imageName, "user-x.cramfs");
  EXPECT_TRUE(o.SlotTicked(package::kSlotCustom));
  EXPECT_TRUE(o.SlotTicked(package::kSlotUbootLogo));  // the Configs mark
  EXPECT_FALSE(o.ubootLogo);
  EXPECT_TRUE(o.configs);
  EXPECT_TRUE(o.fromDevice);
  EXPECT_EQ(o.deviceIp, "127.0.0.1");
  EXPECT_EQ(o.devicePort, "34567");
  EXPECT_EQ(o.userName, "admin");
  EXPECT_EQ(o.password, "secret");
  EXPECT_TRUE(o.appDownloadLink);
  EXPECT_TRUE(o.android);
  EXPECT_FALSE(o.ios);
  EXPECT_EQ(o.androidLink, "market://x");
  EXPECT_TRUE(o.deviceModel);
  EXPECT_EQ(o.deviceModelText, "NVR-9");
  EXPECT_EQ(o.lineInLeft, "0db");
  EXPECT_FALSE(o.lineInGain);
  EXPECT_FALSE(o.unmountPartitions);
  EXPECT_FALSE(o.oemDevType);
  EXPECT_EQ(o.cloudPort, "8000");
  for (int slot : {0, 1, 3, 5, 6, 8, 9, 10, 11}) EXPECT_FALSE(o.SlotTicked(slot)) << slot;
}

}  // namespace
}  // namespace dialogtest
