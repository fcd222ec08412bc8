#include "transloom/workbook/workbook.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <cstdio>
#include <cstring>

#include "common/platform/files.h"
#include "common/platform/printable.h"
#include "transloom/workbook/biff_reader.h"
#include "transloom/workbook/biff_writer.h"
#include "transloom/workbook/cfb_container.h"
#include "transloom/workbook/utf.h"
#include "transloom/workbook/xlsx_reader.h"
#include "transloom/workbook/xlsx_writer.h"

namespace workbook {
namespace {

bool InSheet(int row, int column) {
  return row >= 0 && row < kMaxRows && column >= 0 && column < kMaxColumns;
}

std::uint32_t KeyOf(int row, int column) {
  return static_cast<std::uint32_t>(row) * kMaxColumns + static_cast<std::uint32_t>(column);
}

Status OutsideSheet(int row, int column) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "cell (%d, %d) is outside the %d rows and %d columns of a sheet",
                row, column, kMaxRows, kMaxColumns);
  return Status::Fail(buf);
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

}  // namespace

bool IsXlsxPath(const std::string& path) {
  constexpr std::string_view kSuffix = ".xlsx";
  return path.size() >= kSuffix.size() &&
         LowerAscii(path.substr(path.size() - kSuffix.size())) == kSuffix;
}

const char* ErrorCodeText(std::uint8_t code) {
  switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    default: return "#ERR";
  }
}

int Sheet::UsedRows() const { return cells_.empty() ? 0 : RowOf(cells_.rbegin()->first) + 1; }

int Sheet::UsedColumns() const {
  int limit = 0;
  for (const auto& entry : cells_) limit = std::max(limit, ColumnOf(entry.first) + 1);
  return limit;
}

const Cell* Sheet::CellAt(int row, int column) const {
  if (!InSheet(row, column)) return nullptr;
  const auto it = cells_.find(KeyOf(row, column));
  return it == cells_.end() ? nullptr : &it->second;
}

bool Sheet::ReadText(int row, int column, std::string* text) const {
  const Cell* cell = CellAt(row, column);
  if (cell == nullptr || cell->kind != CellKind::kText) return false;
  *text = cell->text;
  return true;
}

std::string Sheet::CellText(int row, int column) const {
  const Cell* cell = CellAt(row, column);
  if (cell == nullptr) return {};
  switch (cell->kind) {
    case CellKind::kText:
      return cell->text;
    case CellKind::kNumber: {
      char buf[64];
      const auto result = std::to_chars(buf, buf + sizeof buf, cell->number);
      return std::string(buf, result.ptr);
    }
    case CellKind::kBoolean:
      return cell->boolean ? "TRUE" : "FALSE";
    case CellKind::kError:
      return ErrorCodeText(cell->error);
  }
  return {};
}

Status Sheet::WriteText(int row, int column, const std::string& utf8) {
  Cell cell;
  cell.text = utf8;
  return WriteCell(row, column, cell);
}

Status Sheet::WriteNumber(int row, int column, double value) {
  Cell cell;
  cell.kind = CellKind::kNumber;
  cell.number = value;
  return WriteCell(row, column, cell);
}

Status Sheet::WriteCell(int row, int column, const Cell& cell) {
  if (!InSheet(row, column)) return OutsideSheet(row, column);
  if (cell.kind == CellKind::kNumber && !std::isfinite(cell.number)) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "cell (%d, %d): a cell holds only finite numbers", row, column);
    return Status::Fail(buf);
  }
  if (cell.kind == CellKind::kText) {
    std::size_t units = 0;
    char buf[160];
    if (!utf::Utf16Length(cell.text, &units)) {
      std::snprintf(buf, sizeof buf, "cell (%d, %d): the text is not valid UTF-8", row, column);
      return Status::Fail(buf);
    }
    if (units > kMaxTextUnits) {
      std::snprintf(buf, sizeof buf,
                    "cell (%d, %d): the text has %zu UTF-16 units; a cell holds at most %zu", row,
                    column, units, kMaxTextUnits);
      return Status::Fail(buf);
    }
  }
  cells_[KeyOf(row, column)] = cell;
  return Status::Ok();
}

