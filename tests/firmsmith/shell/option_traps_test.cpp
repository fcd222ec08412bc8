// Option rules that must never refuse or silently change an operator's
// choice: what unticking custom-x leaves behind, the shared slots 6 and 7,
// the product filter, and the reachability preset of "Close online upgrade".
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <map>
#include <optional>
#include <string>

#include "dialog_fixture.h"
#include "firmsmith/shell/flash_layout_bar.h"

namespace dialogtest {
namespace {

using shell::CFirmsmithDlg;
using Row = CFirmsmithDlg::RowIndex;

TEST_F(DialogTest, UntickingCustomClearsEveryMarkItOwns) {
  probeAnswers_ = false;  // "Close online upgrade" gets preset
  PrepareInPlaceCustomisation();
  auto& d = Open();
  const auto& c = C();
  for (QCheckBox* box : {c.strings.check, c.configs.check, c.appDownloadLink, c.ios, c.android,
                         c.other, c.sn, c.cloudServer, c.deviceModel})
    Click(box);
  ASSERT_TRUE(c.closeOnlineUpgrade->isChecked());
  ASSERT_EQ(d.slot(5).value, 6);
  ASSERT_EQ(d.slot(7).value, 8);
  c.lineInGain->setChecked(true);  // belongs to user-x, not to custom-x

  Click(c.rows[Row::kRowCustom].check);
  for (QCheckBox* box : {c.strings.check, c.pictures.check, c.configs.check, c.appDownloadLink,
                         c.ios, c.android, c.other, c.sn, c.cloudServer, c.deviceModel,
                         c.closeOnlineUpgrade}) {
    EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
  }
  for (int slot : {4, 5, 6, 7}) EXPECT_EQ(d.slot(slot).value, 0) << "slot " << slot;
  EXPECT_TRUE(c.lineInGain->isChecked());
  // The custom folder is offered again.
  EXPECT_TRUE(c.rows[Row::kRowCustom].path->isVisibleTo(&d));
  const package::MakeOptions o = d.CollectOptions();
  EXPECT_FALSE(o.strings || o.configs || o.appDownloadLink || o.cloudServer || o.deviceModel ||
               o.closeOnlineUpgrade);
}

// The partition boxes that share slots 6 and 7 with Pictures and Configs.
struct SharedSlotCase {
  const char* name;
  QCheckBox* (*box)(const CFirmsmithDlg::Controls&);
  int slot;
  const char* imageName;
};

class SharedSlotKept : public DialogTest, public ::testing::WithParamInterface<SharedSlotCase> {};

TEST_P(SharedSlotKept, WhenCustomIsUntickedWithConfigsTicked) {
  PrepareInPlaceCustomisation();
  auto& d = Open();
  Click(C().configs.check);
  Click(GetParam().box(C()));
  ASSERT_TRUE(GetParam().box(C())->isChecked());
  Click(C().rows[Row::kRowCustom].check);
  EXPECT_FALSE(C().configs.check->isChecked());
  EXPECT_TRUE(GetParam().box(C())->isChecked());
  EXPECT_EQ(d.slot(GetParam().slot).value, GetParam().slot + 1);
  EXPECT_EQ(d.slot(GetParam().slot).imageName, GetParam().imageName);
}

const SharedSlotCase kSharedSlots[] = {
    {"RestoreDefaults", [](const CFirmsmithDlg::Controls& c) { return c.restoreDefaults; }, 6,
     "mtd-x"},
    {"UbootLogo", [](const CFirmsmithDlg::Controls& c) { return c.ubootLogo.check; }, 7,
     "ubootlogo-x"},
};
INSTANTIATE_TEST_SUITE_P(Boxes, SharedSlotKept, ::testing::ValuesIn(kSharedSlots),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DialogTest, FilterThenClearKeepsEveryChoice) {
  auto& d = Open();
  const auto& c = C();
  ASSERT_TRUE(ClickProduct(kFullProduct));
  Click(c.rows[Row::kRowLogo].check);
  QTest::keyClicks(c.rows[Row::kRowLogo].path, "/src/logo");
  SetOriginalFile(prog_ / "input.bin");
  Click(c.restoreDefaults);

  const auto choicesStand = [&](const char* when) {
    EXPECT_EQ(d.selectedProduct().name, kFullProduct) << when;
    EXPECT_TRUE(c.rows[Row::kRowLogo].check->isChecked()) << when;
    EXPECT_EQ(c.rows[Row::kRowLogo].path->text().toStdString(), "/src/logo") << when;
    EXPECT_EQ(d.slot(1).value, 2) << when;
    EXPECT_TRUE(c.restoreDefaults->isChecked()) << when;
    EXPECT_EQ(d.slot(6).imageName, "mtd-x") << when;
  };
  QTest::keyClicks(c.productFilter, "N08");  // hides the chosen product
  EXPECT_EQ(d.productItem(3), nullptr);
  choicesStand("filtered out");
  c.productFilter->clear();
  ASSERT_NE(d.productItem(3), nullptr);
  EXPECT_TRUE(CFirmsmithDlg::IsItemTicked(d.productItem(3)));
  choicesStand("filter cleared");

  // Unticking under a filter works as without one.
  QTest::keyClicks(c.productFilter, "3232");
  ASSERT_TRUE(CFirmsmithDlg::IsItemTicked(d.productItem(3)));
  choicesStand("filter matches");
  ASSERT_TRUE(ClickProduct(kFullProduct));
  EXPECT_TRUE(d.selectedProduct().name.empty());
  EXPECT_FALSE(CFirmsmithDlg::IsItemTicked(d.productItem(3)));
  EXPECT_FALSE(c.rows[Row::kRowLogo].check->isEnabled());
  EXPECT_EQ(d.slot(1).value, 0);
  c.productFilter->clear();
  for (int i = 0; i < c.productTree->topLevelItemCount(); ++i)
    EXPECT_FALSE(CFirmsmithDlg::IsItemTicked(c.productTree->topLevelItem(i)));
}

class ProbeAnswer : public DialogTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ProbeAnswer, PresetsCloseOnlineUpgradeExactlyWhenUnanswered) {
  probeAnswers_ = GetParam();
  PrepareInPlaceCustomisation();
  EXPECT_EQ(C().closeOnlineUpgrade->isChecked(), !GetParam());
  ASSERT_EQ(probes_.size(), 1u);
  EXPECT_EQ(probes_[0].first, "127.0.0.1");  // the address of Config.ini
  EXPECT_EQ(probes_[0].second, 1000);
}
INSTANTIATE_TEST_SUITE_P(Answers, ProbeAnswer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Answered" : "Unanswered"; });

TEST_F(DialogTest, PresetHappensOncePerLoadedFileAndRespectsAClick) {
  probeAnswers_ = false;
  PrepareInPlaceCustomisation();
  const auto& c = C();
  ASSERT_TRUE(c.closeOnlineUpgrade->isChecked());
  // Editing the same path, or unticking and ticking custom-x, asks no more.
  QTest::keyClicks(c.originalFile, "x");
  Click(c.rows[Row::kRowCustom].check);
  Click(c.rows[Row::kRowCustom].check);
  EXPECT_EQ(probes_.size(), 1u);
  EXPECT_FALSE(c.closeOnlineUpgrade->isChecked());  // cleared with custom-x, not preset again

  // A newly loaded file is probed again.
  sink_.chosenPaths.push_back(prog_ / "other.bin");
  Click(c.originalBrowse);
  EXPECT_EQ(probes_.size(), 2u);
  EXPECT_TRUE(c.closeOnlineUpgrade->isChecked());

  // Once the operator has clicked the box, it is theirs.
  Click(c.closeOnlineUpgrade);
  ASSERT_FALSE(c.closeOnlineUpgrade->isChecked());
  sink_.chosenPaths.push_back(prog_ / "third.bin");
  Click(c.originalBrowse);
  c.originalFile->clear();
  SetOriginalFile(prog_ / "fourth.bin");
  EXPECT_FALSE(c.closeOnlineUpgrade->isChecked());
  EXPECT_EQ(probes_.size(), 2u);
}

TEST_F(DialogTest, NoPresetWithoutAProbeAddress) {
  testsupport::WriteFile(prog_ / "Config.ini", "[Deployment]\nProbeAddress=\n");
  configWritten_ = true;
  probeAnswers_ = false;
  PrepareInPlaceCustomisation();
  EXPECT_TRUE(C().closeOnlineUpgrade->isEnabled());
  EXPECT_FALSE(C().closeOnlineUpgrade->isChecked());
  EXPECT_TRUE(probes_.empty());
}

// The chip picture beside the partitions follows the product and the folders.
TEST_F(DialogTest, LayoutBarShowsTheChipAndTurnsRedWhenAFolderDoesNotFit) {
  auto& d = Open();
  const auto& c = C();
  ASSERT_NE(c.layoutBar, nullptr);
  EXPECT_TRUE(c.layoutBar->flashLayout().partitions.empty());
  ASSERT_TRUE(ClickProduct(kSmallProduct));
  EXPECT_EQ(c.layoutBar->flashLayout().chipBytes, 8u << 20);
  ASSERT_TRUE(ClickProduct(kFullProduct));
  EXPECT_EQ(c.layoutBar->flashLayout().chipBytes, 32u << 20);
  EXPECT_EQ(c.layoutBar->flashLayout().partitions.size(), 11u);

  // custom-x holds 1 MiB; romfs-x 4.25 MiB.
  testsupport::TempDir src;
  testsupport::WriteFile(src / "custom/big", std::string(1536 * 1024, 'c'));
  testsupport::WriteFile(src / "romfs/small", std::string(4096, 'r'));
  Click(c.rows[Row::kRowCustom].check);
  QTest::keyClicks(c.rows[Row::kRowCustom].path, QString::fromStdString(src / "custom"));
  Click(c.rows[Row::kRowRomfs].check);
  QTest::keyClicks(c.rows[Row::kRowRomfs].path, QString::fromStdString(src / "romfs"));

  products::FlashLayout layout = c.layoutBar->flashLayout();
  ASSERT_NE(layout.Find("CUSTOM"), nullptr);
  EXPECT_EQ(layout.Find("CUSTOM")->fill, std::optional<std::uint64_t>(1536 * 1024));
  EXPECT_TRUE(layout.Find("CUSTOM")->estimated);
  EXPECT_FALSE(layout.Find("CUSTOM")->fits());
  EXPECT_TRUE(layout.Find("ROMFS")->fits());
  EXPECT_FALSE(layout.Find("WEB")->fill.has_value());
  const products::LayoutPicture pic = c.layoutBar->Picture();
  std::map<std::string, products::Colour> fills;
  for (const auto& r : pic.rects) fills[r.id] = r.fill;
  ASSERT_TRUE(fills.count("fill-CUSTOM") && fills.count("fill-ROMFS"));
  EXPECT_GT(fills["fill-CUSTOM"].r, 0xc0);  // red
  EXPECT_LT(fills["fill-CUSTOM"].g, 0x60);
  EXPECT_LT(fills["fill-ROMFS"].r, 0x80);  // not red
  EXPECT_FALSE(fills.count("fill-WEB"));

  // Unticking the row takes its folder, and its fill, away.
  Click(c.rows[Row::kRowCustom].check);
  products::FlashLayout after = c.layoutBar->flashLayout();
  ASSERT_NE(after.Find("CUSTOM"), nullptr);
  EXPECT_FALSE(after.Find("CUSTOM")->fill.has_value());
  EXPECT_TRUE(after.Find("ROMFS")->fill.has_value());
  EXPECT_EQ(d.selectedProduct().name, kFullProduct);
}

}  // namespace
}  // namespace dialogtest
