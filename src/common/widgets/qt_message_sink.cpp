#include "common/widgets/qt_message_sink.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStringList>

namespace widgets {

QString QtFileFilter(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    const QString& description = parts[i];
    const QString& patterns = parts[i + 1];
    if (description.isEmpty()) break;  // the "||" end
    QString pattern = patterns;
    pattern.replace(';', ' ');
    filters << (description.contains('(') ? description : description + " (" + pattern + ")");
  }
  return filters.join(QStringLiteral(";;"));
}

platform::MessageAnswer QtMessageSink::ShowMessage(const std::string& text,
                                                   const std::string& caption,
                                                   platform::MessageButtons buttons) {
  QMessageBox::StandardButtons shown = QMessageBox::Ok;
  if (buttons == platform::MessageButtons::OkCancel) shown = QMessageBox::Ok | QMessageBox::Cancel;
  if (buttons == platform::MessageButtons::YesNo) shown = QMessageBox::Yes | QMessageBox::No;
  const QMessageBox::Icon icon =
      buttons == platform::MessageButtons::Ok ? QMessageBox::Information : QMessageBox::Question;
  QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text), shown,
                  owner_);
  switch (box.exec()) {
    case QMessageBox::Ok: return platform::MessageAnswer::Ok;
    case QMessageBox::Yes: return platform::MessageAnswer::Yes;
    case QMessageBox::No: return platform::MessageAnswer::No;
    default: return platform::MessageAnswer::Cancel;
  }
}

namespace {

QMessageBox::Icon IconOf(platform::MessageSeverity severity) {
  switch (severity) {
    case platform::MessageSeverity::Warning: return QMessageBox::Warning;
    case platform::MessageSeverity::Critical: return QMessageBox::Critical;
    default: return QMessageBox::Information;
  }
}

}  // namespace

platform::MessageAnswer QtMessageSink::ShowDetailed(const std::string& text,
                                                    const std::string& caption,
                                                    const std::string& detail,
                                                    platform::MessageSeverity severity) {
  QMessageBox box(IconOf(severity), QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Ok, owner_);
  if (!detail.empty()) box.setInformativeText(QString::fromStdString(detail));
  box.exec();
  return platform::MessageAnswer::Ok;
}

std::optional<std::string> QtMessageSink::ChooseFile(const std::string& title,
                                                     const std::string& filter,
                                                     const std::string& startPath) {
  const QString path =
      QFileDialog::getOpenFileName(owner_, QString::fromStdString(title),
                                   QString::fromStdString(startPath), QtFileFilter(filter));
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

std::optional<std::string> QtMessageSink::ChooseFolder(const std::string& title,
                                                       const std::string& startPath) {
  const QString path = QFileDialog::getExistingDirectory(owner_, QString::fromStdString(title),
                                                         QString::fromStdString(startPath));
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

std::optional<std::string> QtMessageSink::ChooseSaveFile(const std::string& title,
                                                         const std::string& filter,
                                                         const std::string& defaultName,
                                                         const std::string& defaultSuffix) {
  QFileDialog dialog(owner_, QString::fromStdString(title), QString(), QtFileFilter(filter));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QString::fromStdString(defaultSuffix));
  // A name typed without a suffix takes the one of the filter in use.
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& f) {
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("\\*\\.(\\w+)")).match(f);
    if (m.hasMatch()) dialog.setDefaultSuffix(m.captured(1));
  });
  dialog.selectFile(QString::fromStdString(defaultName));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front().toStdString();
}

}  // namespace widgets
