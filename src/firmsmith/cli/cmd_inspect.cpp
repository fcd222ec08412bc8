// firmsmith-cli inspect PACKAGE [--product NAME] [--json] [--svg OUT.svg]:
// what an upgrade package (or, with a product, a flash image) holds; --svg
// writes the picture of the product's flash layout filled by its images.
#include <json/json.h>

#include <iostream>

#include "common/platform/cli.h"
#include "common/platform/files.h"
#include "common/platform/progdir.h"
#include "firmsmith/check/package_inspect.h"
#include "firmsmith/products/flash_layout.h"
#include "firmsmith/products/layout_svg.h"

namespace {

// Size of the picture inspect --svg writes, in pixels.
constexpr double kSvgWidth = 420;
constexpr double kSvgHeight = 640;

// The layout of the report's product filled with its images, as an SVG file.
// Without --product the product is the one whose hardware the package names.
int WriteLayoutSvg(const std::string& package, const products::ProductProfile* product,
                   check::PackageReport report, const std::string& out) {
  products::ProductProfile found;
  if (product == nullptr) {
    for (const products::ProductProfile& p :
         products::LoadProductProfiles(platform::GetProgramDirectory()))
      if (!report.hardware.empty() && p.hardware == report.hardware) found = p;
    if (found.name.empty())
      return platform::CliFail(package + ": no product of hardware \"" + report.hardware +
                               "\" in " + platform::GetProgramDirectory() +
                               "Products; name one with --product");
    product = &found;
    std::string error;
    check::TraceToStderr quiet;
    if (!check::InspectPackage(package, product, &report, &error)) return platform::CliFail(error);
  }
  products::FlashLayout layout = products::MakeFlashLayout(*product);
  for (const check::ImageReport& image : report.entries) {
    if (!image.hasPartition) continue;
    products::LayoutPartition* part = layout.Find(image.partition);
    if (part == nullptr) continue;
    // A flash partition holds its file system and erased flash: only the
    // file system fills it, and an erased one holds no image.
    if (report.flashImage && image.payloadSize == 0) continue;
    part->fill = report.flashImage || image.payloadSize != 0 ? image.payloadSize : image.size;
  }
  const platform::Status written = platform::WriteFileAtomic(
      out, products::LayoutSvg(products::DrawFlashLayout(layout, kSvgWidth, kSvgHeight)));
  if (!written) return platform::CliFail(written.message);
  return 0;
}

int RunInspect(const std::vector<std::string>& args) {
  const std::vector<std::string> positionals = platform::CliPositionals(args, {"--product", "--svg"});
  if (positionals.size() != 1) return platform::CliUsage("inspect: expected one package (inspect PACKAGE)");
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
  if (const std::string* svg = platform::CliOption(args, "--svg"))
    return WriteLayoutSvg(positionals[0], product, std::move(report), *svg);
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
    {"inspect", "PACKAGE [--product NAME|FILE.ini] [--json] [--svg OUT.svg]",
     "List InstallDesc and every image of a package or flash image: headers, CRCs, file systems, room.",
     RunInspect}};

}  // namespace
