// The sample installation laid into the program folder by every build:
// product files, UI language files of both programs, tool settings and the
// boot-logo header template. These are the files an operator starts from, so
// a typo here (a key the program asks for but no file holds, a partition that
// overlaps its neighbour, a value the 31-character cut shortens) is a fault
// the operator sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "common/platform/files.h"
#include "common/platform/profile.h"
#include "common/uitext/language_table.h"
#include "firmsmith/products/product_profile.h"
#include "test_support.h"

namespace {

using platform::Profile;
using products::PartitionSpec;
using products::ProductProfile;

std::string App(const std::string& relative) {
  return platform::JoinPath(testsupport::AppDir(), relative);
}

// ---------------------------------------------------------------------------
// UI texts

// Every key Firmsmith shows: the captions of its dialogs (main dialog, about
// box, language selection), its combo items and column headers, and every
// message key of the build. "alarm_readProduct" stands without the line feed
// the build puts before it: a key holding a line feed can never be found in a
// file, so the text is kept under the bare key for a lookup that adds the line
// feed itself. Left out: the MAC label (its caption ends in blanks, which the
// profile rules drop from a file's key), the iOS link caption (carries the app
// store link), and the texts shown untranslated ("alarm_filedir", "loss file",
// "NotExitEnglish!", the boot-logo size text).
const char* const kFirmsmithKeys[] = {
    "Firmsmith", "About Firmsmith", "Firmsmith, Version 1.0", "OK", "Cancel", "Type",
    "Network_upgrades", "Burning_piecefile", "OriginalFile", "Browse", "web-x", "logo-x",
    "user-x", "romfs-x", "custom-x", "app-x", "ylk-x", "romfs2-x", "param-x", "Strings",
    "advance", "Pictures", "Configs", "From Device", "IP", "Port", "UserName", "Password",
    "CopyUsers", "AppDownloadLink", "Android", "Other", "Name", "Content", "SN", "CloudServer",
    "Address", "DeviceModel", "Close online upgrade", "LineInGain", "LineInLeft", "LineInRight",
    "升级后全部恢复默认", "升级前先卸载分区", "uboot logo制作", "OEM_DevType",
    "Products", "Filter", "Input", "Partitions", "Customisation", "Device",
    "Select Language", "SelectAll", "Korean", "No", "Language", "LanguageName",
    "Select a folder", "Prompt", "The path is error !", "alarm_update", "alarm_inputPort",
    "alarm_inputUserName", "alarm_filetype", "alarm_burnfile", "alarm_productmodel",
    "alarm_file", "alarm_make", "alarm_makeerror", "alarm_extract", "alarm_noconfigimg",
    "alarm_CloudServer", "alarm_LineUpgrade", "alarm_readAbility", "alarm_getcfg_error",
    "alarm_loginerror", "alarm_logindevtype_diffrent", "alarm_devicenotsupport",
    "alarm_nopower", "alarm_password_notvalid", "alarm_device_notonline", "alarm_usernotexist",
    "alarm_readProduct", "alarm_selectdevtype_diffrent！", "create_error",
    "create_error,CustomConfig NotExist",
    "make_error", "make_updatefile_failed", "open_original_file", "original_file_error",
    "open_cramfs_file", "cramfs_filesize", "product_error", "package_success", "readfile",
    "InputLink",
    // Messages of the make operation whose key reads as English when untranslated.
    "Firmsmith.%s was written but does not pass its check:",
    "Firmsmith.File: %s", "Firmsmith.Size: %s bytes", "Firmsmith.Folder: %s",
    "Firmsmith.Cannot open the boot logo file.",
    "Firmsmith.Cannot write the backup of the original file.",
    "Firmsmith.The InstallDesc of the upgrade file is not valid JSON.",
    "Firmsmith.The ProductDefinition of the custom partition could not be rewritten.",
    "Firmsmith.The ProductDefinition of the custom partition is not valid JSON.",
    "Firmsmith.The boot logo header template imgH.data is missing or empty.",
    "Firmsmith.The line-in gain could not be written to etc/loadmod.",
    "Firmsmith.The logo pictures could not be converted.",
    "Firmsmith.The upgrade file holds no InstallDesc.",
    "Firmsmith.Writing the flash burning image failed.",
    "Firmsmith.The partition %s of the input file is damaged; nothing was written.",
    "Firmsmith.The root file system image does not start where the product's ROMFS partition starts.",
    "Firmsmith.The root file system image carries no partition end; choose the product.",
};

// Every key Transloom shows: its dialog template, about box and messages.
const char* const kTransloomKeys[] = {
    "Transloom", "About Transloom", "Transloom, Version 1.0", "OK", "IP", "Transloom.Port",
    "Transloom.UserName", "Transloom.Password", "Transloom.Login", "Transloom.LanExport",
    "Transloom.AbleLan", "Transloom.ExportExcel", "Transloom.Test",
    "Transloom.import to Device", "Transloom.Delete Language",
    "Transloom.Convert excel into language", "Transloom.Create Language",
    "Transloom.Steps: Login -> Export Language -> Edit Translation -> Download to device "
    "testing -> After a successful test conversion -> Back to main page Packager",
    "Transloom.OK", "OneClick.Prompt", "Transloom.PortError", "Transloom.LoginFailed",
    "Login.NetError", "Login.SystemBusy", "Login.Timeout", "Login.PasswdError",
    "Login.UserNotExisted", "Login.Locked", "Login.InBlackList", "Login.InUsed",
    "Login.NotFound", "Login.UnknowError", "Transloom.PleaseLogin", "Transloom.selectlang",
    "Transloom.NoMemory", "Transloom.ExportFailed", "Transloom.ExportOK",
    "Transloom.SaveFailed", "Transloom.YESorNO?", "Transloom.ImportFailed",
    "Transloom.ImportOK,Please Reboot", "Transloom.DeleteLangFailed",
    "Transloom.DeleteLangSuccess,Please Reboot", "Transloom.CreateOk",
    "Transloom.ConnectionLost", "Transloom.CellsRefused", "Transloom.TooLarge",
    "Transloom.NoRight", "Transloom.NotSupported", "Transloom.ListFailed",
};

// Keys whose text the build fills with a name through printf: exactly one %s.
const std::set<std::string> kFormatKeys = {"alarm_makeerror", "make_error", "package_success",
                                           "Firmsmith.%s was written but does not pass its check:",
                                           "Firmsmith.File: %s", "Firmsmith.Size: %s bytes",
                                           "Firmsmith.Folder: %s",
                                           "Firmsmith.The partition %s of the input file is damaged; nothing was written."};

// Names that read the same in every language.
const std::set<std::string> kUntranslated = {
    "Firmsmith", "Transloom", "web-x",    "logo-x",  "user-x", "romfs-x", "custom-x",
    "app-x",     "ylk-x",     "romfs2-x", "param-x", "IP",     "Android", "SN",
};

constexpr std::size_t kShownTextBytes = 299;  // the lookup buffer cuts longer texts

struct LanguageFolder {
  const char* program;
  const char* folder;  // inside the program folder, where the .lang files lie
  const char* const* keys;
  std::size_t keyCount;
  uitext::LanguageConfig config;
};

std::ostream& operator<<(std::ostream& os, const LanguageFolder& f) { return os << f.program; }

const LanguageFolder kLanguageFolders[] = {
    {"Firmsmith", "Language", kFirmsmithKeys, std::size(kFirmsmithKeys),
     uitext::LanguageConfig::Firmsmith},
    {"Transloom", "bin", kTransloomKeys, std::size(kTransloomKeys),
     uitext::LanguageConfig::Transloom},
};

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

bool IsValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2
                                                             : (c & 0xF8) == 0xF0 ? 3 : 4;
    if (extra == 4 || s.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

class LanguageFiles : public ::testing::TestWithParam<LanguageFolder> {
 protected:
  std::string LangPath(const std::string& language) const {
    return App(std::string(GetParam().folder) + "/" + language + ".lang");
  }
  std::vector<std::string> Keys() const {
    return {GetParam().keys, GetParam().keys + GetParam().keyCount};
  }
};

TEST_P(LanguageFiles, EveryKeyHasAShortEnoughText) {
  for (const char* language : {"English", "SimpChinese"}) {
    SCOPED_TRACE(language);
    Profile texts = Profile::Load(LangPath(language));
    ASSERT_TRUE(texts.HasSection("String")) << LangPath(language);
    for (const std::string& key : Keys()) {
      std::string text = texts.Get("String", key);
      EXPECT_FALSE(text.empty()) << "no text for \"" << key << "\"";
      EXPECT_LE(text.size(), kShownTextBytes) << key;
    }
  }
}

TEST_P(LanguageFiles, BothLanguagesHoldTheSameKeysOnceEach) {
  std::vector<std::string> keySets[2];
  int i = 0;
  for (const char* language : {"English", "SimpChinese"}) {
    SCOPED_TRACE(language);
    std::string text = testsupport::ReadFile(LangPath(language));
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.rfind("\xEF\xBB\xBF", 0), 0u)
        << "a byte-order mark would become part of the first line";
    EXPECT_EQ(text[0], ';') << "the file opens with a comment saying what it is";
    EXPECT_TRUE(IsValidUtf8(text));
    // Every key line counted by hand: a key written twice (in any letter case)
    // would leave its second text unused.
    int keyLines = 0;
    bool inStrings = false;
    for (const std::string& line : Lines(text)) {
      if (line.empty() || line[0] == ';') continue;
      if (line[0] == '[') {
        inStrings = line == "[String]";
        continue;
      }
      EXPECT_TRUE(inStrings) << "key outside [String]: " << line;
      EXPECT_NE(line.find('='), std::string::npos) << line;
      EXPECT_EQ(line.find('\r'), std::string::npos) << line;
      ++keyLines;
    }
    keySets[i] = Profile::Load(LangPath(language)).Keys("String");
    EXPECT_EQ(keyLines, static_cast<int>(keySets[i].size())) << "a key is written twice";
    ++i;
  }
  std::sort(keySets[0].begin(), keySets[0].end());
  std::sort(keySets[1].begin(), keySets[1].end());
  EXPECT_EQ(keySets[0], keySets[1]);
}

TEST_P(LanguageFiles, FormatsAgreeAndChineseIsTranslated) {
  Profile english = Profile::Load(LangPath("English"));
  Profile chinese = Profile::Load(LangPath("SimpChinese"));
  for (const std::string& key : english.Keys("String")) {
    SCOPED_TRACE(key);
    std::string en = english.Get("String", key);
    std::string zh = chinese.Get("String", key);
    if (kFormatKeys.count(key) != 0) {
      // One name goes in; any other conversion would read a missing argument.
      for (const std::string& text : {en, zh}) {
        EXPECT_EQ(CountOf(text, "%s"), 1) << text;
        EXPECT_EQ(CountOf(text, "%"), 1) << text;
      }
    } else {
      EXPECT_EQ(en.find('%'), std::string::npos) << en;
      EXPECT_EQ(zh.find('%'), std::string::npos) << zh;
    }
    if (kUntranslated.count(key) == 0) {
      EXPECT_NE(en, zh) << "left untranslated";
    }
  }
}

// The shipped Config.ini names a language whose file the table finds, and a
// Solution of SimpChinese switches every text.
TEST_P(LanguageFiles, LanguageTableShowsTheShippedTexts) {
  const LanguageFolder& f = GetParam();
  const std::string base =
      f.config == uitext::LanguageConfig::Firmsmith ? testsupport::AppDir() : App("bin");
  uitext::LanguageTable shipped(f.config);
  shipped.SetBasePath(base);
  shipped.LoadLanguage();
  EXPECT_EQ(shipped.languageName(), "English");
  Profile english = Profile::Load(LangPath("English"));
  for (const std::string& key : Keys())
    EXPECT_EQ(shipped.GetString(key), english.Get("String", key)) << key;

  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "Config.ini", "[themes]\nSolution=SimpChinese\n");
  const std::string langDir = f.config == uitext::LanguageConfig::Firmsmith ? "Language/" : "";
  testsupport::WriteFile(dir / (langDir + "SimpChinese.lang"),
                         testsupport::ReadFile(LangPath("SimpChinese")));
  uitext::LanguageTable chinese(f.config);
  chinese.SetBasePath(dir.path());
  chinese.LoadLanguage();
  Profile chineseTexts = Profile::Load(LangPath("SimpChinese"));
  for (const std::string& key : Keys())
    EXPECT_EQ(chinese.GetString(key), chineseTexts.Get("String", key)) << key;
}

