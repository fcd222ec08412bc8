// The dialogs in Chinese: every caption of the main dialog can be drawn with
// the font the dialog uses (no empty boxes), no caption is wider than its
// control, and the language names in CJK scripts are drawable in the English
// UI too. Fails when no CJK font is installed (make deps installs one).
#include <QAbstractButton>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QTreeWidget>

#include <filesystem>
#include <string>

#include "common/uitext/language_table.h"
#include "dialog_fixture.h"
#include "firmsmith/shell/language_select_dlg.h"

namespace dialogtest {
namespace {

// The characters of `text` the font cannot draw, as text.
std::string Missing(const QFontMetrics& metrics, const QString& text) {
  QString missing;
  for (char32_t ch : text.toUcs4())
    if (ch > 0x20 && !metrics.inFontUcs4(ch)) missing += QString::fromUcs4(&ch, 1);
  return missing.toStdString();
}

bool HasCjk(const QString& text) {
  for (char32_t ch : text.toUcs4())
    if ((ch >= 0x3040 && ch <= 0x9fff) || (ch >= 0xac00 && ch <= 0xd7af)) return true;
  return false;
}

class ChineseDialog : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    std::filesystem::copy(testsupport::SourceDir() + "/data/app/Language", prog_ / "Language");
    WriteConfig(
        "[themes]\nSolution=SimpChinese\n[LanguageList]\nSimpChinese=简体中文\n"
        "Japanese=日本語\nTradChinese=繁體中文\n");
    uitext::CInitLanguage* table = uitext::CInitLanguage::GetInstance();
    table->SetBasePath(Prog());
    table->LoadLanguage();
  }
  void TearDown() override {
    DialogTest::TearDown();
    uitext::CInitLanguage::ReleaseInstance();
  }
};

TEST_F(ChineseDialog, EveryCaptionIsDrawableAndFitsItsControl) {
  auto& d = Open();
  ASSERT_TRUE(ClickProduct(kFullProduct));
  d.resize(d.sizeHint());
  ASSERT_EQ(C().packageType->itemText(0).toStdString(), "网络升级包")
      << "data/app/Language/SimpChinese.lang was not loaded";

  int chinese = 0;
  const auto check = [&](QWidget* w, const QString& caption, int needed) {
    if (caption.isEmpty() || !w->isVisibleTo(&d)) return;
    chinese += HasCjk(caption);
    const std::string name = w->objectName().toStdString() + " \"" + caption.toStdString() + "\"";
    EXPECT_EQ(Missing(w->fontMetrics(), caption), "") << name << ": no glyph in the dialog's font";
    if (needed > 0) {
      EXPECT_LE(needed, w->width()) << name << ": caption wider than its control";
    }
  };
  for (QAbstractButton* w : d.findChildren<QAbstractButton*>())
    check(w, w->text(), w->sizeHint().width());
  for (QLabel* w : d.findChildren<QLabel*>()) check(w, w->text(), w->sizeHint().width());
  for (QGroupBox* w : d.findChildren<QGroupBox*>())
    check(w, w->title(), w->fontMetrics().horizontalAdvance(w->title()));
  for (QComboBox* w : d.findChildren<QComboBox*>())
    for (int i = 0; i < w->count(); ++i) check(w, w->itemText(i), 0);
  EXPECT_GE(chinese, 10) << "too few Chinese captions: is the language table loaded?";
}

TEST_F(ChineseDialog, LanguageNamesInCjkScriptsAreDrawable) {
  testsupport::TempDir folder;
  for (const char* name : {"English", "SimpChinese", "Japanese", "TradChinese", "Korean"})
    testsupport::WriteFile(folder / ("FullLanguage/Strings/" + std::string(name)), "x\n");
  shell::CLanguageSelectDlg select(folder / "FullLanguage", Prog(), &sink_);
  ASSERT_TRUE(select.OnInitDialog());
  QTreeWidget* list = select.languageList();
  int names = 0;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    const QString shown = list->topLevelItem(i)->text(2);
    names += HasCjk(shown);
    EXPECT_EQ(Missing(QFontMetrics(list->font()), shown), "") << shown.toStdString();
  }
  EXPECT_EQ(names, 3);
  // Korean is offered by its own box; its name in Hangul must be drawable as well.
  EXPECT_EQ(Missing(QFontMetrics(list->font()), QStringLiteral("한국어")), "");
}

}  // namespace
}  // namespace dialogtest
