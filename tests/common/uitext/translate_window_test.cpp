// TranslateWindow on real Qt widgets: captions are translated, data fields
// are not.
#include "common/uitext/translate_window.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/uitext/language_table.h"
#include "test_support.h"

namespace {

TEST(TranslateWindow, CaptionsTranslatedEditsLeftAlone) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "Language/English.lang",
                         "[String]\nMain=Package maker\nStrings=Language files\nBrowse=Pick\n"
                         "Type=Kind\n34567=WRONG\nProduct=Model\n");
  uitext::CInitLanguage table;
  table.SetBasePath(dir.path());
  table.LoadLanguage();

  QDialog dlg;
  dlg.setWindowTitle("Main");
  auto* layout = new QVBoxLayout(&dlg);
  auto* strings = new QCheckBox("Strings", &dlg);
  auto* port = new QLineEdit("34567", &dlg);
  auto* group = new QGroupBox("Product", &dlg);
  auto* inner = new QPushButton("Browse", group);
  auto* label = new QLabel("Type", &dlg);
  auto* unknown = new QLabel("alarm.make", &dlg);
  auto* empty = new QLabel("", &dlg);
  for (QWidget* w : std::initializer_list<QWidget*>{strings, port, group, label, unknown, empty})
    layout->addWidget(w);

  uitext::TranslateWindow(&dlg, table);

  EXPECT_EQ(dlg.windowTitle().toStdString(), "Package maker");
  EXPECT_EQ(strings->text().toStdString(), "Language files");
  EXPECT_EQ(port->text().toStdString(), "34567");
  EXPECT_EQ(group->title().toStdString(), "Model");
  EXPECT_EQ(inner->text().toStdString(), "Pick") << "a group box stands for the dialog surface";
  EXPECT_EQ(label->text().toStdString(), "Kind");
  EXPECT_EQ(unknown->text().toStdString(), "make");
  EXPECT_EQ(empty->text().toStdString(), "");
}

}  // namespace
