// InstallDesc: the exact texts of the fresh writer and the text edits, the
// JSON edits, header bounds. Every edited text is checked to still parse.
#include "firmsmith/package/layout/install_desc.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>

#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/package/layout/json_file.h"
#include "test_support.h"

namespace {

using package::DescResult;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

Json::Value Parse(const std::string& text) {
  Json::Value root;
  EXPECT_TRUE(package::ParseJsonObject(text, &root)) << text;
  return root;
}

std::vector<std::string> FileNames(const Json::Value& root) {
  std::vector<std::string> names;
  for (const Json::Value& c : root["UpgradeCommand"]) names.push_back(c["FileName"].asString());
  return names;
}

TEST(FreshInstallDesc, EmptyVariantIsExactText) {
  EXPECT_EQ(package::FreshInstallDescText("HW-1", "Vend"),
            "{\n\t\"UpgradeCommand\" : [],\n\t\"Hardware\" : \"HW-1\",\n\t\"CompatibleVersion\" : "
            "-1,\n\t\"Vendor\" : \"Vend\"\n}\n");
}

TEST(FreshInstallDesc, OneCommandVariantsNameTheirImage) {
  const struct {
    int variant;
    const char* image;
  } cases[] = {{0, "360user-x.cramfs.img"}, {1, "logo-x.cramfs.img"}, {2, "user-x.cramfs.img"},
               {3, "romfs-x.cramfs.img"},   {4, "custom-x.cramfs.img"}, {5, "app-x.cramfs.img"}};
  for (const auto& c : cases) {
    const std::string text = package::FreshInstallDescText("H", "V", c.variant, "360user");
    EXPECT_EQ(text.rfind("{\n\t\"UpgradeCommand\" : [\n\t{\n\t\t\"Command\" : \"Burn\",\n\t\t\"FileName\" : \"" +
                             std::string(c.image) + "\"\n\t}\n\t],\n\t\"Hardware\" : \"H\"",
                         0),
              0u)
        << text;
    Json::Value root = Parse(text);
    EXPECT_EQ(FileNames(root), std::vector<std::string>{c.image});
    EXPECT_EQ(root["CompatibleVersion"].asInt(), -1);
  }
}

TEST(AppendBuildCommand, NewestFirstSeparatedByTabCommaLine) {
  std::string text = package::FreshInstallDescText("H", "V"), once, twice;
  ASSERT_EQ(package::AppendBuildCommandText(text, "logo-x.cramfs.img", &once), DescResult::kOk);
  ASSERT_EQ(package::AppendBuildCommandText(once, "user-x.cramfs.img", &twice), DescResult::kOk);
  EXPECT_NE(twice.find("\"user-x.cramfs.img\"\n\t}\n\t,\n\t{\n\t\"Command\""), std::string::npos) << twice;
  EXPECT_NE(twice.find("\n\t,\n"), std::string::npos);
  EXPECT_EQ(FileNames(Parse(twice)), (std::vector<std::string>{"user-x.cramfs.img", "logo-x.cramfs.img"}));
  std::string again;
  EXPECT_EQ(package::AppendBuildCommandText(twice, "user-x.cramfs.img", &again), DescResult::kUnchanged);
}

struct InsertCase {
  const char* name;
  const char* before;  // UpgradeCommand array content
  bool loose;
  std::vector<std::string> expected;
};
void PrintTo(const InsertCase& c, std::ostream* os) { *os << c.name; }


class InsertRework : public ::testing::TestWithParam<InsertCase> {};

TEST_P(InsertRework, InsertsFirstAndStaysValidJson) {
  const InsertCase& c = GetParam();
  const std::string text = std::string("{\n\t\"UpgradeCommand\" : [") + c.before +
                           "],\n\t\"DevID\" : \"x\",\n\t\"Hardware\" : \"H\"\n}\n";
  std::string out;
  ASSERT_EQ(package::InsertReworkCommandText(text, "user-x.cramfs.img", c.loose, &out), DescResult::kOk);
  Json::Value root = Parse(out);
  EXPECT_EQ(FileNames(root), c.expected);
  EXPECT_EQ(root["DevID"].asString(), "x");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InsertRework,
    ::testing::Values(
        InsertCase{"empty", "", false, {"user-x.cramfs.img"}},
        InsertCase{"emptyWithBlanks", "\n\t ", true, {"user-x.cramfs.img"}},
        InsertCase{"one",
                   "\n\t{\n\t\t\"Command\" : \"Burn\",\n\t\t\"FileName\" : \"a.img\"\n\t}\n\t",
                   false,
                   {"user-x.cramfs.img", "a.img"}},
        InsertCase{"oneLoose", "{\"Command\":\"Burn\",\"FileName\":\"a.img\"}", true,
                   {"user-x.cramfs.img", "a.img"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InsertRework, ExactSplicedTexts) {
  const std::string text = "{\"UpgradeCommand\" : [{\"FileName\":\"a\"}]}";
  std::string out;
  package::InsertReworkCommandText(text, "n.img", false, &out);
  EXPECT_EQ(out, "{\"UpgradeCommand\" : [{\n\t\"Command\" : \"Burn\",\n\t\"FileName\" : \"n.img\"\n\t},{\"FileName\":\"a\"}]}");
  package::InsertReworkCommandText(text, "n.img", true, &out);
  EXPECT_EQ(out, "{\"UpgradeCommand\" : [\n\t  {\n\t\t \"Command\" : \"Burn\",\n\t\t \"FileName\" : \"n.img\"\n\t  },{\"FileName\":\"a\"}]}");
  EXPECT_EQ(package::InsertReworkCommandText("{\"Hardware\":\"H\"}", "n.img", false, &out), DescResult::kInvalid);
}

TEST(AddMtdCommand, DropsBootLoaderCommandsAndFilesAndAppendsLast) {
  TempDir dir;
  WriteFile(dir / "InstallDesc",
            "{ \"UpgradeCommand\" : [ {\"Command\":\"Burn\",\"FileName\":\"web-x.cramfs.img\"},"
            "{\"Command\":\"Burn\",\"FileName\":\"u-boot.bin.img\"},"
            "{\"Command\":\"Burn\",\"FileName\":\"user-x.cramfs.img\"} ], \"Vendor\":\"V\", \"Extra\":[1,2] }");
  WriteFile(dir / "u-boot.bin.img", "boot");
  WriteFile(dir / "user-x.cramfs.img", "user");
  ASSERT_EQ(package::AddMtdCommand(dir / "InstallDesc", dir.path()), DescResult::kOk);
  Json::Value root = Parse(ReadFile(dir / "InstallDesc"));
  EXPECT_EQ(FileNames(root),
            (std::vector<std::string>{"web-x.cramfs.img", "user-x.cramfs.img", "mtd-x.img"}));
  EXPECT_EQ(root["Extra"].size(), 2u);
  EXPECT_EQ(root["Vendor"].asString(), "V");
  EXPECT_FALSE(testsupport::FileExists(dir / "u-boot.bin.img"));
  EXPECT_TRUE(testsupport::FileExists(dir / "user-x.cramfs.img"));
  // A second run has nothing to do and leaves the file alone.
  const std::string once = ReadFile(dir / "InstallDesc");
  EXPECT_EQ(package::AddMtdCommand(dir / "InstallDesc", dir.path()), DescResult::kUnchanged);
  EXPECT_EQ(ReadFile(dir / "InstallDesc"), once);
}

TEST(AddMtdCommand, RefusesWhatIsNotADescription) {
  TempDir dir;
  const struct {
    const char* text;
    DescResult expected;
  } cases[] = {{"not json", DescResult::kInvalid},
               {"[1,2]", DescResult::kInvalid},
               {"{\"UpgradeCommand\": \"Burn\"}", DescResult::kInvalid},
               {"{\"UpgradeCommand\": [1, \"u-boot.env.img\", {\"FileName\": 3}]}", DescResult::kOk}};
  for (const auto& c : cases) {
    WriteFile(dir / "InstallDesc", c.text);
    EXPECT_EQ(package::AddMtdCommand(dir / "InstallDesc", dir.path()), c.expected) << c.text;
    if (c.expected != DescResult::kOk) {
      EXPECT_EQ(ReadFile(dir / "InstallDesc"), c.text);
    }
  }
  EXPECT_EQ(package::AddMtdCommand(dir / "missing", dir.path()), DescResult::kMissing);
}

TEST(ReplaceOemDevType, OnlyIdsOf24OrMoreCharacters) {
  TempDir dir;
  const struct {
    std::string id;
    std::string expected;
  } cases[] = {{"ABCDEFGHIJKLMNOPQRSTUVWX", "ABCDEFGHIJKLMNOPQRSTUVQZ"},
               {"ABCDEFGHIJKLMNOPQRSTUVW", "ABCDEFGHIJKLMNOPQRSTUVW"},
               {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJKLMNOPQRSTUVQZYZ"}};
  for (const auto& c : cases) {
    WriteFile(dir / "InstallDesc", "{\"DevID\":\"" + c.id + "\",\"Hardware\":\"H\"}");
    ASSERT_EQ(package::ReplaceOemDevType(dir / "InstallDesc", "QZ"), DescResult::kOk);
    Json::Value root = Parse(ReadFile(dir / "InstallDesc"));
    EXPECT_EQ(root["DevID"].asString(), c.expected);
    EXPECT_EQ(root["Hardware"].asString(), "H");
  }
  WriteFile(dir / "InstallDesc", "{\"DevID\": 5}");
  EXPECT_EQ(package::ReplaceOemDevType(dir / "InstallDesc", "QZ"), DescResult::kOk);
  EXPECT_EQ(Parse(ReadFile(dir / "InstallDesc"))["DevID"].asInt(), 5);
  WriteFile(dir / "InstallDesc", "{\"DevID\": ");
  EXPECT_EQ(package::ReplaceOemDevType(dir / "InstallDesc", "QZ"), DescResult::kInvalid);
}

TEST(ReadImageBounds, FromHeaderLogoAndFailures) {
  TempDir dir;
  std::string header(fsimage::IH_SIZE, '\0');
  auto put = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) header[at + i] = static_cast<char>(v >> (24 - 8 * i));
  };
  put(fsimage::IH_SIZE_OFFSET, 0x1234);
  put(fsimage::IH_LOAD_OFFSET, 0x00ca0000);
  WriteFile(dir / "a.img", header + "payload");
  std::uint32_t start = 0, end = 0;
  EXPECT_EQ(package::ReadImageBounds(dir / "a.img", false, &start, &end), package::BoundsResult::kOk);
  EXPECT_EQ(start, 0x00ca0000u);
  EXPECT_EQ(end, 0x00ca1234u);
  EXPECT_EQ(package::ReadImageBounds(dir / "a.img", true, &start, &end), package::BoundsResult::kOk);
  EXPECT_EQ(end, 0x00cb0000u);
  WriteFile(dir / "short.img", header.substr(0, 63));
  EXPECT_EQ(package::ReadImageBounds(dir / "short.img", false, &start, &end), package::BoundsResult::kShort);
  start = 0x100;
  EXPECT_EQ(package::ReadImageBounds(dir / "none.img", false, &start, &end), package::BoundsResult::kNotOpened);
  EXPECT_EQ(start, 0x100u);
  EXPECT_EQ(end, 0x10100u);
}

}  // namespace