INSTANTIATE_TEST_SUITE_P(Programs, LanguageFiles, ::testing::ValuesIn(kLanguageFolders));

// ---------------------------------------------------------------------------
// Product files

constexpr std::uint32_t kMiB = 1024 * 1024;
constexpr std::uint32_t kEraseBlock = 64 * 1024;
// The largest boot-loader logo data the build accepts: a 1,040,384-byte
// picture behind the 8 KiB lead-in, padded to the next 8 KiB.
constexpr std::uint32_t kLargestUbootLogoData = 1056768;
constexpr std::size_t kProductValueChars = 31;

enum Kind : unsigned {
  kWeb = 1u << 0, kLogo = 1u << 1, kCustom = 1u << 2, kUser = 1u << 3, kOemApp = 1u << 4,
  kOemYlk = 1u << 5, kRomfs = 1u << 6, kMtd = 1u << 7, kUbootLogo = 1u << 8,
  kRomfs2 = 1u << 9, kParam = 1u << 10,
};

struct NamedSpec {
  Kind kind;
  const PartitionSpec* spec;
};

std::vector<NamedSpec> Partitions(const ProductProfile& p) {
  return {{kWeb, &p.web},       {kLogo, &p.logo},   {kCustom, &p.custom}, {kUser, &p.user},
          {kOemApp, &p.oemApp}, {kOemYlk, &p.oemYlk}, {kRomfs, &p.romfs},  {kMtd, &p.mtd},
          {kUbootLogo, &p.ubootLogo}, {kRomfs2, &p.romfs2}, {kParam, &p.param}};
}

