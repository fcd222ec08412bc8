// The shared Qt widgets: the IPv4 address control, file filters, dialog
// units, the sink that holds the boxes of work off the UI thread.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <thread>
#include <vector>

#include "common/widgets/dialog_units.h"
#include "common/widgets/held_message_sink.h"
#include "common/widgets/ip_address_edit.h"
#include "common/widgets/qt_message_sink.h"
#include "test_support.h"

namespace {

TEST(IpAddressEdit, TextInAndOut) {
  IpAddressEdit edit;
  EXPECT_TRUE(edit.isBlank());
  EXPECT_EQ(edit.text(), "0.0.0.0");
  struct Case {
    const char* in;
    bool ok;
    const char* out;
  } cases[] = {
      {"192.168.1.10", true, "192.168.1.10"},       {"0.0.0.0", true, "0.0.0.0"},
      {"255.255.255.255", true, "255.255.255.255"}, {"256.1.1.1", false, "255.255.255.255"},
      {"1.2.3", false, "255.255.255.255"},          {"1.2.3.4.5", false, "255.255.255.255"},
      {"a.b.c.d", false, "255.255.255.255"},        {"010.001.1.1", true, "10.1.1.1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(edit.setText(c.in), c.ok) << c.in;
    EXPECT_EQ(edit.text().toStdString(), c.out) << c.in;
  }
  EXPECT_STREQ(edit.metaObject()->className(), "IpAddressEdit")
      << "TranslateWindow recognises the control by this name";
}

TEST(IpAddressEdit, TypingMovesAlongTheFields) {
  IpAddressEdit edit;
  edit.show();
  QApplication::setActiveWindow(&edit);
  edit.field(0)->setFocus();
  QTest::keyClicks(edit.field(0), "10");
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Period);
  ASSERT_EQ(QApplication::focusWidget(), edit.field(1));
  QTest::keyClicks(edit.field(1), "300");  // cut back to 255, then on to the next field
  ASSERT_EQ(QApplication::focusWidget(), edit.field(2));
  QTest::keyClicks(edit.field(2), "7");
  QTest::keyClick(edit.field(2), Qt::Key_Period);
  QTest::keyClicks(edit.field(3), "x1");
  EXPECT_EQ(edit.text(), "10.255.7.1");
  edit.field(3)->clear();
  QTest::keyClick(edit.field(3), Qt::Key_Backspace);
  EXPECT_EQ(QApplication::focusWidget(), edit.field(2));
}

TEST(QtFileFilter, FromTheTemplateForm) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"Excel Files (*.xls)|*.xls||", "Excel Files (*.xls)"},
      {"Pictures|*.bmp;*.jpg|All|*.*||", "Pictures (*.bmp *.jpg);;All (*.*)"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(widgets::QtFileFilter(c.in).toStdString(), c.out) << c.in;
}

TEST(DialogUnits, ConvertedLikeThePlatform) {
  EXPECT_EQ(widgets::MulDiv(5, 7, 4), 9);    // 8.75
  EXPECT_EQ(widgets::MulDiv(3, 2, 4), 2);    // 1.5 rounds up
  EXPECT_EQ(widgets::MulDiv(-3, 2, 4), -2);  // and away from zero
  const widgets::DialogBaseUnits base{7, 16};
  // Edges are converted on their own: 61 + 99 = 160 units.
  EXPECT_EQ(widgets::MapDialogRect(QRect(61, 14, 99, 14), base), QRect(107, 28, 173, 28));
  EXPECT_EQ(widgets::MapDialogRect(QRect(21, 15, 9, 8), base), QRect(37, 30, 16, 16));
  QFont font;
  font.setPixelSize(13);
  const widgets::DialogBaseUnits fromFont = widgets::BaseUnitsOf(font);
  EXPECT_GT(fromFont.x, 2);
  EXPECT_GE(fromFont.y, 13);
}

}  // namespace

