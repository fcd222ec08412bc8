// transloom-cli dump FILE.xls [--sheet N] [--all-columns]: the cells of one
// sheet as tab-separated UTF-8 rows, so scripts and tests can read any
// workbook through our reader.
#include <cstdio>
#include <string>

#include "common/platform/cli.h"
#include "transloom/workbook/workbook.h"

namespace {

// Tabs, line breaks and backslashes inside a cell would break the row layout.
std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

bool ParseIndex(const std::string& text, int* value) {
  if (text.empty() || text.size() > 6) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

int RunDump(const std::vector<std::string>& args) {
  const std::vector<std::string> files = platform::CliPositionals(args, {"--sheet"});
  if (files.size() != 1) return platform::CliUsage("dump: expected one FILE.xls (see dump --help)");
  int sheetIndex = 0;
  if (const std::string* value = platform::CliOption(args, "--sheet")) {
    if (!ParseIndex(*value, &sheetIndex))
      return platform::CliUsage("dump: --sheet needs a sheet number from 0, not '" + *value + "'");
  } else if (platform::CliHasFlag(args, "--sheet")) {
    return platform::CliUsage("dump: --sheet needs a sheet number");
  }
  workbook::Workbook book;
  if (workbook::Status s = book.Load(files[0]); !s) return platform::CliFail(s.message);
  const workbook::Sheet* sheet = book.GetSheet(sheetIndex);
  if (sheet == nullptr)
    return platform::CliFail(files[0] + ": no sheet " + std::to_string(sheetIndex) + " (the workbook has " +
                             std::to_string(book.SheetCount()) + ")");
  const int columns = platform::CliHasFlag(args, "--all-columns") ? sheet->UsedColumns() : 3;
  std::string line;
  for (int row = 0; row < sheet->UsedRows(); ++row) {
    line.clear();
    for (int column = 0; column < columns; ++column) {
      if (column > 0) line += '\t';
      line += Escape(sheet->CellText(row, column));
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : platform::CliFail("dump: cannot write the output");
}

const platform::CliRegistration kDump{
    {"dump", "FILE.xls [--sheet N] [--all-columns]",
     "Print a sheet (default 0) as tab-separated UTF-8 rows, columns 0 to 2 or all used; "
     "tab, line break and backslash inside a cell print as \\t, \\n, \\r, \\\\.",
     RunDump}};

}  // namespace
