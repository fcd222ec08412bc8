#include "common/platform/printable.h"

#include <cstdio>

namespace platform {

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      out += ch;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\%03o", c);
    out += escaped;
  }
  return out;
}

}  // namespace platform
