// Firmsmith: the package maker's window.
#include <QApplication>

#include "common/platform/progdir.h"
#include "common/platform/run_folder.h"
#include "firmsmith/package/make/make_run_folders.h"
#include "firmsmith/shell/firmsmith_app.h"

int main(int argc, char** argv) {
  // First, before any thread starts: a signal must not leave a run's files.
  platform::RemoveRunFilesOnTermination();
  // What killed runs left in the program folder goes before this one starts.
  package::SweepStaleMakeRuns(platform::GetProgramDirectory());
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Firmsmith"));
  shell::CFirmsmithApp app;
  return app.InitInstance();
}
