#include "transloom/ui/about_dlg.h"

#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#include "common/uitext/language_table.h"
#include "common/uitext/translate_window.h"
#include "common/widgets/dialog_units.h"

QIcon TransloomIcon() {
  QIcon icon;
  for (int size : {16, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0x1f, 0x5f, 0xa8));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(0, 0, size, size), size / 6.0, size / 6.0);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(size * 3 / 4);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QStringLiteral("T"));
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  // Template 100: 170 by 62 dialog units.
  const widgets::DialogBaseUnits base = widgets::BaseUnitsOf(font());
  setWindowTitle(QStringLiteral("About Transloom"));
  setFixedSize(widgets::MapDialogRect(QRect(0, 0, 170, 62), base).size());
  auto* icon = new QLabel(this);
  icon->setPixmap(TransloomIcon().pixmap(32, 32));
  icon->setGeometry(widgets::MapDialogRect(QRect(14, 14, 21, 20), base));
  auto* name = new QLabel(QStringLiteral("Transloom, Version 1.0"), this);
  name->setGeometry(widgets::MapDialogRect(QRect(42, 14, 114, 8), base));
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setGeometry(widgets::MapDialogRect(QRect(113, 41, 50, 14), base));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  uitext::TranslateWindow(this, *uitext::CMultiLanguage::GetInstance());
}
