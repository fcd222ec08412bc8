// Job files: what each key sets, the dialog's defaults, relative paths, the
// refusals; and firmsmith-cli make run from a program folder of its own.
#include "firmsmith/package/make/job_file.h"
#include "firmsmith/package/make/job_file_syntax.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "loopback_listener.h"
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
  WriteFile(work_ / "jobs/boot.jpg", "jpeg");
  WriteFile(work_ / "abs/logo/l.bmp", "bmp");
  WriteFile(work_ / "jobs/FullLanguage/Strings/English", "english");
  for (const char* lang : {"French", "German"})
    WriteFile(work_ / (std::string("jobs/FullLanguage/Strings/") + lang), lang);
  WriteFile(prog_ / "Config.ini", "[register]\ndefaultLineInGain=0db\n0db=00000\n3db=00011\n");
  package::JobFile job;
  std::string error;
  ASSERT_TRUE(Load("[Job]\nProduct=TestBox\nKind=burning_piecefile\nOriginalFile=in.bin\n"
                   "[Partitions]\nlogo=" + work_ / "abs/logo" + "\nuser=\ncustom=\nmtd=1\nubootlogo=boot.jpg\n"
                   "[FileSystems]\nlogo=Squashfs\n"
                   "[Custom]\nStrings=FullLanguage\nLanguages=French, German\nKoreanFonts=1\n"
                   "LineInGain=1\nLineInLeft=3db\nCloudServer=1\nCloudPort=9001\n"
                   "AppDownloadLink=yes\nIOS=app\n",
                   &job, &error))
      << error;
  const package::MakeOptions& o = job.options;
  EXPECT_EQ(o.kind, package::PackageKind::BurningPiecefile);
  EXPECT_EQ(o.selectedProduct.hardware, "HW-T");
  EXPECT_EQ(o.originalFile, work_ / "jobs/in.bin");
  EXPECT_TRUE(o.originalFileLoaded);
  EXPECT_TRUE(o.SlotTicked(package::kSlotLogo));
  EXPECT_EQ(o.slots[package::kSlotLogo].sourcePath, work_ / "abs/logo");
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
  EXPECT_FALSE(o.oemDevType);
  EXPECT_TRUE(o.cloudServer);
  EXPECT_EQ(o.cloudPort, "9001");
  EXPECT_TRUE(o.appDownloadLink);
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
  WriteFile(work_ / "jobs/u/f", "f");
  ASSERT_TRUE(Load("[Job]\nProduct=TestBox\n[Partitions]\nuser=u\n", &job, &error)) << error;
  EXPECT_EQ(job.options.slots[package::kSlotUser].fs, products::kFsSquashfs);
  EXPECT_FALSE(job.options.originalFileLoaded);
}

