// The language tool's main dialog on the offscreen platform: layout, texts,
// start values, keyboard, routing of its buttons and the device library's
// start and end, observed through the library's call hook.
#include "transloom/ui/transloom_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QProgressBar>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "common/devlink/devlink.h"
#include "common/uitext/language_table.h"
#include "common/widgets/ip_address_edit.h"
#include "devsim_runner.h"
#include "test_support.h"
#include "transloom/ui/about_dlg.h"

namespace {

using testsupport::RecordingMessageSink;
using testsupport::TempDir;

struct Call {
  std::string call;
  std::int32_t handle;
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uitext::CMultiLanguage::ReleaseInstance();
    DL_SetCallObserver(
        [](const DL_CallRecord& r, void* self) {
          static_cast<DialogTest*>(self)->calls_.push_back({r.call, r.handle});
        },
        this);
  }
  void TearDown() override {
    dlg_.reset();
    DL_SetCallObserver(nullptr, nullptr);
    uitext::CMultiLanguage::ReleaseInstance();
  }
  CTransloomDlg* Make() {
    dlg_ = std::make_unique<CTransloomDlg>(&sink_);
    return dlg_.get();
  }
  template <typename T>
  T* Control(const char* name) {
    T* w = dlg_->findChild<T*>(QString::fromUtf8(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  std::vector<std::string> CallNames() const {
    std::vector<std::string> names;
    for (const Call& c : calls_) names.push_back(c.call);
    return names;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& b : sink_.boxes) texts.push_back(b.text);
    return texts;
  }

  RecordingMessageSink sink_;
  std::unique_ptr<CTransloomDlg> dlg_;
  std::vector<Call> calls_;
};

TEST_F(DialogTest, StartValuesAndTextsWithoutLanguageFiles) {
  Make();
  EXPECT_EQ(CallNames(), (std::vector<std::string>{"DL_Init", "DL_SetConnectTime"}));
  EXPECT_EQ(dlg_->windowTitle(), "Transloom");
  EXPECT_EQ(Control<QPushButton>("login")->text(), "Login");
  EXPECT_EQ(Control<QGroupBox>("exportGroup")->title(), "LanExport");
  EXPECT_EQ(Control<QPushButton>("importToDevice")->text(), "import to Device");
  EXPECT_EQ(Control<QLabel>("ipLabel")->text(), "IP");
  EXPECT_TRUE(Control<QLabel>("steps")->text().startsWith("Steps: Login -> Export Language"));
  EXPECT_EQ(Control<IpAddressEdit>("ipAddress")->text(), "192.168.1.10");
  struct Edit {
    const char* name;
    const char* text;
    int limit;
  } edits[] = {{"port", "34567", 5}, {"userName", "admin", 64}, {"password", "", 64}};
  for (const Edit& e : edits) {
    EXPECT_EQ(Control<QLineEdit>(e.name)->text(), e.text) << e.name;
    EXPECT_EQ(Control<QLineEdit>(e.name)->maxLength(), e.limit) << e.name;
  }
  EXPECT_EQ(Control<QLineEdit>("password")->echoMode(), QLineEdit::Normal);
  EXPECT_EQ(Control<QListWidget>("languages")->count(), 0);
  EXPECT_EQ(dlg_->m_lLoginID, -1);
  EXPECT_FALSE(dlg_->windowIcon().isNull());
  const QList<QAction*> menu = dlg_->actions();
  ASSERT_EQ(menu.size(), 2);
  EXPECT_TRUE(menu[0]->isSeparator());
  EXPECT_EQ(menu[1]->text().toStdString(), CTransloomDlg::kAboutMenuText);
}

TEST_F(DialogTest, TranslatedFromTheLanguageFileButNotTheFields) {
  TempDir dir;
  testsupport::WriteFile(dir / "Config.ini", "[themes]\nSolution=Deutsch\n");
  testsupport::WriteFile(dir / "Deutsch.lang",
                         "[String]\nTransloom.Login=Anmelden\nTransloom.LanExport=Sprache\n"
                         "34567=nein\nadmin=nein\n192=nein\nTransloom=Sprachwerkzeug\n");
  uitext::CMultiLanguage* table = uitext::CMultiLanguage::GetInstance();
  table->SetBasePath(dir.path());
  table->LoadLanguage();
  Make();
  EXPECT_EQ(dlg_->windowTitle(), "Sprachwerkzeug");
  EXPECT_EQ(Control<QPushButton>("login")->text(), "Anmelden");
  EXPECT_EQ(Control<QGroupBox>("exportGroup")->title(), "Sprache");
  EXPECT_EQ(Control<QLineEdit>("port")->text(), "34567");
  EXPECT_EQ(Control<QLineEdit>("userName")->text(), "admin");
  EXPECT_EQ(Control<IpAddressEdit>("ipAddress")->text(), "192.168.1.10");
}

// The calling thread (with the threads and programs it starts) in a network
// namespace of its own where 10.77.0.0/24 is routed into loopback: nothing
// there answers, every packet to it is dropped. Other threads keep the
// machine's network; the thread returns to it when this ends.
class DroppingNamespace {
 public:
  static constexpr const char* kSilentAddress = "10.77.0.2";
  ~DroppingNamespace() {
    if (entered_) ::setns(original_, CLONE_NEWNET);
    if (original_ >= 0) ::close(original_);
  }
  bool Enter(std::string* why) {
    if (::geteuid() != 0) {
      *why = "a network namespace needs root";
      return false;
    }
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0 || ::unshare(CLONE_NEWNET) != 0) {
      *why = std::string("no network namespace here: ") + std::strerror(errno);
      return false;
    }
    entered_ = true;
    for (const char* script : {"ip link set lo up", "ip route add 10.77.0.0/24 dev lo"}) {
      const auto r = testsupport::RunCommand({"sh", "-c", script});
      if (r.status != 0) {
        *why = std::string(script) + ": " + r.err;
        return false;
      }
    }
    return true;
  }

 private:
  int original_ = -1;
  bool entered_ = false;
};

// Counts the paint events a widget gets.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

// Template 102 as the resource file gives it.
struct Rect {
  const char* name;
  int x, y, w, h;
};
const Rect kTemplate102[] = {
    {"ipLabel", 21, 15, 9, 8},
    {"ipAddress", 61, 14, 99, 14},
    {"portLabel", 168, 15, 33, 8},
    {"port", 212, 14, 99, 14},
    {"userNameLabel", 21, 48, 40, 8},
    {"userName", 62, 44, 99, 14},
    {"passwordLabel", 168, 48, 37, 8},
    {"password", 212, 45, 99, 14},
    {"login", 319, 46, 50, 14},
    {"exportGroup", 17, 76, 141, 161},
    {"languagesLabel", 29, 93, 69, 8},
    {"languages", 41, 108, 77, 90},
    {"exportExcel", 55, 213, 50, 14},
    {"testGroup", 199, 85, 163, 80},
    {"importToDevice", 227, 104, 73, 18},
    {"deleteLanguage", 225, 130, 75, 18},
    {"convertGroup", 198, 173, 166, 65},
    {"createLanguage", 240, 185, 78, 27},
    {"steps", 24, 247, 342, 28},
    {"ok", 147, 291, 50, 14},
};

TEST_F(DialogTest, EveryControlAtItsTemplateRectangle) {
  for (int pixelSize : {0, 11, 17}) {
    QFont font = QApplication::font();
    if (pixelSize) font.setPixelSize(pixelSize);
    QApplication::setFont(font);
    Make();
    // Horizontal unit: a quarter of the average width of the 52 Latin
    // letters; vertical unit: an eighth of the character height.
    const QFontMetrics m(dlg_->font());
    const int ax =
        (m.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
    const int ay = m.height();
    auto px = [&](int units, int base, int div) { return (units * base + div / 2) / div; };
    EXPECT_EQ(dlg_->size(), QSize(px(390, ax, 4), px(319, ay, 8)));
    int found = 0;
    for (const Rect& r : kTemplate102) {
      QWidget* w = dlg_->findChild<QWidget*>(r.name);
      ASSERT_NE(w, nullptr) << r.name;
      EXPECT_EQ(w->parentWidget(), dlg_.get()) << r.name;
      const QRect expected(px(r.x, ax, 4), px(r.y, ay, 8), px(r.x + r.w, ax, 4) - px(r.x, ax, 4),
                           px(r.y + r.h, ay, 8) - px(r.y, ay, 8));
      EXPECT_EQ(w->geometry(), expected) << r.name << " at font size " << pixelSize;
      ++found;
    }
    EXPECT_EQ(found, 20);
    dlg_.reset();
  }
  QApplication::setFont(QFont());
}

TEST_F(DialogTest, IdsOfTheTemplate) {
  Make();
  struct Id {
    const char* name;
    int id;
  } ids[] = {{"port", 1001},        {"userName", 1002},       {"password", 1003},
             {"login", 1004},       {"ipAddress", 1005},      {"languages", 1009},
             {"exportExcel", 1010}, {"importToDevice", 1011}, {"deleteLanguage", 1012},
             {"ok", 1013},          {"createLanguage", 1014}};
  for (const Id& i : ids)
    EXPECT_EQ(Control<QWidget>(i.name)->property("controlId").toInt(), i.id) << i.name;
}

TEST_F(DialogTest, EnterDoesNothingAndEscapeCloses) {
  Make();
  dlg_->show();
  QApplication::setActiveWindow(dlg_.get());
  auto* ip = Control<IpAddressEdit>("ipAddress");
  std::vector<QWidget*> targets = {dlg_.get(), ip->field(0), ip->field(3)};
  for (const char* name : {"port", "userName", "password", "languages", "login", "exportExcel",
                           "importToDevice", "deleteLanguage", "createLanguage", "ok"})
    targets.push_back(Control<QWidget>(name));
  // The controls never see the key: no returnPressed, no activation.
  QSignalSpy portEnter(Control<QLineEdit>("port"), &QLineEdit::returnPressed);
  QSignalSpy ipEnter(ip->field(0), &QLineEdit::returnPressed);
  QSignalSpy listEnter(Control<QListWidget>("languages"), &QListWidget::activated);
  calls_.clear();
  for (QWidget* w : targets) {
    w->setFocus();
    QTest::keyClick(w, Qt::Key_Return);
    QTest::keyClick(w, Qt::Key_Enter);
    EXPECT_TRUE(dlg_->isVisible()) << w->objectName().toStdString();
  }
  EXPECT_EQ(dlg_->result(), 0);
  EXPECT_TRUE(sink_.boxes.empty());
  EXPECT_TRUE(calls_.empty()) << "no login was started";
  EXPECT_EQ(portEnter.count() + ipEnter.count() + listEnter.count(), 0);

  Control<QLineEdit>("port")->setFocus();
  QTest::keyClick(Control<QLineEdit>("port"), Qt::Key_Escape);
  EXPECT_FALSE(dlg_->isVisible());
  EXPECT_EQ(dlg_->result(), QDialog::Rejected);
}

TEST_F(DialogTest, OkButtonAccepts) {
  Make();
  dlg_->show();
  QTest::mouseClick(Control<QPushButton>("ok"), Qt::LeftButton);
  EXPECT_FALSE(dlg_->isVisible());
  EXPECT_EQ(dlg_->result(), QDialog::Accepted);
}

TEST_F(DialogTest, ClosingWithoutLoginLogsOutMinusOneThenCleansUp) {
  Make();
  dlg_->show();
  dlg_->close();
  calls_.clear();
  dlg_.reset();
  ASSERT_EQ(calls_.size(), 2u);
  EXPECT_EQ(calls_[0].call, "DL_Logout");
  EXPECT_EQ(calls_[0].handle, -1);
  EXPECT_EQ(calls_[1].call, "DL_Cleanup");
}

TEST_F(DialogTest, AboutBoxFromTheMenu) {
  Make();
  std::string seen;
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* about = qobject_cast<CAboutDlg*>(modal)) {
      seen = about->windowTitle().toStdString();
      QTest::mouseClick(about->findChild<QPushButton*>("ok"), Qt::LeftButton);
    } else if (modal) {
      modal->close();
    }
  });
  dlg_->actions()[1]->trigger();
  EXPECT_EQ(seen, "About Transloom");
}

