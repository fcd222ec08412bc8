// transloom-cli: the language tool's capabilities for automation and tests.
// Each subcommand is a cmd_*.cpp file of this folder.
#include "common/platform/cli.h"
#include "common/platform/progdir.h"
#include "common/platform/run_folder.h"

int main(int argc, char** argv) {
  // First, before any thread starts: a signal must not leave a run's files.
  platform::RemoveRunFilesOnTermination();
  // What killed runs left in the program folder goes before this one starts.
  platform::SweepStaleRunFiles(platform::GetProgramDirectory(), {});
  return platform::RunCli("transloom-cli", argc, argv);
}
