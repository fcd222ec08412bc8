// The logo conversion lives in the shell's Qt-based library; a build without
// it cannot fit logos and says so instead of packing unfitted pictures.
#include "firmsmith/package/make/make_steps.h"

#if defined(FS_HAVE_LOGO_CONVERT)
#include "firmsmith/logo/logo_convert.h"
#endif

namespace package {

bool ConvertLogo(const std::string& folder, int width, int height, std::string* why) {
#if defined(FS_HAVE_LOGO_CONVERT)
  return shell::ConvertLogoFolder(folder, width, height, why);
#else
  *why = "this build cannot fit logos";
  return false;
#endif
}

}  // namespace package
