// transloom-cli dump: a workbook's sheet as tab-separated UTF-8 rows.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "transloom/workbook/workbook.h"

namespace {

std::string Cli() { return testsupport::AppDir() + "/bin/transloom-cli"; }

class DumpCli : public ::testing::Test {
 protected:
  void SetUp() override {
    workbook::Workbook book;
    workbook::Sheet* first = book.AddSheet("Sheet1");
    first->WriteText(0, 0, "key.a");
    first->WriteText(0, 1, "Сохранить");
    first->WriteText(0, 2, "录像 📹");
    first->WriteText(0, 4, "beyond column 2");
    first->WriteText(2, 0, "tab\there, line\nbreak, back\\slash");
    first->WriteNumber(2, 2, 2.5);
    workbook::Sheet* second = book.AddSheet("Other");
    second->WriteText(1, 1, "second sheet");
    ASSERT_TRUE(book.Save(path_).ok);
  }
  testsupport::TempDir dir_;
  std::string path_ = dir_ / "book.xls";
};

TEST_F(DumpCli, FirstSheetColumnsZeroToTwo) {
  const auto run = testsupport::RunCommand({Cli(), "dump", path_});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "key.a\tСохранить\t录像 📹\n"
            "\t\t\n"
            "tab\\there, line\\nbreak, back\\\\slash\t\t2.5\n");
}

TEST_F(DumpCli, OtherSheetAndAllColumns) {
  auto run = testsupport::RunCommand({Cli(), "dump", path_, "--sheet", "1"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "\t\t\n\tsecond sheet\t\n");
  run = testsupport::RunCommand({Cli(), "dump", "--all-columns", path_});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "key.a\tСохранить\t录像 📹\t\tbeyond column 2");
}

struct FailureCase {
  const char* name;
  std::vector<std::string> args;  // "@" stands for the workbook's path
  const char* message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class DumpCliFailure : public DumpCli, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DumpCliFailure, OneLineOnStandardErrorAndNonZeroStatus) {
  testsupport::WriteFile(dir_ / "text.xls", "key=value\n");
  std::vector<std::string> argv = {Cli(), "dump"};
  for (const std::string& a : GetParam().args)
    argv.push_back(a == "@" ? path_ : a == "@text" ? dir_ / "text.xls" : a == "@missing" ? dir_ / "no.xls" : a);
  const auto run = testsupport::RunCommand(argv);
  EXPECT_NE(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
}

const FailureCase kFailures[] = {
    {"NoFile", {}, "expected one FILE.xls"},
    {"MissingFile", {"@missing"}, "no.xls: cannot read"},
    {"NotAWorkbook", {"@text"}, "text.xls: not an Excel 97-2003 workbook"},
    {"NoSuchSheet", {"@", "--sheet", "2"}, "no sheet 2 (the workbook has 2)"},
    {"SheetNotANumber", {"@", "--sheet", "x"}, "--sheet needs a sheet number"},
};

INSTANTIATE_TEST_SUITE_P(Cases, DumpCliFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
