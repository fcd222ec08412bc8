#include "common/uitext/translate_window.h"

#include <QAbstractButton>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QWidget>

#include <cstring>

#include "common/uitext/language_table.h"

namespace uitext {
namespace {

QString Translate(const LanguageTable& table, const QString& text) {
  if (text.isEmpty()) return text;
  return QString::fromStdString(table.GetString(text.toStdString()));
}

bool IsExcluded(const QWidget* w, LanguageConfig config) {
  static const char* const kAlways[] = {"QLineEdit", "IpAddressEdit"};
  static const char* const kFirmsmithOnly[] = {"VideoWindow", "MapCtrl"};
  for (const char* c : kAlways)
    if (w->inherits(c)) return true;
  if (config == LanguageConfig::Firmsmith) {
    for (const char* c : kFirmsmithOnly)
      if (w->inherits(c)) return true;
  }
  return false;
}

// A container that only arranges controls, as the flat dialog template did.
bool IsPlainContainer(const QWidget* w) {
  const char* cls = w->metaObject()->className();
  return std::strcmp(cls, "QWidget") == 0 || std::strcmp(cls, "QFrame") == 0 ||
         std::strcmp(cls, "QGroupBox") == 0;
}

void TranslateChildren(QWidget* parent, const LanguageTable& table) {
  for (QObject* obj : parent->children()) {
    auto* child = qobject_cast<QWidget*>(obj);
    if (child == nullptr || child->isWindow()) continue;
    if (IsExcluded(child, table.config())) continue;
    if (auto* button = qobject_cast<QAbstractButton*>(child)) {
      button->setText(Translate(table, button->text()));
    } else if (auto* label = qobject_cast<QLabel*>(child)) {
      label->setText(Translate(table, label->text()));
    } else if (auto* group = qobject_cast<QGroupBox*>(child)) {
      group->setTitle(Translate(table, group->title()));
    }
    if (IsPlainContainer(child)) TranslateChildren(child, table);
  }
}

}  // namespace

void TranslateWindow(QWidget* window, const LanguageTable& table) {
  if (window == nullptr) return;
  if (!window->windowTitle().isEmpty())
    window->setWindowTitle(Translate(table, window->windowTitle()));
  TranslateChildren(window, table);
}

}  // namespace uitext
