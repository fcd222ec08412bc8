// Feeds arbitrary bytes as a jffs2 image to ListJffs2Image and
// ExtractJffs2Image. A folder "outside" and a link "dest-link" to it stand
// beside the destination; after every run "outside" must still be empty,
// the image untouched, and a failed unpack must leave no destination. The
// files of a tree that unpacks must add up to at most the budget.
// Every CRC of the input is set right first, so that mutations reach past
// the checks into the tree and the unpack (wrong CRCs are the unit tests').
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/jffs2_extract.h"
#include "firmsmith/fsimage/jffs2_format.h"
#include "firmsmith/fsimage/jffs2_reader.h"
#include "fuzz_work_folder.h"

namespace fs = std::filesystem;

namespace {

// Small, so that a hostile size is refused quickly rather than written.
constexpr std::uint64_t kBudget = std::uint64_t{1} << 20;

[[noreturn]] void Fault(const char* what, const platform::Status& status) {
  std::fprintf(stderr, "%s (%s)\n", what, status.message.c_str());
  __builtin_trap();
}

std::uint32_t Get(const std::uint8_t* p, std::size_t n, bool little) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint32_t{p[little ? i : n - 1 - i]} << (8 * i);
  return v;
}

void Put32(std::uint8_t* p, std::uint32_t v, bool little) {
  for (int i = 0; i < 4; ++i) p[little ? i : 3 - i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Rewrites the header, node, data and name CRCs of every node found on the
// 4-byte grid, in the byte order of its magic.
void RepairCrcs(std::vector<std::uint8_t>* image) {
  namespace j = fsimage::jffs2;
  std::uint8_t* b = image->data();
  const std::size_t size = image->size();
  std::size_t at = 0;
  while (at + j::kHeaderSize <= size) {
    std::uint8_t* p = b + at;
    const bool little = p[0] == (j::kMagic & 0xFF) && p[1] == (j::kMagic >> 8);
    const bool big = p[0] == (j::kMagic >> 8) && p[1] == (j::kMagic & 0xFF);
    if (!little && !big) {
      at += j::kNodeAlignment;
      continue;
    }
    const std::uint32_t type = Get(p + j::kHeaderType, 2, little);
    const std::uint32_t length = Get(p + j::kHeaderTotalLength, 4, little);
    Put32(p + j::kHeaderCrc, fsimage::Jffs2Crc(p, j::kHeaderCrc), little);
    const std::size_t room = std::min<std::size_t>(length, size - at);
    if (type == j::kNodeTypeInode && room >= j::kInodeSize) {
      const std::uint32_t stored = Get(p + j::kInodeCompressedSize, 4, little);
      if (stored <= room - j::kInodeSize)
        Put32(p + j::kInodeDataCrc, fsimage::Jffs2Crc(p + j::kInodeSize, stored), little);
      Put32(p + j::kInodeNodeCrc, fsimage::Jffs2Crc(p, j::kInodeDataCrc), little);
    } else if (type == j::kNodeTypeDirent && room >= j::kDirentSize) {
      Put32(p + j::kDirentNodeCrc, fsimage::Jffs2Crc(p, j::kDirentNodeCrc), little);
      const std::size_t name = p[j::kDirentNameSize];
      if (name <= room - j::kDirentSize)
        Put32(p + j::kDirentNameCrc, fsimage::Jffs2Crc(p + j::kDirentSize, name), little);
    }
    at += length >= j::kHeaderSize && length <= size - at
              ? (length + j::kNodeAlignment - 1) & ~(j::kNodeAlignment - 1)
              : j::kNodeAlignment;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* raw, std::size_t size) {
  std::vector<std::uint8_t> repaired(raw, raw + size);
  RepairCrcs(&repaired);
  const std::uint8_t* data = repaired.data();
  const std::string& work = FuzzWorkFolder("jffs2-fuzz");
  const std::string image = work + "/image.jffs2";
  const std::string dest = work + "/dest";
  const std::string outside = work + "/outside";
  FuzzWriteFile(image, data, size);
  ::mkdir(outside.c_str(), 0755);
  ::symlink("outside", (work + "/dest-link").c_str());

  std::vector<fsimage::SourceEntry> entries;
  platform::Status checked;
  const platform::Status listed = fsimage::ListJffs2Image(image, &entries, &checked);
  if (!listed.ok && listed.message.find(image) == std::string::npos) Fault("refusal without the image", listed);
  // What the check refuses is never listed.
  if (!checked.ok && listed.ok) Fault("listed what the check refuses", checked);

  fsimage::Jffs2ExtractOptions options;
  options.budget = kBudget;
  const platform::Status unpacked = fsimage::ExtractJffs2Image(image, dest, options);
  std::error_code ec;
  if (!unpacked.ok) {
    if (unpacked.message.empty() || unpacked.message.find('\n') != std::string::npos) Fault("not one line", unpacked);
    if (fs::exists(fs::symlink_status(dest, ec))) Fault("failed unpack left its destination", unpacked);
  } else {
    if (!listed.ok) Fault("unpacked what does not list", listed);
    std::uint64_t total = 0;
    for (auto it = fs::recursive_directory_iterator(dest, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      const fs::file_status st = it->symlink_status(ec);
      if (fs::is_regular_file(st)) total += it->file_size(ec);
    }
    if (total > kBudget) Fault("over the budget", unpacked);
  }

  for (const fs::directory_entry& e : fs::directory_iterator(work, ec)) {
    const std::string name = e.path().filename().string();
    if (name != "image.jffs2" && name != "dest" && name != "outside" && name != "dest-link" &&
        e.path().string() != fsimage::CramfsManifestPath(dest))
      Fault(("wrote beside the destination: " + name).c_str(), unpacked);
  }
  if (!fs::is_empty(outside, ec) || ec) Fault("wrote through a link", unpacked);
  std::vector<std::uint8_t> after(size + 1);
  FILE* f = std::fopen(image.c_str(), "rb");
  if (f == nullptr) Fault("image gone", unpacked);
  const std::size_t got = std::fread(after.data(), 1, after.size(), f);
  std::fclose(f);
  if (got != size || (size > 0 && std::memcmp(after.data(), data, size) != 0)) Fault("image changed", unpacked);
  fs::remove_all(dest, ec);
  fs::remove(fsimage::CramfsManifestPath(dest), ec);
  return 0;
}
