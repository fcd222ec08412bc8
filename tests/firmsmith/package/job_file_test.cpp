// Job files: what each key sets, the dialog's defaults, relative paths, the
// refusals; and firmsmith-cli make run from a program folder of its own.
#include "firmsmith/package/make/job_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "package_fixture.h"

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using testsupport::RunCommand;
using testsupport::WriteFile;

class JobFileTest : public PackageTest {
 protected:
  bool Load(const std::string& text, package::JobFile* job, std::string* error) {
    WriteFile(work_ / "jobs/job.ini", text);
    return package::LoadJobFile(work_ / "jobs/job.ini", products::LoadProductProfiles(Prog()), Prog(), job, error);
  }
};

TEST_F(JobFileTest, KeysFillTheOptionModel) {
  WriteFile(work_ / "jobs/in.bin", "x");
  package::JobFile job;
  std::string error;
  ASSERT_TRUE(Load("[Job]\nProduct=TestBox\nKind=burning_piecefile\nOriginalFile=in.bin\n"
                   "[Partitions]\nlogo=/abs/logo\nuser=\ncustom=\nmtd=1\nubootlogo=boot.jpg\n"
                   "[FileSystems]\nlogo=Squashfs\n"
                   "[Custom]\nStrings=FullLanguage\nLanguages=French, German\nKoreanFonts=1\n"
                   "LineInGain=1\nLineInLeft=3db\nOEMDevType=ABC\nCloudServer=1\nCloudPort=70000\n"
                   "IOS=app\nCopyUsers=0\n",
                   &job, &error))
      << error;
  const package::MakeOptions& o = job.options;
  EXPECT_EQ(o.kind, package::PackageKind::BurningPiecefile);
  EXPECT_EQ(o.selectedProduct.hardware, "HW-T");
  EXPECT_EQ(o.originalFile, work_ / "jobs/in.bin");
  EXPECT_TRUE(o.originalFileLoaded);
  EXPECT_TRUE(o.SlotTicked(package::kSlotLogo));
  EXPECT_EQ(o.slots[package::kSlotLogo].sourcePath, "/abs/logo");
  EXPECT_EQ(o.slots[package::kSlotLogo].fs, products::kFsSquashfs);
  EXPECT_TRUE(o.SlotTicked(package::kSlotUser));
  EXPECT_EQ(o.slots[package::kSlotUser].sourcePath, "");
  EXPECT_FALSE(o.SlotTicked(package::kSlotWeb));
  EXPECT_TRUE(o.restoreDefaults);
  EXPECT_TRUE(o.SlotTicked(package::kSlotMtd));
  EXPECT_TRUE(o.ubootLogo);
  EXPECT_EQ(o.ubootLogoPath, work_ / "jobs/boot.jpg");
  EXPECT_TRUE(o.strings);
  EXPECT_TRUE(o.SlotTicked(package::kSlotStrings));
  EXPECT_EQ(job.languages, (std::vector<std::string>{"French", "German"}));
  EXPECT_TRUE(o.koreanFonts);
  EXPECT_TRUE(o.lineInGain);
  EXPECT_EQ(o.lineInLeft, "3db");
  EXPECT_EQ(o.lineInRight, "0db");
  EXPECT_EQ(o.oemDevTypeText, "AB");
  EXPECT_EQ(o.cloudPort, "65535");
  EXPECT_TRUE(o.ios);
  EXPECT_FALSE(o.copyUsers);
  EXPECT_EQ(o.devicePort, "34567");
  EXPECT_EQ(o.userName, "admin");
  EXPECT_TRUE(o.fromDevice);
}

TEST_F(JobFileTest, FileSystemsDefaultToTheProduct) {
  WriteFile(prog_ / "Products/TestBox.ini", "[Product]\nname=TestBox\n[USER]\nstart=0x10000\nend=0x20000\nfs=squashfs\n");
  package::JobFile job;
  std::string error;
  ASSERT_TRUE(Load("[Job]\nProduct=TestBox\n[Partitions]\nuser=u\n", &job, &error)) << error;
  EXPECT_EQ(job.options.slots[package::kSlotUser].fs, products::kFsSquashfs);
  EXPECT_FALSE(job.options.originalFileLoaded);
}

