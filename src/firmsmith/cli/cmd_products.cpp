// firmsmith-cli products [--json]: the product list of the program folder.
#include <json/json.h>

#include <cstdio>
#include <iostream>

#include "common/platform/cli.h"
#include "common/platform/progdir.h"
#include "firmsmith/products/product_profile.h"

namespace {

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

int RunProducts(const std::vector<std::string>& args) {
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
    {"products", "[--json]", "List the products of the program folder and their flash layouts.",
     RunProducts}};

}  // namespace
