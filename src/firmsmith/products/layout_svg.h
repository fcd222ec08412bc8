// The flash layout picture as an SVG document (what `inspect --svg` writes).
#pragma once

#include <string>

#include "firmsmith/products/flash_layout.h"

namespace products {

// A standalone SVG 1.1 document of the picture; each rectangle carries its id
// and a <title> with what it stands for.
std::string LayoutSvg(const LayoutPicture& picture);

}  // namespace products