bool Defined(const PartitionSpec& s) { return s.start != 0 || s.end != 0; }

struct SampleProduct {
  const char* file;
  const char* name;
  const char* hardware;
  const char* webName;
  int webFs;
  std::uint32_t chipMiB;
  unsigned kinds;  // the partitions the product defines, no more
  bool logoSize;
};

std::ostream& operator<<(std::ostream& os, const SampleProduct& p) { return os << p.file; }

constexpr unsigned kBasic = kWeb | kLogo | kCustom | kUser | kRomfs | kMtd;

const SampleProduct kSamples[] = {
    // First partition from WEB.
    {"KV-N1608W.ini", "KV-N1608W", "KV-BRD-1608W-R3", "web", products::kFsCramfs, 16, kBasic,
     false},
    // 360USER only: start, end and fs all come from the fallback section.
    {"KV-N0804C.ini", "KV-N0804C", "KV-BRD-0804C-R1", "360user", products::kFsSquashfs, 8,
     kBasic, false},
    // Every partition kind and a logo size.
    {"KV-N3232X.ini", "KV-N3232X", "KV-BRD-3232X-R2", "web", products::kFsSquashfs, 32,
     kBasic | kOemApp | kOemYlk | kUbootLogo | kRomfs2 | kParam, true},
    // The board whose rework takes partition ends from the neighbouring images.
    {"KV-K7016-S.ini", "KV-K7016-S", "NVR-K7000-S", "web", products::kFsCramfs, 16, kBasic,
     false},
};

