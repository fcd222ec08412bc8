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

// Checks every row of the sheet for what a device language line cannot
// carry: a line break or carriage return in a key or a text, a "=" in a key,
// a key that appears twice. Keys with blanks at either end and rows with an
// empty key pass (the tool's own exports hold them). Also refuses a sheet
// whose rows with a key all have an empty text column. False with the reason
// naming the sheet rows (counted from 1 as a spreadsheet shows them; the
// first ten, then how many more).
bool CheckImportRows(const workbook::Sheet& sheet, int textColumn, std::string* why);

// Loads the workbook at `path`, checks its rows and builds its import text;
// false with a reason when the file is not a readable workbook, or when its
// rows are refused (then *refused, when given, is set).
bool ReadWorkbookText(const std::string& path, std::string* text, std::string* why,
                      bool* refused = nullptr);

}  // namespace transloom