TEST_F(DialogTest, ButtonsRunTheOperations) {
  TempDir dir;
  ASSERT_TRUE(testsupport::CopyDevsimState(dir / "state"));
  testsupport::DevsimRunner devsim;
  std::string error;
  ASSERT_TRUE(devsim.Start(dir / "state", &error)) << error;
  Make();
  dlg_->SetConfigFolder(dir.path());
  dlg_->show();

  // Logged out, every device button says so.
  for (const char* name : {"exportExcel", "importToDevice", "deleteLanguage"})
    QTest::mouseClick(Control<QPushButton>(name), Qt::LeftButton);
  EXPECT_EQ(Texts(), std::vector<std::string>(3, "PleaseLogin"));

  Control<IpAddressEdit>("ipAddress")->setText("127.0.0.1");
  Control<QLineEdit>("port")->setText(QString::number(devsim.port()));
  Control<QLineEdit>("password")->setText("admin123");
  QTest::mouseClick(Control<QPushButton>("login"), Qt::LeftButton);
  ASSERT_GT(dlg_->m_lLoginID, 0);
  auto* list = Control<QListWidget>("languages");
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->item(0)->text(), "English");
  EXPECT_EQ(list->item(2)->text(), "SimpChinese");

  sink_.boxes.clear();
  QTest::mouseClick(Control<QPushButton>("exportExcel"), Qt::LeftButton);
  EXPECT_EQ(Texts(), std::vector<std::string>{"selectlang"});

  list->setCurrentRow(1);
  const std::string book = dir / "out_Russian.xls";
  sink_.chosenPaths = {book};
  sink_.boxes.clear();
  QTest::mouseClick(Control<QPushButton>("exportExcel"), Qt::LeftButton);
  EXPECT_EQ(Texts(), std::vector<std::string>{"ExportOK\n" + book});
  EXPECT_EQ(dlg_->m_mapLanguage.size(), 428u);

  testsupport::WriteFile(dir / "Config.ini", "[Path]\nStringPath=" + dir / "strings" + "\n");
  testsupport::WriteFile(dir / "strings/.keep", "");
  sink_.chosenPaths = {book};
  sink_.boxes.clear();
  QTest::mouseClick(Control<QPushButton>("createLanguage"), Qt::LeftButton);
  EXPECT_EQ(Texts(), std::vector<std::string>{"CreateOk\n" + dir / "strings/Russian"});
  EXPECT_EQ(testsupport::ReadFile(dir / "strings/Russian").substr(0, 5), "\xEF\xBB\xBF\r\n");

  sink_.chosenPaths = {book};
  sink_.boxes.clear();
  QTest::mouseClick(Control<QPushButton>("importToDevice"), Qt::LeftButton);
  QTest::mouseClick(Control<QPushButton>("deleteLanguage"), Qt::LeftButton);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"YESorNO?", "ImportOK,Please Reboot",
                                               "DeleteLangSuccess,Please Reboot"}));

  // A failed second login leaves the tool logged out with an empty list.
  Control<QLineEdit>("password")->setText("wrong");
  sink_.boxes.clear();
  QTest::mouseClick(Control<QPushButton>("login"), Qt::LeftButton);
  EXPECT_EQ(Texts(), std::vector<std::string>{"LoginFailed:PasswdError"});
  EXPECT_LE(dlg_->m_lLoginID, 0);
  EXPECT_EQ(list->count(), 0);
}

