#include "firmsmith/products/product_check.h"

#include <algorithm>
#include <cstdio>

#include "common/platform/files.h"
#include "common/platform/profile.h"

namespace products {
namespace {

// Sections that carry an "fs" key.
constexpr const char* kFsSections[] = {"WEB",  "360USER", "LOGO",      "CUSTOM", "USER",
                                       "OEMAPP", "OEMYLK", "ROMFS",    "MTD",    "UBOOTLOGO",
                                       "ROMFS2", "PARAM"};

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

// Offset of the first byte that breaks UTF-8, or -1 when the text is valid.
long FirstNonUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xc2 && c <= 0xdf) {
      len = 2, cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3, cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4, cp = c & 0x07;
    } else {
      return static_cast<long>(i);
    }
    if (i + len > n) return static_cast<long>(i);
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xc0) != 0x80) return static_cast<long>(i);
      cp = (cp << 6) | (p[i + k] & 0x3f);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff))
      return static_cast<long>(i);
    i += len;
  }
  return -1;
}

void Add(std::string* reasons, const std::string& reason) {
  if (!reasons->empty()) *reasons += "; ";
  *reasons += reason;
}

}  // namespace

std::string CheckProductLayout(const ProductProfile& profile) {
  std::string reasons;
  std::vector<NamedPartition> placed;
  for (const NamedPartition& np : NamedPartitions(profile)) {
    const PartitionSpec& s = *np.spec;
    if (s.end == 0) continue;  // not on the chip
    if (s.end <= s.start) {
      Add(&reasons, std::string(np.section) + " ends at " + Hex(s.end) + ", not after its start " +
                        Hex(s.start));
      continue;
    }
    if (s.end > kLargestChipBytes)
      Add(&reasons, std::string(np.section) + " ends at " + Hex(s.end) +
                        ", beyond the largest chip of 32 MiB");
    placed.push_back(np);
  }
  std::sort(placed.begin(), placed.end(), [](const NamedPartition& a, const NamedPartition& b) {
    return a.spec->start < b.spec->start;
  });
  for (std::size_t i = 1; i < placed.size(); ++i) {
    const NamedPartition& a = placed[i - 1];
    const NamedPartition& b = placed[i];
    if (b.spec->start < a.spec->end)
      Add(&reasons, std::string(a.section) + " " + Hex(a.spec->start) + "-" + Hex(a.spec->end) +
                        " overlaps " + b.section + " " + Hex(b.spec->start) + "-" +
                        Hex(b.spec->end));
  }
  return reasons;
}

std::string CheckProductFile(const std::string& path, const ProductProfile& profile) {
  std::string text;
  const platform::Status read = platform::ReadFileText(path, &text);
  if (!read) return read.message;
  const long bad = FirstNonUtf8(text);
  if (bad >= 0) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned char>(text[bad]));
    return "not UTF-8 text: byte " + std::string(byte) + " at offset " + std::to_string(bad);
  }
  std::string reasons;
  const platform::Profile ini = platform::Profile::Parse(text);
  for (const char* section : kFsSections) {
    const std::string fs = ini.Get(section, "fs");
    if (fs.empty() || fs == "cramfs" || fs == "squashfs" || fs == "jffs2" || fs == "ext4") continue;
    Add(&reasons, std::string(section) + " fs \"" + fs +
                      "\" is none of cramfs, squashfs, jffs2, ext4");
  }
  const std::string layout = CheckProductLayout(profile);
  if (!layout.empty()) Add(&reasons, layout);
  return reasons;
}

std::vector<ProductFile> LoadProductFiles(const std::string& programDirectory,
                                          platform::Status* listing) {
  std::vector<ProductFile> files;
  std::vector<std::string> paths;
  const platform::Status status = ProductFilePaths(programDirectory, &paths);
  if (listing) *listing = status;
  for (const std::string& path : paths) {
    ProductFile f;
    f.path = path;
    const std::size_t slash = path.rfind('/');
    f.fileName = slash == std::string::npos ? path : path.substr(slash + 1);
    f.profile = LoadProductProfile(path);
    f.problem = CheckProductFile(path, f.profile);
    files.push_back(std::move(f));
  }
  return files;
}

}  // namespace products
