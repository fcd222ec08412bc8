// firmsmith-cli products [--json] [--check]: the product list of the program
// folder, or with --check the product files that cannot be used as written.
#include <json/json.h>

#include <cstdio>
#include <iostream>

#include "common/platform/cli.h"
#include "common/platform/progdir.h"
#include "firmsmith/products/product_check.h"
#include "firmsmith/products/product_profile.h"

namespace {

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

// One line per product file that cannot be read or does not fit a chip;
// exit 1 when there is any, so that an installation can be checked in a script.
int CheckProducts() {
  platform::Status listing;
  const std::vector<products::ProductFile> files =
      products::LoadProductFiles(platform::GetProgramDirectory(), &listing);
  if (!listing) return platform::CliFail(listing.message);
  int bad = 0;
  for (const products::ProductFile& f : files) {
    if (f.problem.empty()) continue;
    std::printf("%s: %s\n", f.path.c_str(), f.problem.c_str());
    ++bad;
  }
  if (bad != 0) {
    std::fprintf(stderr, "%d of %zu product files cannot be used as written\n", bad, files.size());
    return 1;
  }
  std::printf("%zu product files, all readable and laid out within a chip\n", files.size());
  return 0;
}

int RunProducts(const std::vector<std::string>& args) {
  if (platform::CliHasFlag(args, "--check")) return CheckProducts();
  const products::ProductList list = products::LoadProductProfiles(platform::GetProgramDirectory());
  if (platform::CliHasFlag(args, "--json")) {
    Json::Value root(Json::arrayValue);
    for (const products::ProductProfile& p : list) {
      Json::Value item;
      item["name"] = p.name;
      item["vendor"] = p.vendor;
      item["hardware"] = p.hardware;
      item["webName"] = p.webName;
      item["logoWidth"] = p.logoWidth;
      item["logoHeight"] = p.logoHeight;
      Json::Value parts(Json::objectValue);
      for (const products::NamedPartition& np : products::NamedPartitions(p)) {
        Json::Value spec;
        spec["start"] = np.spec->start;
        spec["end"] = np.spec->end;
        spec["fs"] = products::FsTypeName(np.spec->fs);
        spec["ignore"] = np.spec->ignore;
        parts[np.section] = spec;
      }
      item["partitions"] = parts;
      root.append(item);
    }
    Json::StreamWriterBuilder w;
    w["indentation"] = "  ";
    std::cout << Json::writeString(w, root) << "\n";
    return 0;
  }
  for (const products::ProductProfile& p : list) {
    std::printf("%s  vendor=%s  hardware=%s  webName=%s  logo=%dx%d\n", p.name.c_str(),
                p.vendor.c_str(), p.hardware.c_str(), p.webName.c_str(), p.logoWidth,
                p.logoHeight);
    std::printf("  %-10s %-10s %-10s %-9s %s\n", "partition", "start", "end", "fs", "ignore");
    for (const products::NamedPartition& np : products::NamedPartitions(p)) {
      if (np.spec->start == 0 && np.spec->end == 0) continue;
      std::printf("  %-10s %-10s %-10s %-9s %s\n", np.section, Hex(np.spec->start).c_str(),
                  Hex(np.spec->end).c_str(), products::FsTypeName(np.spec->fs),
                  np.spec->ignore.c_str());
    }
  }
  return 0;
}

const platform::CliRegistration kProducts{
    {"products", "[--json] [--check]",
     "List the products of the program folder and their flash layouts; --check: list the "
     "files that cannot be used, exit 1 if any.",
     RunProducts}};

}  // namespace
