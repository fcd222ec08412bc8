// Damaged and hostile files: each gives a clear error, no crash and no
// hang, and leaves a loaded workbook as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "biff_builder.h"
#include "test_support.h"
#include "transloom/workbook/byte_io.h"
#include "transloom/workbook/workbook.h"

namespace {

using namespace workbooktest;
namespace biff = workbook::biff;

Bytes GoodStream() {
  return BuildStream({}, Sst(2, {"first", "second"}),
                     {{"Data", Cat({LabelSst(0, 0, 0), LabelSst(1, 0, 1)})}});
}

// A valid workbook of ours, large enough that its stream lives in the
// compound file's regular sectors.
Bytes GoodFile() {
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  for (int r = 0; r < 400; ++r) sheet->WriteText(r, 0, "row " + std::to_string(r));
  Bytes file;
  book.SaveToMemory(&file);
  return file;
}

// Points the FAT entry of the "Workbook" stream's first sector at itself.
Bytes WithFatLoop(Bytes file) {
  using workbook::bytes::Get16;
  using workbook::bytes::Get32;
  const std::size_t sector = std::size_t{1} << Get16(file.data() + 0x1E);
  const std::uint32_t directory = Get32(file.data() + 0x30);
  const std::uint32_t firstFat = Get32(file.data() + 0x4C);
  auto at = [&](std::uint32_t s) { return (s + 1) * sector; };
  for (std::size_t e = 0; e < sector / 128; ++e) {
    const std::uint8_t* entry = file.data() + at(directory) + e * 128;
    if (Get16(entry) != 'W' || Get16(entry + 2) != 'o') continue;
    const std::uint32_t start = Get32(entry + 0x74);
    const Bytes self = Le32(start);
    std::copy(self.begin(), self.end(), file.begin() + static_cast<std::ptrdiff_t>(at(firstFat) + start * 4));
    return file;
  }
  ADD_FAILURE() << "no Workbook entry in the first directory sector";
  return file;
}

Bytes SheetAt(std::int64_t offset) {
  return BuildStream({}, Sst(1, {"x"}), {{"Data", LabelSst(0, 0, 0), offset}});
}

struct MalformedCase {
  const char* name;
  std::function<Bytes()> make;
  const char* expectedError;  // part of the message
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

const MalformedCase kMalformed[] = {
    {"EmptyFile", [] { return Bytes{}; }, "not an Excel 97-2003 workbook"},
    {"TruncatedHeader", [] { Bytes f = GoodFile(); f.resize(300); return f; }, "not an Excel 97-2003 workbook"},
    {"TextFile", [] { const std::string t = "key=value\n"; return Bytes(t.begin(), t.end()); },
     "not an Excel 97-2003 workbook"},
    {"TruncatedBody", [] { Bytes f = GoodFile(); f.resize(f.size() / 2); return f; },
     "not an Excel 97-2003 workbook"},
    {"FatLoop", [] { return WithFatLoop(GoodFile()); }, "Workbook"},
    {"NoWorkbookStream", [] { return WrapInCompoundFile(GoodStream(), "Other"); }, "no \"Workbook\" stream"},
    // A "Book" stream is judged by its BOF record: BIFF5 inside is refused.
    {"Biff5BookStream",
     [] {
       return WrapInCompoundFile(Cat({Bof(biff::kBofTypeGlobals, biff::kBofVersionBiff5), Eof()}),
                                 "Book");
     },
     "BIFF5"},
    {"Biff4Bof",
     [] { return WrapInCompoundFile(Record(biff::kRecordBofBiff4, Bytes(6, 0)), "Book"); },
     "BIFF2-BIFF4"},
    {"Biff5Bof",
     [] { return WrapInCompoundFile(Cat({Bof(biff::kBofTypeGlobals, biff::kBofVersionBiff5), Eof()})); },
     "BIFF5"},
    {"RecordPastStreamEnd",
     [] {
       Bytes s = GoodStream();
       const Bytes tail = Cat({Le16(biff::kRecordLabelSst), Le16(0x2000), Le16(0)});
       s.insert(s.end() - 4, tail.begin(), tail.end());  // before the last EOF
       return WrapInCompoundFile(s);
     },
     "past the end of the workbook stream"},
    {"HalfRecordHeader",
     [] {
       Bytes s = GoodStream();
       s.resize(s.size() - 4);  // the sheet's EOF becomes half a header
       s.push_back(0x0A);
       return WrapInCompoundFile(s);
     },
     "record header at offset"},
    // A declared count above what the table holds is read as far as it
    // goes; a cell naming a string past that is still refused.
    {"SstCountLargerThanStringsCellPastThem",
     [] { return WrapInCompoundFile(BuildStream({}, Sst(5, {"a", "b"}), {{"Data", LabelSst(0, 0, 3)}})); },
     "refers to shared string 3 of 2"},
    {"SstStringPastItsRecord",
     [] {
       const Bytes sst = Record(biff::kRecordSst, Cat({Le32(1), Le32(1), Le16(100), Bytes{0}, Bytes(10, 'z')}));
       return WrapInCompoundFile(BuildStream({}, sst, {{"Data", {}}}));
     },
     "shared string 0 runs past"},
    {"SheetOutsideStream", [] { return WrapInCompoundFile(SheetAt(0x7FFFFFF0)); }, "outside the workbook stream"},
    {"SheetPointsIntoGlobals", [] { return WrapInCompoundFile(SheetAt(0)); }, "substream type"},
    {"SheetPointsMidRecord", [] { return WrapInCompoundFile(SheetAt(6)); }, "sheet \"Data\""},
    {"SheetsOverlap",
     [] {
       // Both sheet records point at the same substream.
       Bytes s = BuildStream({}, Sst(1, {"x"}), {{"A", LabelSst(0, 0, 0)}, {"B", {}}});
       const std::size_t firstField = 20 + biff::kRecordHeaderSize;  // after the globals BOF
       const std::size_t secondField = firstField + 8 + 1 + biff::kRecordHeaderSize;
       std::copy(s.begin() + firstField, s.begin() + firstField + 4, s.begin() + secondField);
       return WrapInCompoundFile(s);
     },
     "overlap"},
    {"SharedStringIndexTooLarge",
     [] { return WrapInCompoundFile(BuildStream({}, Sst(1, {"x"}), {{"Data", LabelSst(0, 0, 7)}})); },
     "refers to shared string 7 of 1"},
    {"ColumnBeyondTheSheet",
     [] { return WrapInCompoundFile(BuildStream({}, Sst(1, {"x"}), {{"Data", LabelSst(0, 300, 0)}})); },
     "column 300"},
    {"ShortCellRecord",
     [] { return WrapInCompoundFile(BuildStream({}, Sst(1, {"x"}), {{"Data", Record(biff::kRecordNumber, Le32(0))}})); },
     "too short"},
    {"Encrypted",
     [] { return WrapInCompoundFile(BuildStream(Record(biff::kRecordFilePass, Bytes(54, 0)), {}, {})); },
     "password"},
    {"GlobalsWithoutEof",
     [] { Bytes s = Cat({Bof(biff::kBofTypeGlobals), Record(biff::kRecordCodepage, Le16(1200))}); return WrapInCompoundFile(s); },
     "without an EOF"},
    {"SheetWithoutEof",
     [] { Bytes s = GoodStream(); s.resize(s.size() - 4); return WrapInCompoundFile(s); }, "without an EOF"},
};

class MalformedFile : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedFile, ClearErrorAndWorkbookUnchanged) {
  workbook::Workbook book;
  book.AddSheet("Kept")->WriteText(0, 0, "old");
  const Bytes file = GetParam().make();
  const workbook::Status status = book.LoadFromMemory(file.data(), file.size());
  EXPECT_FALSE(status.ok);
  EXPECT_FALSE(status.message.empty());
  EXPECT_NE(status.message.find(GetParam().expectedError), std::string::npos) << status.message;
  ASSERT_EQ(book.SheetCount(), 1);
  EXPECT_EQ(book.GetSheet(0)->CellText(0, 0), "old");
}

INSTANTIATE_TEST_SUITE_P(Cases, MalformedFile, ::testing::ValuesIn(kMalformed),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MalformedFile, LoadNamesTheFile) {
  testsupport::TempDir dir;
  workbook::Workbook book;
  const workbook::Status missing = book.Load(dir / "absent.xls");
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.message.find("absent.xls"), std::string::npos);
  testsupport::WriteFile(dir / "text.xls", "not a workbook");
  const workbook::Status text = book.Load(dir / "text.xls");
  EXPECT_FALSE(text.ok);
  EXPECT_EQ(text.message.rfind(dir / "text.xls: ", 0), 0u) << text.message;
}

TEST(MalformedFile, OversizedFileIsRefusedBeforeReading) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "huge.xls", "");
  std::filesystem::resize_file(dir / "huge.xls", workbook::kMaxFileBytes + 1);  // sparse
  workbook::Workbook book;
  const workbook::Status status = book.Load(dir / "huge.xls");
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.message.find("larger than the 512 MiB"), std::string::npos) << status.message;
}

}  // namespace
