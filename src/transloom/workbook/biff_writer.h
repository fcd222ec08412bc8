// Writes sheets as a BIFF8 workbook stream: the globals substream (code page
// UTF-16, window, fonts, formats, style, sheet records, shared strings) and
// one worksheet substream per sheet with its exact dimensions and cells.
#pragma once

#include <cstdint>
#include <vector>

#include "transloom/workbook/workbook.h"

namespace workbook {

Status WriteBiffStream(const std::vector<const Sheet*>& sheets, std::vector<std::uint8_t>* stream);

}  // namespace workbook
