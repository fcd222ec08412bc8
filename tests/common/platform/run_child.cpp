// A run cut short: makes a run folder and a partial output in the folder
// named by argv[1], says where they are, then waits to be ended.
#include <unistd.h>

#include <cstdio>

#include "common/platform/file_ops.h"
#include "common/platform/run_folder.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  platform::RemoveRunFilesOnTermination();
  platform::TempFolder folder;
  platform::OutputFile out;
  if (!folder.Create(argv[1], "run-") || !out.Create(std::string(argv[1]) + "/package.bin") ||
      !out.Write("partial", 7))
    return 1;
  std::printf("%s\n%s\n", folder.path().c_str(), out.partPath().c_str());
  std::fflush(stdout);
  for (;;) ::pause();
}
