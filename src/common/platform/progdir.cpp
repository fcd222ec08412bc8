#include "common/platform/progdir.h"

#include <limits.h>
#include <unistd.h>

#include <mutex>

namespace platform {

std::string GetExecutablePath() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<std::size_t>(n));
}

std::string GetProgramDirectory() {
  static std::once_flag once;
  static std::string directory;
  std::call_once(once, [] {
    std::string exe = GetExecutablePath();
    std::size_t slash = exe.rfind('/');
    directory = slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
    if (directory.empty() || directory.back() != '/') directory += '/';
  });
  return directory;
}

}  // namespace platform
