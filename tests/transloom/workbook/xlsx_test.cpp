// Office Open XML workbooks: what we write reads back cell for cell in
// openpyxl and LibreOffice; what other writers produce reads as they show
// it; hostile or odd files are refused with the file and the reason and
// stay untouched.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "peer_tools.h"
#include "test_support.h"
#include "transloom/workbook/cfb_container.h"
#include "transloom/workbook/workbook.h"
#include "workbook_fixtures.h"

namespace {

using Parts = std::vector<std::pair<std::string, std::string>>;

// Texts that test the escaping of the format besides the scripts of the
// shared samples: blanks at the ends, what looks like an escape, markup.
const std::vector<std::string> kEdgeTexts = {
    "Key ", "  both ends  ", "_x0041_ stays", "<b>&amp; not markup</b>", "a=b", "line1\nline2",
    "x\ty", std::string(32767, 'w'),
};

workbook::Workbook SampleBook() {
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Texts");
  int row = 0;
  for (const auto* texts : {&workbooktest::kSampleTexts, &kEdgeTexts})
    for (const std::string& text : *texts) {
      EXPECT_TRUE(sheet->WriteText(row, 0, "Key." + std::to_string(row)).ok);
      EXPECT_TRUE(sheet->WriteText(row, 2, text).ok);
      ++row;
    }
  EXPECT_TRUE(sheet->WriteNumber(row, 0, 10).ok);
  EXPECT_TRUE(sheet->WriteNumber(row, 1, 0.1).ok);
  EXPECT_TRUE(sheet->WriteNumber(row, 30, -2.5e-7).ok);
  workbook::Cell truth;
  truth.kind = workbook::CellKind::kBoolean;
  truth.boolean = true;
  EXPECT_TRUE(sheet->WriteCell(row + 900, 3, truth).ok);
  EXPECT_TRUE(book.AddSheet("Second")->WriteText(0, 0, "not the first sheet").ok);
  return book;
}

class XlsxWritten : public ::testing::Test {
 protected:
  void SetUp() override {
    book_ = SampleBook();
    path_ = dir_ / "written.xlsx";
    const workbook::Status saved = book_.Save(path_);
    ASSERT_TRUE(saved.ok) << saved.message;
  }
  const workbook::Sheet& Expected() const { return *book_.GetSheet(0); }

