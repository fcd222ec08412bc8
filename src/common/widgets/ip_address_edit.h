// IpAddressEdit: the four-field IPv4 address control of the dialogs. Each
// field takes 0 to 255; typing "." or a third digit moves on to the next
// field, Backspace in an empty field moves back. Its text is address data,
// so TranslateWindow leaves it alone (by this class name).
#pragma once

#include <QFrame>
#include <QString>
#include <array>

class QLineEdit;

class IpAddressEdit : public QFrame {
  Q_OBJECT

 public:
  explicit IpAddressEdit(QWidget* parent = nullptr);

  // "a.b.c.d"; an empty field reads as 0.
  QString text() const;
  // Takes a dotted address; false (and no change) when it is not one.
  bool setText(const QString& address);
  void setAddress(quint8 a, quint8 b, quint8 c, quint8 d);
  bool isBlank() const;
  QLineEdit* field(int index) const { return fields_[index]; }

 signals:
  void addressChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnFieldEdited(int index);
  std::array<QLineEdit*, 4> fields_{};
};
