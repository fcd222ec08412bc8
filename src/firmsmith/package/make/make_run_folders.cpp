#include "firmsmith/package/make/make_run_folders.h"

#include "common/platform/files.h"
#include "common/platform/run_folder.h"
#include "firmsmith/package/make/make_operation.h"

namespace package {
namespace {

std::string FolderOf(const std::string& path) {
  const std::string parent = platform::ParentFolder(path);
  return parent.empty() ? "." : parent;
}

}  // namespace

platform::Status MakeRunFolders::Temporary(std::string* path) {
  if (temporary_.path().empty()) {
    // The time stamp keeps the folder recognisable to the operator; the
    // random tail keeps it ours alone.
    if (platform::Status made = temporary_.Create(
            programDirectory_.empty() ? "." : programDirectory_,
            std::string(kTemporaryFolderPrefix) + TimeStamp() + "-");
        !made)
      return made;
  }
  *path = temporary_.path();
  return platform::Status::Ok();
}

platform::Status MakeRunFolders::Work(const std::string& inputPath, std::string* unpacked) {
  if (work_.path().empty()) {
    if (platform::Status made = work_.Create(FolderOf(inputPath), kWorkFolderPrefix); !made) return made;
    // The lock file stays outside what is packed.
    if (platform::Status made = platform::MakeFolders(platform::JoinPath(work_.path(), kUnpackedPackageFolder));
        !made)
      return made;
  }
  *unpacked = platform::JoinPath(work_.path(), kUnpackedPackageFolder);
  return platform::Status::Ok();
}

std::vector<std::string> RunFolderPrefixes() {
  return {kTemporaryFolderPrefix, kWorkFolderPrefix, kStringsStagingPrefix};
}

void SweepStaleMakeRuns(const std::string& programDirectory, const std::string& inputPath) {
  if (!programDirectory.empty()) platform::SweepStaleRunFiles(programDirectory, RunFolderPrefixes());
  if (!inputPath.empty()) platform::SweepStaleRunFiles(FolderOf(inputPath), RunFolderPrefixes());
}

}  // namespace package