  testsupport::TempDir dir_;
  workbook::Workbook book_;
  std::string path_;
};

TEST_F(XlsxWritten, ReadsBackCellForCell) {
  workbook::Workbook again;
  const workbook::Status loaded = again.Load(path_);
  ASSERT_TRUE(loaded.ok) << loaded.message;
  // Only the first worksheet is read.
  ASSERT_EQ(again.SheetCount(), 1);
  const workbook::Sheet& got = *again.GetSheet(0);
  EXPECT_EQ(got.Name(), "Texts");
  std::size_t nonEmpty = 0;
  for (const auto& [key, cell] : Expected().Cells()) {
    const int row = workbook::Sheet::RowOf(key), column = workbook::Sheet::ColumnOf(key);
    if (cell.kind == workbook::CellKind::kText && cell.text.empty()) {
      EXPECT_EQ(got.CellAt(row, column), nullptr) << row << "," << column;
      continue;
    }
    ++nonEmpty;
    const workbook::Cell* read = got.CellAt(row, column);
    ASSERT_NE(read, nullptr) << row << "," << column;
    EXPECT_TRUE(workbooktest::SameCell(*read, cell)) << row << "," << column << ": " << read->text;
  }
  EXPECT_EQ(got.Cells().size(), nonEmpty);
}

TEST_F(XlsxWritten, OpenpyxlReadsEveryCell) {
  if (!workbooktest::HavePythonModule("openpyxl")) GTEST_SKIP() << "/usr/bin/python3 lacks openpyxl";
  workbooktest::PeerSheet peer;
  std::string error;
  ASSERT_TRUE(workbooktest::ReadWithOpenpyxl(path_, &peer, &error)) << error;
  EXPECT_EQ(peer.name, "Texts");
  std::size_t nonEmpty = 0;
  for (const auto& [key, cell] : Expected().Cells()) {
    if (cell.kind == workbook::CellKind::kText && cell.text.empty()) continue;
    ++nonEmpty;
    const auto it = peer.cells.find({workbook::Sheet::RowOf(key), workbook::Sheet::ColumnOf(key)});
    ASSERT_NE(it, peer.cells.end()) << key;
    EXPECT_TRUE(workbooktest::SameCell(it->second, cell))
        << workbook::Sheet::RowOf(key) << ": openpyxl saw \"" << it->second.text << "\"";
  }
  EXPECT_EQ(peer.cells.size(), nonEmpty);
}

TEST_F(XlsxWritten, LibreOfficeShowsEveryText) {
  if (!testsupport::HaveProgram("soffice")) GTEST_SKIP() << "LibreOffice is missing";
  std::vector<std::vector<std::string>> rows;
  std::string error;
  ASSERT_TRUE(workbooktest::ReadWithLibreOffice(path_, &rows, &error)) << error;
  // Rows of text only: numbers and booleans show in LibreOffice's own format.
  const int textRows = static_cast<int>(workbooktest::kSampleTexts.size() + kEdgeTexts.size());
  ASSERT_GE(static_cast<int>(rows.size()), textRows);
  for (int row = 0; row < textRows; ++row) {
    for (int column = 0; column < 3; ++column) {
      const std::string shown =
          column < static_cast<int>(rows[row].size()) ? rows[row][column] : std::string();
      EXPECT_EQ(shown, Expected().CellText(row, column)) << row << "," << column;
    }
  }
}

// A minimal workbook as a writer other than ours lays it out; the cases
// change one part.
struct Book {
  std::string relations =
      R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
      R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>)";
  std::string workbook =
      R"(<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">)"
      R"(<sheets><sheet name="Data" sheetId="1" r:id="rId1"/></sheets></workbook>)";
  std::string workbookRelations =
      R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
      R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/>)"
      R"(<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" Target="sharedStrings.xml"/></Relationships>)";
  std::string strings =
      R"(<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><si><t>first</t></si></sst>)";
  std::string sheetData = R"(<row r="1"><c r="A1" t="s"><v>0</v></c></row>)";

  Parts ToParts() const {
    return {{"[Content_Types].xml",
             R"(<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">)"
             R"(<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>)"
             R"(<Default Extension="xml" ContentType="application/xml"/>)"
             R"(<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>)"
             R"(<Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>)"
             R"(<Override PartName="/xl/sharedStrings.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/></Types>)"},
            {"_rels/.rels", relations},
            {"xl/workbook.xml", workbook},
            {"xl/_rels/workbook.xml.rels", workbookRelations},
            {"xl/sharedStrings.xml", strings},
            {"xl/worksheets/sheet1.xml", Sheet(sheetData)}};
  }
  static std::string Sheet(const std::string& data) {
    return R"(<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>)" +
           data + "</sheetData></worksheet>";
  }
};

