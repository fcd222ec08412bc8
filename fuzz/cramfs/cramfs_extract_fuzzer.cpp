// Feeds arbitrary bytes to ExtractCramfsImage as an image file and removes
// what it unpacked. Run with -close_fd_mask=2: the extractor's warnings go to
// standard error.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "firmsmith/fsimage/cramfs_reader.h"

namespace {

const std::string& WorkFolder() {
  static const std::string folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/cramfs-fuzz-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    return tmpl;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string image = WorkFolder() + "/image";
  const std::string out = WorkFolder() + "/out";
  FILE* f = std::fopen(image.c_str(), "wb");
  if (f == nullptr) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  fsimage::ExtractCramfsImage(image, out);
  std::error_code ec;
  // Extracted files may be read-only; the folder they stand in is not.
  std::filesystem::remove_all(out, ec);
  return 0;
}
