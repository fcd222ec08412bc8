// Product files as the operator must see them: every file is read as written
// (its record is used either way), but one that cannot be read, is not UTF-8
// text, or whose layout cannot sit on a chip carries a one-line reason, which
// the product tree shows beside its file name and `products --check` lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/platform/status.h"
#include "firmsmith/products/product_profile.h"

namespace products {

// The largest chip a product may lay out.
inline constexpr std::uint32_t kLargestChipBytes = 32u << 20;

struct ProductFile {
  std::string path;
  std::string fileName;
  ProductProfile profile;
  std::string problem;  // empty: readable and laid out within a chip
};

// Every product file of "<programDirectory>Products/", in the order of
// LoadProductProfiles, with its reason. `listing` (optional) tells whether
// the folder itself could be read; a missing folder gives no files.
std::vector<ProductFile> LoadProductFiles(const std::string& programDirectory,
                                          platform::Status* listing = nullptr);

// The reason a file's text and its record cannot be used as they are, or
// empty. Reasons of several kinds are joined with "; ".
std::string CheckProductFile(const std::string& path, const ProductProfile& profile);

// The layout part of the check alone (end before start, overlaps, beyond
// the largest chip), for records that come from elsewhere.
std::string CheckProductLayout(const ProductProfile& profile);

}  // namespace products
