// A make run started from the main dialog: it waits out no fixed pause
// unless Config.ini restores them, runs beside a live window that shows its
// steps while the controls are locked, and ends with boxes that say what
// was written or, under a warning, why nothing was.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dialog_fixture.h"

namespace dialogtest {
namespace {

using Row = shell::CFirmsmithDlg::RowIndex;

// The full product built through the dialog from a custom and a user
// folder, then loaded again as the original file.
class BuildRunTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    environment_.pauseScale.reset();  // as Config.ini says
    environment_.sleep = [this](double seconds) { pauses_.push_back(seconds); };
  }

  void BuildAndLoadPackage() {
    const auto& c = C();
    testsupport::WriteFile(work_ / "custom/ProductDefinition",
                           "{\n  \"Hardware\" : \"KV-BRD-3232X-R2\"\n}\n");
    testsupport::WriteFile(work_ / "custom/CustomConfig/NetWork.custom", "{}\n");
    testsupport::WriteFile(work_ / "user/etc/loadmod", "insmod codec.ko\n");
    ASSERT_TRUE(ClickProduct(kFullProduct));
    Click(c.rows[Row::kRowCustom].check);
    QTest::keyClicks(c.rows[Row::kRowCustom].path, QString::fromStdString(work_ / "custom"));
    Click(c.rows[Row::kRowUser].check);
    QTest::keyClicks(c.rows[Row::kRowUser].path, QString::fromStdString(work_ / "user"));
    Click(c.ok);
    ASSERT_EQ(LastBox(), "package_success");
    input_ = work_ / "device.bin";
    std::filesystem::copy_file(Prog() + "KV-N3232X_all.bin", input_);
    sink_.chosenPaths.push_back(input_);
    Click(c.originalBrowse);
    ASSERT_TRUE(Open().originalFileLoaded());
    ASSERT_TRUE(c.rows[Row::kRowCustom].check->isChecked());
    ASSERT_TRUE(c.rows[Row::kRowUser].check->isChecked());
  }

  // "Close online upgrade" customises custom-x and the gain line user-x
  // (when user-x is ticked), both in place.
  void TickInPlaceCustomisations() {
    const auto& c = C();
    ASSERT_TRUE(c.closeOnlineUpgrade->isEnabled());
    ASSERT_FALSE(c.closeOnlineUpgrade->isChecked());  // the probe answers
    Click(c.closeOnlineUpgrade);
    ASSERT_TRUE(c.closeOnlineUpgrade->isChecked());
    c.rows[Row::kRowCustom].path->clear();
    // The window never enables the gain box; the option model carries it
    // all the same, and the rule of its box empties the user folder.
    c.lineInGain->setChecked(true);
    c.rows[Row::kRowUser].path->clear();
  }

  testsupport::TempDir work_;
  std::string input_;
  std::vector<double> pauses_;  // every pause the run waited out
};

struct PauseCase {
  const char* name;
  const char* config;  // Config.ini lines
  std::vector<double> pauses;
};

class PauseSetting : public BuildRunTest, public ::testing::WithParamInterface<PauseCase> {};

TEST_P(PauseSetting, InPlaceCustomisationOfCustomAndUserWaitsOnlyWhenConfigAsks) {
  if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("unsquashfs"))
    GTEST_SKIP() << "squashfs-tools are not installed";  // the product's user-x is squashfs
  WriteConfig(GetParam().config);
  ASSERT_NO_FATAL_FAILURE(BuildAndLoadPackage());
  pauses_.clear();  // those of the build that made the input
  ASSERT_NO_FATAL_FAILURE(TickInPlaceCustomisations());
  Click(C().ok);
  ASSERT_EQ(LastBox(), "alarm_make") << sink_.boxes.back().reason;
  EXPECT_EQ(pauses_, GetParam().pauses);
  EXPECT_TRUE(testsupport::FileExists(input_ + ".bak"));
}