// Each refusal names the job file and the line of the key at fault (the
// section's line when the key is missing; none for a missing section).
TEST_F(JobFileTest, Refusals) {
  const struct {
    const char* text;
    int line;
    const char* reason;
  } cases[] = {
      {"[Partitions]\nlogo=x\n", 0, "no [Job] section"},
      {"[Job]\nKind=Network_upgrades\n", 1, "Product is required"},
      {"[Job]\nProduct=Nope\n", 2, "no product named 'Nope'"},
      {"[Job]\nProduct=TestBox\nKind=zip\n", 3, "neither Network_upgrades nor Burning_piecefile"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nylk=x\n", 4, "has no such partition"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nmtd=1\n", 4, "mtd needs [Job] OriginalFile"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogo=x\n[FileSystems]\nlogo=ntfs\n", 6, "'ntfs' is not Cramfs"},
      {"[Job]\nProduct=TestBox\n[Custom]\nCloudServer=1\n", 4, "CloudServer needs the custom partition"},
      {"[Job]\nProduct=TestBox\n[Partitions]\ncustom=\n[Custom]\nStrings=s\n", 6, "Strings needs [Job] OriginalFile"},
      {"[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\ncustom=\n[Custom]\nStrings=s\nLanguages=../x\n",
       8, "not a language file name"},
      {"[Job]\nProduct=TestBox\n; a comment\nlogo\n", 4, "'logo' is neither [Section], key=value nor a comment"},
      {"Product=TestBox\n[Job]\n", 1, "key 'Product' before any [Section]"},
      {"[Job]\nProduct=TestBox\n[Job]\n", 3, "section [Job] given twice (first on line 1)"},
      {"[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\nmtd=maybe\n", 5, "'maybe' is not a switch"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogo=x\n[FileSystems]\nuser=Cramfs\n", 6,
       "user has no effect without user in [Partitions]"},
      {"[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\ncustom=\n[Custom]\nCloudAddress=c.test\n", 7,
       "CloudAddress has no effect without CloudServer=1"},
      {"[Job]\nProduct=TestBox\n[Custom]\nLineInGain=1\nLineInLeft=loud\n", 5, "'loud' is not a gain label"},
      {"[Job]\nProduct=TestBox\nKind=Burning_piecefile\nOriginalFile=in.bin\n[Custom]\nOEMDevType=QZ\n", 6,
       "OEMDevType has no effect without an upgrade package"},
      {"[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\napp=x\n", 5,
       "app has no effect in a rework"},
      {"[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\nubootlogo=\n", 5,
       "ubootlogo has no effect without a file"},
  };
  WriteFile(work_ / "jobs/in.bin", "x");
  WriteFile(prog_ / "Config.ini", "[register]\n3db=00011\n");
  for (const auto& c : cases) {
    package::JobFile job;
    std::string error;
    EXPECT_FALSE(Load(c.text, &job, &error)) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    const std::string where =
        work_ / "jobs/job.ini" + (c.line > 0 ? ":" + std::to_string(c.line) : std::string()) + ": ";
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
  }
}

TEST_F(JobFileTest, NearMissesSuggestTheKnownName) {
  EXPECT_EQ(package::NearestName("logoo", {"web", "logo", "user"}), "logo");
  EXPECT_EQ(package::NearestName("Custum", {"Job", "Partitions", "FileSystems", "Custom"}), "Custom");
  EXPECT_EQ(package::NearestName("oemdevtyp", {"OEMDevType", "DeviceModel"}), "OEMDevType");
  EXPECT_EQ(package::NearestName("zzz", {"web", "logo"}), "");
  EXPECT_EQ(package::NearestName("Pictures", {"Strings", "Configs"}), "");
}

TEST_F(JobFileTest, StagesEnglishAndTheListedLanguages) {
  for (const char* lang : {"English", "French", "German", "Korean"})
    WriteFile(work_ / (std::string("FullLanguage/Strings/") + lang), std::string("text of ") + lang);
  WriteFile(prog_ / "TempStrings/Stale", "old");
  WriteFile(work_ / "jobs/in.bin", "x");
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

// Without Languages, as the window with every row ticked: every language
// file (no extension) of the Strings folder, Korean only with KoreanFonts=1.
TEST_F(JobFileTest, WithoutLanguagesEveryLanguageFileIsStaged) {
  for (const char* lang : {"English", "French", "Korean", "Turkish"})
    WriteFile(work_ / (std::string("FullLanguage/Strings/") + lang), lang);
  WriteFile(work_ / "FullLanguage/Strings/notes.txt", "not a language");
  WriteFile(work_ / "in.bin", "x");
  for (const bool korean : {false, true}) {
    package::JobFile job;
    std::string error;
    ASSERT_TRUE(Load("[Job]\nProduct=TestBox\nOriginalFile=" + work_ / "in.bin" +
                         "\n[Partitions]\ncustom=\n[Custom]\nStrings=" + work_ / "FullLanguage" +
                         (korean ? "\nKoreanFonts=1\n" : "\n"),
                     &job, &error))
        << error;
    ASSERT_TRUE(package::StageJobLanguages(&job, Prog(), &error)) << error;
    EXPECT_TRUE(job.options.fullLanguageStrings);
    std::vector<std::string> staged;
    for (const auto& e : fs::directory_iterator(prog_ / "TempStrings")) staged.push_back(e.path().filename());
    std::sort(staged.begin(), staged.end());
    EXPECT_EQ(staged, korean ? (std::vector<std::string>{"English", "French", "Korean", "Turkish"})
                             : (std::vector<std::string>{"English", "French", "Turkish"}));
  }
}

class MakeCli : public PackageTest {
 protected:
  void SetUp() override {
    PackageTest::SetUp();
    if (IsSkipped()) return;
    InstallCli();
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

// Standard output carries the written path alone and standard error the one
// success line; -v adds the traces, --progress the steps with their counts,
// both on standard error.
TEST_F(MakeCli, QuietByDefaultTracesWithVerboseStepsWithProgress) {
  MakeFolder("logo", "l");
  MakeFolder("user", "u");
  WriteFile(work_ / "job.ini", "[Job]\nProduct=TestBox\n[Partitions]\nlogo=logo\nuser=user\n");
  const std::string package = prog_ / "TestBox_all.bin";
  const auto run = [&](const std::string& option) {
    std::vector<std::string> argv = {prog_ / "firmsmith-cli", "make", work_ / "job.ini", "--no-pauses"};
    if (!option.empty()) argv.push_back(option);
    const testsupport::CommandResult r = RunCommand(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, package + "\n") << option;
    return r.err;
  };
  const std::string quiet = run("");
  EXPECT_EQ(quiet, "Firmsmith: Upgrade file created: " + package + "\n");
  const std::string verbose = run("-v");
  EXPECT_NE(verbose.find("root:\n"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("marker.txt\n"), std::string::npos) << verbose;
  // The success box's detail is a trace too.
  EXPECT_NE(verbose.find("\nFile: TestBox_all.bin\nSize: "), std::string::npos) << verbose;
  const std::string steps = run("--progress");
  const std::size_t building = steps.find("building user-x as cramfs\n");
  const std::size_t packing = steps.find("packing TestBox_all.bin\n");
  EXPECT_NE(building, std::string::npos) << steps;
  EXPECT_NE(packing, std::string::npos) << steps;
  EXPECT_LT(building, packing) << steps;
  // Redirected, a counted step adds a line at each tenth it reaches: the
  // last says the whole package is packed.
  const std::size_t packed = steps.find("packing TestBox_all.bin (100%)\n");
  EXPECT_NE(packed, std::string::npos) << steps;
  EXPECT_LT(packing, packed) << steps;
  EXPECT_EQ(steps.find('\r'), std::string::npos) << steps;
  EXPECT_EQ(steps.find("root:"), std::string::npos) << steps;
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

// Mistakes in the job file stop the run before anything is done: exit 2,
// one line naming file:line and the cause, and no file anywhere changed or
// added (the input package included).
TEST_F(MakeCli, JobFileMistakesExitTwoNamingTheLineAndWriteNothing) {
  MakeFolder("logo", "l");
  WriteFile(work_ / "InstallDesc", "{\"UpgradeCommand\": [], \"Hardware\": \"HW-T\"}");
  PeerPackage("in.bin", {"InstallDesc"});
  WriteFile(work_ / "InstallDesc", "{\"UpgradeCommand\": [], \"DevID\": \"0123\", \"Hardware\": \"HW-T\"}");
  PeerPackage("short.bin", {"InstallDesc"});
  const std::string rework = "[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\ncustom=\n[Custom]\n";
  const struct {
    std::string job;
    int line;
    const char* reason;
  } cases[] = {
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogoo=logo\n", 4,
       "unknown key 'logoo' in [Partitions] (did you mean 'logo'?)"},
      {"[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Custum]\nOEMDevType=QZ\n", 4,
       "unknown section [Custum] (did you mean 'Custom'?)"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogo=logo\nLOGO=logo\n", 5,
       "key 'logo' given twice in [Partitions] (first on line 4)"},
      {"[Job]\nProduct=TestBox\nKind=Network_upgrade\n[Partitions]\nlogo=logo\n", 3,
       "(did you mean 'Network_upgrades'?)"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogo=logo\nuser=no-such-folder\n", 5,
       "no-such-folder does not exist"},
      {rework + "Pictures=no-such-pictures\n", 7, "no-such-pictures does not exist"},
      {"[Job]\nProduct=TestBox\nOriginalFile=no-such.bin\n[Partitions]\nlogo=logo\n", 3, "no-such.bin does not exist"},
      {"[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Custom]\nOEMDevType=QZ\n", 5, "has no DevID in InstallDesc"},
      {"[Job]\nProduct=TestBox\nOriginalFile=short.bin\n[Custom]\nOEMDevType=QZ\n", 5,
       "has a DevID of 4 characters, not 24"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogo=logo\n[Custom]\nOEMDevType=QZ\n", 6,
       "OEMDevType has no effect without an upgrade package"},
      {rework + "CloudServer=1\nCloudPort=70000\n", 8, "'70000' is not a port (1 to 65535)"},
      {rework + "CloudServer=2\n", 7, "'2' is not a switch"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogo=logo\n[FileSystems]\nlogo=Cramf\n", 6, "(did you mean 'Cramfs'?)"},
  };
  const auto before = testsupport::SnapshotTree(work_.path());
  const auto programBefore = testsupport::SnapshotTree(prog_.path());
  for (const auto& c : cases) {
    const testsupport::CommandResult r = Make(c.job);
    EXPECT_EQ(r.status, 2) << c.job << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("firmsmith-cli: " + work_ / "job.ini" + ":" + std::to_string(c.line) + ": ", 0), 0u)
        << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    auto after = testsupport::SnapshotTree(work_.path());
    after.erase(work_ / "job.ini");
    auto expected = before;
    expected.erase(work_ / "job.ini");
    EXPECT_EQ(after, expected) << c.job;
    EXPECT_EQ(testsupport::SnapshotTree(prog_.path()), programBefore) << c.job;
  }
}

// --dry-run checks what a run checks and prints the plan on standard output;
// no file anywhere is changed or added.
TEST_F(MakeCli, DryRunPrintsThePlanAndWritesNothing) {
  MakeFolder("logo", "l");
  MakeFolder("user", "u");
  MakeFolder("user2", "u2");
  PeerImage(work_ / "user", "user-x.cramfs.img", kUserStart, kUserEnd);
  WriteFile(work_ / "InstallDesc",
            "{\"UpgradeCommand\": [{\"Command\": \"Burn\", \"FileName\": \"user-x.cramfs.img\"}], "
            "\"DevID\": \"0123456789ABCDEFGHIJKLMN\", \"Hardware\": \"HW-T\"}");
  const std::string input = PeerPackage("in.bin", {"InstallDesc", "user-x.cramfs.img"});
  WriteFile(work_ / "logo-x.cramfs.img", std::string(100, 'G'));
  PeerPackage("damaged.bin", {"InstallDesc", "user-x.cramfs.img", "logo-x.cramfs.img"});
  WriteFile(work_ / "flash.bin", std::string(0x10000, '\xff'));
  for (const char* lang : {"English", "French"})
    WriteFile(work_ / (std::string("FullLanguage/Strings/") + lang), lang);
  const struct {
    std::string job;
    int status;
    std::vector<std::string> printed;  // on standard output (status 0) or error
  } cases[] = {
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogo=logo\nuser=user\n",
       0,
       {"kind:        new upgrade package from folders\n", "partition:   user-x.cramfs.img\n",
        "  source:      " + work_ / "user" + "\n", "  file system: cramfs\n",
        "  bounds:      0x00250000..0x00650000 (4194304 bytes)\n", "partition:   logo-x.cramfs.img\n",
        "  + Burn user-x.cramfs.img\n", "  + Burn logo-x.cramfs.img\n",
        "output:      " + prog_ / "TestBox_all.bin" + "\n"}},
      {"[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\nuser=user2\nmtd=1\n[Custom]\nOEMDevType=QZ\n",
       0,
       {"kind:        rework of the upgrade package\n", "input:       " + input + "\n",
        "partition:   user-x.cramfs.img\n", "  source:      " + work_ / "user2" + "\n",
        "partition:   mtd-x.img\n", "  file system: raw\n", "mtd-x.img\n",
        "  DevID 0123456789ABCDEFGHIJKLMN -> 0123456789ABCDEFGHIJKLQZ\n", "output:      " + input + " (replaced"}},
      {"[Job]\nProduct=TestBox\nOriginalFile=damaged.bin\n[Partitions]\nuser=user2\n",
       1,
       {"damaged.bin: logo-x.cramfs.img: no partition image header (bad magic)"}},
      {"[Job]\nProduct=TestBox\nKind=Burning_piecefile\nOriginalFile=flash.bin\n[Partitions]\nuser=user2\n",
       0,
       {"kind:        rework of the flash image\n", "partition:   user-x.cramfs (patched in place)\n",
        "  bounds:      0x00250000..0x00650000 (4194304 bytes)\n", "output:      " + work_ / "flash.bin" + " (replaced"}},
      {"[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\ncustom=\n[Custom]\nStrings=FullLanguage\n",
       1,
       {"in.bin: no custom-x.cramfs.img listed in its InstallDesc to customise"}},
  };
  for (const auto& c : cases) {
    WriteFile(work_ / "job.ini", c.job);
    const auto before = testsupport::SnapshotTree(work_.path());
    const auto programBefore = testsupport::SnapshotTree(prog_.path());
    const testsupport::CommandResult r =
        RunCommand({prog_ / "firmsmith-cli", "make", work_ / "job.ini", "--dry-run"});
    EXPECT_EQ(r.status, c.status) << c.job << r.err;
    for (const std::string& line : c.printed)
      EXPECT_NE((c.status == 0 ? r.out : r.err).find(line), std::string::npos) << line << "\n" << r.out << r.err;
    // A rework lists only what it adds: the package names its user image already.
    if (c.job.find("OriginalFile=in.bin") != std::string::npos) {
      EXPECT_EQ(r.out.find("+ Burn user-x"), std::string::npos) << r.out;
    }
    EXPECT_EQ(testsupport::SnapshotTree(work_.path()), before) << c.job;
    EXPECT_EQ(testsupport::SnapshotTree(prog_.path()), programBefore) << c.job;
  }
}

// Configs= read from the device with no Password in the job, no
// FIRMSMITH_PASSWORD and no terminal: the run stops before it connects.
TEST_F(MakeCli, ReadingTheDeviceWithoutAPasswordStopsBeforeConnecting) {
  testsupport::LoopbackListener device;
  ASSERT_TRUE(device.Start());
  WriteFile(work_ / "InstallDesc", "{\"UpgradeCommand\": [], \"Hardware\": \"HW-T\"}");
  PeerPackage("in.bin", {"InstallDesc"});
  WriteFile(work_ / "job.ini", "[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\ncustom=\n[Custom]\n"
                               "Configs=\nIP=127.0.0.1\nPort=" + std::to_string(device.port()) + "\n");
  const auto before = testsupport::SnapshotTree(work_.path());
  const testsupport::CommandResult r =
      RunCommand({prog_ / "firmsmith-cli", "make", work_ / "job.ini", "--no-pauses"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find(work_ / "job.ini"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("no password given"), std::string::npos) << r.err;
  EXPECT_EQ(device.Connections(), 0);
  EXPECT_EQ(testsupport::SnapshotTree(work_.path()), before);
}

TEST_F(MakeCli, FailuresExitWithOne) {
  MakeFolder("logo", "l");
  const struct {
    const char* job;
    const char* text;
  } cases[] = {
      {"[Job]\nProduct=TestBox\nKind=Burning_piecefile\n[Partitions]\nlogo=logo\n",
       "A flash burning image needs an original file"},
      {"[Job]\nProduct=TestBox\n[Partitions]\nlogo=\n", "Please choose the source folder"},
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
