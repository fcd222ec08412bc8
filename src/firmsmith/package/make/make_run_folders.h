// The private folders of one make run. Everything a run writes before its
// final outputs lives in them, and each is made for this run alone (mkdtemp,
// mode 0700, the pid in its lock file): a name that exists already (a link,
// another user's folder, a second run started in the same second) is never
// used, and the folders go with everything in them when the run ends, by
// any path (SIGINT/SIGTERM/SIGHUP through the run-file watcher).
//
//   <program folder>tmp<stamp>-XXXXXX/   temporary folder: intermediate
//                                         images, staged trees, unpacked
//                                         partitions, device replies and the
//                                         distribution folder "dist"
//   <input folder>/.h264dvr-XXXXXX/       work folder of a rework; the
//                                         unpacked package in "package"
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/platform/file_ops.h"
#include "common/platform/status.h"

namespace package {

inline constexpr const char* kTemporaryFolderPrefix = "tmp";
inline constexpr const char* kWorkFolderPrefix = ".h264dvr-";
// The window's staged languages: "<program folder>TempStrings-XXXXXX".
inline constexpr const char* kStringsStagingPrefix = "TempStrings-";
inline constexpr const char* kUnpackedPackageFolder = "package";
inline constexpr const char* kDistributionFolder = "dist";

class MakeRunFolders {
 public:
  explicit MakeRunFolders(std::string programDirectory) : programDirectory_(std::move(programDirectory)) {}
  // The temporary folder, made on first use.
  platform::Status Temporary(std::string* path);
  // The work folder beside `inputPath`, made on first use; *unpacked is the
  // folder the package is unpacked into (created, empty).
  platform::Status Work(const std::string& inputPath, std::string* unpacked);

 private:
  std::string programDirectory_;
  platform::TempFolder temporary_;
  platform::TempFolder work_;
};

// The prefixes of the run folders above, for platform::SweepStaleRunFiles.
std::vector<std::string> RunFolderPrefixes();

// Removes what killed runs left (run folders, partial and temporary files
// whose pid is gone) from the program folder and, when given, the folder
// of the input.
void SweepStaleMakeRuns(const std::string& programDirectory, const std::string& inputPath = "");

}  // namespace package