TEST_F(JobFileTest, Refusals) {
  const struct {
    const char* text;
    const char* reason;
  } cases[] = {
      {"[Partitions]\nlogo=x\n", "no [Job] section"},
      {"[Job]\nKind=Network_upgrades\n", "Product is required"},
      {"[Job]\nProduct=Nope\n", "no product named 'Nope'"},
      {"[Job]\nProduct=TestBox\nKind=zip\n", "neither Network_upgrades nor Burning_piecefile"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nylk=x\n", "has no such partition"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nmtd=1\n", "mtd needs [Job] OriginalFile"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogo=x\n[FileSystems]\nlogo=ntfs\n", "'ntfs' is not Cramfs"},
      {"[Job]\nProduct=TestBox\n[Custom]\nCloudServer=1\n", "CloudServer needs the custom partition"},
      {"[Job]\nProduct=TestBox\n[Partitions]\ncustom=\n[Custom]\nStrings=s\n", "Strings needs [Job] OriginalFile"},
      {"[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\ncustom=\n[Custom]\nStrings=s\nLanguages=../x\n",
       "not a language file name"},
  };
  for (const auto& c : cases) {
    package::JobFile job;
    std::string error;
    EXPECT_FALSE(Load(c.text, &job, &error)) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(error.rfind(work_ / "jobs/job.ini", 0), 0u) << error;
  }
}

TEST_F(JobFileTest, StagesEnglishAndTheListedLanguages) {
  for (const char* lang : {"English", "French", "German", "Korean"})
    WriteFile(work_ / (std::string("FullLanguage/Strings/") + lang), std::string("text of ") + lang);
  WriteFile(prog_ / "TempStrings/Stale", "old");
  package::JobFile job;
  std::string error;
  ASSERT_TRUE(Load("[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\ncustom=\n"
                   "[Custom]\nStrings=" + work_ / "FullLanguage" + "\nLanguages=German\n",
                   &job, &error))
      << error;
  ASSERT_TRUE(package::StageJobLanguages(&job, Prog(), &error)) << error;
  EXPECT_TRUE(job.options.fullLanguageStrings);
  std::vector<std::string> staged;
  for (const auto& e : fs::directory_iterator(prog_ / "TempStrings")) staged.push_back(e.path().filename());
  std::sort(staged.begin(), staged.end());
  EXPECT_EQ(staged, (std::vector<std::string>{"English", "German"}));

  // KoreanFonts=1 is the dialog's Korean switch: the Korean file comes along.
  job.options.koreanFonts = true;
  ASSERT_TRUE(package::StageJobLanguages(&job, Prog(), &error)) << error;
  staged.clear();
  for (const auto& e : fs::directory_iterator(prog_ / "TempStrings")) staged.push_back(e.path().filename());
  std::sort(staged.begin(), staged.end());
  EXPECT_EQ(staged, (std::vector<std::string>{"English", "German", "Korean"}));

  fs::remove(work_ / "FullLanguage/Strings/English");
  EXPECT_FALSE(package::StageJobLanguages(&job, Prog(), &error));
  EXPECT_NE(error.find("NotExitEnglish!"), std::string::npos);
}

class MakeCli : public PackageTest {
 protected:
  void SetUp() override {
    PackageTest::SetUp();
    if (IsSkipped()) return;
    fs::copy_file(testsupport::AppDir() + "/firmsmith-cli", prog_ / "firmsmith-cli");
    fs::copy_file(testsupport::SourceDir() + "/data/app/Language/English.lang", (fs::create_directories(prog_ / "Language"), prog_ / "Language/English.lang"));
    WriteFile(prog_ / "Config.ini", "[themes]\nSolution=English\n");
  }
  testsupport::CommandResult Make(const std::string& job) {
    WriteFile(work_ / "job.ini", job);
    return RunCommand({prog_ / "firmsmith-cli", "make", work_ / "job.ini", "--no-pauses"});
  }
};

TEST_F(MakeCli, BuildsAPackageAndPrintsTheTranslatedMessage) {
  MakeFolder("logo", "l");
  MakeFolder("user", "u");
  const testsupport::CommandResult r =
      Make("[Job]\nProduct=TestBox\n[Partitions]\nlogo=logo\nuser=" + work_ / "user" + "\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Upgrade file created: " + prog_ / "TestBox_all.bin"), std::string::npos) << r.err;
  EXPECT_EQ(RunCommand({"unzip", "-t", prog_ / "TestBox_all.bin"}).status, 0);
}

TEST_F(MakeCli, ReworksWithTheOemDeviceTypeAlone) {
  WriteFile(work_ / "InstallDesc",
            "{\"UpgradeCommand\": [], \"DevID\": \"0123456789ABCDEFGHIJKLMN\", \"Hardware\": \"HW-T\"}");
  const std::string input = PeerPackage("in.bin", {"InstallDesc"});
  const testsupport::CommandResult r =
      Make("[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Custom]\nOEMDevType=QZ\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Firmsmith: Make upgrade file"), std::string::npos) << r.err;
  EXPECT_NE(Entry(input, "InstallDesc").find("0123456789ABCDEFGHIJKLQZ"), std::string::npos);
  EXPECT_TRUE(fs::exists(input + ".bak"));
}

TEST_F(MakeCli, FailuresExitWithOne) {
  const struct {
    const char* job;
    const char* text;
  } cases[] = {
      {"[Job]\nProduct=TestBox\nKind=Burning_piecefile\n[Partitions]\nlogo=logo\n",
       "A flash burning image needs an original file"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogo=\n", "Please choose the source folder"},
      {"[Job]\nProduct=Nope\n", "no product named 'Nope'"},
  };
  for (const auto& c : cases) {
    const testsupport::CommandResult r = Make(c.job);
    EXPECT_EQ(r.status, 1) << c.job;
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
  }
  EXPECT_NE(RunCommand({prog_ / "firmsmith-cli", "make"}).status, 0);
}

}  // namespace
}  // namespace packagetest
