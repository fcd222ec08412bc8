// The differences between two upgrade packages (or two flash images of one
// product): InstallDesc member by member, entries (partitions) added,
// removed or changed, and inside changed cramfs and squashfs partitions the
// files added, removed or changed, with their sizes.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "firmsmith/products/product_profile.h"

namespace check {

enum class Change { kAdded, kRemoved, kChanged };
const char* ChangeName(Change change);  // "added", "removed", "changed"

struct FileChange {
  std::string path;  // inside the partition, "/"-separated
  Change change = Change::kChanged;
  std::uint64_t sizeA = 0;  // 0 when added
  std::uint64_t sizeB = 0;  // 0 when removed
  // What the entry is on each side ("" when absent): "file", "link -> TARGET",
  // "char M:N", "block M:N", "fifo" or "socket".
  std::string kindA;
  std::string kindB;
};

struct EntryChange {
  std::string name;  // entry name, or the partition's section of a flash image
  Change change = Change::kChanged;
  std::uint64_t sizeA = 0;
  std::uint64_t sizeB = 0;
  bool headerOnly = false;    // the file systems are byte for byte the same
  bool filesCompared = false; // both sides were unpacked and their trees compared
  std::string note;           // why the trees were not compared
  std::vector<FileChange> files;
};

struct DescChange {
  std::string member;
  Change change = Change::kChanged;
  std::string a;  // compact JSON of the member in A ("" when absent)
  std::string b;
};

struct PackageDiff {
  std::vector<DescChange> desc;
  std::vector<EntryChange> entries;
  bool empty() const { return desc.empty() && entries.empty(); }
};

// False with the reason in *error when either file cannot be read (a flash
// image needs `product`).
bool DiffPackages(const std::string& a, const std::string& b, const products::ProductProfile* product,
                  PackageDiff* diff, std::string* error);

Json::Value DiffJson(const PackageDiff& diff);
std::string DiffText(const PackageDiff& diff);

}  // namespace check
