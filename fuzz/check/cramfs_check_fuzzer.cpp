// Feeds arbitrary bytes to CheckCramfsImage as an image file. The check
// writes nothing, so only the image file is kept between runs. Run with
// -close_fd_mask=2: the reader's warnings go to standard error.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "firmsmith/fsimage/cramfs_reader.h"

namespace {

const std::string& ImagePath() {
  static const std::string path = [] {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/cramfs-check-fuzz-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    return tmpl + "/image";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FILE* f = std::fopen(ImagePath().c_str(), "wb");
  if (f == nullptr) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  std::vector<std::string> problems;
  const int result = fsimage::CheckCramfsImage(ImagePath(), &problems);
  // A failed check always says why.
  if (result != 0 && problems.empty()) std::abort();
  return 0;
}
