// Text from an untrusted source (a name in an archive or image, a value in
// a file) as a one-line message may show it.
#pragma once

#include <string>

namespace platform {

// Control characters and DEL: what would break or garble a one-line message.
inline bool IsControlCharacter(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

// `text` with control characters and DEL as "\ooo" (a line break as
// "\012"); every other byte as it stands.
std::string Printable(const std::string& text);

}  // namespace platform
