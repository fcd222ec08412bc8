#include "firmsmith/shell/firmsmith_app.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QTimer>

#include <memory>
#include <string>

#include "common/platform/files.h"
#include "common/platform/progdir.h"
#include "common/uitext/language_table.h"
#include "firmsmith/shell/firmsmith_dlg.h"

namespace shell {
namespace {

QString CaptionOf(const QWidget* w) {
  if (auto* button = qobject_cast<const QAbstractButton*>(w)) return button->text();
  if (auto* label = qobject_cast<const QLabel*>(w)) return label->text();
  if (auto* group = qobject_cast<const QGroupBox*>(w)) return group->title();
  if (auto* list = qobject_cast<const QComboBox*>(w)) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
    return items.join(QLatin1Char('|'));
  }
  return {};
}

void WriteCaptionReport(const QWidget* window, const std::string& path) {
  QString report = QStringLiteral("windowTitle\t%1\n").arg(window->windowTitle());
  for (const QWidget* w : window->findChildren<QWidget*>()) {
    const QString caption = CaptionOf(w);
    if (!w->objectName().isEmpty() && !caption.isEmpty())
      report += QStringLiteral("%1\t%2\n").arg(w->objectName(), caption);
  }
  platform::WriteFileAtomic(path, report.toStdString());
}

}  // namespace

CFirmsmithApp::~CFirmsmithApp() { uitext::CInitLanguage::ReleaseInstance(); }

int CFirmsmithApp::InitInstance() {
  // Every caption and message goes through the table, so it comes first.
  uitext::CInitLanguage* language = uitext::CInitLanguage::GetInstance();
  language->SetBasePath(platform::GetProgramDirectory());
  language->LoadLanguage();

  auto dialog = std::make_unique<CFirmsmithDlg>();
  const QByteArray reportPath = qgetenv("FIRMSMITH_UI_REPORT");
  if (!reportPath.isEmpty()) {
    CFirmsmithDlg* window = dialog.get();
    QTimer::singleShot(0, window, [window, reportPath] {
      WriteCaptionReport(window, reportPath.toStdString());
      window->reject();
    });
  }
  dialog->exec();
  // Destroying the dialog releases the device access library.
  dialog.reset();
  return 0;
}

}  // namespace shell
