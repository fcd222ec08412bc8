// Feeds arbitrary text to what we parse of the squashfs side: the listing
// "unsquashfs -lln" prints and the manifests beside unpacked trees (squashfs
// and cramfs). Every refusal names the file; whatever parses must format and
// parse again to the same entries, and a listing's manifest must too.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/squashfs_check.h"
#include "firmsmith/fsimage/squashfs_manifest.h"

namespace {

constexpr const char* kShown = "tree.manifest";

bool Same(const fsimage::SquashfsManifestEntry& a, const fsimage::SquashfsManifestEntry& b) {
  return a.path == b.path && a.kind == b.kind && a.mode == b.mode && a.uid == b.uid && a.gid == b.gid &&
         a.major == b.major && a.minor == b.minor;
}

bool Same(const fsimage::SquashfsManifest& a, const fsimage::SquashfsManifest& b) {
  if (!Same(a.root, b.root) || a.entries.size() != b.entries.size()) return false;
  for (std::size_t i = 0; i < a.entries.size(); ++i)
    if (!Same(a.entries[i], b.entries[i])) return false;
  return true;
}

bool Same(const fsimage::CramfsSpecialEntry& a, const fsimage::CramfsSpecialEntry& b) {
  return a.path == b.path && a.type == b.type && a.mode == b.mode && a.uid == b.uid && a.gid == b.gid &&
         a.major == b.major && a.minor == b.minor;
}

// A manifest that parses comes back the same from its own text.
void SquashfsManifestRoundTrip(const fsimage::SquashfsManifest& manifest) {
  fsimage::SquashfsManifest again;
  if (!fsimage::ParseSquashfsManifest(fsimage::FormatSquashfsManifest(manifest), kShown, &again).ok)
    __builtin_trap();
  if (!Same(manifest, again)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<fsimage::SourceEntry> entries;
  std::string bad;
  fsimage::SourceEntry root;
  if (fsimage::ParseSquashfsListing(text, &entries, &bad, &root))
    SquashfsManifestRoundTrip(fsimage::SquashfsManifestOfListing(root, entries));
  entries.clear();
  fsimage::ParseSquashfsListing(text, &entries, &bad);

  fsimage::SquashfsManifest manifest;
  const platform::Status parsed = fsimage::ParseSquashfsManifest(text, kShown, &manifest);
  if (!parsed.ok && parsed.message.find(kShown) == std::string::npos) __builtin_trap();
  if (parsed.ok) SquashfsManifestRoundTrip(manifest);

  std::vector<fsimage::CramfsSpecialEntry> specials;
  const platform::Status cramfs = fsimage::ParseCramfsManifest(text, kShown, &specials);
  if (!cramfs.ok && cramfs.message.find(kShown) == std::string::npos) __builtin_trap();
  if (cramfs.ok) {
    std::vector<fsimage::CramfsSpecialEntry> again;
    if (!fsimage::ParseCramfsManifest(fsimage::FormatCramfsManifest(specials), kShown, &again).ok)
      __builtin_trap();
    if (again.size() != specials.size()) {
      std::fprintf(stderr, "%zu entries read back as %zu from:\n%s", specials.size(), again.size(),
                   fsimage::FormatCramfsManifest(specials).c_str());
      __builtin_trap();
    }
    for (std::size_t i = 0; i < again.size(); ++i)
      if (!Same(again[i], specials[i])) __builtin_trap();
  }
  return 0;
}
