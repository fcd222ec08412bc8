#include "transloom/workbook/biff_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "transloom/workbook/biff_records.h"
#include "transloom/workbook/byte_io.h"
#include "transloom/workbook/sst.h"
#include "transloom/workbook/utf.h"

namespace workbook {
namespace {

using bytes::Get16;
using bytes::Get32;

std::string VFormat(const char* format, va_list args) {
  char buf[512];
  std::vsnprintf(buf, sizeof buf, format, args);
  return buf;
}

Status Failf(const char* format, ...) __attribute__((format(printf, 1, 2)));
Status Failf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Status status = Status::Fail(VFormat(format, args));
  va_end(args);
  return status;
}

struct Record {
  std::uint16_t id = 0;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t offset = 0;  // of the header in the stream
};

// Walks records from a start offset; every step moves forward by at least
// the header size, so a walk always ends.
class RecordCursor {
 public:
  RecordCursor(const std::uint8_t* stream, std::size_t size, std::size_t start)
      : stream_(stream), size_(size), pos_(start) {}

  // False at the end of the stream, or with *status failed when a record
  // runs past it.
  bool Next(Record* record, Status* status) {
    if (pos_ >= size_) return false;
    if (size_ - pos_ < biff::kRecordHeaderSize) {
      *status = Failf("record header at offset %zu runs past the end of the workbook stream (%zu bytes)",
                      pos_, size_);
      return false;
    }
    const std::uint16_t id = Get16(stream_ + pos_);
    const std::size_t length = Get16(stream_ + pos_ + 2);
    if (length > size_ - pos_ - biff::kRecordHeaderSize) {
      *status = Failf("record 0x%04X at offset %zu claims %zu bytes, past the end of the workbook "
                      "stream (%zu bytes)", id, pos_, length, size_);
      return false;
    }
    record->id = id;
    record->offset = pos_;
    record->data = stream_ + pos_ + biff::kRecordHeaderSize;
    record->size = length;
    pos_ += biff::kRecordHeaderSize + length;
    return true;
  }

  bool PeekId(std::uint16_t* id) const {
    if (size_ - pos_ < biff::kRecordHeaderSize || pos_ >= size_) return false;
    *id = Get16(stream_ + pos_);
    return true;
  }

  std::size_t Position() const { return pos_; }