Workbook::Workbook() = default;
Workbook::~Workbook() = default;
Workbook::Workbook(Workbook&&) noexcept = default;
Workbook& Workbook::operator=(Workbook&&) noexcept = default;

Status Workbook::Load(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (!error && size > kMaxFileBytes)
    return Status::Fail(path + ": the file is larger than the " + std::to_string(kMaxFileBytes >> 20) +
                        " MiB a workbook may have here");
  std::vector<std::uint8_t> file;
  if (!platform::ReadFileBytes(path, &file))
    return Status::Fail(path + ": cannot read the file (" + std::strerror(errno) + ")");
  Status status;
  if (xlsx::LooksLikeZip(file.data(), file.size())) {
    std::vector<std::unique_ptr<Sheet>> sheets;
    status = xlsx::ReadXlsxFile(path, &sheets);
    if (status) sheets_ = std::move(sheets);
  } else if (IsXlsxPath(path) && !cfb::LooksLikeCompoundFile(file.data(), file.size())) {
    status = Status::Fail("not an Office Open XML workbook (the file is no ZIP archive)");
  } else {
    status = LoadFromMemory(file.data(), file.size());
  }
  // Names and values from the file may hold line breaks; the reason stays one line.
  if (!status) status.message = platform::Printable(status.message);
  if (!status && status.message.find(path) == std::string::npos)
    status.message = path + ": " + status.message;
  return status;
}

Status Workbook::LoadFromMemory(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> stream;
  if (Status s = cfb::ReadWorkbookStream(data, size, &stream); !s) return s;
  std::vector<std::unique_ptr<Sheet>> sheets;
  if (Status s = ReadBiffStream(stream.data(), stream.size(), &sheets); !s)
    return Status::Fail(platform::Printable(s.message));
  sheets_ = std::move(sheets);
  return Status::Ok();
}

Status Workbook::Save(const std::string& path) const {
  if (IsXlsxPath(path)) {
    std::vector<const Sheet*> sheets;
    for (const auto& sheet : sheets_) sheets.push_back(sheet.get());
    return xlsx::WriteXlsxFile(sheets, path);
  }
  std::vector<std::uint8_t> file;
  Status status = SaveToMemory(&file);
  if (!status) {
    status.message = path + ": " + status.message;
    return status;
  }
  if (!platform::WriteFileAtomic(path, file))
    return Status::Fail(path + ": cannot write the file (" + std::strerror(errno) + ")");
  return Status::Ok();
}

Status Workbook::SaveToMemory(std::vector<std::uint8_t>* bytes) const {
  std::vector<const Sheet*> sheets;
  for (const auto& sheet : sheets_) sheets.push_back(sheet.get());
  std::vector<std::uint8_t> stream;
  if (Status s = WriteBiffStream(sheets, &stream); !s) return s;
  return cfb::WriteWorkbookFile(stream, bytes);
}

Sheet* Workbook::GetSheet(int index) {
  return index >= 0 && index < SheetCount() ? sheets_[static_cast<std::size_t>(index)].get() : nullptr;
}

const Sheet* Workbook::GetSheet(int index) const {
  return index >= 0 && index < SheetCount() ? sheets_[static_cast<std::size_t>(index)].get() : nullptr;
}

Sheet* Workbook::AddSheet(const std::string& name, Status* status) {
  Status result;
  std::u16string units;
  if (!utf::Utf8ToUtf16(name, &units) || units.empty() || units.size() > kMaxSheetNameUnits) {
    result = Status::Fail("sheet name \"" + name + "\" must be 1 to 31 characters of UTF-8");
  } else if (name.find_first_of("[]:*?/\\") != std::string::npos) {
    result = Status::Fail("sheet name \"" + name + "\" may not contain any of []:*?/\\");
  } else {
    for (const auto& sheet : sheets_)
      if (LowerAscii(sheet->Name()) == LowerAscii(name))
        result = Status::Fail("a sheet named \"" + sheet->Name() + "\" already exists");
  }
  if (status != nullptr) *status = result;
  if (!result) return nullptr;
  sheets_.push_back(std::make_unique<Sheet>(name));
  return sheets_.back().get();
}

}  // namespace workbook