const SampleProduct* FindSample(const std::string& name) {
  for (const SampleProduct& s : kSamples)
    if (name == s.name) return &s;
  return nullptr;
}

const ProductProfile* FindProduct(const products::ProductList& list, const std::string& name) {
  for (const ProductProfile& p : list)
    if (p.name == name) return &p;
  return nullptr;
}

class SampleProducts : public ::testing::TestWithParam<SampleProduct> {};

TEST_P(SampleProducts, LoadsWithItsProperties) {
  const SampleProduct& want = GetParam();
  ProductProfile p = products::LoadProductProfile(App(std::string("Products/") + want.file));
  EXPECT_EQ(p.name, want.name);
  EXPECT_EQ(p.vendor, "KorrinVision");
  EXPECT_EQ(p.hardware, want.hardware);
  EXPECT_EQ(p.webName, want.webName);
  EXPECT_EQ(p.web.fs, want.webFs);
  for (const NamedSpec& part : Partitions(p)) {
    SCOPED_TRACE(part.kind);
    bool expected = (want.kinds & part.kind) != 0;
    EXPECT_EQ(Defined(*part.spec), expected);
    if (expected) {
      // The dialog offers a partition only when both bounds are non-zero.
      EXPECT_NE(part.spec->start, 0u);
      EXPECT_NE(part.spec->end, 0u);
    }
  }
  // The build applies the custom partition's ignore path: a file directly in
  // the partition, or "<folder>/*" for every file below a folder.
  const std::string& ignore = p.custom.ignore;
  EXPECT_FALSE(ignore.empty());
  EXPECT_NE(ignore[0], '/');
  EXPECT_EQ(ignore.find(".."), std::string::npos);
  std::size_t star = ignore.find('*');
  if (star != std::string::npos) {
    EXPECT_EQ(star, ignore.size() - 1);
    EXPECT_GE(star, 2u);
    EXPECT_EQ(ignore[star - 1], '/');
  }
  if (want.logoSize) {
    // A 16-bit canvas row is exact only for an even width; the bitmap must
    // fit the partition even before compression.
    EXPECT_GT(p.logoWidth, 0);
    EXPECT_GT(p.logoHeight, 0);
    EXPECT_EQ(p.logoWidth % 2, 0);
    std::uint64_t bitmap = std::uint64_t(p.logoWidth) * p.logoHeight * 2 + 54;
    EXPECT_LE(bitmap, p.logo.end - p.logo.start);
  } else {
    EXPECT_EQ(p.logoWidth, 0);
    EXPECT_EQ(p.logoHeight, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Shipped, SampleProducts, ::testing::ValuesIn(kSamples));

TEST(SampleProductList, HoldsEverySampleInFileNameOrder) {
  products::ProductList list = products::LoadProductProfiles(testsupport::AppDir());
  for (const SampleProduct& s : kSamples) EXPECT_NE(FindProduct(list, s.name), nullptr) << s.name;
  std::set<std::string> names;
  for (const ProductProfile& p : list) EXPECT_TRUE(names.insert(p.name).second) << p.name;
  // The samples together cover the three chip sizes a flash image may have.
  std::set<std::uint32_t> chips;
  for (const SampleProduct& s : kSamples) chips.insert(s.chipMiB);
  EXPECT_EQ(chips, (std::set<std::uint32_t>{8, 16, 32}));
}

// Every shipped product, samples or added later: the boot loader keeps the
// chip's first erase blocks, partitions follow one another on erase-block
// boundaries without gap or overlap and fill the chip exactly.
TEST(SampleProductList, EveryLayoutTilesItsChip) {
  products::ProductList list = products::LoadProductProfiles(testsupport::AppDir());
  ASSERT_GE(list.size(), std::size(kSamples));
  for (const ProductProfile& p : list) {
    SCOPED_TRACE(p.name);
    std::vector<const PartitionSpec*> parts;
    for (const NamedSpec& part : Partitions(p))
      if (Defined(*part.spec)) parts.push_back(part.spec);
    ASSERT_FALSE(parts.empty());
    std::sort(parts.begin(), parts.end(),
              [](const PartitionSpec* a, const PartitionSpec* b) { return a->start < b->start; });
    EXPECT_GT(parts.front()->start, 0u) << "the boot loader lies at 0";
    for (std::size_t i = 0; i < parts.size(); ++i) {
      const PartitionSpec& s = *parts[i];
      EXPECT_LT(s.start, s.end) << std::hex << s.start;
      EXPECT_EQ(s.start % kEraseBlock, 0u) << std::hex << s.start;
      EXPECT_EQ(s.end % kEraseBlock, 0u) << std::hex << s.end;
      if (i > 0) {
        EXPECT_EQ(parts[i - 1]->end, s.start) << "gap or overlap at 0x" << std::hex << s.start;
      }
    }
    const std::uint32_t chip = parts.back()->end;
    EXPECT_TRUE(chip == 8 * kMiB || chip == 16 * kMiB || chip == 32 * kMiB)
        << "layout ends at 0x" << std::hex << chip;
    if (const SampleProduct* sample = FindSample(p.name)) {
      EXPECT_EQ(chip, sample->chipMiB * kMiB);
    }

    if (p.hardware == "NVR-K7000-S") {
      // A rework of this board ends the user partition where the custom image
      // loads and the custom partition where the logo image loads.
      EXPECT_EQ(p.user.end, p.custom.start);
      EXPECT_EQ(p.custom.end, p.logo.start);
    }
    if (Defined(p.ubootLogo)) {
      EXPECT_GE(p.ubootLogo.end - p.ubootLogo.start, kLargestUbootLogoData);
    }
  }
}

// The raw text of every product file: only the sections and keys the loader
// reads (a misspelt key would silently read as missing), values the loader
// scans without a cut, file-system names spelt as the loader compares them.
TEST(SampleProductList, FilesUseTheExactValueSyntax) {
  struct SectionKeys {
    const char* section;
    std::set<std::string> keys;
  };
  const std::set<std::string> partitionKeys = {"start", "end", "fs", "ignore"};
  const std::set<std::string> rawKeys = {"start", "end", "fs"};
  const SectionKeys known[] = {
      {"Product", {"name", "vendor", "hardware"}},
      {"WEB", partitionKeys},
      {"360USER", rawKeys},
      {"LOGO", {"start", "end", "fs", "ignore", "logo_width", "logo_height"}},
      {"CUSTOM", partitionKeys}, {"USER", partitionKeys}, {"OEMAPP", partitionKeys},
      {"OEMYLK", partitionKeys}, {"ROMFS", partitionKeys}, {"MTD", rawKeys},
      {"UBOOTLOGO", rawKeys},    {"ROMFS2", rawKeys},      {"PARAM", rawKeys},
  };
  int files = 0;
  for (const platform::FolderEntry& entry : testsupport::ListEntries(App("Products"))) {
    if (entry.isDirectory) continue;
    SCOPED_TRACE(entry.name);
    ++files;
    const std::string path = App("Products/" + entry.name);
    EXPECT_NE(path.find(".ini"), std::string::npos) << "the loader skips it";
    const std::string text = testsupport::ReadFile(path);
    Profile profile = Profile::Parse(text);
    // Section headers of the raw text must all be known ones.
    for (const std::string& line : Lines(text)) {
      if (line.empty() || line[0] != '[') continue;
      std::size_t close = line.find(']');
      ASSERT_NE(close, std::string::npos) << line;
      std::string name = line.substr(1, close - 1);
      bool ok = std::any_of(std::begin(known), std::end(known),
                            [&](const SectionKeys& k) { return name == k.section; });
      EXPECT_TRUE(ok) << "unknown section " << line;
    }
    for (const SectionKeys& k : known) {
      for (const std::string& key : profile.Keys(k.section)) {
        SCOPED_TRACE(std::string(k.section) + "/" + key);
        EXPECT_EQ(k.keys.count(key), 1u) << "not read by the loader";
        std::string value = profile.Get(k.section, key);
        EXPECT_FALSE(value.empty());
        EXPECT_LE(value.size(), kProductValueChars) << "cut when loaded";
        if (key == "start" || key == "end") {
          EXPECT_EQ(value.rfind("0x", 0), 0u) << value;
          EXPECT_GT(value.size(), 2u);
          EXPECT_EQ(value.find_first_not_of("0123456789abcdef", 2), std::string::npos) << value;
        } else if (key == "fs") {
          EXPECT_TRUE(value == "cramfs" || value == "squashfs" || value == "jffs2" ||
                      (value == "ext4" && std::string(k.section) == "WEB"))
              << value;
        } else if (key == "logo_width" || key == "logo_height") {
          EXPECT_EQ(value.find_first_not_of("0123456789"), std::string::npos) << value;
        }
      }
    }
  }
  EXPECT_GE(files, static_cast<int>(std::size(kSamples)));
}

// ---------------------------------------------------------------------------
// Tool settings and the boot-logo header template

TEST(SampleSettings, FirmsmithConfigHoldsTheGainTableAndLanguageNames) {
  const char* const labels[] = {
      "-16.5db", "-15db", "-13.5db", "-12db", "-10.5db", "-9db",  "-7.5db",
      "-6db",    "-4.5db", "-3db",   "-1.5db", "0db",    "1.5db", "3db",
      "4.5db",   "6db",   "7.5db",  "9db",    "10.5db", "12db",  "13.5db",
      "15db",    "16.5db", "18db",  "19.5db", "21db",   "22.5db", "24db"};
  Profile config = Profile::Load(App("Config.ini"));
  const std::string solution = config.Get("themes", "Solution");
  EXPECT_TRUE(testsupport::FileExists(App("Language/" + solution + ".lang"))) << solution;
  EXPECT_TRUE(config.Has("Path", "StringPath"));

  const std::string defaultLabel = config.Get("register", "defaultLineInGain");
  EXPECT_NE(std::find(std::begin(labels), std::end(labels), defaultLabel), std::end(labels));
  // Each code is binary digits (anything else would read as code 0) and the
  // codes rise with the gain: label k has code k, so "0db" is 11.
  for (int i = 0; i < static_cast<int>(std::size(labels)); ++i) {
    SCOPED_TRACE(labels[i]);
    std::string code = config.Get("register", labels[i]);
    ASSERT_FALSE(code.empty());
    EXPECT_EQ(code.find_first_not_of("01"), std::string::npos) << code;
    EXPECT_EQ(std::stoi(code, nullptr, 2), i);
  }
  for (const char* key :
       {"register_addr_AUDIO_CODEC_CTRL0", "register_basevalue_AUDIO_CODEC_CTRL0"}) {
    std::string value = config.Get("register", key);
    EXPECT_EQ(value.rfind("0x", 0), 0u) << key;
    EXPECT_EQ(value.find_first_not_of("0123456789abcdefABCDEF", 2), std::string::npos) << key;
  }
  // Display names are read into a 64-byte buffer.
  std::vector<std::string> languages = config.Keys("LanguageList");
  for (const char* needed : {"English", "SimpChinese", "Russian", "Korean"})
    EXPECT_NE(std::find(languages.begin(), languages.end(), needed), languages.end()) << needed;
  for (const std::string& language : languages) {
    std::string shown = config.Get("LanguageList", language);
    EXPECT_FALSE(shown.empty()) << language;
    EXPECT_LE(shown.size(), 63u) << language;
  }
}

TEST(SampleSettings, TransloomConfigNamesItsLanguage) {
  Profile config = Profile::Load(App("bin/Config.ini"));
  const std::string solution = config.Get("themes", "Solution");
  EXPECT_LE(solution.size(), 63u);
  EXPECT_TRUE(testsupport::FileExists(App("bin/" + solution + ".lang"))) << solution;
  EXPECT_TRUE(config.Has("Path", "StringPath"));
}

// The template is read as pairs of hex digits with blanks between pairs, up to
// the first other character; the logo then lands at offset 8192 only when the
// template gives exactly 128 bytes.
TEST(SampleSettings, BootLogoHeaderTemplateGives128Bytes) {
  const std::string text = testsupport::ReadFile(App("imgH.data"));
  auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  std::size_t bytes = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (!hex(text[i]) || i + 1 >= text.size() || !hex(text[i + 1])) break;
    ++bytes;
    i += 2;
  }
  EXPECT_EQ(bytes, 128u);
  // Nothing but the final line end follows, so no reader can take more bytes.
  EXPECT_EQ(text.substr(i), "\n");
}

// An independent INI reader (Python's configparser in strict mode, keys
// compared without regard to case) must read every shipped settings, language
// and product file without a duplicate section or key.
TEST(SampleSettings, PythonReadsEveryIniFileStrictly) {
  if (!testsupport::HaveProgram("python3")) GTEST_SKIP() << "python3 not installed";
  std::vector<std::string> argv = {
      "python3", "-c",
      "import configparser, sys\n"
      "for path in sys.argv[1:]:\n"
      "    c = configparser.ConfigParser(delimiters=('=',), comment_prefixes=(';',),\n"
      "                                  interpolation=None, strict=True)\n"
      "    with open(path, encoding='utf-8') as f:\n"
      "        c.read_file(f)\n"
      "    print(path, len(c.sections()))\n"};
  for (const char* f : {"Config.ini", "bin/Config.ini", "Language/English.lang",
                        "Language/SimpChinese.lang", "bin/English.lang", "bin/SimpChinese.lang"})
    argv.push_back(App(f));
  for (const platform::FolderEntry& entry : testsupport::ListEntries(App("Products")))
    if (!entry.isDirectory) argv.push_back(App("Products/" + entry.name));
  testsupport::CommandResult r = testsupport::RunCommand(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(CountOf(r.out, "\n"), static_cast<int>(argv.size()) - 3) << r.out;
}

}  // namespace
