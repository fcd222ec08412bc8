// Files no code of ours wrote: xlwt's, and streams built record by record
// the way other writers lay them out. Each is read cell for cell, and where
// a peer reader exists it must agree.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "biff_builder.h"
#include "peer_tools.h"
#include "test_support.h"
#include "transloom/workbook/workbook.h"
#include "workbook_fixtures.h"

namespace {

using workbook::CellKind;
using namespace workbooktest;
namespace biff = workbook::biff;

class XlwtFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HavePythonModule("xlwt") || !HavePythonModule("xlrd"))
      GTEST_SKIP() << "/usr/bin/python3 lacks xlwt or xlrd";
  }
  void Write(const std::string& script) {
    std::string error;
    ASSERT_TRUE(WriteWithXlwt(script, path_, &error)) << error;
  }
  testsupport::TempDir dir_;
  std::string path_ = dir_ / "xlwt.xls";
};

TEST_F(XlwtFiles, EveryCellKindAndEmptyAndContinuedStrings) {
  // xlwt puts every text into its SST: the empty ones, and the long ones
  // split over CONTINUE records (the CJK one with a repeated option byte).
  Write(R"PY(
book = xlwt.Workbook(encoding="utf-8")
s = book.add_sheet("Texts")
# write() turns "" into a blank cell; set_cell_text puts it into the SST
s.write(0, 0, "key.a"); s.row(0).set_cell_text(1, ""); s.write(0, 2, "Сохранить")
s.write(1, 0, "key.b"); s.write(1, 1, "x" * 8200 + "录" * 5000); s.row(1).set_cell_text(2, "")
s.write(2, 0, "key.c"); s.write(2, 1, 42); s.write(2, 2, -3.75)
s.write(3, 0, True); s.write(3, 1, False)
s.row(4).set_cell_error(0, "#DIV/0!")
s.write(5, 0, "é" * 9000)
t = book.add_sheet("Second")
t.write(0, 0, "📹 emoji"); t.write(9, 4, "far")
book.save(path)
)PY");
  workbook::Workbook book;
  const workbook::Status loaded = book.Load(path_);
  ASSERT_TRUE(loaded.ok) << loaded.message;

  std::vector<PeerSheet> peer;
  std::string error;
  ASSERT_TRUE(ReadWithXlrd(path_, &peer, &error)) << error;
  ASSERT_EQ(book.SheetCount(), 2);
  for (int s = 0; s < 2; ++s) {
    const workbook::Sheet& sheet = *book.GetSheet(s);
    EXPECT_EQ(sheet.Name(), peer[s].name);
    EXPECT_EQ(sheet.Cells().size(), peer[s].cells.size());
    for (const auto& [pos, cell] : peer[s].cells) {
      const workbook::Cell* ours = sheet.CellAt(pos.first, pos.second);
      ASSERT_NE(ours, nullptr) << pos.first << "," << pos.second;
      EXPECT_TRUE(SameCell(*ours, cell)) << pos.first << "," << pos.second;
    }
  }
  std::string text;
  EXPECT_TRUE(book.GetSheet(0)->ReadText(0, 1, &text));  // empty shared string
  EXPECT_EQ(text, "");
  EXPECT_EQ(book.GetSheet(0)->CellText(4, 0), "#DIV/0!");
  EXPECT_EQ(book.GetSheet(0)->CellText(3, 0), "TRUE");
  EXPECT_EQ(book.GetSheet(1)->UsedRows(), 10);
}

// Load, write some cells, save: every other cell of every sheet stays.
void ExpectModifyKeepsTheRest(const std::string& path) {
  workbook::Workbook before;
  ASSERT_TRUE(before.Load(path).ok);
  workbook::Workbook book;
  ASSERT_TRUE(book.Load(path).ok);
  workbook::Sheet* first = book.GetSheet(0);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 2; ++c) ASSERT_TRUE(first->WriteText(r, c, "new " + std::to_string(r)).ok);
  ASSERT_TRUE(book.Save(path).ok);

  std::vector<PeerSheet> peer;
  std::string error;
  ASSERT_TRUE(ReadWithXlrd(path, &peer, &error)) << error;
  ASSERT_EQ(static_cast<int>(peer.size()), before.SheetCount());
  for (int s = 0; s < before.SheetCount(); ++s) {
    const workbook::Sheet& old = *before.GetSheet(s);
    EXPECT_EQ(peer[s].name, old.Name());
    for (const auto& [key, cell] : old.Cells()) {
      const int r = workbook::Sheet::RowOf(key), c = workbook::Sheet::ColumnOf(key);
      const auto it = peer[s].cells.find({r, c});
      ASSERT_NE(it, peer[s].cells.end()) << s << ":" << r << "," << c;
      if (s == 0 && r < 3 && c < 2)
        EXPECT_EQ(it->second.text, "new " + std::to_string(r));
      else
        EXPECT_TRUE(SameCell(it->second, cell)) << s << ":" << r << "," << c;
    }
  }
}

