// Workbook: reads and writes Excel 97-2003 workbooks (.xls, BIFF8 in an OLE2
// compound file) and Office Open XML workbooks (.xlsx) for the language tool. Create a Workbook, Load or start
// empty, take a sheet by index or add one by name, read and write cells,
// Save; the object releases everything when it goes away.
//
// Text is UTF-8 at this interface. Nothing throws: fallible operations
// return a Status whose message names the file or cell and the reason.
// A failed Load leaves the workbook as it was; Save writes the whole file
// or leaves the old one untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/platform/status.h"

namespace workbook {

using Status = platform::Status;

// Limits of the file format.
inline constexpr int kMaxRows = 65536;
inline constexpr int kMaxColumns = 256;
inline constexpr std::size_t kMaxTextUnits = 32767;     // UTF-16 code units per cell
inline constexpr std::size_t kMaxSheetNameUnits = 31;
// Load refuses larger files rather than take the memory a hostile one asks
// for; the fullest sheets of text stay far below it.
inline constexpr std::uintmax_t kMaxFileBytes = std::uintmax_t{512} << 20;

enum class CellKind { kText, kNumber, kBoolean, kError };

struct Cell {
  CellKind kind = CellKind::kText;
  std::string text;          // kText
  double number = 0;         // kNumber
  bool boolean = false;      // kBoolean
  std::uint8_t error = 0;    // kError: the file's error code (0x07 = #DIV/0!, ...)
};

// True when the file name ends with ".xlsx" (in any case): Save writes such
// a path as Office Open XML, any other as Excel 97-2003.
bool IsXlsxPath(const std::string& path);

// The text Excel shows for an error code ("#N/A"), or "#ERR" for unknown ones.
const char* ErrorCodeText(std::uint8_t code);

class Sheet {
 public:
  explicit Sheet(std::string name, std::map<std::uint32_t, Cell> cells = {})
      : name_(std::move(name)), cells_(std::move(cells)) {}

  const std::string& Name() const { return name_; }
  // One past the last row that holds a cell; 0 for an empty sheet.
  int UsedRows() const;
  // One past the last column that holds a cell in any row (walks every cell).
  int UsedColumns() const;

  // The cell at row and column, or nullptr where there is none.
  const Cell* CellAt(int row, int column) const;
  // True and the text when the cell is a text cell (an empty text counts).
  bool ReadText(int row, int column, std::string* text) const;
  // What a spreadsheet shows: text as it stands, numbers in their shortest
  // exact form ("3", "0.1"), "TRUE"/"FALSE", error texts; "" where empty.
  std::string CellText(int row, int column) const;

  // Text longer than kMaxTextUnits UTF-16 units, invalid UTF-8, numbers that
  // are not finite and positions outside the sheet are refused; nothing is
  // cut or replaced silently.
  Status WriteText(int row, int column, const std::string& utf8);
  Status WriteNumber(int row, int column, double value);
  // Stores any cell kind as it stands (used when copying cells).
  Status WriteCell(int row, int column, const Cell& cell);

  // Cells in row order, then column order: key = row * kMaxColumns + column.
  const std::map<std::uint32_t, Cell>& Cells() const { return cells_; }
  static int RowOf(std::uint32_t key) { return static_cast<int>(key / kMaxColumns); }
  static int ColumnOf(std::uint32_t key) { return static_cast<int>(key % kMaxColumns); }

 private:
  std::string name_;
  std::map<std::uint32_t, Cell> cells_;
};

class Workbook {
 public:
  Workbook();
  ~Workbook();
  Workbook(const Workbook&) = delete;
  Workbook& operator=(const Workbook&) = delete;
  Workbook(Workbook&&) noexcept;
  Workbook& operator=(Workbook&&) noexcept;

  // Replaces the content with the worksheets of the file. Chart and macro
  // sheets are left out; formulas come in as their cached results. The
  // file's first bytes tell the format; of an .xlsx file only the first
  // worksheet is read.
  Status Load(const std::string& path);
  Status LoadFromMemory(const std::uint8_t* data, std::size_t size);

  // Writes every sheet with its cells; formatting is not kept. A workbook
  // needs at least one sheet. The format follows the name (IsXlsxPath).
  Status Save(const std::string& path) const;
  Status SaveToMemory(std::vector<std::uint8_t>* bytes) const;

  int SheetCount() const { return static_cast<int>(sheets_.size()); }
  // nullptr when index is outside 0..SheetCount()-1. The pointer stays
  // valid until the next Load or the end of the workbook.
  Sheet* GetSheet(int index);
  const Sheet* GetSheet(int index) const;
  // Appends a sheet. The name must be 1 to 31 characters without
  // []:*?/\ and differ from every other sheet's name regardless of case.
  Sheet* AddSheet(const std::string& name, Status* status = nullptr);

 private:
  std::vector<std::unique_ptr<Sheet>> sheets_;
};

}  // namespace workbook
