// Builds small BIFF8 streams record by record, so tests can make the files
// other writers make (RK, MULRK, formulas with text results, cells outside
// DIMENSIONS, embedded charts) and the damaged ones a hostile sender makes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transloom/workbook/biff_records.h"

namespace workbooktest {

using Bytes = std::vector<std::uint8_t>;

Bytes Le16(std::uint16_t v);
Bytes Le32(std::uint32_t v);
Bytes Cat(std::initializer_list<Bytes> parts);
Bytes Record(std::uint16_t id, const Bytes& payload);
Bytes Bof(std::uint16_t type, std::uint16_t version = workbook::biff::kBofVersionBiff8);
Bytes Eof();
// A Latin-1 text as a Unicode string with a 2-byte count and compressed characters.
Bytes Text16(const std::string& latin1);
Bytes Sst(std::uint32_t unique, const std::vector<std::string>& latin1Strings);
Bytes LabelSst(std::uint16_t row, std::uint16_t column, std::uint32_t index);
Bytes Number(std::uint16_t row, std::uint16_t column, double value);

struct SheetSpec {
  std::string name;
  Bytes body;                   // records between the sheet's BOF and EOF
  std::int64_t offset = -1;     // >= 0: BOUNDSHEET points here instead
};

// Globals: BOF, `globals` records, one BOUNDSHEET per sheet, `afterSheets`
// (usually the SST), EOF; then each sheet as BOF, body, EOF.
Bytes BuildStream(const Bytes& globals, const Bytes& afterSheets, const std::vector<SheetSpec>& sheets);

// The stream inside a compound file, as a file image.
Bytes WrapInCompoundFile(const Bytes& stream, const char* streamName = workbook::biff::kWorkbookStreamName);

}  // namespace workbooktest
