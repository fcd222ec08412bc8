// The device's language text into a LanguageMap, file-name rules and the
// login helpers that need no device.
#include <gtest/gtest.h>

#include <cstring>

#include "common/uitext/language_table.h"
#include "transloom/core/file_names.h"
#include "transloom/core/language_map.h"
#include "transloom/core/session.h"

namespace {

using transloom::LanguageMap;

TEST(ParseLanguageText, LinesToEntries) {
  struct Case {
    const char* name;
    std::string text;
    LanguageMap expected;
  } cases[] = {
      {"spaces around '=' stay, ends trimmed", " \tKey = Text \r\n", {{"Key ", " Text"}}},
      {"split at the first '='", "a=b=c\n", {{"a", "b=c"}}},
      {"empty key", "=orphan\n", {{"", "orphan"}}},
      {"lines without '=' and blank lines skipped", "no equals\n\n  \r\nk=v\n", {{"k", "v"}}},
      {"last text of a repeated key wins", "k=first\nk=second\n", {{"k", "second"}}},
      {"last line without line feed", "a=1\nb=2", {{"a", "1"}, {"b", "2"}}},
      {"vertical tab and form feed trimmed", "\v\fk=v\f\v\n", {{"k", "v"}}},
      {"inner CR kept", "k=a\rb\n", {{"k", "a\rb"}}},
      {"empty text", "", {}},
  };
  for (const Case& c : cases) {
    LanguageMap map{{"old", "entry"}};
    transloom::ParseLanguageText(c.text, &map);
    EXPECT_EQ(map, c.expected) << c.name;
  }
}

TEST(ParseLanguageText, KeysInByteOrder) {
  LanguageMap map;
  transloom::ParseLanguageText("zeta=1\nAlpha=2\nalpha=3\nZ=4\nab=5\na=6\n\xC3\xA9=7\n", &map);
  std::vector<std::string> keys;
  for (const auto& [k, v] : map) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "Z", "a", "ab", "alpha", "zeta", "\xC3\xA9"}));
}

TEST(RepairUtf8, ReplacesMalformedSequencesOnly) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string in, out;
  } cases[] = {
      {"Привет 你好 مرحبا 😀", "Привет 你好 مرحبا 😀"},
      {"a\xFF"
       "b",
       "a" + fffd + "b"},
      {"\xC0\xAF", fffd + fffd},                        // overlong '/'
      {"\xED\xA0\x80", fffd + fffd + fffd},             // surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // past U+10FFFF
      {"k=\xE4\xBD", "k=" + fffd + fffd},               // cut off at the end
      {std::string("a=b\0junk", 8), "a=b"},             // zero padding ends the text
  };
  for (const Case& c : cases) EXPECT_EQ(transloom::RepairUtf8(c.in), c.out);
}

TEST(FileNames, ExportNameFromTimeAndLanguage) {
  std::tm when{};
  when.tm_year = 2016 - 1900;
  when.tm_mon = 2;
  when.tm_mday = 3;
  when.tm_hour = 14;
  when.tm_min = 5;
  when.tm_sec = 9;
  EXPECT_EQ(transloom::ExportFileName("192.168.1.10", when, "English"),
            "192.168.1.10_20160303140509_English.xls");
  const std::string name = transloom::ExportFileName("10.0.0.1", when, "Russian");
  EXPECT_EQ(transloom::WorkbookLanguageName("/home/t/" + name), "Russian") << "round trip";
}

