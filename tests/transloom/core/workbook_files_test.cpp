// Export workbooks, import text and device language files, checked against
// xlrd (reader) and xlwt (an independent writer standing for the other
// programs translators save with).
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/platform/files.h"
#include "peer_tools.h"
#include "test_support.h"
#include "transloom/core/convert.h"
#include "transloom/core/export.h"
#include "transloom/core/import.h"
#include "transloom/workbook/workbook.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using transloom::LanguageMap;
using workbooktest::PeerSheet;

const LanguageMap kRussian = {
    {"Cancel", "Отмена"}, {"Key ", " spaced"},  // spaces around "=" as the device sent them
    {"OK", "ОК"},         {"Only.Russian", "Только"}, {"apply", "Применить"},
};
const LanguageMap kEnglish = {
    {"Cancel", "Cancel"},
    {"Key ", " spaced"},
    {"OK", "OK"},
    {"apply", "Apply"},
    {"Only.English", "never written"},
};

void RequireXlrd() {
  if (!workbooktest::HavePythonModule("xlrd")) GTEST_SKIP() << "python3-xlrd is missing";
}

std::vector<PeerSheet> ReadPeer(const std::string& path) {
  std::vector<PeerSheet> sheets;
  std::string error;
  EXPECT_TRUE(workbooktest::ReadWithXlrd(path, &sheets, &error)) << error;
  return sheets;
}

std::string PeerText(const PeerSheet& sheet, int row, int column) {
  auto it = sheet.cells.find({row, column});
  if (it == sheet.cells.end()) return "<none>";
  if (it->second.kind != workbook::CellKind::kText) return "<not text>";
  return it->second.text;
}

int PeerColumns(const PeerSheet& sheet) {
  int columns = 0;
  for (const auto& [pos, cell] : sheet.cells) columns = std::max(columns, pos.second + 1);
  return columns;
}

TEST(ExportWorkbook, EnglishWritesKeyAndTextOnly) {
  RequireXlrd();
  TempDir dir;
  const std::string path = dir / "d_20260101000000_English.xls";
  LanguageMap english = kEnglish;
  english["CJK"] = "设置 設定 設定する";
  english["Arabic"] = "إعدادات";
  std::string why;
  ASSERT_TRUE(transloom::WriteExportWorkbook(path, true, english, {}, &why)) << why;
  const std::vector<PeerSheet> sheets = ReadPeer(path);
  ASSERT_EQ(sheets.size(), 1u);
  EXPECT_EQ(sheets[0].name, "Sheet1");
  EXPECT_EQ(PeerColumns(sheets[0]), 2);
  int row = 0;
  for (const auto& [key, text] : english) {
    EXPECT_EQ(PeerText(sheets[0], row, 0), key);
    EXPECT_EQ(PeerText(sheets[0], row, 1), text);
    ++row;
  }
  EXPECT_EQ(sheets[0].cells.size(), 2 * english.size());
}

TEST(ExportWorkbook, OtherLanguageHasEnglishReference) {
  RequireXlrd();
  TempDir dir;
  const std::string path = dir / "d_20260101000000_Russian.xls";
  std::string why;
  ASSERT_TRUE(transloom::WriteExportWorkbook(path, false, kRussian, kEnglish, &why)) << why;
  const std::vector<PeerSheet> sheets = ReadPeer(path);
  ASSERT_EQ(sheets.size(), 1u);
  const PeerSheet& s = sheets[0];
  struct Row {
    const char* key;
    const char* english;
    const char* text;
  } rows[] = {
      {"Cancel", "Cancel", "Отмена"}, {"Key ", " spaced", " spaced"},  {"OK", "OK", "ОК"},
      {"Only.Russian", "", "Только"}, {"apply", "Apply", "Применить"},
  };
  for (int r = 0; r < 5; ++r) {
    EXPECT_EQ(PeerText(s, r, 0), rows[r].key);
    EXPECT_EQ(PeerText(s, r, 1), rows[r].english) << "an empty text cell where English lacks it";
    EXPECT_EQ(PeerText(s, r, 2), rows[r].text);
  }
  EXPECT_EQ(s.cells.size(), 15u);
}

