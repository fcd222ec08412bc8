// The shared Qt widgets: the IPv4 address control, file filters, dialog units.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include "common/widgets/dialog_units.h"
#include "common/widgets/ip_address_edit.h"
#include "common/widgets/qt_message_sink.h"

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
