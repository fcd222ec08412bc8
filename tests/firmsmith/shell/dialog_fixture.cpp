#include "dialog_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>

#include "common/platform/files.h"

namespace dialogtest {

void DialogTest::SetUp() {
  std::filesystem::copy(testsupport::SourceDir() + "/data/app/Products", prog_ / "Products");
  std::filesystem::create_directories(prog_ / "bin");
  environment_.programDirectory = Prog();
  environment_.sink = &sink_;
  environment_.pauseScale = 0.0;
  environment_.installCrashHandler = false;
  environment_.probe = [this](const std::string& host, int timeoutMs) {
    probes_.emplace_back(host, timeoutMs);
    return probeAnswers_;
  };
}

void DialogTest::TearDown() { dialog_.reset(); }

void DialogTest::WriteConfig(const std::string& extraLines) {
  // The probe of the custom-x rule only ever goes to loopback here.
  testsupport::WriteFile(prog_ / "Config.ini",
                         "[Deployment]\nProbeAddress=127.0.0.1\n" + extraLines);
  configWritten_ = true;
}

shell::CFirmsmithDlg& DialogTest::Open() {
  if (!dialog_) {
    if (!configWritten_) WriteConfig("");
    dialog_ = std::make_unique<shell::CFirmsmithDlg>(environment_);
    dialog_->OnInitDialog();
    dialog_->show();
  }
  return *dialog_;
}

void DialogTest::Click(QWidget* widget) {
  // Near the left edge: a check box answers only on its indicator and text,
  // which need not reach the middle of a wide box.
  QTest::mouseClick(widget, Qt::LeftButton, {},
                    QPoint(std::min(10, widget->width() / 2), widget->height() / 2));
}

void WhenModalShown(std::function<void(QWidget*)> act) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return;
    timer->stop();
    timer->deleteLater();
    act(modal);
  });
  timer->start(20);
}

bool DialogTest::ClickProduct(const std::string& name) {
  QTreeWidget* tree = C().productTree;
  const auto found = tree->findItems(QString::fromStdString(name), Qt::MatchExactly);
  if (found.isEmpty()) return false;
  tree->scrollToItem(found.front());
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(found.front()).center());
  return true;
}

void DialogTest::SetOriginalFile(const std::string& path) {
  QLineEdit* edit = C().originalFile;
  edit->clear();
  QTest::keyClicks(edit, QString::fromStdString(path));
}

void DialogTest::PrepareInPlaceCustomisation() {
  ASSERT_TRUE(ClickProduct(kFullProduct));
  SetOriginalFile(prog_ / "no-such-package.bin");
  Click(C().rows[shell::CFirmsmithDlg::kRowCustom].check);
  ASSERT_TRUE(C().rows[shell::CFirmsmithDlg::kRowCustom].check->isChecked());
}

}  // namespace dialogtest
