// firmsmith-cli inspect PACKAGE [--product NAME] [--json]: what an upgrade
// package (or, with a product, a flash image) holds.
#include <json/json.h>

#include <iostream>

#include "common/platform/cli.h"
#include "firmsmith/check/package_inspect.h"

namespace {

int RunInspect(const std::vector<std::string>& args) {
  const std::vector<std::string> positionals = platform::CliPositionals(args, {"--product"});
  if (positionals.size() != 1) return platform::CliFail("inspect: expected one package (inspect PACKAGE)");
  std::string error;
  products::ProductProfile storage;
  const products::ProductProfile* product = nullptr;
  if (!check::ProductOption(args, &storage, &product, &error)) return platform::CliFail(error);
  check::PackageReport report;
  bool read = false;
  {
    check::TraceToStderr quiet;
    read = check::InspectPackage(positionals[0], product, &report, &error);
  }
  if (!read) return platform::CliFail(error);
  if (platform::CliHasFlag(args, "--json")) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "  ";
    std::cout << Json::writeString(w, check::ReportJson(report)) << "\n";
  } else {
    std::cout << check::ReportText(report);
  }
  return 0;
}

const platform::CliRegistration kInspect{
    {"inspect", "PACKAGE [--product NAME|FILE.ini] [--json]",
     "List InstallDesc and every image of a package or flash image: headers, CRCs, file systems, room.",
     RunInspect}};

}  // namespace
