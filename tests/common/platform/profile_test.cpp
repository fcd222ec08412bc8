// Profile files: the reading rules the product files and language files rely
// on, the write rules, and hostile input.
#include "common/platform/profile.h"

#include "common/platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_support.h"

namespace {

using platform::Profile;

struct ReadCase {
  const char* name;
  const char* text;
  const char* section;
  const char* key;
  const char* expected;  // nullptr: missing (the fallback "<def>" comes back)
  std::size_t buffer;
};

const ReadCase kReadCases[] = {
    {"plain", "[a]\nk=v\n", "a", "k", "v", 300},
    {"section case", "[WeB]\nk=v\n", "web", "k", "v", 300},
    {"key case", "[a]\nStart=0x10\n", "a", "START", "0x10", 300},
    {"blanks around", "  [ a ]  \n  k  =   v w  \n", "a", "k", "v w", 300},
    {"double quotes", "[a]\nk=\"  v \"\n", "a", "k", "  v ", 300},
    {"single quotes", "[a]\nk='v'\n", "a", "k", "v", 300},
    {"unmatched quotes kept", "[a]\nk=\"v'\n", "a", "k", "\"v'", 300},
    {"first key wins", "[a]\nk=1\nk=2\n", "a", "k", "1", 300},
    {"first section wins", "[a]\nk=1\n[A]\nk=2\nj=3\n", "a", "j", nullptr, 300},
    {"empty value is empty", "[a]\nk=\n", "a", "k", "", 300},
    {"missing key", "[a]\nk=1\n", "a", "x", nullptr, 300},
    {"missing section", "[a]\nk=1\n", "b", "k", nullptr, 300},
    {"key before any section ignored", "k=1\n[a]\n", "a", "k", nullptr, 300},
    {"crlf", "[a]\r\nk=v\r\n", "a", "k", "v", 300},
    {"no final newline", "[a]\nk=v", "a", "k", "v", 300},
    {"value with equals", "[a]\nk=x=y\n", "a", "k", "x=y", 300},
    {"comment line", "[a]\n;k=1\nk=2\n", "a", "k", "2", 300},
    {"buffer cut", "[a]\nk=abcdef\n", "a", "k", "abc", 4},
    {"utf8 cut on boundary", "[a]\nk=\xE4\xB8\xAD\xE6\x96\x87\n", "a", "k", "\xE4\xB8\xAD", 6},
    {"bom", "\xEF\xBB\xBF[a]\nk=v\n", "a", "k", "v", 300},
};

class ProfileRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, FollowsTheReaderRules) {
  const ReadCase& c = GetParam();
  Profile p = Profile::Parse(c.text);
  std::string got = p.Get(c.section, c.key, "<def>", c.buffer);
  EXPECT_EQ(got, c.expected ? std::string(c.expected) : std::string("<def>").substr(0, c.buffer - 1));
  EXPECT_EQ(p.Has(c.section, c.key), c.expected != nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileRead, ::testing::ValuesIn(kReadCases),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST(Profile, ValueOf400BytesIsCutTo299) {
  Profile p = Profile::Parse("[String]\nk=" + std::string(400, 'x') + "\n");
  EXPECT_EQ(p.Get("String", "k", "", 300), std::string(299, 'x'));
}

TEST(Profile, IntegerReads) {
  Profile p = Profile::Parse("[a]\nn= 42 \nneg=-5\nbad=zz\nempty=\n");
  EXPECT_EQ(p.GetInt("a", "n", 7), 42);
  EXPECT_EQ(p.GetInt("a", "neg", 7), -5);
  EXPECT_EQ(p.GetInt("a", "bad", 7), 7);
  EXPECT_EQ(p.GetInt("a", "empty", 7), 7);
  EXPECT_EQ(p.GetInt("a", "missing", 7), 7);
}

TEST(Profile, MissingFileReadsEmpty) {
  EXPECT_EQ(platform::ReadProfileString("/nonexistent/x.ini", "a", "k", "d", 300), "d");
}

TEST(ProfileWrite, ReplacesInPlaceAndKeepsOtherLines) {
  testsupport::TempDir dir;
  const std::string path = dir / "Config.ini";
  const std::string before =
      "; tool settings\n[themes]\nSolution=English\n\n[Path]\n  stringpath = /old \nOther=1\n[x]\ny=2\n";
  testsupport::WriteFile(path, before);
  ASSERT_TRUE(platform::WriteProfileString(path, "PATH", "StringPath", "/new"));
  EXPECT_EQ(testsupport::ReadFile(path),
            "; tool settings\n[themes]\nSolution=English\n\n[Path]\nStringPath=/new\nOther=1\n[x]\ny=2\n");
}

TEST(ProfileWrite, AppendsKeyToItsSectionAndSectionToTheFile) {
  testsupport::TempDir dir;
  const std::string path = dir / "Config.ini";
  testsupport::WriteFile(path, "[a]\nk=1\n\n[b]\nm=2\n");
  ASSERT_TRUE(platform::WriteProfileString(path, "a", "n", "3"));
  ASSERT_TRUE(platform::WriteProfileString(path, "c", "o", "4"));
  EXPECT_EQ(testsupport::ReadFile(path), "[a]\nk=1\nn=3\n\n[b]\nm=2\n[c]\no=4\n");
}

TEST(ProfileWrite, CreatesMissingFileAndKeepsCrLf) {
  testsupport::TempDir dir;
  ASSERT_TRUE(platform::WriteProfileString(dir / "new.ini", "Path", "StringPath", "/s"));
  EXPECT_EQ(testsupport::ReadFile(dir / "new.ini"), "[Path]\nStringPath=/s\n");
  testsupport::WriteFile(dir / "crlf.ini", "[a]\r\nk=1\r\n");
  ASSERT_TRUE(platform::WriteProfileString(dir / "crlf.ini", "a", "k", "2"));
  EXPECT_EQ(testsupport::ReadFile(dir / "crlf.ini"), "[a]\r\nk=2\r\n");
}

TEST(ProfileWrite, FailedWriteLeavesTargetAndNoTemporaryBehind) {
  // A folder in the file's place cannot be replaced (also not by root).
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "Config.ini/keep", "x");
  EXPECT_FALSE(platform::WriteProfileString(dir / "Config.ini", "a", "k", "2"));
  EXPECT_EQ(testsupport::ReadFile(dir / "Config.ini/keep"), "x");
  EXPECT_EQ(testsupport::ListEntries(dir.path()).size(), 1u) << "temporary file left behind";
}

TEST(ProfileWrite, ReplacesThroughRenameSoReadersNeverSeeHalfAFile) {
  // The old inode stays intact: a reader holding it open sees the old text.
  testsupport::TempDir dir;
  const std::string path = dir / "Config.ini";
  testsupport::WriteFile(path, "[a]\nk=1\n");
  struct stat before {};
  ::stat(path.c_str(), &before);
  ASSERT_TRUE(platform::WriteProfileString(path, "a", "k", "2"));
  struct stat after {};
  ::stat(path.c_str(), &after);
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(testsupport::ListEntries(dir.path()).size(), 1u) << "temporary file left behind";
}

TEST(ProfileHostile, GarbageLongLinesAndNoFinalNewline) {
  std::string garbage;
  for (int i = 0; i < 70000; ++i) garbage.push_back(static_cast<char>((i * 7919) & 0xFF));
  std::string text = garbage + "\n[a]\nk=" + std::string(1 << 20, 'v') + "\n[b]\n=\n]]]\nj=tail";
  Profile p = Profile::Parse(text);
  EXPECT_EQ(p.Get("a", "k", "", 300).size(), 299u);
  EXPECT_EQ(p.Get("b", "j", "d", 300), "tail");
}

}  // namespace
