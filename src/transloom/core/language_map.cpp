#include "transloom/core/language_map.h"

#include <cstdint>

namespace transloom {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view kLineBlanks = " \t\r\v\f";

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0.
std::size_t SequenceLength(std::string_view s) {
  const auto b0 = static_cast<std::uint8_t>(s[0]);
  if (b0 < 0x80) return 1;
  std::size_t len;
  std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    const std::uint8_t min = i == 1 ? lo : 0x80, max = i == 1 ? hi : 0xBF;
    if (b < min || b > max) return 0;
  }
  return len;
}

}  // namespace

std::string RepairUtf8(std::string_view bytes) {
  const std::size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const std::size_t len = SequenceLength(bytes);
    if (len == 0) {
      out += kReplacement;
      bytes.remove_prefix(1);
    } else {
      out.append(bytes.substr(0, len));
      bytes.remove_prefix(len);
    }
  }
  return out;
}

void ParseLanguageText(std::string_view text, LanguageMap* map) {
  map->clear();
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    // The text counts as ending in a line feed, so its last line is read too.
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    const std::size_t first = line.find_first_not_of(kLineBlanks);
    if (first != std::string_view::npos) {
      line = line.substr(first, line.find_last_not_of(kLineBlanks) - first + 1);
      const std::size_t eq = line.find('=');
      if (eq != std::string_view::npos)
        (*map)[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    }
    pos = end + 1;
  }
}

}  // namespace transloom
