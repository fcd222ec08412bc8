#include "common/platform/debuglog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

std::atomic<Verbosity>& CurrentVerbosity() {
  static std::atomic<Verbosity> verbosity{Verbosity::kNormal};
  return verbosity;
}

void Print(const char* prefix, const char* format, va_list args) {
  // One write per line keeps lines of two threads apart.
  char line[4096];
  std::vsnprintf(line, sizeof line, format, args);
  std::fprintf(stderr, "%s%s", prefix, line);
}

}  // namespace

void SetVerbosity(Verbosity verbosity) { CurrentVerbosity() = verbosity; }
Verbosity GetVerbosity() { return CurrentVerbosity(); }

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

bool TraceEnabled() { return DebugEnabled() || GetVerbosity() == Verbosity::kVerbose; }

void TraceOutput(const char* format, ...) {
  if (!TraceEnabled()) return;
  va_list args;
  va_start(args, format);
  Print("", format, args);
  va_end(args);
}

void WarningOutput(const char* format, ...) {
  if (GetVerbosity() == Verbosity::kQuiet) return;
  va_list args;
  va_start(args, format);
  Print("warning: ", format, args);
  va_end(args);
}

}  // namespace platform
