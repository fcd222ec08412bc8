// Workbooks the tests fill from a few lines of description.
#pragma once

#include <string>
#include <vector>

#include "transloom/workbook/workbook.h"

namespace workbooktest {

struct BookShape {
  struct SheetShape {
    std::string name;
    int rows;
  };
  std::vector<SheetShape> sheets;
  // Column 1 holds texts of up to 32,767 units (Latin, CJK, emoji) that
  // span several SST records.
  bool longTexts = false;
};

// Row r: column 0 a key, column 1 a text in one of several scripts (some
// empty), column 2 a number, nothing, or another text. At most about 30,000
// distinct texts whatever the row count.
bool FillBook(const BookShape& shape, workbook::Workbook* book);

bool SameCell(const workbook::Cell& a, const workbook::Cell& b);
bool HasSupplementaryCharacter(const std::string& utf8);

}  // namespace workbooktest
