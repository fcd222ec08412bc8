// Reading an Office Open XML workbook (.xlsx): the first worksheet's cells,
// with shared strings, inline strings, numbers, booleans, errors and the
// cached results of formulas. The archive is checked before anything is
// unpacked (no encrypted or oddly compressed entry, no overlapping data);
// the XML is treated as hostile: no document type declarations, so no
// entities at all, bounded part sizes, nesting and texts; cells outside the
// sheet limits of the workbook interface are refused, not dropped.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "transloom/workbook/workbook.h"

namespace workbook::xlsx {

// The most bytes one part of the archive may unpack to.
inline constexpr std::uint64_t kMaxPartBytes = std::uint64_t{256} << 20;

// True when the bytes begin like a ZIP archive (an .xlsx file).
bool LooksLikeZip(const std::uint8_t* data, std::size_t size);

// Reads the first worksheet of the .xlsx file at `path` into *sheets (one
// sheet). Messages name the part and the reason; the caller adds the path.
Status ReadXlsxFile(const std::string& path, std::vector<std::unique_ptr<Sheet>>* sheets);

}  // namespace workbook::xlsx