 private:
  const std::uint8_t* stream_;
  std::size_t size_;
  std::size_t pos_;
};

// The record's payload plus every CONTINUE record right after it.
Status CollectContinued(const Record& first, RecordCursor* cursor, sst::ContinuedReader* reader) {
  reader->AddPiece(first.data, first.size);
  std::uint16_t id;
  while (cursor->PeekId(&id) && id == biff::kRecordContinue) {
    Record next;
    Status status;
    if (!cursor->Next(&next, &status)) return status;
    reader->AddPiece(next.data, next.size);
  }
  return Status::Ok();
}

struct SheetEntry {
  std::string name;
  std::uint32_t offset = 0;
  std::size_t order = 0;  // position among the worksheets
};

struct Globals {
  std::vector<std::string> strings;
  std::vector<SheetEntry> sheets;
};

Status CheckBof(const Record& r, std::uint16_t wantedType, const char* what) {
  if (r.id == biff::kRecordBofBiff2 || r.id == biff::kRecordBofBiff3 ||
      r.id == biff::kRecordBofBiff4)
    return Status::Fail(
        "Excel 2.x-4.0 (BIFF2-BIFF4) workbooks are not supported; save it as Excel 97-2003");
  if (r.id != biff::kRecordBof || r.size < 4)
    return Failf("%s does not start with a BOF record (found 0x%04X at offset %zu)", what, r.id,
                 r.offset);
  const std::uint16_t version = Get16(r.data);
  const std::uint16_t type = Get16(r.data + 2);
  if (version == biff::kBofVersionBiff5)
    return Status::Fail("Excel 5.0/95 (BIFF5) workbooks are not supported; save it as Excel 97-2003");
  if (version != biff::kBofVersionBiff8)
    return Failf("%s has BIFF version 0x%04X; only Excel 97-2003 (BIFF8) is supported", what, version);
  if (type != wantedType)
    return Failf("%s has substream type 0x%04X where 0x%04X was expected", what, type, wantedType);
  return Status::Ok();
}

Status ReadGlobals(const std::uint8_t* stream, std::size_t size, Globals* globals) {
  RecordCursor cursor(stream, size, 0);
  Record r;
  Status status;
  if (!cursor.Next(&r, &status))
    return status.ok ? Status::Fail("the workbook stream is empty") : status;
  if (Status bof = CheckBof(r, biff::kBofTypeGlobals, "the workbook stream"); !bof) return bof;
  bool haveSst = false;
  std::size_t worksheets = 0;
  while (cursor.Next(&r, &status)) {
    switch (r.id) {
      case biff::kRecordEof:
        return Status::Ok();
      case biff::kRecordFilePass:
        return Status::Fail("the workbook is password-protected (encrypted); save it without a password");
      case biff::kRecordBoundSheet: {
        if (r.size < biff::kBoundSheetFixedSize + 2)
          return Failf("sheet record at offset %zu is too short (%zu bytes)", r.offset, r.size);
        sst::ContinuedReader reader;
        reader.AddPiece(r.data + biff::kBoundSheetFixedSize, r.size - biff::kBoundSheetFixedSize);
        std::u16string name;
        if (!reader.ReadString(1, &name))
          return Failf("sheet name at offset %zu runs past its record", r.offset);
        // Chart, macro and module sheets hold no cells for us.
        if (r.data[biff::kBoundSheetKindOffset] != biff::kSheetKindWorksheet) break;
        globals->sheets.push_back({utf::Utf16ToUtf8(name), Get32(r.data), worksheets++});
        break;
      }
      case biff::kRecordSst: {
        if (haveSst) return Failf("second shared string table at offset %zu", r.offset);
        haveSst = true;
        sst::ContinuedReader reader;
        if (Status s = CollectContinued(r, &cursor, &reader); !s) return s;
        if (Status s = sst::ReadSst(&reader, &globals->strings); !s) return s;
        break;
      }
      default:
        break;
    }
  }
  return status.ok ? Status::Fail("the workbook globals end without an EOF record") : status;
}

// Decodes an RK value: a 30-bit integer or the top 30 bits of a double,
// optionally divided by 100.
double DecodeRk(std::uint32_t rk) {
  double value;
  if (rk & 0x02) {
    value = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
  } else {
    std::uint8_t raw[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const std::uint32_t high = rk & 0xFFFFFFFCu;
    raw[4] = static_cast<std::uint8_t>(high);
    raw[5] = static_cast<std::uint8_t>(high >> 8);
    raw[6] = static_cast<std::uint8_t>(high >> 16);
    raw[7] = static_cast<std::uint8_t>(high >> 24);
    value = bytes::GetDouble(raw);
  }
  return (rk & 0x01) ? value / 100 : value;
}

class SheetReader {
 public:
  SheetReader(const std::uint8_t* stream, std::size_t size, const Globals& globals,
              const SheetEntry& entry)
      : stream_(stream), size_(size), globals_(globals), entry_(entry) {}

  // Reads the substream; *end receives the offset after its EOF.
  Status Read(std::map<std::uint32_t, Cell>* cells, std::size_t* end) {
    cells_ = cells;
    if (entry_.offset >= size_)
      return Fail("starts at offset %u, outside the workbook stream (%zu bytes)", entry_.offset, size_);
    RecordCursor cursor(stream_, size_, entry_.offset);
    Record r;
    Status status;
    if (!cursor.Next(&r, &status)) return Fail("%s", status.message.c_str());
    if (Status bof = CheckBof(r, biff::kBofTypeWorksheet, "its substream"); !bof)
      return Fail("%s", bof.message.c_str());
    int depth = 1;  // charts embedded in a sheet bring their own BOF..EOF
    while (cursor.Next(&r, &status)) {
      if (r.id == biff::kRecordBof) {
        ++depth;
        continue;
      }
      if (r.id == biff::kRecordEof) {
        if (--depth == 0) {
          *end = cursor.Position();
          return Status::Ok();
        }
        continue;
      }
      if (depth != 1) continue;
      if (Status s = ReadCellRecord(r, &cursor); !s) return s;
    }
    if (!status) return Fail("%s", status.message.c_str());
    return Fail("its substream ends without an EOF record");
  }

 private:
  // Every sheet-level error names the sheet.
  Status Fail(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    Status status = Status::Fail("sheet \"" + entry_.name + "\": " + VFormat(format, args));
    va_end(args);
    return status;
  }

  Status Place(const Record& r, std::size_t row, std::size_t column, Cell cell) {
    if (column >= static_cast<std::size_t>(kMaxColumns))
      return Fail("cell in column %zu (record at offset %zu); a sheet has %d columns", column,
                  r.offset, kMaxColumns);
    const auto key = static_cast<std::uint32_t>(row * kMaxColumns + column);
    // Cells mostly come in row order, so the end is the right hint.
    cells_->insert_or_assign(cells_->end(), key, std::move(cell));
    lastKey_ = key;
    return Status::Ok();
  }

  static std::uint16_t RowOf(const std::uint8_t* d) { return Get16(d + biff::kCellRowOffset); }
  static std::uint16_t ColumnOf(const std::uint8_t* d) { return Get16(d + biff::kCellColumnOffset); }

  Status TooShort(const Record& r) {
    return Fail("record 0x%04X at offset %zu is too short (%zu bytes)", r.id, r.offset,
                r.size);
  }

  Status ReadString(const Record& r, RecordCursor* cursor, std::size_t skip, std::string* text) {
    sst::ContinuedReader reader;
    Record body = r;
    body.data += skip;
    body.size -= skip;
    if (Status s = CollectContinued(body, cursor, &reader); !s) return Fail("%s", s.message.c_str());
    std::u16string units;
    if (!reader.ReadString(2, &units))
      return Fail("text at offset %zu runs past its record", r.offset);
    *text = utf::Utf16ToUtf8(units);
    return Status::Ok();
  }

  Status ReadCellRecord(const Record& r, RecordCursor* cursor) {
    const std::uint8_t* d = r.data;
    Cell cell;
    switch (r.id) {
      case biff::kRecordLabelSst: {
        if (r.size < biff::kCellHeaderSize + biff::kLabelSstIndexSize) return TooShort(r);
        const std::uint32_t index = Get32(d + biff::kCellValueOffset);
        if (index >= globals_.strings.size())
          return Fail("cell (%u, %u) refers to shared string %u of %zu", RowOf(d), ColumnOf(d),
                      index, globals_.strings.size());
        cell.text = globals_.strings[index];
        return Place(r, RowOf(d), ColumnOf(d), std::move(cell));
      }
      case biff::kRecordLabel:
      case biff::kRecordRString: {
        if (r.size < biff::kLabelMinSize) return TooShort(r);
        if (Status s = ReadString(r, cursor, biff::kCellValueOffset, &cell.text); !s) return s;
        return Place(r, RowOf(d), ColumnOf(d), std::move(cell));
      }
      case biff::kRecordNumber:
        if (r.size < biff::kCellHeaderSize + biff::kNumberValueSize) return TooShort(r);
        cell.kind = CellKind::kNumber;
        cell.number = bytes::GetDouble(d + biff::kCellValueOffset);
        return Place(r, RowOf(d), ColumnOf(d), std::move(cell));
      case biff::kRecordRk:
        if (r.size < biff::kCellHeaderSize + biff::kRkValueSize) return TooShort(r);
        cell.kind = CellKind::kNumber;
        cell.number = DecodeRk(Get32(d + biff::kCellValueOffset));
        return Place(r, RowOf(d), ColumnOf(d), std::move(cell));
      case biff::kRecordMulRk: {
        if (r.size < biff::kMulRkPairsOffset + biff::kMulRkPairSize + biff::kMulRkLastColumnSize)
          return TooShort(r);
        const std::size_t row = RowOf(d);
        const std::size_t first = Get16(d + biff::kMulRkFirstColumnOffset);
        const std::size_t count =
            (r.size - biff::kMulRkPairsOffset - biff::kMulRkLastColumnSize) / biff::kMulRkPairSize;
        for (std::size_t i = 0; i < count; ++i) {
          Cell c;
          c.kind = CellKind::kNumber;
          c.number = DecodeRk(Get32(d + biff::kMulRkPairsOffset + biff::kMulRkPairSize * i +
                                    biff::kMulRkPairRkOffset));
          if (Status s = Place(r, row, first + i, std::move(c)); !s) return s;
        }
        return Status::Ok();
      }
      case biff::kRecordBoolErr:
        if (r.size < biff::kBoolErrSize) return TooShort(r);
        if (d[biff::kBoolErrKindOffset] != 0) {
          cell.kind = CellKind::kError;
          cell.error = d[biff::kBoolErrValueOffset];
        } else {
          cell.kind = CellKind::kBoolean;
          cell.boolean = d[biff::kBoolErrValueOffset] != 0;
        }
        return Place(r, RowOf(d), ColumnOf(d), std::move(cell));
      case biff::kRecordFormula:
      case biff::kRecordFormulaOld: {
        if (r.size < biff::kFormulaMinSize) return TooShort(r);
        const std::uint8_t* value = d + biff::kFormulaResultOffset;
        pendingString_ = false;
        if (Get16(value + biff::kFormulaResultTagOffset) != biff::kFormulaResultNotNumber) {
          cell.kind = CellKind::kNumber;
          cell.number = bytes::GetDouble(value);
        } else if (value[0] == biff::kFormulaResultBoolean) {
          cell.kind = CellKind::kBoolean;
          cell.boolean = value[biff::kFormulaResultValueOffset] != 0;
        } else if (value[0] == biff::kFormulaResultError) {
          cell.kind = CellKind::kError;
          cell.error = value[biff::kFormulaResultValueOffset];
        } else if (value[0] == biff::kFormulaResultString) {
          pendingString_ = true;  // the text follows in a STRING record
        }
        if (Status s = Place(r, RowOf(d), ColumnOf(d), std::move(cell)); !s) return s;
        pendingKey_ = lastKey_;
        return Status::Ok();
      }
      case biff::kRecordString: {
        if (!pendingString_) return Status::Ok();
        pendingString_ = false;
        if (r.size < biff::kStringRecordMinSize) return TooShort(r);
        std::string text;
        if (Status s = ReadString(r, cursor, 0, &text); !s) return s;
        (*cells_)[pendingKey_].text = std::move(text);
        return Status::Ok();
      }
      default:
        return Status::Ok();
    }
  }

  const std::uint8_t* stream_;
  std::size_t size_;
  const Globals& globals_;
  const SheetEntry& entry_;
  std::map<std::uint32_t, Cell>* cells_ = nullptr;
  std::uint32_t lastKey_ = 0;
  std::uint32_t pendingKey_ = 0;
  bool pendingString_ = false;
};

}  // namespace

Status ReadBiffStream(const std::uint8_t* stream, std::size_t size,
                      std::vector<std::unique_ptr<Sheet>>* sheets) {
  Globals globals;
  if (Status s = ReadGlobals(stream, size, &globals); !s) return s;

  // Sheets are read in stream order and may not overlap, so that the whole
  // stream is walked at most once however the sheet records point.
  std::vector<SheetEntry> byOffset = globals.sheets;
  std::sort(byOffset.begin(), byOffset.end(),
            [](const SheetEntry& a, const SheetEntry& b) { return a.offset < b.offset; });
  std::vector<std::map<std::uint32_t, Cell>> cells(globals.sheets.size());
  std::size_t previousEnd = 0;
  const std::string* previousName = nullptr;
  for (const SheetEntry& entry : byOffset) {
    if (previousName != nullptr && entry.offset < previousEnd)
      return Status::Fail("sheets \"" + *previousName + "\" and \"" + entry.name +
                          "\" overlap in the workbook stream");
    SheetReader reader(stream, size, globals, entry);
    if (Status s = reader.Read(&cells[entry.order], &previousEnd); !s) return s;
    previousName = &entry.name;
  }
  sheets->clear();
  for (std::size_t i = 0; i < globals.sheets.size(); ++i)
    sheets->push_back(std::make_unique<Sheet>(std::move(globals.sheets[i].name), std::move(cells[i])));
  return Status::Ok();
}

}  // namespace workbook