struct ShapeCase {
  const char* name;
  Book book;
  std::vector<std::tuple<int, int, std::string>> expected;
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

Book With(void (*change)(Book*)) {
  Book b;
  change(&b);
  return b;
}

const ShapeCase kShapes[] = {
    {"SharedInlineNumberBooleanFormula",
     With([](Book* b) {
       b->sheetData =
           R"(<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="inlineStr"><is><t>inline</t></is></c>)"
           R"(<c r="C1"><v>2.5</v></c><c r="D1" t="b"><v>1</v></c><c r="E1" t="e"><v>#N/A</v></c></row>)"
           R"(<row r="3"><c r="A3" t="str"><f>A1&amp;"!"</f><v>first!</v></c><c r="B3"><f>1+1</f><v>2</v></c>)"
           R"(<c r="C3" s="1"/><c r="D3" t="s"/></row>)";
     }),
     {{0, 0, "first"}, {0, 1, "inline"}, {0, 2, "2.5"}, {0, 3, "TRUE"}, {0, 4, "#N/A"},
      {2, 0, "first!"}, {2, 1, "2"}}},
    {"RichTextRunsWithoutPhonetics",
     With([](Book* b) {
       b->strings =
           R"(<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><si><r><rPr><b/></rPr><t>bo</t></r>)"
           R"(<r><t xml:space="preserve">ld </t></r><rPh sb="0" eb="1"><t>PHONETIC</t></rPh></si></sst>)";
     }),
     {{0, 0, "bold "}}},
    {"EscapedCharacters",
     With([](Book* b) {
       b->sheetData =
           R"(<row r="1"><c r="A1" t="inlineStr"><is><t>a_x000D__x000A_b</t></is></c>)"
           R"(<c r="B1" t="inlineStr"><is><t>_x005F_x0041_</t></is></c><c r="C1" t="inlineStr"><is><t>_xZZZZ_</t></is></c></row>)";
     }),
     {{0, 0, "a\r\nb"}, {0, 1, "_x0041_"}, {0, 2, "_xZZZZ_"}}},
    {"CellsAndRowsWithoutReferences",
     With([](Book* b) {
       b->sheetData =
           R"(<row><c t="inlineStr"><is><t>a</t></is></c><c t="inlineStr"><is><t>b</t></is></c></row>)"
           R"(<row><c/><c t="inlineStr"><is><t>c</t></is></c></row>)";
     }),
     {{0, 0, "a"}, {0, 1, "b"}, {1, 1, "c"}}},
    {"PrefixedNamesAndAbsoluteTargets",
     With([](Book* b) {
       b->workbookRelations =
           R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
           R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="/xl/worksheets/sheet1.xml"/>)"
           R"(<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" Target="/xl/sharedStrings.xml"/></Relationships>)";
       b->strings =
           R"(<x:sst xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><x:si><x:t>pre</x:t></x:si></x:sst>)";
     }),
     {{0, 0, "pre"}}},
    {"ChartSheetFirst",
     With([](Book* b) {
       b->workbook =
           R"(<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">)"
           R"(<sheets><sheet name="Chart" sheetId="2" r:id="rId3"/><sheet name="Data" sheetId="1" r:id="rId1"/></sheets></workbook>)";
       b->workbookRelations.insert(
           b->workbookRelations.size() - std::string("</Relationships>").size(),
           R"(<Relationship Id="rId3" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/chartsheet" Target="chartsheets/sheet1.xml"/>)");
     }),
     {{0, 0, "first"}}},
};

class XlsxShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(XlsxShape, ReadsAsSpreadsheetsShowIt) {
  testsupport::TempDir dir;
  const std::string path = dir / "book.xlsx";
  std::string error;
  ASSERT_TRUE(workbooktest::WriteZipParts(path, GetParam().book.ToParts(), &error)) << error;
  workbook::Workbook book;
  const workbook::Status loaded = book.Load(path);
  ASSERT_TRUE(loaded.ok) << loaded.message;
  const workbook::Sheet& sheet = *book.GetSheet(0);
  EXPECT_EQ(sheet.Name(), "Data");
  EXPECT_EQ(sheet.Cells().size(), GetParam().expected.size());
  for (const auto& [row, column, text] : GetParam().expected)
    EXPECT_EQ(sheet.CellText(row, column), text) << row << "," << column;
}

