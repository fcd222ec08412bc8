// How the language tool names its files and reads names back: the workbook
// name an export offers, the language a workbook path stands for, the column
// that holds its texts, and which language names may become a file.
#pragma once

#include <ctime>
#include <string>

namespace transloom {

// The save chooser offers both formats, Excel 97-2003 first; the open
// chooser shows both kinds of file at once.
inline constexpr const char* kSaveWorkbookFilter =
    "Excel Files (*.xls)|*.xls|Excel Workbook (*.xlsx)|*.xlsx||";
inline constexpr const char* kOpenWorkbookFilter = "Excel Files (*.xls;*.xlsx)|*.xls;*.xlsx||";

// "<ip>_YYYYMMDDhhmmss_<language>.xls" from the local time `when`.
std::string ExportFileName(const std::string& deviceIp, const std::tm& when,
                           const std::string& language);

// The text between the last "_" of the path and the first ".xls" in it (case
// matters); empty when either is missing or they are out of order.
std::string WorkbookLanguageName(const std::string& path);

// Workbooks of English carry their texts in column 1, all others in column 2.
// Only the file name decides (its language after the last "_" is English, or
// the name contains "English"); the folders above it never do.
int TextColumnForPath(const std::string& path);

// True when `name`, put below a folder, stays inside it: not empty, not
// starting with "/", no "." or ".." part, no empty part.
bool IsNameInsideFolder(const std::string& name);

}  // namespace transloom
