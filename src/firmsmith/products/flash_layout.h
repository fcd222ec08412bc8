// The picture of a product's flash chip: every partition at its offset and
// size, named, and how much of it an image would fill. One model and one set
// of drawing primitives serve the main dialog's layout bar and the SVG that
// `inspect --svg` writes, so both show the same picture.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/platform/status.h"
#include "firmsmith/products/product_profile.h"

namespace products {

// The chips a product may sit on; the chip of a product is the smallest that
// holds its last partition end.
inline constexpr std::uint32_t kChipSizes[] = {8u << 20, 16u << 20, 32u << 20};

struct LayoutPartition {
  std::string section;  // "WEB", "LOGO", ... as in NamedPartitions
  std::string name;     // shown: the image stem ("web", "360user", "custom", ...)
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::optional<std::uint64_t> fill;  // bytes the image would take; none: not chosen
  bool estimated = false;             // fill taken from a folder's source size
  std::uint64_t size() const { return end > start ? end - start : 0; }
  bool fits() const { return !fill || *fill <= size(); }
};

struct FlashLayout {
  std::string product;
  std::uint32_t chipBytes = 0;  // 0: the last end lies beyond the largest chip
  std::uint32_t lastEnd = 0;
  std::vector<LayoutPartition> partitions;  // every partition with an end after its start, by start
  LayoutPartition* Find(const std::string& section);
};

// The smallest chip holding `lastEnd`, or 0 when none does.
std::uint32_t ChipBytesFor(std::uint32_t lastEnd);

// The layout of a product, without fills.
FlashLayout MakeFlashLayout(const ProductProfile& product);

// Bytes of the regular files under `folder` (links are not followed): the
// estimate of an image built from it.
platform::Status SourceFolderBytes(const std::string& folder, std::uint64_t* bytes);

// --- drawing primitives, in a coordinate space of width x height ---
struct Colour {
  std::uint8_t r = 0, g = 0, b = 0;
};
struct PictureRect {
  std::string id;  // "chip", "part-WEB", "fill-WEB", ...
  double x = 0, y = 0, w = 0, h = 0;
  Colour fill;
  Colour stroke;
  bool stroked = true;
  std::string tip;  // what the rectangle stands for, in words
};
struct PictureText {
  double x = 0, y = 0;  // baseline start
  std::string text;
  Colour colour;
  bool bold = false;
};
struct PictureLine {
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  Colour colour;
};
struct LayoutPicture {
  double width = 0, height = 0;
  double fontSize = 11;
  std::vector<PictureRect> rects;  // drawn in order
  std::vector<PictureLine> lines;
  std::vector<PictureText> texts;
};

// The chip drawn top (offset 0) to bottom as a bar at the left, each
// partition's rectangle proportional to its size, its fill as a band of the
// rectangle's width (red when it does not fit), labels to the right.
LayoutPicture DrawFlashLayout(const FlashLayout& layout, double width, double height);

// "2 MiB", "256 KiB", "1.5 MiB", "900 B".
std::string SizeText(std::uint64_t bytes);

}  // namespace products