TEST_F(XlwtFiles, ModifyAndSaveKeepsUnwrittenCells) {
  Write(R"PY(
book = xlwt.Workbook(encoding="utf-8")
s = book.add_sheet("Strings")
for r in range(40):
    for c in range(5):
        s.write(r, c, "r%dc%d" % (r, c) if c != 3 else r * 0.5)
s.write(41, 0, True)
t = book.add_sheet("Zweites Blatt")
t.write(2, 2, "kept")
book.save(path)
)PY");
  ExpectModifyKeepsTheRest(path_);
}

TEST(OurFiles, ModifyAndSaveKeepsUnwrittenCells) {
  if (!HavePythonModule("xlrd")) GTEST_SKIP() << "/usr/bin/python3 lacks xlrd";
  testsupport::TempDir dir;
  workbook::Workbook book;
  ASSERT_TRUE(FillBook({{{"Sheet1", 60}, {"Other", 7}}}, &book));
  ASSERT_TRUE(book.Save(dir / "ours.xls").ok);
  ExpectModifyKeepsTheRest(dir / "ours.xls");
}

// Records other writers use, and layouts the format allows.
struct CraftedCase {
  const char* name;
  Bytes sheetBody;
  std::vector<std::tuple<int, int, std::string>> expected;  // row, column, CellText
};

void PrintTo(const CraftedCase& c, std::ostream* os) { *os << c.name; }

Bytes Rk(std::uint16_t row, std::uint16_t column, std::uint32_t rk) {
  return Record(biff::kRecordRk, Cat({Le16(row), Le16(column), Le16(15), Le32(rk)}));
}

Bytes FormulaWithText(std::uint16_t row, std::uint16_t column, const std::string& text) {
  const Bytes result = {biff::kFormulaResultString, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  // result, flags, cache, then the formula "=1" (ptgInt 1)
  const Bytes formula = Cat({Le16(row), Le16(column), Le16(15), result, Le16(0), Le32(0), Le16(3),
                             Bytes{0x1E, 1, 0}});
  return Cat({Record(biff::kRecordFormula, formula), Record(biff::kRecordString, Text16(text))});
}

Bytes FormulaWith(std::uint16_t row, std::uint16_t column, const Bytes& result) {
  return Record(biff::kRecordFormula, Cat({Le16(row), Le16(column), Le16(15), result, Le16(0), Le32(0),
                                           Le16(3), Bytes{0x1E, 1, 0}}));
}

Bytes Dimensions(std::uint32_t rows, std::uint16_t columns) {
  return Record(biff::kRecordDimensions, Cat({Le32(0), Le32(rows), Le16(0), Le16(columns), Le16(0)}));
}

const CraftedCase kCrafted[] = {
    {"RkIntegerAndHundredths",
     Cat({Rk(0, 0, (1234u << 2) | 2), Rk(0, 1, (static_cast<std::uint32_t>(-5) << 2) | 3),
          Rk(0, 2, 0x3FF00000u)}),  // 1234, -0.05, 1.0
     {{0, 0, "1234"}, {0, 1, "-0.05"}, {0, 2, "1"}}},
    {"MulRk",
     Record(biff::kRecordMulRk, Cat({Le16(3), Le16(1), Le16(15), Le32((7u << 2) | 2), Le16(15),
                                     Le32((8u << 2) | 2), Le16(2)})),
     {{3, 1, "7"}, {3, 2, "8"}}},
    {"FormulaResults",
     Cat({FormulaWithText(0, 0, "computed text"), FormulaWith(1, 0, {1, 0, 1, 0, 0, 0, 0xFF, 0xFF}),
          FormulaWith(2, 0, {2, 0, 0x2A, 0, 0, 0, 0xFF, 0xFF}), FormulaWith(3, 0, {3, 0, 0, 0, 0, 0, 0xFF, 0xFF}),
          FormulaWith(4, 0, {0, 0, 0, 0, 0, 0, 0x24, 0x40})}),  // 10.0
     {{0, 0, "computed text"}, {1, 0, "TRUE"}, {2, 0, "#N/A"}, {3, 0, ""}, {4, 0, "10"}}},
    {"LabelRecord",
     Record(biff::kRecordLabel, Cat({Le16(2), Le16(0), Le16(15), Text16("old-style label")})),
     {{2, 0, "old-style label"}}},
    {"CellsOutsideDimensions",
     Cat({Dimensions(1, 1), LabelSst(0, 0, 0), LabelSst(500, 7, 1)}),
     {{0, 0, "first"}, {500, 7, "second"}}},
    {"EmbeddedChartSubstream",
     Cat({LabelSst(0, 0, 0), Bof(0x0020), LabelSst(9, 9, 1), Eof(), LabelSst(1, 0, 1)}),
     {{0, 0, "first"}, {1, 0, "second"}}},
};

class CraftedStream : public ::testing::TestWithParam<CraftedCase> {};

// Sixteen plain XF records, which xlrd needs to classify number cells.
Bytes CellFormats() {
  Bytes out;
  for (int i = 0; i < 16; ++i)
    out = Cat({out, Record(biff::kRecordXf, Cat({Le16(0), Le16(0), Le16(i < 15 ? 0xFFF5 : 0x0001),
                                                 Bytes(14, 0)}))});
  return out;
}

TEST_P(CraftedStream, ReadCellForCellLikeXlrd) {
  const Bytes file = WrapInCompoundFile(
      BuildStream(CellFormats(), Sst(2, {"first", "second"}), {{"Data", GetParam().sheetBody}}));
  workbook::Workbook book;
  const workbook::Status loaded = book.LoadFromMemory(file.data(), file.size());
  ASSERT_TRUE(loaded.ok) << loaded.message;
  const workbook::Sheet& sheet = *book.GetSheet(0);
  EXPECT_EQ(sheet.Cells().size(), GetParam().expected.size());
  for (const auto& [row, column, text] : GetParam().expected)
    EXPECT_EQ(sheet.CellText(row, column), text) << row << "," << column;

  if (!HavePythonModule("xlrd")) return;
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "crafted.xls", std::string(file.begin(), file.end()));
  std::vector<PeerSheet> peer;
  std::string error;
  ASSERT_TRUE(ReadWithXlrd(dir / "crafted.xls", &peer, &error)) << error;
  for (const auto& [pos, cell] : peer[0].cells) {
    const workbook::Cell* ours = sheet.CellAt(pos.first, pos.second);
    ASSERT_NE(ours, nullptr) << pos.first << "," << pos.second;
    EXPECT_TRUE(SameCell(*ours, cell)) << pos.first << "," << pos.second;
  }
}

