#include "workbook_fixtures.h"

#include "peer_tools.h"

namespace workbooktest {
namespace {

std::string Repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

std::string LongText(int row) {
  switch (row % 4) {
    case 0: return Repeat("a", 32767);               // compressed, four records
    case 1: return Repeat("录", 20000);             // 16-bit, five records
    case 2: return Repeat("é", 9000) + "ж";         // one wide character makes all wide
    default: return "x" + Repeat("📹", 16383);      // 32,767 units with surrogate pairs
  }
}

}  // namespace

bool FillBook(const BookShape& shape, workbook::Workbook* book) {
  const std::size_t n = kSampleTexts.size();
  for (const BookShape::SheetShape& s : shape.sheets) {
    workbook::Sheet* sheet = book->AddSheet(s.name);
    if (sheet == nullptr) return false;
    for (int r = 0; r < s.rows; ++r) {
      const std::string& sample = kSampleTexts[static_cast<std::size_t>(r) % n];
      // catdoc's xls2csv shows wrong texts once a table holds more than
      // about 50,000 distinct strings (xlwt's files alike), so keys and
      // texts repeat well before that.
      bool ok = sheet->WriteText(r, 0, "key." + std::to_string(r % 20000)).ok;
      const std::string text = shape.longTexts ? LongText(r)
                               : sample.empty() ? sample
                                                : sample + " " + std::to_string(r % 10000);
      ok = ok && sheet->WriteText(r, 1, text).ok;
      if (r % 7 == 2)
        ok = ok && sheet->WriteNumber(r, 2, r * 1.25 - 100).ok;
      else if (r % 5 != 3)
        ok = ok && sheet->WriteText(r, 2, kSampleTexts[static_cast<std::size_t>(r + 3) % n]).ok;
      if (!ok) return false;
    }
  }
  return true;
}

bool SameCell(const workbook::Cell& a, const workbook::Cell& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case workbook::CellKind::kText: return a.text == b.text;
    case workbook::CellKind::kNumber: return a.number == b.number;
    case workbook::CellKind::kBoolean: return a.boolean == b.boolean;
    case workbook::CellKind::kError: return a.error == b.error;
  }
  return false;
}

bool HasSupplementaryCharacter(const std::string& utf8) {
  for (unsigned char c : utf8)
    if (c >= 0xF0) return true;
  return false;
}

}  // namespace workbooktest