INSTANTIATE_TEST_SUITE_P(Writers, XlsxShape, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
  const char* name;
  Parts (*file)();
  const char* reason;
  bool encryptedFlag = false;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

Parts WithSheetData(const std::string& data) {
  Book b;
  b.sheetData = data;
  return b.ToParts();
}

Parts WithPart(const std::string& name, const std::string& content) {
  Parts parts = Book().ToParts();
  for (auto& [n, c] : parts)
    if (n == name) c = content;
  return parts;
}

const RefusedCase kRefused[] = {
    {"EntityExpansion",
     [] {
       return WithPart("xl/sharedStrings.xml",
                       R"(<?xml version="1.0"?><!DOCTYPE sst [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;">]>)"
                       R"(<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><si><t>&b;</t></si></sst>)");
     },
     "document type declaration"},
    {"ExternalEntity",
     [] {
       return WithPart("xl/workbook.xml",
                       R"(<?xml version="1.0"?><!DOCTYPE workbook SYSTEM "file:///etc/passwd"><workbook/>)");
     },
     "document type declaration"},
    {"EncryptedEntries", [] { return Book().ToParts(); }, "is encrypted", true},
    {"NotWellFormed", [] { return WithPart("xl/workbook.xml", "<workbook><sheets></workbook>"); },
     "xl/workbook.xml line 1: mismatched tag"},
    {"RowBeyondTheLimit",
     [] { return WithSheetData(R"(<row r="65537"><c r="A65537"><v>1</v></c></row>)"); },
     "cell A65537 lies beyond the 65536 rows"},
    {"ColumnBeyondTheLimit",
     [] { return WithSheetData(R"(<row r="1"><c r="IW1"><v>1</v></c></row>)"); },
     "cell IW1 lies beyond the 256 columns"},
    {"MissingSharedString",
     [] { return WithSheetData(R"(<row r="1"><c r="A1" t="s"><v>7</v></c></row>)"); },
     "cell A1 refers to shared string \"7\" of 1"},
    {"NumberNotFinite",
     [] { return WithSheetData(R"(<row r="1"><c r="A1"><v>1e999</v></c></row>)"); },
     "cell A1: \"1e999\" is not a finite number"},
    {"ReferenceOutOfItsRow",
     [] { return WithSheetData(R"(<row r="2"><c r="A1"><v>1</v></c></row>)"); },
     "cell reference \"A1\" is not valid in row 2"},
    {"TextOverTheCellLimit",
     [] {
       return WithSheetData(R"(<row r="1"><c r="A1" t="inlineStr"><is><t>)" + std::string(40000, 'x') +
                            "</t></is></c></row>");
     },
     "a text longer than the 32767 characters"},
    {"DeepNesting",
     [] {
       std::string deep;
       for (int i = 0; i < 100; ++i) deep += "<d>";
       for (int i = 0; i < 100; ++i) deep += "</d>";
       return WithPart("xl/workbook.xml", "<workbook>" + deep + "</workbook>");
     },
     "elements nest too deeply"},
    {"RelationLeavesTheArchive",
     [] {
       return WithPart("xl/_rels/workbook.xml.rels",
                       R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
                       R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="../../../etc/passwd"/></Relationships>)");
     },
     "outside the archive"},
    {"NoWorkbookInside", [] { return Parts{{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"}}; },
     "not an Office Open XML workbook"},
    // Names from the archive and values from its XML are shown with their
    // line breaks escaped, so the reason stays one line.
    {"EntryNameWithLineBreak",
     [] {
       Parts parts = Book().ToParts();
       parts.insert(parts.begin(), {"evil\nname", "x"});
       return parts;
     },
     "entry evil\\012name of ", true},
    {"PartNameWithLineBreak",
     [] {
       return WithPart("xl/_rels/workbook.xml.rels",
                       R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
                       R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/she&#10;et1.xml"/></Relationships>)");
     },
     "she\\012et1.xml"},
};

class XlsxRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(XlsxRefused, NamesTheFileAndTheReasonAndLeavesItAlone) {
  testsupport::TempDir dir;
  const std::string path = dir / "hostile_Russian.xlsx";
  std::string error;
  ASSERT_TRUE(workbooktest::WriteZipParts(path, GetParam().file(), &error, GetParam().encryptedFlag))
      << error;
  const std::string before = testsupport::ReadFile(path);
  workbook::Workbook book;
  ASSERT_NE(book.AddSheet("Kept"), nullptr);
  const workbook::Status loaded = book.Load(path);
  EXPECT_FALSE(loaded.ok);
  EXPECT_NE(loaded.message.find(path), std::string::npos) << loaded.message;
  EXPECT_NE(loaded.message.find(GetParam().reason), std::string::npos) << loaded.message;
  EXPECT_EQ(loaded.message.find('\n'), std::string::npos) << loaded.message;
  // A failed load leaves the workbook as it was, and the file as it was.
  ASSERT_EQ(book.SheetCount(), 1);
  EXPECT_EQ(book.GetSheet(0)->Name(), "Kept");
  EXPECT_EQ(testsupport::ReadFile(path), before);
}

INSTANTIATE_TEST_SUITE_P(Files, XlsxRefused, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

// A workbook saved with a password is a compound file holding the package
// encrypted; named .xlsx or .xls it is refused as encrypted.
TEST(XlsxEncrypted, PasswordProtectedPackageIsRefusedAsEncrypted) {
  std::vector<std::uint8_t> file;
  ASSERT_TRUE(workbook::cfb::WriteWorkbookFile(std::vector<std::uint8_t>(600, 0x5A), &file,
                                               "EncryptedPackage")
                  .ok);
  testsupport::TempDir dir;
  for (const char* name : {"locked_English.xlsx", "locked_English.xls"}) {
    const std::string path = dir / name;
    testsupport::WriteFile(path, std::string(file.begin(), file.end()));
    workbook::Workbook book;
    const workbook::Status loaded = book.Load(path);
    EXPECT_FALSE(loaded.ok);
    EXPECT_NE(loaded.message.find(path + ": the workbook is encrypted"), std::string::npos)
        << loaded.message;
  }
}

// What is neither archive nor compound file is refused as such when named
// .xlsx; a truncated archive is damaged, not empty.
TEST(XlsxRefusedFile, NamesWhatTheFileIsNot) {
  testsupport::TempDir dir;
  workbook::Workbook good;
  ASSERT_TRUE(good.AddSheet("S")->WriteText(0, 0, "x").ok);
  ASSERT_TRUE(good.Save(dir / "good.xlsx").ok);
  const std::string whole = testsupport::ReadFile(dir / "good.xlsx");
  const struct {
    const char* name;
    std::string content;
    const char* reason;
  } cases[] = {
      {"text_Russian.xlsx", "Menu.Title=Главное\r\n", "not an Office Open XML workbook"},
      {"cut_Russian.xlsx", whole.substr(0, whole.size() / 2), "cut_Russian.xlsx"},
      {"empty_Russian.xlsx", "", "empty_Russian.xlsx"},
  };
  for (const auto& c : cases) {
    const std::string path = dir / c.name;
    testsupport::WriteFile(path, c.content);
    workbook::Workbook book;
    const workbook::Status loaded = book.Load(path);
    EXPECT_FALSE(loaded.ok) << c.name;
    EXPECT_NE(loaded.message.find(path), std::string::npos) << loaded.message;
    EXPECT_NE(loaded.message.find(c.reason), std::string::npos) << loaded.message;
    EXPECT_EQ(testsupport::ReadFile(path), c.content) << c.name;
  }
}

// The format follows the name the operator gave; an .xlsx save leaves no
// file beside the target when it fails.
TEST(XlsxSave, FormatFollowsTheNameAndAFailedSaveLeavesTheOldFile) {
  testsupport::TempDir dir;
  workbook::Workbook book;
  ASSERT_TRUE(book.AddSheet("S")->WriteText(0, 0, "x").ok);
  for (const char* name : {"a.xlsx", "b.XLSX", "c.xls", "d.xlsx.xls"}) {
    ASSERT_TRUE(book.Save(dir / name).ok) << name;
    const std::string head = testsupport::ReadFile(dir / name).substr(0, 2);
    EXPECT_EQ(head == "PK", workbook::IsXlsxPath(name)) << name;
    workbook::Workbook again;
    ASSERT_TRUE(again.Load(dir / name).ok) << name;
    EXPECT_EQ(again.GetSheet(0)->CellText(0, 0), "x");
  }
  testsupport::WriteFile(dir / "old.xlsx", "old bytes");
  workbook::Workbook empty;
  EXPECT_FALSE(empty.Save(dir / "old.xlsx").ok);
  EXPECT_EQ(testsupport::ReadFile(dir / "old.xlsx"), "old bytes");
  EXPECT_EQ(testsupport::ListEntries(dir.path()).size(), 5u);
}

}  // namespace
