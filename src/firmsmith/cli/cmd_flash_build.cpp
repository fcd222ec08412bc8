// firmsmith-cli flash-build PACKAGE --product NAME|FILE.ini --out FILE
// --boot FILE [--force]: the factory image of a whole flash chip
// (factory/flash_build.h); prints the output path.
#include <cstdio>
#include <string>
#include <vector>

#include "common/platform/cli.h"
#include "firmsmith/check/package_inspect.h"
#include "firmsmith/factory/flash_build.h"

namespace {

constexpr const char kUsage[] = "usage: flash-build PACKAGE --product NAME|FILE.ini --out FILE --boot FILE [--force]";

int RunFlashBuild(const std::vector<std::string>& args) {
  for (const std::string& a : args)
    if (a.size() > 1 && a.compare(0, 2, "--") == 0 && a != "--product" && a != "--out" && a != "--boot" &&
        a != "--force")
      return platform::CliUsage(kUsage);
  const std::vector<std::string> positionals = platform::CliPositionals(args, {"--product", "--out", "--boot"});
  const std::string* productName = platform::CliOption(args, "--product");
  const std::string* out = platform::CliOption(args, "--out");
  const std::string* boot = platform::CliOption(args, "--boot");
  if (positionals.size() != 1 || !productName || !out || !boot) return platform::CliUsage(kUsage);
  products::ProductProfile product;
  std::string error;
  if (!check::FindProduct(*productName, &product, &error)) return platform::CliFail(error);
  factory::FlashBuildRequest request;
  request.package = positionals[0];
  request.bootLoader = *boot;
  request.output = *out;
  request.replace = platform::CliHasFlag(args, "--force");
  platform::Status built;
  {
    check::TraceToStderr quiet;
    built = factory::BuildFlashImage(request, product);
  }
  if (!built) return platform::CliFail(built.message);
  std::printf("%s\n", out->c_str());
  return 0;
}

const platform::CliRegistration kFlashBuild{
    {"flash-build", "PACKAGE --product NAME|FILE.ini --out FILE --boot FILE [--force]",
     "Make a factory image of the product's flash chip: boot loader at 0, each image at its partition.",
     RunFlashBuild}};

}  // namespace
