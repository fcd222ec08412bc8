// Product definitions: one INI file per device model in "Products/" beside
// the executable, giving the flash layout of each partition kind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/platform/status.h"

namespace products {

// File-system code of a partition image. 1 is also "anything unrecognised".
enum FsType : int { kFsCramfs = 1, kFsSquashfs = 2, kFsJffs2 = 3, kFsExt4 = 4 };

struct PartitionSpec {
  std::uint32_t start = 0;  // flash offset of the first byte; 0 = not given
  std::uint32_t end = 0;    // flash offset just past the last byte; 0 = not given
  std::string ignore;       // path removed from the unpacked tree before a rebuild
  int fs = kFsCramfs;       // FsType
};

// Hardware of the board whose user partition ends where the package's custom
// image starts, and whose custom partition ends where its logo image starts:
// a rework takes those two ends from the neighbours' headers.
inline constexpr const char* kNeighbourBoundsHardware = "NVR-K7000-S";

struct ProductProfile {
  std::string name;
  std::string vendor;
  std::string hardware;
  std::string webName;  // "web", "360user" or empty: stem of the first partition's images
  PartitionSpec web;
  PartitionSpec logo;
  PartitionSpec custom;
  PartitionSpec user;
  std::int32_t logoWidth = 0;
  std::int32_t logoHeight = 0;
  PartitionSpec oemApp;
  PartitionSpec oemYlk;
  PartitionSpec romfs;
  PartitionSpec mtd;
  PartitionSpec ubootLogo;
  PartitionSpec romfs2;
  PartitionSpec param;
};

using ProductList = std::vector<ProductProfile>;

// Parses one product file; an unreadable file gives a record with empty
// texts and zero partitions.
ProductProfile LoadProductProfile(const std::string& path);

// The paths of the product files: every file of "<programDirectory>Products/"
// whose path contains ".ini", in listing order. A folder that cannot be
// listed gives no paths and a failure (a missing one as well).
platform::Status ProductFilePaths(const std::string& programDirectory,
                                  std::vector<std::string>* paths);

// Every product file's record, in the order of ProductFilePaths. A missing
// folder gives an empty list.
ProductList LoadProductProfiles(const std::string& programDirectory);
// The same for the running program's folder.
ProductList LoadProductProfiles();

// File-system code <-> name ("cramfs", "squashfs", "jffs2", "ext4").
const char* FsTypeName(int fs);

// The partitions of a product by their section names, in table order, for
// listings and lookups by name ("WEB", "LOGO", ... "PARAM").
struct NamedPartition {
  const char* section;
  const PartitionSpec* spec;
};
std::vector<NamedPartition> NamedPartitions(const ProductProfile& product);

}  // namespace products
