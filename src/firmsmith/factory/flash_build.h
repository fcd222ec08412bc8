// A factory image of a whole flash chip, made from an upgrade package and a
// boot loader: the smallest chip of 8, 16 or 32 MiB that holds the product's
// last partition end, erased (0xFF), the boot loader at offset 0 and each
// image's payload at its partition's start. Every image must have a sound
// header (magic, both CRCs, load address and entry point = its partition's
// bounds) and fit its partition; the boot loader's environment image
// ("u-boot.env.img") and images the product has no partition for are
// refused by name. The result is checked (check::VerifyPackage with the
// product) under its temporary name before it replaces anything.
#pragma once

#include <string>

#include "common/platform/status.h"
#include "firmsmith/products/product_profile.h"

namespace factory {

inline constexpr const char kBootEnvironmentImage[] = "u-boot.env.img";
inline constexpr unsigned char kErasedByte = 0xFF;

struct FlashBuildRequest {
  std::string package;
  std::string bootLoader;
  std::string output;
  bool replace = false;  // an existing output is replaced only when set
};

// Writes the image; a failure names the file and the cause, and leaves
// nothing at the output path that was not there before.
platform::Status BuildFlashImage(const FlashBuildRequest& request, const products::ProductProfile& product);

}  // namespace factory