TEST(ExportWorkbook, KeepsCellsOutsideTheWrittenOnes) {
  RequireXlrd();
  TempDir dir;
  const std::string path = dir / "old_Russian.xls";
  std::string error;
  ASSERT_TRUE(
      workbooktest::WriteWithXlwt("b = xlwt.Workbook()\n"
                                  "s = b.add_sheet('Translator')\n"
                                  "for r in range(8):\n"
                                  "    s.write(r, 0, 'oldkey%d' % r)\n"
                                  "    s.write(r, 2, 'oldtext%d' % r)\n"
                                  "s.write(1, 3, 'note')\n"
                                  "s.write(9, 0, 42)\n"
                                  "b.add_sheet('Second').write(0, 0, 'kept')\n"
                                  "b.save(path)\n",
                                  path, &error))
      << error;
  std::string why;
  ASSERT_TRUE(transloom::WriteExportWorkbook(path, false, kRussian, kEnglish, &why)) << why;
  const std::vector<PeerSheet> sheets = ReadPeer(path);
  ASSERT_EQ(sheets.size(), 2u);
  const PeerSheet& s = sheets[0];
  EXPECT_EQ(s.name, "Translator");
  EXPECT_EQ(PeerText(s, 0, 0), "Cancel");
  EXPECT_EQ(PeerText(s, 4, 2), "Применить");
  EXPECT_EQ(PeerText(s, 1, 3), "note");
  EXPECT_EQ(PeerText(s, 5, 0), "oldkey5") << "rows below the last written one stay";
  EXPECT_EQ(PeerText(s, 7, 2), "oldtext7");
  ASSERT_TRUE(s.cells.count({9, 0}));
  EXPECT_EQ(s.cells.at({9, 0}).number, 42);
  EXPECT_EQ(PeerText(sheets[1], 0, 0), "kept");
}

TEST(ExportWorkbook, TooManyRowsWritesNothing) {
  TempDir dir;
  const std::string path = dir / "big_English.xls";
  testsupport::WriteFile(path, "previous content");
  LanguageMap huge;
  for (int i = 0; i < 100000; ++i) huge["k" + std::to_string(i)] = "t";
  std::string why;
  EXPECT_FALSE(transloom::WriteExportWorkbook(path, true, huge, {}, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(ReadFile(path), "previous content");
}

// A workbook saved by another program: numbers typed into cells, empty keys,
// missing text cells, rows in the translator's order.
const char* const kTranslatorBook =
    "b = xlwt.Workbook(encoding='utf-8')\n"
    "s = b.add_sheet('Sheet1')\n"
    "rows = [('zeta', 'Zeta', 'Зета'), ('', 'x', 'dropped'), ('Alpha', 'Alpha', None),\n"
    "        (7, 'Seven', 8.5), ('Key ', ' en', ' ру'), ('CJK', 'cjk', '设置'),\n"
    "        ('Arabic', 'ar', 'إعدادات')]\n"
    "for r, row in enumerate(rows):\n"
    "    for c, v in enumerate(row):\n"
    "        if v is not None: s.write(r, c, v)\n"
    "b.save(path)\n";

TEST(ImportText, FromAWorkbookOfAnotherProgram) {
  if (!workbooktest::HavePythonModule("xlwt")) GTEST_SKIP() << "python3-xlwt is missing";
  TempDir dir;
  struct Case {
    std::string path;
    std::string text;
  } cases[] = {
      {dir / "a_Russian.xls",
       "zeta=Зета\r\nAlpha=\r\n7=8.5\r\nKey = ру\r\nCJK=设置\r\nArabic=إعدادات\r\n"},
      {dir / "a_English.xls",
       "zeta=Zeta\r\nAlpha=Alpha\r\n7=Seven\r\nKey = en\r\nCJK=cjk\r\nArabic=ar\r\n"},
  };
  for (const Case& c : cases) {
    std::string error, text, why;
    ASSERT_TRUE(workbooktest::WriteWithXlwt(kTranslatorBook, c.path, &error)) << error;
    ASSERT_TRUE(transloom::ReadWorkbookText(c.path, &text, &why)) << why;
    EXPECT_EQ(text, c.text) << c.path;
  }
}

TEST(ImportText, NotAWorkbook) {
  TempDir dir;
  for (const std::string& content : {std::string("key=text\n"), std::string()}) {
    testsupport::WriteFile(dir / "x_Russian.xls", content);
    std::string text, why;
    EXPECT_FALSE(transloom::ReadWorkbookText(dir / "x_Russian.xls", &text, &why));
    EXPECT_FALSE(why.empty());
  }
  std::string text, why;
  EXPECT_FALSE(transloom::ReadWorkbookText(dir / "missing_Russian.xls", &text, &why));
}

// Every file below `folder`, with its content.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const platform::FolderEntry& e : testsupport::ListEntries(folder)) {
    const std::string path = platform::JoinPath(folder, e.name);
    if (e.isDirectory) {
      for (const auto& [name, content] : Snapshot(path)) files[e.name + "/" + name] = content;
    } else {
      files[e.name] = ReadFile(path);
    }
  }
  return files;
}

