// firmsmith-cli logo-fit: fit the bitmaps of a logo folder to a logo size.
#include <cstdlib>

#include "common/platform/cli.h"
#include "firmsmith/logo/logo_convert.h"

namespace {

int RunLogoFit(const std::vector<std::string>& args) {
  if (args.size() != 3) return platform::CliUsage("usage: logo-fit FOLDER WIDTH HEIGHT");
  char* end = nullptr;
  long width = std::strtol(args[1].c_str(), &end, 10);
  bool ok = !args[1].empty() && *end == '\0';
  long height = std::strtol(args[2].c_str(), &end, 10);
  ok = ok && !args[2].empty() && *end == '\0';
  if (!ok || width <= 0 || height <= 0 || width > 65535 || height > 65535)
    return platform::CliFail("WIDTH and HEIGHT must be positive whole numbers");
  if (!shell::ConvertLogoFolder(args[0], static_cast<int>(width), static_cast<int>(height)))
    return platform::CliFail(args[0] + ": a file is not a loadable bitmap or cannot be converted");
  return 0;
}

const platform::CliRegistration kLogoFit{
    {"logo-fit", "FOLDER WIDTH HEIGHT",
     "Fit the bitmaps of a logo folder to the logo size; leaves a 16-bit logo.bmp.", RunLogoFit}};

}  // namespace
