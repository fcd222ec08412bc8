#include "transloom/workbook/biff_writer.h"

#include <algorithm>
#include <string>

#include "transloom/workbook/biff_records.h"
#include "transloom/workbook/byte_io.h"
#include "transloom/workbook/sst.h"
#include "transloom/workbook/utf.h"

namespace workbook {
namespace {

using bytes::Writer;

void WriteBof(Writer* w, std::uint16_t type) {
  w->BeginRecord(biff::kRecordBof);
  w->U16(biff::kBofVersionBiff8);
  w->U16(type);
  w->U16(biff::kBofBuild);
  w->U16(biff::kBofYear);
  w->U32(biff::kBofHistoryFlags);
  w->U32(biff::kBofLowestVersion);
  w->EndRecord();
}

void WriteEof(Writer* w) {
  w->BeginRecord(biff::kRecordEof);
  w->EndRecord();
}

void WriteCodepage(Writer* w) {
  w->BeginRecord(biff::kRecordCodepage);
  w->U16(biff::kCodepageUtf16);
  w->EndRecord();
}

void WriteWindow1(Writer* w) {
  w->BeginRecord(biff::kRecordWindow1);
  w->U16(0);       // left
  w->U16(0);       // top
  w->U16(0x4000);  // width, in twips
  w->U16(0x2000);  // height
  w->U16(0x0038);  // scroll bars and sheet tabs shown
  w->U16(0);       // active sheet
  w->U16(0);       // first visible tab
  w->U16(1);       // selected tabs
  w->U16(600);     // tab bar width, per mille
  w->EndRecord();
}

void WriteFonts(Writer* w) {
  static const char kFace[] = "Arial";
  for (int i = 0; i < biff::kFontCount; ++i) {
    w->BeginRecord(biff::kRecordFont);
    w->U16(biff::kFontHeightTwips);
    w->U16(0);  // no italic, strike-out, outline
    w->U16(biff::kColorAutomatic);
    w->U16(biff::kFontWeightNormal);
    w->U16(0);  // no super- or subscript
    w->U8(0);   // no underline
    w->U8(0);   // family
    w->U8(0);   // character set
    w->U8(0);   // reserved
    w->U8(static_cast<std::uint8_t>(sizeof kFace - 1));
    w->U8(0);  // compressed characters
    for (const char* c = kFace; *c != '\0'; ++c) w->U8(static_cast<std::uint8_t>(*c));
    w->EndRecord();
  }
}

// XF 0..14 are style formats, XF 15 the default cell format every cell uses.
void WriteXfs(Writer* w) {
  for (int i = 0; i <= biff::kDefaultCellXf; ++i) {
    const bool style = i < biff::kStyleXfCount;
    w->BeginRecord(biff::kRecordXf);
    w->U16(0);  // font
    w->U16(0);  // number format "General"
    // locked; style XFs have no parent, cell XFs inherit from style 0
    w->U16(style ? static_cast<std::uint16_t>((biff::kXfParentNone << 4) | 0x0005) : 0x0001);
    w->U8(0x20);  // bottom-aligned
    w->U8(0);     // no rotation
    w->U8(0);     // no indent
    // Style XFs 1..14 leave every attribute group to the Normal style.
    w->U8(style && i > 0 ? 0xF4 : 0x00);
    w->U32(0);       // no borders
    w->U32(0);       // border colours
    w->U16(0x20C0);  // pattern colours: automatic
    w->EndRecord();
  }
}

void WriteStyle(Writer* w) {
  w->BeginRecord(biff::kRecordStyle);
  w->U16(biff::kStyleBuiltinNormal);
  w->U8(0);     // built-in "Normal"
  w->U8(0xFF);  // no outline level
  w->EndRecord();
}

// Writes a BOUNDSHEET with a zero stream position; returns where that
// position goes once the sheet's substream is placed.
std::size_t WriteBoundSheet(Writer* w, const std::u16string& name) {
  w->BeginRecord(biff::kRecordBoundSheet);
  const std::size_t positionField = w->Position();
  w->U32(0);
  w->U8(0);  // visible
  w->U8(biff::kSheetKindWorksheet);
  const bool wide = std::any_of(name.begin(), name.end(), [](char16_t u) { return u > 0xFF; });
  w->U8(static_cast<std::uint8_t>(name.size()));
  w->U8(wide ? biff::kStringHighByte : 0);
  for (char16_t u : name) {
    if (wide)
      w->U16(u);
    else
      w->U8(static_cast<std::uint8_t>(u));
  }
  w->EndRecord();
  return positionField;
}

void WriteCellHeader(Writer* w, std::uint16_t id, std::uint32_t key) {
  w->BeginRecord(id);
  w->U16(static_cast<std::uint16_t>(Sheet::RowOf(key)));
  w->U16(static_cast<std::uint16_t>(Sheet::ColumnOf(key)));
  w->U16(biff::kDefaultCellXf);
}

void WriteSheet(Writer* w, const Sheet& sheet, const std::vector<std::uint32_t>& stringIndex,
                bool first) {
  WriteBof(w, biff::kBofTypeWorksheet);

  // Exact bounds of the used area: first row and column, one past the last.
  const auto& cells = sheet.Cells();
  std::uint32_t rowFirst = 0, rowLimit = 0, columnFirst = 0, columnLimit = 0;
  if (!cells.empty()) {
    rowFirst = static_cast<std::uint32_t>(Sheet::RowOf(cells.begin()->first));
    rowLimit = static_cast<std::uint32_t>(Sheet::RowOf(cells.rbegin()->first)) + 1;
    columnFirst = kMaxColumns;
    for (const auto& [key, cell] : cells) {
      columnFirst = std::min<std::uint32_t>(columnFirst, Sheet::ColumnOf(key));
      columnLimit = std::max<std::uint32_t>(columnLimit, Sheet::ColumnOf(key) + 1);
    }
  }
  w->BeginRecord(biff::kRecordDimensions);
  w->U32(rowFirst);
  w->U32(rowLimit);
  w->U16(static_cast<std::uint16_t>(columnFirst));
  w->U16(static_cast<std::uint16_t>(columnLimit));
  w->U16(0);
  w->EndRecord();

  std::size_t textIndex = 0;
  for (const auto& [key, cell] : cells) {
    switch (cell.kind) {
      case CellKind::kText:
        WriteCellHeader(w, biff::kRecordLabelSst, key);
        w->U32(stringIndex[textIndex++]);
        break;
      case CellKind::kNumber:
        WriteCellHeader(w, biff::kRecordNumber, key);
        w->Double(cell.number);
        break;
      case CellKind::kBoolean:
      case CellKind::kError:
        WriteCellHeader(w, biff::kRecordBoolErr, key);
        w->U8(cell.kind == CellKind::kBoolean ? (cell.boolean ? 1 : 0) : cell.error);
        w->U8(cell.kind == CellKind::kError ? 1 : 0);
        break;
    }
    w->EndRecord();
  }

  w->BeginRecord(biff::kRecordWindow2);
  w->U16(first ? biff::kWindow2Options | biff::kWindow2Selected : biff::kWindow2Options);
  w->U16(0);  // top row
  w->U16(0);  // left column
  w->U16(biff::kWindow2GridColour);
  w->U16(0);
  w->U16(0);  // page-break preview zoom: default
  w->U16(0);  // normal zoom: default
  w->U32(0);
  w->EndRecord();
  WriteEof(w);
}

}  // namespace

Status WriteBiffStream(const std::vector<const Sheet*>& sheets, std::vector<std::uint8_t>* stream) {
  if (sheets.empty()) return Status::Fail("a workbook needs at least one sheet");
  std::vector<std::u16string> names;
  for (const Sheet* sheet : sheets) {
    std::u16string name;
    if (!utf::Utf8ToUtf16(sheet->Name(), &name) || name.empty() || name.size() > kMaxSheetNameUnits)
      return Status::Fail("sheet name \"" + sheet->Name() + "\" is not 1 to 31 characters of UTF-8");
    names.push_back(std::move(name));
  }

  // Shared strings in order of first use, and each sheet's text cells' indexes.
  sst::SstWriter strings;
  std::vector<std::vector<std::uint32_t>> stringIndex(sheets.size());
  for (std::size_t s = 0; s < sheets.size(); ++s) {
    for (const auto& [key, cell] : sheets[s]->Cells())
      if (cell.kind == CellKind::kText) stringIndex[s].push_back(strings.Add(cell.text));
  }

  std::size_t cellCount = 0;
  for (const Sheet* sheet : sheets) cellCount += sheet->Cells().size();
  stream->clear();
  stream->reserve(biff::kMinWorkbookStreamSize + cellCount * 24);  // a cell record and its string
  Writer w(stream);
  WriteBof(&w, biff::kBofTypeGlobals);
  WriteCodepage(&w);
  WriteWindow1(&w);
  WriteFonts(&w);
  WriteXfs(&w);
  WriteStyle(&w);
  std::vector<std::size_t> positionFields;
  for (const std::u16string& name : names) positionFields.push_back(WriteBoundSheet(&w, name));
  if (Status s = strings.Write(&w); !s) return s;
  WriteEof(&w);

  for (std::size_t s = 0; s < sheets.size(); ++s) {
    w.Put32At(positionFields[s], static_cast<std::uint32_t>(w.Position()));
    WriteSheet(&w, *sheets[s], stringIndex[s], s == 0);
  }
  if (stream->size() > 0xFFFFFFFFu) return Status::Fail("the workbook is larger than 4 GiB");
  if (stream->size() < biff::kMinWorkbookStreamSize) w.Zeros(biff::kMinWorkbookStreamSize - stream->size());
  return Status::Ok();
}

}  // namespace workbook