// A login to an address whose packets are dropped: the window keeps
// handling events and painting its busy bar, nothing that starts a call is
// usable, and Cancel (or closing the window) ends the attempt at once
// instead of after the 5 x 4 s connect time.
TEST_F(DialogTest, LoginToASilentAddressKeepsTheWindowAliveAndCanBeCancelled) {
  DroppingNamespace silentNetwork;
  std::string why;
  if (!silentNetwork.Enter(&why)) GTEST_SKIP() << why;
  Make();
  dlg_->show();
  Control<IpAddressEdit>("ipAddress")->setText(DroppingNamespace::kSilentAddress);
  Control<QLineEdit>("password")->setText("admin123");
  auto* bar = Control<QProgressBar>("busy");
  auto* cancel = Control<QPushButton>("cancel");
  EXPECT_FALSE(bar->isVisible());
  EXPECT_FALSE(cancel->isVisible());
  PaintCounter counter;
  bar->installEventFilter(&counter);
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(20);

  struct Seen {
    bool busy = false, barShown = false, cancelUsable = false;
    std::vector<std::string> enabled;
    int ticks = 0, paints = 0;
  } seen;
  auto look = [&] {
    seen.busy = dlg_->IsBusy();
    seen.barShown = bar->isVisible();
    seen.cancelUsable = cancel->isVisible() && cancel->isEnabled();
    for (const char* name :
         {"login", "exportExcel", "importToDevice", "deleteLanguage", "createLanguage", "ok"})
      if (Control<QPushButton>(name)->isEnabled()) seen.enabled.push_back(name);
    seen.ticks = ticks;
    seen.paints = counter.paints;
  };
  QTimer::singleShot(1000, [&] {
    look();
    QTest::mouseClick(cancel, Qt::LeftButton);
  });
  auto start = std::chrono::steady_clock::now();
  QTest::mouseClick(Control<QPushButton>("login"), Qt::LeftButton);
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
  EXPECT_TRUE(seen.busy);
  EXPECT_TRUE(seen.barShown);
  EXPECT_TRUE(seen.cancelUsable);
  EXPECT_EQ(seen.enabled, std::vector<std::string>{});
  // About fifty 20 ms ticks in the first second: the event loop ran.
  EXPECT_GE(seen.ticks, 25);
  EXPECT_GE(seen.paints, 2) << "the busy bar was painted as it moved";
  EXPECT_GE(elapsed, 1000);
  EXPECT_LT(elapsed, 3000) << "Cancel ended the attempt";
  EXPECT_LE(dlg_->m_lLoginID, 0);
  EXPECT_EQ(Control<QListWidget>("languages")->count(), 0);
  EXPECT_EQ(Texts(), std::vector<std::string>{}) << "a cancelled login tells nothing";
  EXPECT_FALSE(dlg_->IsBusy());
  EXPECT_FALSE(bar->isVisible());
  EXPECT_FALSE(cancel->isVisible());
  for (const char* name : {"login", "exportExcel", "ok"})
    EXPECT_TRUE(Control<QPushButton>(name)->isEnabled()) << name;

  // Closing the window during the attempt ends it too; the dialog closes
  // once the call has returned.
  QTimer::singleShot(500, [&] { QTest::keyClick(Control<QLineEdit>("port"), Qt::Key_Escape); });
  start = std::chrono::steady_clock::now();
  QTest::mouseClick(Control<QPushButton>("login"), Qt::LeftButton);
  elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start)
                .count();
  EXPECT_LT(elapsed, 2500);
  QApplication::processEvents();
  EXPECT_FALSE(dlg_->isVisible());
  EXPECT_EQ(dlg_->result(), QDialog::Rejected);
}