TEST(CreateLanguageFile, RussianWorkbookBecomesTheFileRussian) {
  TempDir dir;
  const std::string book = dir / "in/192.168.1.10_20260101000000_Russian.xls";
  std::string why;
  testsupport::WriteFile(dir / "in/.keep", "");
  ASSERT_TRUE(transloom::WriteExportWorkbook(book, false, kRussian, kEnglish, &why)) << why;
  testsupport::WriteFile(dir / "strings/Russian",
                         "old file, longer than the new one" + std::string(4000, 'x'));
  // A conversion killed earlier left its temporary file, which a build
  // would ship as one more language; one of a live run stays.
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_GT(gone, 0);
  ::waitpid(gone, nullptr, 0);
  const std::string killed = dir / ("strings/Russian.tmp-" + std::to_string(gone) + "-abcdef");
  const std::string live = dir / ("strings/German.tmp-" + std::to_string(::getpid()) + "-abcdef");
  testsupport::WriteFile(killed, "half a language");
  testsupport::WriteFile(live, "being written");
  std::string target;
  ASSERT_TRUE(transloom::CreateLanguageFile(book, dir / "strings", &target, &why)) << why;
  EXPECT_FALSE(testsupport::FileExists(killed));
  EXPECT_EQ(ReadFile(live), "being written");
  EXPECT_EQ(target, dir / "strings/Russian");
  EXPECT_EQ(ReadFile(target),
            "\xEF\xBB\xBF\r\nCancel=Отмена\r\nKey = spaced\r\nOK=ОК\r\nOnly.Russian=Только\r\n"
            "apply=Применить\r\n");
}

TEST(CreateLanguageFile, EmptySheetGivesTheHeaderOnly) {
  TempDir dir;
  workbook::Workbook empty;
  empty.AddSheet("Sheet1");
  ASSERT_TRUE(empty.Save(dir / "x_Thai.xls"));
  std::string target, why;
  testsupport::WriteFile(dir / "s/.keep", "");
  ASSERT_TRUE(transloom::CreateLanguageFile(dir / "x_Thai.xls", dir / "s", &target, &why)) << why;
  EXPECT_EQ(ReadFile(target), "\xEF\xBB\xBF\r\n");
}

