// firmsmith-cli cramfs-build SRC IMAGE [--manifest FILE] / cramfs-extract
// IMAGE DEST [--special-files]: the cramfs writer and extractor as the package
// pipeline uses them.
#include <string>
#include <vector>

#include "common/platform/cli.h"
#include "common/platform/progdir.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "firmsmith/fsimage/cramfs_writer.h"

namespace {

int RunCramfsBuild(const std::vector<std::string>& args) {
  const std::vector<std::string> paths = platform::CliPositionals(args, {"--manifest"});
  if (paths.size() != 2) return platform::CliUsage("usage: cramfs-build SRC IMAGE [--manifest FILE]");
  fsimage::CramfsBuildOptions options;
  if (const std::string* manifest = platform::CliOption(args, "--manifest")) options.manifestPath = *manifest;
  std::string why;
  if (fsimage::BuildCramfsImage(paths[0], paths[1], options, &why) != 0) return platform::CliFail(why);
  return 0;
}

int RunCramfsExtract(const std::vector<std::string>& args) {
  const std::vector<std::string> paths = platform::CliPositionals(args, {});
  if (paths.size() != 2) return platform::CliUsage("usage: cramfs-extract IMAGE DEST [--special-files]");
  fsimage::CramfsExtractOptions options;
  options.createSpecialFiles = platform::CliHasFlag(args, "--special-files");
  options.budget = fsimage::ReadExtractBudget(platform::GetProgramDirectory());
  options.workers = 0;  // the operator waits on this alone
  std::string why;
  if (fsimage::ExtractCramfsImage(paths[0], paths[1], options, &why) != 0) return platform::CliFail(why);
  return 0;
}

const platform::CliRegistration kCramfsBuild{
    {"cramfs-build", "SRC IMAGE [--manifest FILE]",
     "Build a cramfs image of folder SRC (-v: the inode listing on standard error); FILE adds the special "
     "entries an extraction left out.",
     RunCramfsBuild}};
const platform::CliRegistration kCramfsExtract{
    {"cramfs-extract", "IMAGE DEST [--special-files]",
     "Unpack cramfs image IMAGE into folder DEST; device nodes, FIFOs and sockets go to DEST.manifest "
     "unless --special-files (as root) makes them.",
     RunCramfsExtract}};

}  // namespace
