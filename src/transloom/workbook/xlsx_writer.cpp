#include "transloom/workbook/xlsx_writer.h"

#include <xlsxwriter.h>

#include <memory>

#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "transloom/workbook/xlsx_reader.h"

namespace workbook::xlsx {
namespace {

constexpr const char* kScratchName = "book.xlsx";

struct WorkbookClose {
  void operator()(lxw_workbook* book) const { workbook_close(book); }
};

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Readers turn "_xHHHH_" into the character HHHH; a text that holds such a
// run literally must have its "_" escaped itself ("_x005F_"), or it comes
// back changed. The library escapes control characters but not this.
std::string EscapeLiteralEscapes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_' && i + 6 < text.size() && text[i + 1] == 'x' && IsHex(text[i + 2]) &&
        IsHex(text[i + 3]) && IsHex(text[i + 4]) && IsHex(text[i + 5]) && text[i + 6] == '_') {
      out += "_x005F_";
      continue;
    }
    out += text[i];
  }
  return out;
}

Status LibraryFailure(const std::string& what, lxw_error error) {
  return Status::Fail(what + ": " + lxw_strerror(error));
}

Status WriteSheet(lxw_workbook* book, const Sheet& sheet) {
  lxw_worksheet* out = workbook_add_worksheet(book, sheet.Name().c_str());
  if (out == nullptr) return Status::Fail("cannot add the sheet \"" + sheet.Name() + "\"");
  for (const auto& [key, cell] : sheet.Cells()) {
    const lxw_row_t row = static_cast<lxw_row_t>(Sheet::RowOf(key));
    const lxw_col_t column = static_cast<lxw_col_t>(Sheet::ColumnOf(key));
    lxw_error error = LXW_NO_ERROR;
    switch (cell.kind) {
      case CellKind::kText:
        // An empty text is written as no cell at all; it reads back as empty.
        error = worksheet_write_string(out, row, column, EscapeLiteralEscapes(cell.text).c_str(),
                                       nullptr);
        break;
      case CellKind::kNumber:
        error = worksheet_write_number(out, row, column, cell.number, nullptr);
        break;
      case CellKind::kBoolean:
        error = worksheet_write_boolean(out, row, column, cell.boolean ? 1 : 0, nullptr);
        break;
      case CellKind::kError:
        error = worksheet_write_string(out, row, column, ErrorCodeText(cell.error), nullptr);
        break;
    }
    if (error != LXW_NO_ERROR)
      return LibraryFailure("sheet \"" + sheet.Name() + "\" row " + std::to_string(row + 1) +
                                " column " + std::to_string(column + 1),
                            error);
  }
  return Status::Ok();
}

// The file must give back every cell of the first sheet as a spreadsheet
// shows it (the tool reads nothing else).
Status CheckWritten(const std::string& file, const Sheet& expected) {
  std::vector<std::unique_ptr<Sheet>> sheets;
  if (Status s = ReadXlsxFile(file, &sheets); !s)
    return Status::Fail("the written workbook does not read back: " + s.message);
  if (sheets.empty()) return Status::Fail("the written workbook has no sheet");
  const Sheet& got = *sheets.front();
  std::size_t nonEmpty = 0;
  for (const auto& [key, cell] : expected.Cells()) {
    const int row = Sheet::RowOf(key), column = Sheet::ColumnOf(key);
    if (cell.kind == CellKind::kText && cell.text.empty()) continue;
    ++nonEmpty;
    if (got.CellText(row, column) != expected.CellText(row, column))
      return Status::Fail("the written workbook reads back row " + std::to_string(row + 1) +
                          " column " + std::to_string(column + 1) + " changed");
  }
  if (got.Cells().size() != nonEmpty)
    return Status::Fail("the written workbook reads back with cells that were not written");
  return Status::Ok();
}

}  // namespace

Status WriteXlsxFile(const std::vector<const Sheet*>& sheets, const std::string& path) {
  if (sheets.empty()) return Status::Fail(path + ": a workbook needs at least one sheet");
  platform::TempFolder scratch;
  if (Status s = scratch.Create("", "transloom-xlsx-"); !s) return s;
  const std::string made = platform::JoinPath(scratch.path(), kScratchName);
  {
    lxw_workbook_options options{};
    // The library's own scratch files stay in our private folder too.
    options.tmpdir = const_cast<char*>(scratch.path().c_str());
    lxw_workbook* raw = workbook_new_opt(made.c_str(), &options);
    if (raw == nullptr) return Status::Fail(path + ": cannot start a workbook (out of memory)");
    std::unique_ptr<lxw_workbook, WorkbookClose> book(raw);
    for (const Sheet* sheet : sheets)
      if (Status s = WriteSheet(book.get(), *sheet); !s) {
        s.message = path + ": " + s.message;
        return s;
      }
    const lxw_error closed = workbook_close(book.release());
    if (closed != LXW_NO_ERROR) return LibraryFailure(path, closed);
  }
  if (Status s = CheckWritten(made, *sheets.front()); !s) {
    s.message = path + ": " + s.message;
    return s;
  }
  std::vector<std::uint8_t> bytes;
  if (Status s = platform::ReadFileBytes(made, &bytes); !s) return s;
  return platform::WriteFileAtomic(path, bytes);
}

}  // namespace workbook::xlsx