INSTANTIATE_TEST_SUITE_P(
    Config, PauseSetting,
    ::testing::Values(PauseCase{"Default", "", {}},
                      PauseCase{"Off", "[Tools]\nPauses=0\n", {}},
                      // Unpacking user-x: 1 s, 2 s, 100 ms after unsquashfs,
                      // 2 s; 100 ms after mksquashfs rebuilt it; unpacking
                      // custom-x (cramfs): 1 s, 2 s, 2 s.
                      PauseCase{"Restored", "[tools]\n pauses = 1\n", {1, 2, 0.1, 2, 0.1, 1, 2, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

// True when `lines` holds each of `wanted`, in that order (others between).
bool HoldsInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
  std::size_t next = 0;
  for (const std::string& line : lines)
    if (next < wanted.size() && line == wanted[next]) ++next;
  return next == wanted.size();
}

// What the window showed when the panel told a step.
struct StepSeen {
  std::string line;
  bool okEnabled;
  bool productsEnabled;
  bool panelVisible;
  std::size_t boxes;
  int barMaximum;       // 0: the bar only moves (no count)
  std::string barText;  // what the bar shows written on it
};

// Each restored pause waits, on the build's thread, until the window's own
// timer has ticked again: a window that stood still would end the pause
// unticked. Meanwhile the panel tells every step with the controls locked
// and no box shown; the completion box comes last and names the file, its
// size and its folder.
TEST_F(BuildRunTest, ReworkRunsBesideALiveWindowAndNamesWhatItWrote) {
  if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("unsquashfs"))
    GTEST_SKIP() << "squashfs-tools are not installed";  // the product's user-x is squashfs
  std::atomic<int> ticks{0};
  std::atomic<int> pausesTaken{0};
  std::atomic<int> pausesUnticked{0};
  std::atomic<bool> armed{false};  // the build that made the input runs before the ticker
  environment_.sleep = [&](double) {
    if (!armed) return;
    ++pausesTaken;
    if (pausesUnticked > 0) return;  // one frozen pause tells enough
    const int from = ticks.load();
    for (int i = 0; i < 20000 && ticks.load() < from + 3; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (ticks.load() < from + 3) ++pausesUnticked;
  };
  WriteConfig("[Tools]\nPauses=1\n");
  ASSERT_NO_FATAL_FAILURE(BuildAndLoadPackage());
  ASSERT_NO_FATAL_FAILURE(TickInPlaceCustomisations());
  auto& d = Open();
  const auto& c = C();
  ASSERT_FALSE(c.rows[Row::kRowCustom].type->isEnabled());  // locked by the rules
  std::vector<StepSeen> seen;
  QObject::connect(&d, &shell::CFirmsmithDlg::buildStepShown, &d, [&](const QString& line) {
    seen.push_back({line.toStdString(), c.ok->isEnabled(), c.productTree->isEnabled(),
                    c.progressPanel->isVisible(), sink_.boxes.size(), c.progressBar->maximum(),
                    c.progressBar->isTextVisible() ? c.progressBar->text().toStdString() : ""});
  });
  const std::size_t boxesBefore = sink_.boxes.size();
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(5);
  armed = true;
  Click(c.ok);
  ticker.stop();

  EXPECT_EQ(pausesTaken.load(), 8);
  EXPECT_EQ(pausesUnticked.load(), 0);
  std::vector<std::string> lines;
  for (const StepSeen& step : seen) {
    lines.push_back(step.line);
    EXPECT_FALSE(step.okEnabled) << step.line;
    EXPECT_FALSE(step.productsEnabled) << step.line;
    EXPECT_TRUE(step.panelVisible) << step.line;
    EXPECT_EQ(step.boxes, boxesBefore) << step.line;  // boxes come after the work
    // A counted step fills the bar and writes its percent on it; any other
    // leaves it moving, with nothing written.
    const std::size_t open = step.line.rfind(" (");
    if (open != std::string::npos && step.line.back() == ')') {
      EXPECT_GT(step.barMaximum, 0) << step.line;
      EXPECT_EQ(step.barText, step.line.substr(open + 2, step.line.size() - open - 3)) << step.line;
    } else {
      EXPECT_EQ(step.barMaximum, 0) << step.line;
      EXPECT_EQ(step.barText, "") << step.line;
    }
  }
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  EXPECT_TRUE(HoldsInOrder(lines, {"unpacking device.bin", "unpacking user-x.cramfs",
                                   "building user-x as squashfs", "unpacking custom-x.cramfs",
                                   "building custom-x as cramfs", "packing device.bin",
                                   "checking device.bin"}))
      << all;
  EXPECT_TRUE(HoldsInOrder(lines, {"unpacking device.bin", "unpacking device.bin (100%)", "unpacking user-x.cramfs",
                                   "packing device.bin", "packing device.bin (100%)", "checking device.bin"}))
      << all;

  // The window is the operator's again, each control as the rules left it.
  EXPECT_FALSE(d.building());
  EXPECT_TRUE(c.ok->isEnabled());
  EXPECT_TRUE(c.productTree->isEnabled());
  EXPECT_FALSE(c.rows[Row::kRowCustom].type->isEnabled());
  EXPECT_FALSE(c.progressPanel->isVisible());

  std::string texts;
  for (const auto& box : sink_.boxes) texts += box.text + " / " + box.reason + "\n";
  ASSERT_EQ(sink_.boxes.size(), boxesBefore + 1) << texts;
  const auto& done = sink_.boxes.back();
  EXPECT_EQ(done.text, "alarm_make");
  EXPECT_EQ(done.severity, platform::MessageSeverity::Information);
  EXPECT_EQ(done.reason, "File: device.bin\nSize: " +
                             std::to_string(std::filesystem::file_size(input_)) +
                             " bytes\nFolder: " + work_.path());
}

// A rework that cannot read its input says so under the warning icon with
// the file and the cause as detail, and changes no file of the operator's.
TEST_F(BuildRunTest, AFailedReworkWarnsWithTheReasonAndChangesNothing) {
  const auto& c = C();
  const std::string broken = work_ / "broken.bin";
  testsupport::WriteFile(broken, "not an upgrade package");
  ASSERT_TRUE(ClickProduct(kFullProduct));
  SetOriginalFile(broken);
  Click(c.rows[Row::kRowCustom].check);
  ASSERT_NO_FATAL_FAILURE(TickInPlaceCustomisations());
  const auto before = testsupport::SnapshotTree(work_.path());
  const std::size_t boxesBefore = sink_.boxes.size();
  Click(c.ok);
  ASSERT_EQ(sink_.boxes.size(), boxesBefore + 1) << LastBox();
  const auto& failed = sink_.boxes.back();
  EXPECT_EQ(failed.text, "alarm_extract");
  EXPECT_EQ(failed.severity, platform::MessageSeverity::Warning);
  EXPECT_NE(failed.reason.find(broken), std::string::npos) << failed.reason;
  EXPECT_EQ(testsupport::SnapshotTree(work_.path()), before);
  EXPECT_TRUE(c.ok->isEnabled());
}

}  // namespace
}  // namespace dialogtest
