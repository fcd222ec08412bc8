// The exported workbook: sheet 0 (or a new "Sheet1"), no header row, row r
// holds the r-th key of the language in byte order. English: key, text.
// Any other language: key, English text of the key ("" where English lacks
// it), text of the language.
#pragma once

#include <string>

#include "transloom/core/language_map.h"

namespace transloom {

inline constexpr const char* kEnglish = "English";
inline constexpr const char* kNewSheetName = "Sheet1";

// Writes the rows into the workbook at `path`, keeping an existing .xls
// file's other cells (a file that cannot be loaded is replaced); an .xlsx
// path gets a new file holding the rows only. Saves the whole file or leaves
// the old one; false with a reason otherwise.
bool WriteExportWorkbook(const std::string& path, bool english, const LanguageMap& language,
                         const LanguageMap& englishReference, std::string* why);

}  // namespace transloom
