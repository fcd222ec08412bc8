#include "common/widgets/ip_address_edit.h"

#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>

IpAddressEdit::IpAddressEdit(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(2, 0, 2, 0);
  layout->setSpacing(0);
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      auto* dot = new QLabel(QStringLiteral("."), this);
      layout->addWidget(dot);
    }
    auto* edit = new QLineEdit(this);
    edit->setFrame(false);
    edit->setAlignment(Qt::AlignCenter);
    edit->setMaxLength(3);
    edit->setValidator(new QIntValidator(0, 255, edit));
    edit->installEventFilter(this);
    connect(edit, &QLineEdit::textEdited, this, [this, i] { OnFieldEdited(i); });
    layout->addWidget(edit, 1);
    fields_[i] = edit;
  }
  setFocusProxy(fields_[0]);
}

QString IpAddressEdit::text() const {
  QStringList parts;
  for (const QLineEdit* f : fields_)
    parts << (f->text().isEmpty() ? QStringLiteral("0") : f->text());
  return parts.join('.');
}

bool IpAddressEdit::setText(const QString& address) {
  const QStringList parts = address.split('.');
  if (parts.size() != 4) return false;
  std::array<quint8, 4> values{};
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    const uint v = parts[i].toUInt(&ok);
    if (!ok || v > 255 || parts[i].size() > 3) return false;
    values[i] = static_cast<quint8>(v);
  }
  setAddress(values[0], values[1], values[2], values[3]);
  return true;
}

void IpAddressEdit::setAddress(quint8 a, quint8 b, quint8 c, quint8 d) {
  const quint8 values[4] = {a, b, c, d};
  for (int i = 0; i < 4; ++i) fields_[i]->setText(QString::number(values[i]));
  emit addressChanged();
}

bool IpAddressEdit::isBlank() const {
  for (const QLineEdit* f : fields_)
    if (!f->text().isEmpty()) return false;
  return true;
}

void IpAddressEdit::OnFieldEdited(int index) {
  QLineEdit* f = fields_[index];
  // A value past 255 is cut back to the largest one, as the address control does.
  if (f->text().toInt() > 255) f->setText(QStringLiteral("255"));
  if (f->text().size() == 3 && index < 3) {
    fields_[index + 1]->setFocus();
    fields_[index + 1]->selectAll();
  }
  emit addressChanged();
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  for (int i = 0; i < 4; ++i) {
    if (watched != fields_[i]) continue;
    const bool next = key->key() == Qt::Key_Period || key->key() == Qt::Key_Space;
    if (next) {
      if (i < 3 && !fields_[i]->text().isEmpty()) {
        fields_[i + 1]->setFocus();
        fields_[i + 1]->selectAll();
      }
      return true;
    }
    if (key->key() == Qt::Key_Backspace && fields_[i]->text().isEmpty() && i > 0) {
      fields_[i - 1]->setFocus();
      fields_[i - 1]->end(false);
      return true;
    }
  }
  return QFrame::eventFilter(watched, event);
}
