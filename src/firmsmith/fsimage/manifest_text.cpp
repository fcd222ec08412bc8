#include "firmsmith/fsimage/manifest_text.h"

namespace fsimage {

std::string ManifestPathBeside(const std::string& destination, const char* suffix) {
  std::string base = destination;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + suffix;
}

bool IsTreePath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.back() == '/') return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string part = path.substr(start, slash - start);
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

bool ParseManifestNumber(const std::string& text, int base, std::uint32_t limit, std::uint32_t* value) {
  if (text.empty() || text.size() > 12) return false;
  std::uint64_t v = 0;
  for (const char c : text) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : 99;
    if (digit >= base) return false;
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (v > limit) return false;
  }
  *value = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace fsimage