TEST(FileNames, LanguageNameAndColumnOfPath) {
  struct Case {
    const char* path;
    const char* language;
    int column;
  } cases[] = {
      {"/w/192.168.1.10_20160303140509_Russian.xls", "Russian", 2},
      {"/w/192.168.1.10_20160303140509_English.xls", "English", 1},
      // Folders never choose the column, however they are written.
      {"/English/a_Russian.xls", "Russian", 2},
      {"/home/t/EnglishTeam/x_Russian.xls", "Russian", 2},
      {"EnglishTeam/x_Russian.xls", "Russian", 2},
      {"../EnglishTeam/x_Russian.xls", "Russian", 2},
      {"/w/Team_English.xls", "English", 1},
      {"/w/EnglishDraft.xls", "", 1},
      {"/w/Russian.xls", "", 2},
      {"/w/a_Russian.XLS", "", 2},
      {"/w/a_Russian.xlsx", "Russian", 2},
      {"/w/a.xls.d/b_Russian.xls", "", 2},
      {"/w/my_files/Russian.xls", "files/Russian", 2},
      {"/w/a_.xls", "", 2},
      {"/w/a_english.xls", "english", 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(transloom::WorkbookLanguageName(c.path), c.language) << c.path;
    EXPECT_EQ(transloom::TextColumnForPath(c.path), c.column) << c.path;
  }
}

TEST(FileNames, NamesThatStayInsideTheFolder) {
  for (const char* ok : {"Russian", "files/Russian", "a b", "x..y"})
    EXPECT_TRUE(transloom::IsNameInsideFolder(ok)) << ok;
  for (const char* bad : {"", "/etc/passwd", "..", "../x", "a/../../x", "a//b", "a/", "./a", "a/."})
    EXPECT_FALSE(transloom::IsNameInsideFolder(bad)) << bad;
}

TEST(ParsePortText, ReadsLikeAtoi) {
  struct Case {
    const char* text;
    bool valid;
    int port;
  } cases[] = {
      {"34567", true, 34567},
      {"0", true, 0},
      {"", true, 0},
      {"abc", true, 0},
      {"  +80x", true, 80},
      {"\t\n443", true, 443},
      {"65535", true, 65535},
      {"65536", false, 0},
      {"-1", false, 0},
      {"-0", true, 0},
      {"99999999999999999999", false, 0},
      {"- 5", true, 0},
      {"12 34", true, 12},
  };
  for (const Case& c : cases) {
    std::uint16_t port = 7;
    EXPECT_EQ(transloom::ParsePortText(c.text, &port), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
}

TEST(LoginErrorText, EveryCodeWithoutLanguageFile) {
  uitext::CMultiLanguage::ReleaseInstance();
  uitext::CInitLanguage::ReleaseInstance();
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {0, "NetError"},         {7, "SystemBusy"},          {-10005, "Timeout"},
      {-11301, "PasswdError"}, {-11302, "UserNotExisted"}, {-11303, "Locked"},
      {-11304, "InBlackList"}, {-11305, "InUsed"},         {-11307, "NotFound"},
      {-11300, "UnknowError"}, {-11306, "UnknowError"},    {1, "UnknowError"},
  };
  for (const Case& c : cases) EXPECT_EQ(transloom::LoginErrorText(c.code), c.text) << c.code;
}

TEST(NameToLanguageId, TheDeviceTable) {
  const std::pair<const char*, int> table[] = {
      {"English", 0},    {"SimpChinese", 1}, {"TradChinese", 2}, {"Italian", 3},
      {"Spanish", 4},    {"Japanese", 5},    {"Russian", 6},     {"French", 7},
      {"German", 8},     {"Portugal", 9},    {"Turkey", 10},     {"Poland", 11},
      {"Romanian", 12},  {"Hungarian", 13},  {"Finnish", 14},    {"Farsi", 17},
      {"Thai", 19},      {"Greek", 20},      {"Vietnamese", 21}, {"Brazilian", 23},
      {"Hebrew", 24},    {"Indonesian", 25}, {"Arabic", 26},     {"Swedish", 27},
      {"Czech", 28},     {"Bulgarian", 29},  {"Slovakia", 30},   {"Dutch", 31},
      {"english", -1},   {"Korean", -1},     {"", -1},           {"Russian ", -1},
  };
  for (const auto& [name, id] : table) EXPECT_EQ(transloom::NameToLanguageId(name), id) << name;
}

LanguageListRecord RecordOf(std::int32_t count, const std::vector<std::string>& names) {
  LanguageListRecord r{};
  r.count = count;
  for (std::size_t i = 0; i < names.size(); ++i)
    std::memcpy(r.names[i], names[i].data(), std::min<std::size_t>(names[i].size(), 64));
  return r;
}

TEST(LanguageList, SortedLikeTheListBox) {
  const LanguageListRecord r =
      RecordOf(5, {"Russian", "english", "English", "Arabic", "SimpChinese", "NotCounted"});
  EXPECT_EQ(transloom::LanguageNamesOfRecord(r, sizeof r),
            (std::vector<std::string>{"Arabic", "English", "english", "Russian", "SimpChinese"}));
}

TEST(LanguageList, HostileRecordsStayInBounds) {
  const std::string full(64, 'L');  // no terminator inside the entry
  LanguageListRecord r = RecordOf(1000, {full, "B"});
  std::vector<std::string> names = transloom::LanguageNamesOfRecord(r, sizeof r);
  EXPECT_EQ(names.size(), 2u) << "128 entries at most, empty ones left out";
  EXPECT_EQ(names[1], full);
  r.count = -3;
  EXPECT_TRUE(transloom::LanguageNamesOfRecord(r, sizeof r).empty());
  r.count = 2;
  EXPECT_EQ(transloom::LanguageNamesOfRecord(r, 4 + 64).size(), 1u) << "only what the reply holds";
  EXPECT_TRUE(transloom::LanguageNamesOfRecord(r, 2).empty());
}

}  // namespace
