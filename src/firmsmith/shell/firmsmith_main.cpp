// Firmsmith: the package maker's window.
#include <QApplication>

#include "firmsmith/shell/firmsmith_app.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Firmsmith"));
  shell::CFirmsmithApp app;
  return app.InitInstance();
}