// Any device call runs off the window's thread: an export the device never
// answers keeps the window handling events for its 1000 ms wait, with the
// busy bar up, the operation buttons off and no Cancel (only a login has one).
TEST_F(DialogTest, AnExportTheDeviceDoesNotAnswerKeepsTheWindowAlive) {
  TempDir dir;
  ASSERT_TRUE(testsupport::CopyDevsimState(dir / "state"));
  ASSERT_TRUE(testsupport::EditDeviceJson(
      dir / "state", [](Json::Value& v) { v["SilentCommands"].append(CMD_LANG_EXPORT); }));
  testsupport::DevsimRunner devsim;
  std::string error;
  ASSERT_TRUE(devsim.Start(dir / "state", &error)) << error;
  Make();
  dlg_->show();
  Control<IpAddressEdit>("ipAddress")->setText("127.0.0.1");
  Control<QLineEdit>("port")->setText(QString::number(devsim.port()));
  Control<QLineEdit>("password")->setText("admin123");
  QTest::mouseClick(Control<QPushButton>("login"), Qt::LeftButton);
  ASSERT_GT(dlg_->m_lLoginID, 0);
  Control<QListWidget>("languages")->setCurrentRow(0);

  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(20);
  bool busy = false, barShown = false, cancelShown = true, exportEnabled = true;
  int ticksAtLook = 0;
  QTimer::singleShot(500, [&] {
    busy = dlg_->IsBusy();
    barShown = Control<QProgressBar>("busy")->isVisible();
    cancelShown = Control<QPushButton>("cancel")->isVisible();
    exportEnabled = Control<QPushButton>("exportExcel")->isEnabled();
    ticksAtLook = ticks;
  });
  sink_.boxes.clear();
  QTest::mouseClick(Control<QPushButton>("exportExcel"), Qt::LeftButton);
  EXPECT_TRUE(busy);
  EXPECT_TRUE(barShown);
  EXPECT_FALSE(cancelShown);
  EXPECT_FALSE(exportEnabled);
  EXPECT_GE(ticksAtLook, 12) << "the event loop ran during the call";
  EXPECT_EQ(Texts(), std::vector<std::string>{"ExportFailed"});
  EXPECT_GT(dlg_->m_lLoginID, 0) << "a time-out keeps the session";
  EXPECT_TRUE(Control<QPushButton>("exportExcel")->isEnabled());
  EXPECT_FALSE(Control<QProgressBar>("busy")->isVisible());
}

}  // namespace
