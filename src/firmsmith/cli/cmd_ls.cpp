// firmsmith-cli ls PACKAGE [PARTITION] [--json] [--product NAME|FILE.ini]:
// what a package (or, with a product, a flash image) holds. Without a
// partition one line per entry: name, file system, image size, the
// product's partition with its bounds, and the room left; with one, the
// files inside it: type, mode, size, path and link target.
#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "common/platform/cli.h"
#include "common/platform/progdir.h"
#include "firmsmith/check/package_inspect.h"
#include "firmsmith/check/package_verify.h"
#include "firmsmith/check/partition_files.h"
#include "firmsmith/products/product_profile.h"

namespace {

constexpr const char kUsage[] = "usage: ls PACKAGE [PARTITION] [--json] [--product NAME|FILE.ini]";

// Options the command knows; anything else is a usage error.
bool OnlyKnownOptions(const std::vector<std::string>& args, const std::vector<std::string>& known) {
  for (const std::string& a : args)
    if (a.size() > 1 && a.compare(0, 2, "--") == 0 && std::find(known.begin(), known.end(), a) == known.end())
      return false;
  return true;
}

std::string EntryLine(const check::ImageReport& e) {
  char line[512];
  const std::string fs = e.payloadPath.empty() ? "-" : check::ImageKindName(e.fsKind);
  if (!e.hasPartition) {
    std::snprintf(line, sizeof line, "%-28s %-8s %10llu %-8s %-23s %s\n", e.name.c_str(), fs.c_str(),
                  static_cast<unsigned long long>(e.size), "-", "-", "-");
  } else {
    const std::string bounds = check::Hex32(e.partitionStart) + "-" + check::Hex32(e.partitionEnd);
    std::snprintf(line, sizeof line, "%-28s %-8s %10llu %-8s %-23s %lld\n", e.name.c_str(), fs.c_str(),
                  static_cast<unsigned long long>(e.size), e.partition.c_str(), bounds.c_str(),
                  static_cast<long long>(e.freeRoom));
  }
  return line;
}

Json::Value EntryJson(const check::ImageReport& e) {
  Json::Value item;
  item["name"] = e.name;
  item["fileSystem"] = e.payloadPath.empty() ? "none" : check::ImageKindName(e.fsKind);
  item["size"] = Json::UInt64(e.size);
  if (e.hasPartition) {
    item["partition"] = e.partition;
    item["start"] = check::Hex32(e.partitionStart);
    item["end"] = check::Hex32(e.partitionEnd);
    item["free"] = Json::Int64(e.freeRoom);
  }
  return item;
}

int RunLs(const std::vector<std::string>& args) {
  if (!OnlyKnownOptions(args, {"--json", "--product"})) return platform::CliUsage(kUsage);
  const std::vector<std::string> positionals = platform::CliPositionals(args, {"--product"});
  if (positionals.empty() || positionals.size() > 2) return platform::CliUsage(kUsage);
  const std::string& package = positionals[0];
  const bool json = platform::CliHasFlag(args, "--json");
  std::string error;
  products::ProductProfile storage;
  const products::ProductProfile* product = nullptr;
  check::PackageReport report;
  {
    check::TraceToStderr quiet;
    // Without --product, the product the package was made for names the
    // partitions when one can be told.
    if (!check::InspectForCommand(args, package, &storage, &product, &report, &error))
      return platform::CliFail(error);
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  if (positionals.size() == 1) {
    Json::Value list(Json::arrayValue);
    for (const check::ImageReport& e : report.entries) {
      if (json) list.append(EntryJson(e));
      else std::cout << EntryLine(e);
    }
    if (json) std::cout << Json::writeString(writer, list) << "\n";
    return 0;
  }
  const check::ImageReport* image = check::FindPartitionImage(report, positionals[1], &error);
  if (image == nullptr) return platform::CliFail(error);
  std::vector<fsimage::SourceEntry> files;
  if (!check::ListPayload(*image, &files, &error)) return platform::CliFail(package + ": " + error);
  if (json) std::cout << Json::writeString(writer, check::FilesJson(files)) << "\n";
  else std::cout << check::FilesText(files);
  return 0;
}

const platform::CliRegistration kLs{
    {"ls", "PACKAGE [PARTITION] [--json] [--product NAME|FILE.ini]",
     "List a package's (or flash image's) partitions, or the files of one partition.", RunLs}};

}  // namespace