INSTANTIATE_TEST_SUITE_P(Records, CraftedStream, ::testing::ValuesIn(kCrafted),
                         [](const auto& info) { return std::string(info.param.name); });

// Shapes other writers produce that spreadsheet programs open.
struct WriterShapeCase {
  const char* name;
  Bytes (*file)();
  std::vector<std::tuple<int, int, std::string>> expected;
};

void PrintTo(const WriterShapeCase& c, std::ostream* os) { *os << c.name; }

Bytes FormulaOld(std::uint16_t row, std::uint16_t column, const Bytes& result) {
  return Record(biff::kRecordFormulaOld, Cat({Le16(row), Le16(column), Le16(15), result, Le16(0),
                                              Le32(0), Le16(3), Bytes{0x1E, 1, 0}}));
}

const WriterShapeCase kWriterShapes[] = {
    {"Biff8InABookStream",
     [] {
       return WrapInCompoundFile(
           BuildStream(CellFormats(), Sst(2, {"first", "second"}),
                       {{"Data", Cat({LabelSst(0, 0, 0), LabelSst(1, 2, 1), Number(2, 1, 2.5)})}}),
           "Book");
     },
     {{0, 0, "first"}, {1, 2, "second"}, {2, 1, "2.5"}}},
    {"FormulaWithTheExcel4Id",
     [] {
       const Bytes text = {biff::kFormulaResultString, 0, 0, 0, 0, 0, 0xFF, 0xFF};
       return WrapInCompoundFile(BuildStream(
           CellFormats(), Sst(1, {"k"}),
           {{"Data", Cat({LabelSst(0, 0, 0), FormulaOld(0, 1, {0, 0, 0, 0, 0, 0, 0x24, 0x40}),
                          FormulaOld(1, 1, text), Record(biff::kRecordString, Text16("cached")),
                          FormulaOld(2, 1, {1, 0, 1, 0, 0, 0, 0xFF, 0xFF})})}}));
     },
     {{0, 0, "k"}, {0, 1, "10"}, {1, 1, "cached"}, {2, 1, "TRUE"}}},
    {"SstDeclaresMoreThanItHolds",
     [] {
       return WrapInCompoundFile(BuildStream(
           CellFormats(), Sst(9, {"a", "b"}), {{"Data", Cat({LabelSst(0, 0, 0), LabelSst(0, 1, 1)})}}));
     },
     {{0, 0, "a"}, {0, 1, "b"}}},
};

