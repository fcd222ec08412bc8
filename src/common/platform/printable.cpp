#include "common/platform/printable.h"

#include <cstdio>

namespace platform {

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    if (!IsControlCharacter(ch)) {
      out += ch;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\%03o", static_cast<unsigned char>(ch));
    out += escaped;
  }
  return out;
}

}  // namespace platform
