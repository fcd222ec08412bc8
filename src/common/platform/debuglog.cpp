#include "common/platform/debuglog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace platform {

bool DebugEnabled() {
  static const bool enabled = [] {
    const char* v = std::getenv("FIRMSMITH_DEBUG");
    return v != nullptr && *v != '\0';
  }();
  return enabled;
}

void DebugOutput(const char* format, ...) {
  if (!DebugEnabled()) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

}  // namespace platform
