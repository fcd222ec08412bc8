// Reading an edited workbook back: "key=text\r\n" for every row of sheet 0
// whose column 0 is not empty, the text taken from the column the path
// chooses (TextColumnForPath). The same text goes to the device on import
// and into the device language file on conversion.
#pragma once

#include <string>

namespace workbook {
class Sheet;
}

namespace transloom {

// The import text of a sheet. A cell shows as a spreadsheet shows it, so a
// number typed into a key or text cell (as a CSV import makes it) counts as
// its text.
std::string BuildImportText(const workbook::Sheet& sheet, int textColumn);

// Loads the workbook at `path` and builds its import text; false with a
// reason when the file is not a readable workbook.
bool ReadWorkbookText(const std::string& path, std::string* text, std::string* why);

}  // namespace transloom
