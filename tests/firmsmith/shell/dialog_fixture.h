// A program folder of its own for the Firmsmith dialogs (the sample product
// files, Config.ini with the probe pointed at loopback, bin/), a main dialog
// over it whose message sink records every box and answers every chooser,
// and helpers that drive the real widgets with QTest.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "firmsmith/shell/firmsmith_dlg.h"
#include "test_support.h"

class QAbstractButton;
class QWidget;

namespace dialogtest {

// Runs `act` on the next modal dialog once it is up (the caller then opens it).
void WhenModalShown(std::function<void(QWidget*)> act);

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string Prog() const { return prog_.path() + "/"; }
  // Config.ini lines besides the probe address; call before Open().
  void WriteConfig(const std::string& extraLines);
  // Creates, initialises and shows the dialog (once).
  shell::CFirmsmithDlg& Open();
  const shell::CFirmsmithDlg::Controls& C() { return Open().controls(); }

  // A mouse click on a button or check box.
  static void Click(QWidget* widget);
  // Clicks the product's tree item; false when it is not listed.
  bool ClickProduct(const std::string& name);
  // Types a path into the "OriginalFile" edit (no file needs to exist).
  void SetOriginalFile(const std::string& path);
  // Product KV-N3232X (every partition) with an original file and custom-x ticked.
  void PrepareInPlaceCustomisation();
  std::string LastBox() const { return sink_.boxes.empty() ? "" : sink_.boxes.back().text; }

  testsupport::TempDir prog_;
  testsupport::RecordingMessageSink sink_;
  shell::DialogEnvironment environment_;
  std::unique_ptr<shell::CFirmsmithDlg> dialog_;
  bool configWritten_ = false;
  // The reachability probe the dialog asks: its answer, and every host and
  // time-out asked (no packet leaves the test).
  bool probeAnswers_ = true;
  std::vector<std::pair<std::string, int>> probes_;
};

// "KV-N3232X": the sample product that defines every partition kind.
inline constexpr char kFullProduct[] = "KV-N3232X";
// "KV-N0804C": no web, boot-logo, romfs2 or param partition.
inline constexpr char kSmallProduct[] = "KV-N0804C";

}  // namespace dialogtest