class WriterShape : public ::testing::TestWithParam<WriterShapeCase> {};

TEST_P(WriterShape, LoadsWithEveryCell) {
  const Bytes file = GetParam().file();
  workbook::Workbook book;
  const workbook::Status loaded = book.LoadFromMemory(file.data(), file.size());
  ASSERT_TRUE(loaded.ok) << loaded.message;
  const workbook::Sheet& sheet = *book.GetSheet(0);
  EXPECT_EQ(sheet.Cells().size(), GetParam().expected.size());
  for (const auto& [row, column, text] : GetParam().expected)
    EXPECT_EQ(sheet.CellText(row, column), text) << row << "," << column;
}

// xlrd sees the same cells. It stops at a string table shorter than its
// count; that shape is checked against LibreOffice below.
TEST_P(WriterShape, XlrdReadsTheSameCells) {
  if (!HavePythonModule("xlrd")) GTEST_SKIP() << "/usr/bin/python3 lacks xlrd";
  const Bytes file = GetParam().file();
  testsupport::TempDir dir;
  const std::string path = dir / "shape.xls";
  testsupport::WriteFile(path, std::string(file.begin(), file.end()));
  workbook::Workbook book;
  ASSERT_TRUE(book.Load(path).ok);
  const workbook::Sheet& sheet = *book.GetSheet(0);
  std::vector<PeerSheet> peer;
  std::string error;
  if (!ReadWithXlrd(path, &peer, &error)) {
    ASSERT_STREQ(GetParam().name, "SstDeclaresMoreThanItHolds") << error;
    GTEST_SKIP() << "xlrd refuses a short string table";
  }
  ASSERT_FALSE(peer.empty());
  EXPECT_EQ(peer[0].cells.size(), sheet.Cells().size());
  for (const auto& [pos, cell] : peer[0].cells) {
    const workbook::Cell* ours = sheet.CellAt(pos.first, pos.second);
    ASSERT_NE(ours, nullptr) << pos.first << "," << pos.second;
    EXPECT_TRUE(SameCell(*ours, cell)) << pos.first << "," << pos.second << ": xlrd saw \""
                                       << cell.text << "\"";
  }
}

// A spreadsheet writer's own file whose string table declares more strings
// than it holds: LibreOffice shows what is there, and so do we.
TEST(ShortStringTable, ReadsWhatLibreOfficeShows) {
  if (!HavePythonModule("xlwt")) GTEST_SKIP() << "/usr/bin/python3 lacks xlwt";
  if (!testsupport::HaveProgram("soffice")) GTEST_SKIP() << "LibreOffice is missing";
  testsupport::TempDir dir;
  const std::string path = dir / "short.xls";
  std::string error;
  ASSERT_TRUE(WriteWithXlwt(R"PY(
book = xlwt.Workbook(encoding="utf-8")
s = book.add_sheet("Data")
for i, t in enumerate(["Menu.Title", "Главное меню", "录像回放", "tail"]):
    s.write(i // 2, i % 2, t)
s.write(2, 0, 7.5)
book.save(path)
)PY",
                            path, &error))
      << error;
  // SST: record id, size, total count, unique count. Raise both counts.
  std::string bytes = testsupport::ReadFile(path);
  const std::string header = std::string("\xFC\x00", 2);
  std::size_t at = bytes.find(header);
  while (at != std::string::npos && (bytes.compare(at + 4, 8, std::string("\x04\0\0\0\x04\0\0\0", 8)) != 0))
    at = bytes.find(header, at + 1);
  ASSERT_NE(at, std::string::npos) << "no string table of 4 strings in xlwt's file";
  bytes.replace(at + 4, 8, std::string("\x20\0\0\0\x20\0\0\0", 8));
  testsupport::WriteFile(path, bytes);

  workbook::Workbook book;
  const workbook::Status loaded = book.Load(path);
  ASSERT_TRUE(loaded.ok) << loaded.message;
  const workbook::Sheet& sheet = *book.GetSheet(0);
  std::vector<std::vector<std::string>> rows;
  ASSERT_TRUE(ReadWithLibreOffice(path, &rows, &error)) << error;
  ASSERT_EQ(static_cast<int>(rows.size()), sheet.UsedRows());
  for (int row = 0; row < sheet.UsedRows(); ++row)
    for (int column = 0; column < 2; ++column)
      EXPECT_EQ(column < static_cast<int>(rows[row].size()) ? rows[row][column] : "",
                sheet.CellText(row, column))
          << row << "," << column;
  EXPECT_EQ(sheet.CellText(0, 1), "Главное меню");
}

INSTANTIATE_TEST_SUITE_P(Writers, WriterShape, ::testing::ValuesIn(kWriterShapes),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
