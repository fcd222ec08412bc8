#include "biff_builder.h"

#include <cstring>

#include "transloom/workbook/cfb_container.h"

namespace workbooktest {

namespace biff = workbook::biff;

Bytes Le16(std::uint16_t v) { return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}; }

Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Record(std::uint16_t id, const Bytes& payload) {
  return Cat({Le16(id), Le16(static_cast<std::uint16_t>(payload.size())), payload});
}

Bytes Bof(std::uint16_t type, std::uint16_t version) {
  return Record(biff::kRecordBof, Cat({Le16(version), Le16(type), Le16(biff::kBofBuild),
                                       Le16(biff::kBofYear), Le32(0), Le32(0)}));
}

Bytes Eof() { return Record(biff::kRecordEof, {}); }

Bytes Text16(const std::string& latin1) {
  Bytes out = Cat({Le16(static_cast<std::uint16_t>(latin1.size())), Bytes{0}});
  out.insert(out.end(), latin1.begin(), latin1.end());
  return out;
}

Bytes Sst(std::uint32_t unique, const std::vector<std::string>& latin1Strings) {
  Bytes payload = Cat({Le32(unique), Le32(unique)});
  for (const std::string& s : latin1Strings) {
    const Bytes t = Text16(s);
    payload.insert(payload.end(), t.begin(), t.end());
  }
  return Record(biff::kRecordSst, payload);
}

Bytes LabelSst(std::uint16_t row, std::uint16_t column, std::uint32_t index) {
  return Record(biff::kRecordLabelSst, Cat({Le16(row), Le16(column), Le16(15), Le32(index)}));
}

Bytes Number(std::uint16_t row, std::uint16_t column, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return Record(biff::kRecordNumber, Cat({Le16(row), Le16(column), Le16(15),
                                          Le32(static_cast<std::uint32_t>(bits)),
                                          Le32(static_cast<std::uint32_t>(bits >> 32))}));
}

Bytes BuildStream(const Bytes& globals, const Bytes& afterSheets, const std::vector<SheetSpec>& sheets) {
  Bytes out = Cat({Bof(biff::kBofTypeGlobals), globals});
  std::vector<std::size_t> positionFields;
  for (const SheetSpec& sheet : sheets) {
    Bytes payload = Cat({Le32(0), Bytes{0, biff::kSheetKindWorksheet,
                                        static_cast<std::uint8_t>(sheet.name.size()), 0}});
    payload.insert(payload.end(), sheet.name.begin(), sheet.name.end());
    positionFields.push_back(out.size() + biff::kRecordHeaderSize);
    const Bytes r = Record(biff::kRecordBoundSheet, payload);
    out.insert(out.end(), r.begin(), r.end());
  }
  out = Cat({out, afterSheets, Eof()});
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    const std::uint32_t at = sheets[i].offset >= 0 ? static_cast<std::uint32_t>(sheets[i].offset)
                                                   : static_cast<std::uint32_t>(out.size());
    const Bytes pos = Le32(at);
    std::copy(pos.begin(), pos.end(), out.begin() + static_cast<std::ptrdiff_t>(positionFields[i]));
    out = Cat({out, Bof(biff::kBofTypeWorksheet), sheets[i].body, Eof()});
  }
  return out;
}

Bytes WrapInCompoundFile(const Bytes& stream, const char* streamName) {
  Bytes file;
  workbook::cfb::WriteWorkbookFile(stream, &file, streamName);
  return file;
}

}  // namespace workbooktest
