// The real spreadsheet readers and writers our workbooks are checked
// against: Debian's xlrd, xlwt and openpyxl (modules of /usr/bin/python3
// only) and catdoc's xls2csv.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "transloom/workbook/workbook.h"

namespace workbooktest {

inline constexpr const char* kSystemPython = "/usr/bin/python3";

// What a peer saw in one sheet: cells by (row, column).
struct PeerSheet {
  std::string name;
  std::map<std::pair<int, int>, workbook::Cell> cells;
};

bool HavePythonModule(const std::string& module);

// Every non-blank cell of every sheet as xlrd reads it; false (and the
// reason in *error) when xlrd fails.
bool ReadWithXlrd(const std::string& path, std::vector<PeerSheet>* sheets, std::string* error);

// Every sheet as xls2csv prints it (UTF-8), cells as text; empty texts are
// indistinguishable from absent cells there.
bool ReadWithXls2csv(const std::string& path, std::vector<std::vector<std::vector<std::string>>>* sheets,
                     std::string* error);

// Every non-blank cell of the first worksheet as openpyxl reads an .xlsx
// file (texts, numbers, booleans; formulas as their cached values).
bool ReadWithOpenpyxl(const std::string& path, PeerSheet* sheet, std::string* error);

// The first sheet as LibreOffice (soffice, headless, a private profile)
// exports it to UTF-8 CSV: rows of texts as the cells show.
bool ReadWithLibreOffice(const std::string& path, std::vector<std::vector<std::string>>* rows,
                         std::string* error);

// Writes a ZIP archive of the given parts (name, content) with Python's
// zipfile, deflated; `encryptedFlag` marks every entry as encrypted.
bool WriteZipParts(const std::string& path,
                   const std::vector<std::pair<std::string, std::string>>& parts,
                   std::string* error, bool encryptedFlag = false);

// Runs a Python script with xlwt imported as `xlwt` and the output path as
// `path`; false with the reason when it fails.
bool WriteWithXlwt(const std::string& script, const std::string& path, std::string* error);

// Texts from several scripts, for cell contents.
extern const std::vector<std::string> kSampleTexts;

}  // namespace workbooktest
