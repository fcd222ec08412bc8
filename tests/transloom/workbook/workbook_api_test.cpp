// The contract of the workbook object: limits refused with a message,
// never cut; sheet names; saving that leaves nothing half-written.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "test_support.h"
#include "transloom/workbook/workbook.h"

namespace {

std::string Repeat(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

struct TextCase {
  const char* name;
  std::string text;
  bool accepted;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

const TextCase kTexts[] = {
    {"Empty", "", true},
    {"MaxLatin", Repeat("a", 32767), true},
    {"OneTooManyLatin", Repeat("a", 32768), false},
    {"MaxCjk", Repeat("录", 32767), true},
    {"EmojiCountTwice", Repeat("📹", 16384), false},  // 32,768 UTF-16 units
    {"EmojiJustFits", "a" + Repeat("📹", 16383), true},
    {"InvalidUtf8", "ab\xC3(", false},
    {"Overlong", "\xC0\xAF", false},
    {"Surrogate", "\xED\xA0\x80", false},
};

class TextLimits : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextLimits, RefusedOrKeptWhole) {
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  const workbook::Status status = sheet->WriteText(0, 0, GetParam().text);
  EXPECT_EQ(status.ok, GetParam().accepted) << status.message;
  if (!GetParam().accepted) {
    EXPECT_NE(status.message.find("cell (0, 0)"), std::string::npos) << status.message;
    EXPECT_EQ(sheet->CellAt(0, 0), nullptr);
    return;
  }
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(book.SaveToMemory(&bytes).ok);
  workbook::Workbook back;
  ASSERT_TRUE(back.LoadFromMemory(bytes.data(), bytes.size()).ok);
  std::string text;
  ASSERT_TRUE(back.GetSheet(0)->ReadText(0, 0, &text));
  EXPECT_EQ(text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Texts, TextLimits, ::testing::ValuesIn(kTexts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Positions, OutsideTheSheetAndNonFiniteNumbersAreRefused) {
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  for (auto [row, column] : {std::pair{-1, 0}, {0, -1}, {65536, 0}, {0, 256}, {70000, 1}}) {
    const workbook::Status status = sheet->WriteText(row, column, "x");
    EXPECT_FALSE(status.ok) << row << "," << column;
    EXPECT_NE(status.message.find("65536 rows"), std::string::npos) << status.message;
  }
  for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL})
    EXPECT_FALSE(sheet->WriteNumber(0, 0, bad).ok) << bad;
  EXPECT_EQ(sheet->CellAt(0, 0), nullptr);
  EXPECT_TRUE(sheet->WriteText(65535, 255, "corner").ok);
  EXPECT_EQ(sheet->UsedRows(), 65536);
  EXPECT_EQ(sheet->UsedColumns(), 256);
  EXPECT_EQ(sheet->CellAt(70000, 0), nullptr);
  EXPECT_EQ(sheet->CellText(-1, 0), "");
}

TEST(SheetNames, InvalidAndDuplicateNamesAreRefused) {
  workbook::Workbook book;
  ASSERT_NE(book.AddSheet("Sheet1"), nullptr);
  for (const std::string& name : {std::string(""), Repeat("n", 32), std::string("a/b"), std::string("q?"),
                                 std::string("[x]"), std::string("SHEET1"), std::string("bad\xFF")}) {
    workbook::Status status;
    EXPECT_EQ(book.AddSheet(name, &status), nullptr) << name;
    EXPECT_FALSE(status.ok);
    EXPECT_FALSE(status.message.empty());
  }
  workbook::Status status;
  EXPECT_NE(book.AddSheet(Repeat("Я", 31), &status), nullptr) << status.message;
  EXPECT_EQ(book.SheetCount(), 2);
  EXPECT_EQ(book.GetSheet(2), nullptr);
  EXPECT_EQ(book.GetSheet(-1), nullptr);
}

TEST(Saving, WorkbookWithoutSheetsIsRefusedAndWritesNothing) {
  testsupport::TempDir dir;
  workbook::Workbook book;
  const workbook::Status status = book.Save(dir / "empty.xls");
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.message.find("at least one sheet"), std::string::npos);
  EXPECT_FALSE(testsupport::FileExists(dir / "empty.xls"));
}

TEST(Saving, UnwritableTargetNamesThePath) {
  testsupport::TempDir dir;
  workbook::Workbook book;
  book.AddSheet("Sheet1")->WriteText(0, 0, "x");
  const workbook::Status status = book.Save(dir / "missing-folder/book.xls");
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.message.find("missing-folder/book.xls"), std::string::npos) << status.message;

}

TEST(Saving, EmptySheetAndSheetOrderSurvive) {
  workbook::Workbook book;
  book.AddSheet("Empty");
  book.AddSheet("Данные")->WriteNumber(2, 3, 0.1);
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(book.SaveToMemory(&bytes).ok);
  workbook::Workbook back;
  ASSERT_TRUE(back.LoadFromMemory(bytes.data(), bytes.size()).ok);
  ASSERT_EQ(back.SheetCount(), 2);
  EXPECT_EQ(back.GetSheet(0)->Name(), "Empty");
  EXPECT_EQ(back.GetSheet(0)->UsedRows(), 0);
  EXPECT_EQ(back.GetSheet(1)->Name(), "Данные");
  EXPECT_EQ(back.GetSheet(1)->CellText(2, 3), "0.1");
}

}  // namespace
