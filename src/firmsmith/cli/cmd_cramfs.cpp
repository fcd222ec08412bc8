// firmsmith-cli cramfs-build SRC IMAGE / cramfs-extract IMAGE DEST: the cramfs
// writer and extractor as the package pipeline uses them.
#include <string>
#include <vector>

#include "common/platform/cli.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "firmsmith/fsimage/cramfs_writer.h"

namespace {

using Operation = int (*)(const std::string&, const std::string&, std::string*);

int RunTwoPathCommand(const std::vector<std::string>& args, const char* usage, Operation operation) {
  const std::vector<std::string> paths = platform::CliPositionals(args, {});
  if (paths.size() != 2) return platform::CliFail(std::string("usage: ") + usage);
  std::string why;
  if (operation(paths[0], paths[1], &why) != 0) return platform::CliFail(why);
  return 0;
}

int RunCramfsBuild(const std::vector<std::string>& args) {
  return RunTwoPathCommand(args, "cramfs-build SRC IMAGE", fsimage::BuildCramfsImage);
}

int RunCramfsExtract(const std::vector<std::string>& args) {
  return RunTwoPathCommand(args, "cramfs-extract IMAGE DEST", fsimage::ExtractCramfsImage);
}

const platform::CliRegistration kCramfsBuild{
    {"cramfs-build", "SRC IMAGE",
     "Build a cramfs image of folder SRC (inode listing on standard output).", RunCramfsBuild}};
const platform::CliRegistration kCramfsExtract{
    {"cramfs-extract", "IMAGE DEST", "Unpack cramfs image IMAGE into folder DEST.",
     RunCramfsExtract}};

}  // namespace