namespace {

// Notes, for every box and chooser, whether it came on the UI thread.
class ThreadNotingSink : public testsupport::RecordingMessageSink {
 public:
  platform::MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                      platform::MessageButtons buttons) override {
    onUiThread.push_back(QThread::currentThread() == qApp->thread());
    return RecordingMessageSink::ShowMessage(text, caption, buttons);
  }
  std::optional<std::string> ChooseFolder(const std::string& title,
                                          const std::string& startPath) override {
    onUiThread.push_back(QThread::currentThread() == qApp->thread());
    return RecordingMessageSink::ChooseFolder(title, startPath);
  }
  std::vector<bool> onUiThread;
};

// A worker's informing boxes wait for ShowHeld; a question or a chooser
// brings the held ones out first, in order, and its answer back to the
// worker; the target is only ever called on the UI thread.
TEST(HeldMessageSink, BoxesWaitForTheEndAndQuestionsKeepTheOrder) {
  ThreadNotingSink target;
  // Answers in the order the target is asked: "one", "two", then the question.
  target.answers = {platform::MessageAnswer::Ok, platform::MessageAnswer::Ok,
                    platform::MessageAnswer::No};
  target.chosenPaths = {std::string("/chosen")};
  QObject uiContext;
  widgets::HeldMessageSink held(&target, &uiContext);
  platform::MessageAnswer answer = platform::MessageAnswer::Ok;
  std::optional<std::string> chosen;
  QEventLoop waiting;
  std::thread worker([&] {
    held.ShowMessage("one", "c", platform::MessageButtons::Ok);
    held.ShowFailure("two", "c", "/x: cannot read");
    answer = held.ShowMessage("three?", "c", platform::MessageButtons::YesNo);
    held.ShowDetailed("four", "c", "File: y", platform::MessageSeverity::Information);
    chosen = held.ChooseFolder("five", "");
    held.ShowDetailed("six", "c", "broken", platform::MessageSeverity::Critical);
    QMetaObject::invokeMethod(&waiting, [&waiting] { waiting.quit(); }, Qt::QueuedConnection);
  });
  waiting.exec();
  worker.join();

  EXPECT_EQ(answer, platform::MessageAnswer::No);
  EXPECT_EQ(chosen, std::optional<std::string>("/chosen"));
  ASSERT_EQ(target.boxes.size(), 4u);  // "six" is still held
  held.ShowHeld();
  held.ShowHeld();  // shown once only
  const std::vector<std::string> texts = {"one", "two", "three?", "four", "six"};
  ASSERT_EQ(target.boxes.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(target.boxes[i].text, texts[i]);
  EXPECT_EQ(target.boxes[1].reason, "/x: cannot read");
  EXPECT_EQ(target.boxes[1].severity, platform::MessageSeverity::Warning);
  EXPECT_EQ(target.boxes[2].buttons, platform::MessageButtons::YesNo);
  EXPECT_EQ(target.boxes[3].reason, "File: y");
  EXPECT_EQ(target.boxes[4].severity, platform::MessageSeverity::Critical);
  for (bool ui : target.onUiThread) EXPECT_TRUE(ui);
  EXPECT_EQ(target.onUiThread.size(), 6u);  // five boxes and the chooser
}

// The Qt boxes: the specified text, the detail as informative text, the
// icon of the severity (failures never look like successes).
TEST(QtMessageSink, DetailBesideTheTextUnderTheIconOfItsSeverity) {
  const struct {
    platform::MessageSeverity severity;
    QMessageBox::Icon icon;
  } cases[] = {{platform::MessageSeverity::Information, QMessageBox::Information},
               {platform::MessageSeverity::Warning, QMessageBox::Warning},
               {platform::MessageSeverity::Critical, QMessageBox::Critical}};
  for (const auto& c : cases) {
    widgets::QtMessageSink sink;
    QMessageBox* shown = nullptr;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString text, detail;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (shown == nullptr) return;
      poll.stop();
      icon = shown->icon();
      text = shown->text();
      detail = shown->informativeText();
      shown->accept();
    });
    poll.start(10);
    EXPECT_EQ(sink.ShowDetailed("Make upgrade file", "Firmsmith", "File: a.bin", c.severity),
              platform::MessageAnswer::Ok);
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(icon, c.icon);
    EXPECT_EQ(text, "Make upgrade file");
    EXPECT_EQ(detail, "File: a.bin");
  }
}

}  // namespace