TEST(CreateLanguageFile, SilentEndsWriteNothing) {
  TempDir dir;
  testsupport::WriteFile(dir / "s/keep", "k");
  testsupport::WriteFile(dir / "s/sub/keep", "k");
  workbook::Workbook book;
  book.AddSheet("Sheet1")->WriteText(0, 0, "k");
  auto save = [&](const std::string& path) {
    testsupport::WriteFile(path, "");
    ASSERT_TRUE(book.Save(path));
  };
  save(dir / "in/noUnderscore.xls");
  save(dir / "in/a_Upper.XLS");
  save(dir / "in/a_.xls");
  save(dir / "in_missing/Russian.xls");  // the last "_" lies in a folder name
  save(dir / "in/a_...xls");
  testsupport::WriteFile(dir / "in/notbook_Russian.xls", "k=v\r\n");
  struct Case {
    std::string book;
    std::string stringPath;
  } cases[] = {
      {dir / "in/noUnderscore.xls", dir / "s"}, {dir / "in/a_Upper.XLS", dir / "s"},
      {dir / "in/a_.xls", dir / "s"},           {dir / "in_missing/Russian.xls", dir / "s"},
      {dir / "in/a_...xls", dir / "s"},         {dir / "in/notbook_Russian.xls", dir / "s"},
      {dir / "in/a_Missing.xls", dir / "s"},    {dir / "in/noUnderscore.xls", ""},
      {dir / "in_missing/Russian.xls", ""},
  };
  const auto before = Snapshot(dir.path());
  for (const Case& c : cases) {
    std::string target, why;
    EXPECT_FALSE(transloom::CreateLanguageFile(c.book, c.stringPath, &target, &why)) << c.book;
    EXPECT_FALSE(why.empty()) << c.book;
  }
  EXPECT_EQ(Snapshot(dir.path()), before);
}

TEST(CreateLanguageFile, NamesThatLeaveTheFolderAreRefused) {
  TempDir dir;
  testsupport::WriteFile(dir / "strings/keep", "k");
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  sheet->WriteText(0, 0, "k");
  // A text as well: a sheet whose text column is empty everywhere is refused
  // before the name is even looked at.
  sheet->WriteText(0, 2, "v");
  testsupport::WriteFile(dir / "strings/a/b/keep", "k");
  // The last "_" lies in a folder name "x_..": the language name would be
  // "../../../escaped", which from strings/a/b lands on the workbook itself.
  testsupport::WriteFile(dir / "w/x_../keep", "");
  const std::string path = dir / "w/x_../../../escaped.xls";
  ASSERT_TRUE(book.Save(path));
  const auto before = Snapshot(dir.path());
  std::string target, why;
  EXPECT_FALSE(transloom::CreateLanguageFile(path, dir / "strings/a/b", &target, &why));
  EXPECT_FALSE(transloom::CreateLanguageFile(dir / "w/x_../keep_/escaped.xls", dir / "strings",
                                             &target, &why));
  EXPECT_EQ(Snapshot(dir.path()), before);
  // A subfolder that exists below the strings folder is a legal target.
  testsupport::WriteFile(dir / "strings/files/keep", "");
  testsupport::WriteFile(dir / "w/my_files/.keep", "");
  ASSERT_TRUE(book.Save(dir / "w/my_files/Russian.xls"));
  ASSERT_TRUE(
      transloom::CreateLanguageFile(dir / "w/my_files/Russian.xls", dir / "strings", &target, &why))
      << why;
  EXPECT_EQ(target, dir / "strings/files/Russian");
  EXPECT_EQ(ReadFile(target), "\xEF\xBB\xBF\r\nk=v\r\n");
}

}  // namespace

namespace {

TEST(CreateLanguageFile, AFullSheetOfTheFormat) {
  // 65536 rows is all an .xls sheet holds; every one becomes a line.
  TempDir dir;
  workbook::Workbook book;
  workbook::Sheet* sheet = book.AddSheet("Sheet1");
  for (int r = 0; r < workbook::kMaxRows; ++r) {
    ASSERT_TRUE(sheet->WriteText(r, 0, "key" + std::to_string(r)));
    ASSERT_TRUE(sheet->WriteText(r, 2, "текст"));
  }
  ASSERT_TRUE(book.Save(dir / "big_Russian.xls"));
  testsupport::WriteFile(dir / "s/.keep", "");
  std::string target, why;
  ASSERT_TRUE(transloom::CreateLanguageFile(dir / "big_Russian.xls", dir / "s", &target, &why))
      << why;
  const std::string file = ReadFile(target);
  std::size_t lines = 0;
  for (char c : file) lines += c == '\n';
  EXPECT_EQ(lines, 1u + workbook::kMaxRows);
  EXPECT_NE(file.find("\r\nkey65535=текст\r\n"), std::string::npos);
}

}  // namespace
