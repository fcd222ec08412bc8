// Writing an Office Open XML workbook (.xlsx) through libxlsxwriter. The
// library writes new files only: nothing of a file already at the path is
// kept. The file is made in a private temporary folder, read back and
// compared cell for cell with what was asked, and only then put in place.
#pragma once

#include <string>
#include <vector>

#include "transloom/workbook/workbook.h"

namespace workbook::xlsx {

// Writes the sheets with their cells (text, numbers, booleans; error cells
// as their text). A workbook needs at least one sheet.
Status WriteXlsxFile(const std::vector<const Sheet*>& sheets, const std::string& path);

}  // namespace workbook::xlsx
