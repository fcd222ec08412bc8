// Transloom: the device language tool.
#include <QApplication>

#include "common/platform/progdir.h"
#include "common/platform/run_folder.h"
#include "transloom/ui/transloom_app.h"

int main(int argc, char** argv) {
  // First, before any thread starts: a signal must not leave a run's files.
  platform::RemoveRunFilesOnTermination();
  // What killed runs left in the program folder goes before this one starts.
  platform::SweepStaleRunFiles(platform::GetProgramDirectory(), {});
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Transloom"));
  return CTransloomApp().Run();
}
