// firmsmith-cli extract PACKAGE PARTITION DEST [--special-files]
// [--product NAME|FILE.ini]: unpacks one partition's files into the new
// folder DEST (cramfs by our extractor, squashfs by unsquashfs, jffs2 by our
// node reader), at most the extraction budget of bytes. Device nodes, FIFOs
// and sockets go to DEST.manifest unless --special-files makes them.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/platform/cli.h"
#include "common/platform/progdir.h"
#include "firmsmith/check/package_inspect.h"
#include "firmsmith/check/package_verify.h"
#include "firmsmith/check/partition_files.h"

namespace {

constexpr const char kUsage[] =
    "usage: extract PACKAGE PARTITION DEST [--special-files] [--product NAME|FILE.ini]";

int RunExtract(const std::vector<std::string>& args) {
  for (const std::string& a : args)
    if (a.size() > 1 && a.compare(0, 2, "--") == 0 && a != "--special-files" && a != "--product")
      return platform::CliUsage(kUsage);
  const std::vector<std::string> positionals = platform::CliPositionals(args, {"--product"});
  if (positionals.size() != 3) return platform::CliUsage(kUsage);
  const std::string& package = positionals[0];
  const std::string& destination = positionals[2];
  std::string error;
  products::ProductProfile storage;
  const products::ProductProfile* product = nullptr;
  check::PackageReport report;
  {
    check::TraceToStderr quiet;
    if (!check::InspectForCommand(args, package, &storage, &product, &report, &error))
      return platform::CliFail(error);
  }
  const check::ImageReport* image = check::FindPartitionImage(report, positionals[1], &error);
  if (image == nullptr) return platform::CliFail(error);
  check::PayloadExtractOptions options;
  options.createSpecialFiles = platform::CliHasFlag(args, "--special-files");
  options.budget = fsimage::ReadExtractBudget(platform::GetProgramDirectory());
  options.workers = 0;  // the operator waits on this alone
  if (!check::ExtractPayload(*image, destination, options, &error)) return platform::CliFail(package + ": " + error);
  std::printf("%s\n", destination.c_str());
  return 0;
}

const platform::CliRegistration kExtract{
    {"extract", "PACKAGE PARTITION DEST [--special-files] [--product NAME|FILE.ini]",
     "Unpack one partition's files into the new folder DEST; special files go to DEST.manifest "
     "unless --special-files.",
     RunExtract}};

}  // namespace
