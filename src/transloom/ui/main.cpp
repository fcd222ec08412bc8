// Transloom: the device language tool.
#include <QApplication>

#include "transloom/ui/transloom_app.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Transloom"));
  return CTransloomApp().Run();
}
