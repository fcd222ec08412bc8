// firmsmith-cli diff A B [--product NAME] [--json]: what changed between two
// packages, partition by partition and file by file. Exit status 0 when they
// hold the same, 1 when they differ, 2 when either cannot be read.
#include <json/json.h>

#include <iostream>

#include "common/platform/cli.h"
#include "firmsmith/check/package_diff.h"
#include "firmsmith/check/package_inspect.h"

namespace {

int RunDiff(const std::vector<std::string>& args) {
  const std::vector<std::string> positionals = platform::CliPositionals(args, {"--product"});
  if (positionals.size() != 2) return platform::CliUsage("diff: expected two packages (diff A B)");
  std::string error;
  products::ProductProfile storage;
  const products::ProductProfile* product = nullptr;
  if (!check::ProductOption(args, &storage, &product, &error)) return platform::CliUsage(error);
  check::PackageDiff diff;
  bool compared = false;
  {
    check::TraceToStderr quiet;
    compared = check::DiffPackages(positionals[0], positionals[1], product, &diff, &error);
  }
  if (!compared) {
    platform::CliFail(error);
    return 2;
  }
  if (platform::CliHasFlag(args, "--json")) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "  ";
    std::cout << Json::writeString(w, check::DiffJson(diff)) << "\n";
  } else {
    std::cout << check::DiffText(diff);
  }
  return diff.empty() ? 0 : 1;
}

const platform::CliRegistration kDiff{
    {"diff", "A B [--product NAME|FILE.ini] [--json]",
     "Differences between two packages: InstallDesc, partitions, and files inside cramfs/squashfs.",
     RunDiff}};

}  // namespace
