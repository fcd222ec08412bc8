// Workbooks we write, read back cell for cell by xlrd and by xls2csv.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "peer_tools.h"
#include "test_support.h"
#include "transloom/workbook/workbook.h"
#include "workbook_fixtures.h"

namespace {

using workbook::Cell;
using workbook::CellKind;
using workbooktest::BookShape;

struct PeerCase {
  const char* name;
  std::vector<BookShape::SheetShape> sheets;
  bool longTexts = false;
  // catdoc's xls2csv loses its place in a large shared string table (on
  // xlwt's files of the same cells alike): past this row only numbers,
  // which it reads from the cell records, are compared.
  int catdocTextRows = workbook::kMaxRows;
};

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

class WrittenWorkbook : public ::testing::TestWithParam<PeerCase> {
 protected:
  // Fills book_ after the case's shape and saves it to path_.
  void SetUp() override {
    ASSERT_TRUE(workbooktest::FillBook({GetParam().sheets, GetParam().longTexts}, &book_));
    ASSERT_TRUE(book_.Save(path_).ok);
  }
  testsupport::TempDir dir_;
  std::string path_ = dir_ / "book.xls";
  workbook::Workbook book_;
};

TEST_P(WrittenWorkbook, XlrdReadsEveryCell) {
  if (!workbooktest::HavePythonModule("xlrd")) GTEST_SKIP() << "/usr/bin/python3 lacks xlrd";
  const workbook::Workbook& book = book_;
  const std::string& path = path_;

  std::vector<workbooktest::PeerSheet> seen;
  std::string error;
  ASSERT_TRUE(workbooktest::ReadWithXlrd(path, &seen, &error)) << error;
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(book.SheetCount()));
  for (int s = 0; s < book.SheetCount(); ++s) {
    const workbook::Sheet& sheet = *book.GetSheet(s);
    EXPECT_EQ(seen[s].name, sheet.Name());
    EXPECT_EQ(seen[s].cells.size(), sheet.Cells().size()) << sheet.Name();
    for (const auto& [key, cell] : sheet.Cells()) {
      const int row = workbook::Sheet::RowOf(key), column = workbook::Sheet::ColumnOf(key);
      const auto it = seen[s].cells.find({row, column});
      ASSERT_NE(it, seen[s].cells.end()) << sheet.Name() << " " << row << "," << column;
      EXPECT_TRUE(workbooktest::SameCell(it->second, cell))
          << sheet.Name() << " " << row << "," << column << ": xlrd saw \"" << it->second.text << "\"";
    }
  }
}

TEST_P(WrittenWorkbook, Xls2csvReadsEveryText) {
  if (!testsupport::HaveProgram("xls2csv")) GTEST_SKIP() << "xls2csv missing";
  const workbook::Workbook& book = book_;
  const std::string& path = path_;

  std::vector<std::vector<std::vector<std::string>>> seen;
  std::string error;
  ASSERT_TRUE(workbooktest::ReadWithXls2csv(path, &seen, &error)) << error;
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(book.SheetCount()));
  for (int s = 0; s < book.SheetCount(); ++s) {
    const workbook::Sheet& sheet = *book.GetSheet(s);
    // xls2csv prints the rows that hold cells, each from column 0.
    ASSERT_EQ(seen[s].size(), static_cast<std::size_t>(sheet.UsedRows())) << sheet.Name();
    const int columns = sheet.UsedColumns();
    for (int row = 0; row < sheet.UsedRows(); ++row) {
      const std::vector<std::string>& printed = seen[s][row];
      for (int column = 0; column < columns; ++column) {
        const Cell* cell = sheet.CellAt(row, column);
        const std::string got = column < static_cast<int>(printed.size()) ? printed[column] : "";
        if (cell == nullptr) {
          EXPECT_EQ(got, "") << row << "," << column;
        } else if (cell->kind == CellKind::kNumber) {
          EXPECT_DOUBLE_EQ(std::strtod(got.c_str(), nullptr), cell->number) << row << "," << column;
        } else if (row < GetParam().catdocTextRows &&
                   !workbooktest::HasSupplementaryCharacter(cell->text)) {
          // catdoc prints characters beyond U+FFFF half by half; xlrd checks those.
          EXPECT_EQ(got, cell->text) << row << "," << column;
        }
      }
    }
  }
}

const PeerCase kPeerCases[] = {
    {"OneRow", {{"Sheet1", 1}}},
    {"ThreeThousandRows", {{"Sheet1", 3000}}},
    {"TextsLongerThanOneRecord", {{"Sheet1", 12}}, true},
    {"SecondSheet", {{"Sheet1", 40}, {"Русский лист", 25}}},
    {"MaximumRows", {{"Sheet1", workbook::kMaxRows}}, false, 30000},
    // A sheet ends at 65,536 rows, so 70,000 rows take a second sheet.
    {"SeventyThousandRows", {{"Sheet1", workbook::kMaxRows}, {"Sheet2", 70000 - workbook::kMaxRows}}, false,
     30000},
};

INSTANTIATE_TEST_SUITE_P(Shapes, WrittenWorkbook, ::testing::ValuesIn(kPeerCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
