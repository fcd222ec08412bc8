// CAboutDlg: the About box (the program icon, name and version, OK), and the
// program icon it shares with the main dialog.
#pragma once

#include <QDialog>
#include <QIcon>

QIcon TransloomIcon();

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};
