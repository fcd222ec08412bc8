// inspect, verify and diff of upgrade packages, on packages the tests build
// with our cramfs writer, MakeImage and PackFolder, broken one way each, and
// on a package fresh from the make operation; mkimage -l is the peer that
// judges the header CRCs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <json/json.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <utility>
#include <string>
#include <vector>

#include "firmsmith/check/package_diff.h"
#include "firmsmith/check/package_inspect.h"
#include "firmsmith/check/package_verify.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "firmsmith/fsimage/cramfs_writer.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/package/layout/install_desc.h"
#include "firmsmith/package/make/make_operation.h"
#include "firmsmith/package/make/make_options.h"
#include "check_fixture.h"
#include "test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

using namespace checktest;  // the test product's layout and Text

constexpr std::uint32_t kLogoStart = 0x00950000, kLogoEnd = 0x00951000;  // 4 KiB: small on purpose

const std::string kProductIni = std::string(checktest::kTestBoxIni) +
    "[LOGO]\nstart=0x00950000\nend=0x00951000\nfs=cramfs\n";

// Text that compresses, but not to nothing, so a file takes several blocks.
std::string Cli(const std::vector<std::string>& args, int* status, std::string* err = nullptr) {
  std::vector<std::string> argv = {testsupport::AppDir() + "/firmsmith-cli"};
  argv.insert(argv.end(), args.begin(), args.end());
  const testsupport::CommandResult r = RunCommand(argv);
  *status = r.status;
  if (err) *err = r.err;
  return r.out;
}

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(ProductFile(), kProductIni);
    ASSERT_TRUE(check::FindProduct(ProductFile(), &product_, &error_)) << error_;
  }

  std::string ProductFile() const { return dir_ / "Products/TestBox.ini"; }

  // The custom partition's tree: language files and the product stamp.
  void WriteCustomTree(const std::string& folder) {
    WriteFile(folder + "/ProductDefinition", "{\n\t\"Hardware\" : \"HW-T\",\n\t\"UpdataType\" : 3\n}\n");
    WriteFile(folder + "/data/Strings/English", Text(400, "English"));
    WriteFile(folder + "/data/Strings/French", Text(400, "French"));
    WriteFile(folder + "/data/Fonts/font.bin", Text(50, "font"));
  }

  // Builds the tree with our writer and wraps it into `pkg`/<entry>.
  void WrapTree(const std::string& tree, const std::string& pkg, const std::string& entry,
                std::uint32_t start, std::uint32_t end) {
    const std::string payload = dir_ / (entry + ".payload");
    std::filesystem::create_directories(pkg);
    std::string why;
    ASSERT_EQ(fsimage::BuildCramfsImage(tree, payload, &why), 0) << why;
    ASSERT_EQ(fsimage::MakeImage(payload, pkg + "/" + entry, start, end), 0);
  }

  // A sound package folder: custom and user images, both listed.
  std::string GoodFolder(const std::string& name) {
    const std::string pkg = dir_ / name;
    WriteCustomTree(dir_ / (name + "-custom"));
    WriteFile(dir_ / (name + "-user/etc/loadmod"), Text(300, "insmod"));
    WrapTree(dir_ / (name + "-custom"), pkg, "custom-x.cramfs.img", kCustomStart, kCustomEnd);
    WrapTree(dir_ / (name + "-user"), pkg, "user-x.cramfs.img", kUserStart, kUserEnd);
    const std::string desc = pkg + "/InstallDesc";
    EXPECT_TRUE(package::WriteFreshInstallDesc(desc, "HW-T", "Vend"));
    EXPECT_EQ(package::AppendBuildCommand(desc, "user-x.cramfs.img"), package::DescResult::kOk);
    EXPECT_EQ(package::AppendBuildCommand(desc, "custom-x.cramfs.img"), package::DescResult::kOk);
    return pkg;
  }

  std::string Pack(const std::string& folder) {
    const std::string bin = folder + ".bin";
    EXPECT_EQ(fsimage::PackFolder(folder, bin), 0);
    return bin;
  }

  testsupport::TempDir dir_;
  products::ProductProfile product_;
  std::string error_;
};

void FlipByte(const std::string& path, std::size_t at) {
  std::string bytes = ReadFile(path);
  ASSERT_LT(at, bytes.size());
  bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
  WriteFile(path, bytes);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

// ---- verify: one broken package per row ----

struct BrokenCase {
  const char* name;
  std::function<void(CheckTest*, const std::string& pkg)> breakIt;
  const char* expected;  // a piece of the problem line that names it
};

void PrintTo(const BrokenCase& c, std::ostream* os) { *os << c.name; }

class BrokenPackages : public CheckTest, public ::testing::WithParamInterface<BrokenCase> {
 public:
  void WrapTreePublic(const std::string& tree, const std::string& pkg, const std::string& entry,
                      std::uint32_t start, std::uint32_t end) {
    WrapTree(tree, pkg, entry, start, end);
  }
  std::string Dir(const std::string& name) { return dir_ / name; }
};

const BrokenCase kBrokenCases[] = {
    {"FlippedPayloadByte",
     [](CheckTest*, const std::string& pkg) { FlipByte(pkg + "/user-x.cramfs.img", 64 + 200); },
     "user-x.cramfs.img: data CRC"},
    {"WrongHeaderCrc",
     [](CheckTest*, const std::string& pkg) { FlipByte(pkg + "/custom-x.cramfs.img", fsimage::IH_HCRC_OFFSET); },
     "custom-x.cramfs.img: header CRC"},
    {"CommandNamesMissingEntry",
     [](CheckTest*, const std::string& pkg) {
       ASSERT_EQ(package::AppendBuildCommand(pkg + "/InstallDesc", "romfs-x.cramfs.img"), package::DescResult::kOk);
     },
     "burns romfs-x.cramfs.img, which the package does not hold"},
    {"UnlistedImage",
     [](CheckTest*, const std::string& pkg) {
       WriteFile(pkg + "/logo-x.cramfs.img", ReadFile(pkg + "/user-x.cramfs.img"));
     },
     "logo-x.cramfs.img: not listed in InstallDesc"},
    {"ImageBiggerThanItsPartition",
     [](CheckTest* t, const std::string& pkg) {
       auto* self = static_cast<BrokenPackages*>(t);
       WriteFile(self->Dir("biglogo/logo.bmp"), Text(3000, "pixels"));
       self->WrapTreePublic(self->Dir("biglogo"), pkg, "logo-x.cramfs.img", kLogoStart, kLogoStart + 0x100000);
       ASSERT_EQ(package::AppendBuildCommand(pkg + "/InstallDesc", "logo-x.cramfs.img"), package::DescResult::kOk);
     },
     "bytes do not fit partition LOGO"},
    {"CramfsBlockDamaged",
     [](CheckTest* t, const std::string& pkg) {
       auto* self = static_cast<BrokenPackages*>(t);
       // Damage a compressed block of the user image, then wrap it again so
       // that only the file system itself is wrong.
       const std::string payload = self->Dir("damaged.payload");
       ASSERT_EQ(fsimage::StripImageHeader(pkg + "/user-x.cramfs.img", payload), 0);
       std::string bytes = ReadFile(payload);
       const std::size_t block = bytes.find("\x78\xda", 76);
       ASSERT_NE(block, std::string::npos);
       bytes[block + 20] = static_cast<char>(bytes[block + 20] ^ 0xff);
       WriteFile(payload, bytes);
       ASSERT_EQ(fsimage::MakeImage(payload, pkg + "/user-x.cramfs.img", kUserStart, kUserEnd), 0);
     },
     "user-x.cramfs.img: cramfs etc/loadmod: block 0 does not inflate"},
    {"SquashfsSuperblockRejected",
     [](CheckTest* t, const std::string& pkg) {
       auto* self = static_cast<BrokenPackages*>(t);
       const std::string payload = self->Dir("user.squashfs");
       WriteFile(self->Dir("sq/etc/loadmod"), "insmod a.ko\n");
       ASSERT_EQ(RunCommand({"mksquashfs", self->Dir("sq"), payload, "-noappend", "-b", "4k"}).status, 0);
       std::string bytes = ReadFile(payload);
       bytes[28] = 7;  // a major version no reader knows
       WriteFile(payload, bytes);
       ASSERT_EQ(fsimage::MakeImage(payload, pkg + "/user-x.cramfs.img", kUserStart, kUserEnd), 0);
     },
     "user-x.cramfs.img: squashfs superblock rejected by unsquashfs"},
    {"InstallDescNotJson",
     [](CheckTest*, const std::string& pkg) { WriteFile(pkg + "/InstallDesc", "{ \"UpgradeCommand\" : [ oops"); },
     "InstallDesc: not a JSON object"},
    {"TruncatedImage",
     [](CheckTest*, const std::string& pkg) {
       const std::string path = pkg + "/user-x.cramfs.img";
       WriteFile(path, ReadFile(path).substr(0, 3000));
     },
     "user-x.cramfs.img: header data size"},
    {"WrongLoadAddress",
     [](CheckTest* t, const std::string& pkg) {
       auto* self = static_cast<BrokenPackages*>(t);
       const std::string payload = self->Dir("moved.payload");
       ASSERT_EQ(fsimage::StripImageHeader(pkg + "/user-x.cramfs.img", payload), 0);
       ASSERT_EQ(fsimage::MakeImage(payload, pkg + "/user-x.cramfs.img", kUserStart + 0x1000, kUserEnd), 0);
     },
     "user-x.cramfs.img: load address 0x00251000 is not the start 0x00250000 of partition USER"},
    {"ProductDefinitionOfAnotherBoard",
     [](CheckTest* t, const std::string& pkg) {
       auto* self = static_cast<BrokenPackages*>(t);
       const std::string tree = self->Dir("other-custom");
       WriteFile(tree + "/ProductDefinition", "{ \"Hardware\" : \"HW-OTHER\" }");
       self->WrapTreePublic(tree, pkg, "custom-x.cramfs.img", kCustomStart, kCustomEnd);
     },
     "ProductDefinition names hardware \"HW-OTHER\", not \"HW-T\""},
};

TEST_P(BrokenPackages, VerifyNamesTheProblem) {
  const std::string folder = GoodFolder("pkg");
  GetParam().breakIt(this, folder);
  if (HasFatalFailure()) return;
  const std::string bin = Pack(folder);
  const std::vector<std::string> problems = check::VerifyPackage(bin, &product_);
  EXPECT_NE(Joined(problems).find(GetParam().expected), std::string::npos) << Joined(problems);

  int status = 0;
  std::string err;
  Cli({"verify", bin, "--product", ProductFile()}, &status, &err);
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find(GetParam().expected), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Table, BrokenPackages, ::testing::ValuesIn(kBrokenCases),
                         [](const ::testing::TestParamInfo<BrokenCase>& info) { return info.param.name; });

TEST_F(CheckTest, SoundPackageVerifiesCleanWithAndWithoutProduct) {
  const std::string bin = Pack(GoodFolder("pkg"));
  EXPECT_EQ(Joined(check::VerifyPackage(bin, &product_)), "");
  EXPECT_EQ(Joined(check::VerifyPackage(bin, nullptr)), "");
  int status = 0;
  std::string err;
  const std::string out = Cli({"verify", bin, "--product", ProductFile()}, &status, &err);
  EXPECT_EQ(status, 0) << err;
  EXPECT_NE(out.find(": ok"), std::string::npos) << out;
}

TEST_F(CheckTest, SquashfsPartitionsAreCheckedAndCompared) {
  // A package whose user image is squashfs under a squashfs name, before and
  // after a file changed.
  std::vector<std::string> bins;
  for (const std::string version : {"1", "22"}) {
    const std::string folder = GoodFolder("sq" + version);
    std::remove((folder + "/user-x.cramfs.img").c_str());
    WriteFile(dir_ / ("sqsrc" + version + "/etc/loadmod"), "insmod v" + version + ".ko\n");
    const std::string payload = dir_ / ("sq" + version + ".squashfs");
    ASSERT_EQ(RunCommand({"mksquashfs", dir_ / ("sqsrc" + version), payload, "-noappend"}).status, 0);
    ASSERT_EQ(fsimage::MakeImage(payload, folder + "/user-x.squashfs.img", kUserStart, kUserEnd), 0);
    WriteFile(folder + "/InstallDesc", package::FreshInstallDescText("HW-T", "Vend"));
    ASSERT_EQ(package::AppendBuildCommand(folder + "/InstallDesc", "user-x.squashfs.img"), package::DescResult::kOk);
    ASSERT_EQ(package::AppendBuildCommand(folder + "/InstallDesc", "custom-x.cramfs.img"), package::DescResult::kOk);
    bins.push_back(Pack(folder));
    EXPECT_EQ(Joined(check::VerifyPackage(bins.back(), &product_)), "");
  }
  check::PackageDiff diff;
  ASSERT_TRUE(check::DiffPackages(bins[0], bins[1], &product_, &diff, &error_)) << error_;
  // The custom images were built apart, so at most their header times differ.
  const check::EntryChange* user = nullptr;
  for (const check::EntryChange& e : diff.entries) {
    if (e.name == "user-x.squashfs.img") user = &e;
    else EXPECT_TRUE(e.headerOnly) << check::DiffText(diff);
  }
  ASSERT_NE(user, nullptr) << check::DiffText(diff);
  ASSERT_EQ(user->files.size(), 1u) << check::DiffText(diff);
  EXPECT_EQ(user->files[0].path, "etc/loadmod");
  EXPECT_EQ(user->files[0].sizeA + 1, user->files[0].sizeB);
}

// The structural check sees what the lenient extraction lets pass.
TEST_F(CheckTest, CramfsCheckFindsADamagedBlockTheExtractionIgnores) {
  WriteFile(dir_ / "tree/a.txt", Text(600, "alpha"));
  const std::string image = dir_ / "fs.cramfs";
  ASSERT_EQ(fsimage::BuildCramfsImage(dir_ / "tree", image), 0);
  std::vector<std::string> problems;
  EXPECT_EQ(fsimage::CheckCramfsImage(image, &problems), 0) << Joined(problems);
  std::string bytes = ReadFile(image);
  const std::size_t block = bytes.find("\x78\xda", 76);
  ASSERT_NE(block, std::string::npos);
  bytes[block + 30] = static_cast<char>(bytes[block + 30] ^ 0xff);
  WriteFile(image, bytes);
  EXPECT_EQ(fsimage::ExtractCramfsImage(image, dir_ / "out"), 0);  // lenient by contract
  EXPECT_EQ(fsimage::CheckCramfsImage(image, &problems), -1);
  const std::string all = Joined(problems);
  EXPECT_NE(all.find("superblock CRC is wrong"), std::string::npos) << all;
  EXPECT_NE(all.find("a.txt: block 0 does not inflate"), std::string::npos) << all;
  if (testsupport::HaveProgram("fsck.cramfs")) {
    EXPECT_NE(RunCommand({"fsck.cramfs", image}).status, 0);  // the peer agrees
  }
}

// ---- the make operation checks what it wrote ----

class MakeVerifies : public CheckTest {
 protected:
  package::MakeOptions BuildOptions() {
    package::MakeOptions o;
    o.selectedProduct = product_;
    package::TickSlot(&o, package::kSlotUser);
    package::TickSlot(&o, package::kSlotCustom);
    WriteFile(dir_ / "src-user/etc/loadmod", Text(200, "insmod"));
    WriteCustomTree(dir_ / "src-custom");
    o.slots[package::kSlotUser].sourcePath = dir_ / "src-user";
    o.slots[package::kSlotCustom].sourcePath = dir_ / "src-custom";
    return o;
  }
  package::MakeEnvironment Env() {
    package::MakeEnvironment env;
    env.programDirectory = dir_.path() + "/";
    env.sink = &sink_;
    env.pauseScale = 0;
    return env;
  }
  testsupport::RecordingMessageSink sink_;
};

TEST_F(MakeVerifies, FreshPackageVerifiesCleanAndSucceeds) {
  package::MakeEnvironment env = Env();
  env.verifyOutput = check::MakeOutputVerifier();
  ASSERT_EQ(package::RunMakeOperation(BuildOptions(), env), package::MakeOutcome::kPackageBuilt)
      << (sink_.boxes.empty() ? "" : sink_.boxes.back().text);
  const std::string bin = dir_ / "TestBox_all.bin";
  EXPECT_EQ(Joined(check::VerifyPackage(bin, &product_)), "");
  int status = 0;
  std::string err;
  Cli({"verify", bin, "--product", ProductFile()}, &status, &err);
  EXPECT_EQ(status, 0) << err;
}

TEST_F(MakeVerifies, FailedCheckIsReportedAsAnErrorNotASuccess) {
  package::MakeEnvironment env = Env();
  std::string checked;
  env.verifyOutput = [&](const std::string& path, const products::ProductProfile* product, std::string* problems) {
    checked = path;
    EXPECT_TRUE(product && product->name == "TestBox");
    *problems = "user-x.cramfs.img: data CRC 0x12345678 is wrong";
    return false;
  };
  EXPECT_EQ(package::RunMakeOperation(BuildOptions(), env), package::MakeOutcome::kFailed);
  // Checked under its temporary name beside the destination, which it never
  // reached; nothing of it is left.
  EXPECT_EQ(checked.rfind(dir_ / "TestBox_all.bin.part-", 0), 0u) << checked;
  EXPECT_FALSE(testsupport::FileExists(dir_ / "TestBox_all.bin"));
  EXPECT_FALSE(testsupport::FileExists(checked));
  ASSERT_FALSE(sink_.boxes.empty());
  const std::string last = sink_.boxes.back().text;
  EXPECT_NE(last.find("does not pass its check"), std::string::npos) << last;
  // The problems are the box's detail, under the critical icon.
  EXPECT_NE(sink_.boxes.back().reason.find("data CRC 0x12345678 is wrong"), std::string::npos)
      << sink_.boxes.back().reason;
  EXPECT_EQ(sink_.boxes.back().severity, platform::MessageSeverity::Critical);
  for (const auto& box : sink_.boxes) EXPECT_EQ(box.text.find("success"), std::string::npos) << box.text;
}

// ---- verify without --product: the package names its product ----

// The products of the program folder: KV-N3232X's custom partition starts at
// 0x01c10000 and its user partition at 0x00a10000; KV-N1608W's user
// partition starts at 0x003a0000.
TEST_F(CheckTest, VerifyWithoutProductRecognisesItAndChecksBounds) {
  const struct {
    const char* name;
    const char* definition;
    std::uint32_t userStart, userEnd;
    int status;
    std::string inErr;  // "": the bounds were checked
  } cases[] = {
      {"stamp names the hardware, user image misplaced", "{\"Hardware\": \"KV-BRD-3232X-R2\"}", 0x003a0000,
       0x00ca0000, 1, "user-x.cramfs.img: load address 0x003a0000 is not the start 0x00a10000 of partition USER"},
      {"no stamp, the layout fits one product", "{}", 0x00a10000, 0x01410000, 0, ""},
      {"no stamp, no product fits", "{}", 0x003a0000, 0x00ca0000, 0,
       "note: partition bounds were not checked: no known product fits the package"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string pkg = dir_ / (std::string("kv-") + std::to_string(&c - cases));
    const std::string custom = pkg + "-custom";
    WriteFile(custom + "/ProductDefinition", c.definition);
    WriteFile(pkg + "-user/etc/loadmod", Text(30, "insmod"));
    WrapTree(custom, pkg, "custom-x.cramfs.img", 0x01c10000, 0x01d10000);
    WrapTree(pkg + "-user", pkg, "user-x.cramfs.img", c.userStart, c.userEnd);
    const std::string desc = pkg + "/InstallDesc";
    ASSERT_TRUE(package::WriteFreshInstallDesc(desc, "KV-BRD-3232X-R2", "KorrinVision"));
    ASSERT_EQ(package::AppendBuildCommand(desc, "user-x.cramfs.img"), package::DescResult::kOk);
    ASSERT_EQ(package::AppendBuildCommand(desc, "custom-x.cramfs.img"), package::DescResult::kOk);
    const std::string bin = Pack(pkg);
    int status = -1;
    std::string err;
    Cli({"verify", bin}, &status, &err);
    EXPECT_EQ(status, c.status) << err;
    if (c.inErr.empty())
      EXPECT_EQ(err.find("bounds were not checked"), std::string::npos) << err;
    else
      EXPECT_NE(err.find(c.inErr), std::string::npos) << err;
  }
}

// ---- diff against a rework with Strings changed ----

TEST_F(CheckTest, DiffOfAStringsReworkListsTheLanguageFilesAndTheStamp) {
  const std::string original = GoodFolder("orig");
  const std::string before = Pack(original);

  // The rework, by hand: new and changed language files and the stamp in the
  // custom partition, rebuilt and wrapped again; everything else as it was.
  const std::string reworked = dir_ / "rework";
  ASSERT_EQ(fsimage::UnpackArchive(before, reworked), 0);
  const std::string tree = dir_ / "rework-custom";
  ASSERT_EQ(fsimage::StripImageHeader(reworked + "/custom-x.cramfs.img", dir_ / "custom.fs"), 0);
  ASSERT_EQ(fsimage::ExtractCramfsImage(dir_ / "custom.fs", tree), 0);
  WriteFile(tree + "/data/Strings/French", Text(420, "Francais"));
  WriteFile(tree + "/data/Strings/German", Text(300, "Deutsch"));
  WriteFile(tree + "/ProductDefinition",
            "{\n\t\"Hardware\" : \"HW-T\",\n\t\"UpdataTime\" : \"2026-12-10 01:00:00\",\n\t\"UpdataType\" : 35\n}\n");
  WrapTree(tree, reworked, "custom-x.cramfs.img", kCustomStart, kCustomEnd);
  const std::string after = Pack(reworked);

  check::PackageDiff diff;
  ASSERT_TRUE(check::DiffPackages(before, after, &product_, &diff, &error_)) << error_;
  EXPECT_TRUE(diff.desc.empty());
  ASSERT_EQ(diff.entries.size(), 1u) << check::DiffText(diff);
  EXPECT_EQ(diff.entries[0].name, "custom-x.cramfs.img");

  int status = 0;
  const std::string out = Cli({"diff", before, after, "--json"}, &status);
  EXPECT_EQ(status, 1);
  Json::Value root;
  std::string errs;
  Json::CharReaderBuilder reader;
  std::istringstream in(out);
  ASSERT_TRUE(Json::parseFromStream(reader, in, &root, &errs)) << errs << out;
  EXPECT_EQ(root["installDesc"].size(), 0u);
  ASSERT_EQ(root["entries"].size(), 1u);
  std::vector<std::string> files;
  for (const Json::Value& f : root["entries"][0]["files"])
    files.push_back(f["change"].asString() + " " + f["path"].asString());
  EXPECT_EQ(files, (std::vector<std::string>{"changed ProductDefinition", "changed data/Strings/French",
                                             "added data/Strings/German"}));
  const Json::Value& french = root["entries"][0]["files"][1];
  EXPECT_EQ(french["sizeA"].asUInt64(), Text(400, "French").size());
  EXPECT_EQ(french["sizeB"].asUInt64(), Text(420, "Francais").size());

  // A package against itself: nothing, exit status 0.
  Cli({"diff", before, before}, &status);
  EXPECT_EQ(status, 0);
}

TEST_F(CheckTest, DiffReportsInstallDescMembersAndEntriesAddedOrRemoved) {
  const std::string a = GoodFolder("a");
  const std::string before = dir_ / "before.bin";
  std::filesystem::rename(Pack(a), before);
  std::remove((a + "/user-x.cramfs.img").c_str());
  WriteFile(a + "/InstallDesc", "{ \"UpgradeCommand\" : [ { \"Command\" : \"Burn\", \"FileName\" : "
                                "\"custom-x.cramfs.img\" } ], \"Hardware\" : \"HW-T\", \"DevID\" : \"x\" }");
  WriteFile(a + "/readme.txt", "notes");
  const std::string after = Pack(a);
  check::PackageDiff diff;
  ASSERT_TRUE(check::DiffPackages(before, after, nullptr, &diff, &error_)) << error_;
  std::vector<std::string> desc, entries;
  for (const auto& d : diff.desc) desc.push_back(std::string(check::ChangeName(d.change)) + " " + d.member);
  for (const auto& e : diff.entries) entries.push_back(std::string(check::ChangeName(e.change)) + " " + e.name);
  EXPECT_EQ(desc, (std::vector<std::string>{"removed CompatibleVersion", "changed UpgradeCommand", "removed Vendor",
                                            "added DevID"}));
  EXPECT_EQ(entries, (std::vector<std::string>{"removed user-x.cramfs.img", "added readme.txt"}));
}

// ---- inspect --json against mkimage -l ----

TEST_F(CheckTest, InspectJsonAgreesWithMkimageOnEveryImage) {
  if (!testsupport::HaveProgram("mkimage")) GTEST_SKIP() << "mkimage (u-boot-tools) is not installed";
  const std::string folder = GoodFolder("pkg");
  WriteFile(folder + "/logo-x.cramfs.img", ReadFile(folder + "/user-x.cramfs.img"));
  FlipByte(folder + "/logo-x.cramfs.img", 64 + 500);                   // data CRC wrong
  FlipByte(folder + "/custom-x.cramfs.img", fsimage::IH_TIME_OFFSET);  // header CRC wrong
  const std::string bin = Pack(folder);

  int status = 0;
  std::string err;
  const std::string out = Cli({"inspect", bin, "--product", ProductFile(), "--json"}, &status, &err);
  ASSERT_EQ(status, 0) << err;
  Json::Value root;
  std::string errs;
  Json::CharReaderBuilder reader;
  std::istringstream in(out);
  ASSERT_TRUE(Json::parseFromStream(reader, in, &root, &errs)) << errs << out;
  EXPECT_EQ(root["installDesc"]["hardware"].asString(), "HW-T");
  ASSERT_EQ(root["entries"].size(), 3u) << out;
  int bad = 0;
  for (const Json::Value& e : root["entries"]) {
    const std::string name = e["name"].asString();
    const testsupport::CommandResult peer = RunCommand({"mkimage", "-l", folder + "/" + name});
    // mkimage names the image only when both CRCs are right; otherwise it
    // tries other image kinds.
    const bool peerAccepts = peer.out.find("Image Name:   Linux") != std::string::npos;
    const bool oursAccept = e["header"]["headerCrcOk"].asBool() && e["header"]["dataCrcOk"].asBool();
    EXPECT_EQ(oursAccept, peerAccepts) << name << "\n" << peer.out;
    if (!oursAccept) ++bad;
    if (peerAccepts) {
      char load[64];
      std::snprintf(load, sizeof load, "Load Address: %08x",
                    static_cast<unsigned>(std::stoul(e["header"]["loadAddress"].asString(), nullptr, 16)));
      EXPECT_NE(peer.out.find(load), std::string::npos) << peer.out;
    }
    EXPECT_EQ(e["fileSystem"].asString(), "cramfs");
  }
  EXPECT_EQ(bad, 2);
  const Json::Value& user = root["entries"][2];
  EXPECT_EQ(user["name"].asString(), "user-x.cramfs.img");
  EXPECT_EQ(user["partition"]["name"].asString(), "USER");
  EXPECT_EQ(user["partition"]["free"].asInt64(),
            std::int64_t{kUserEnd - kUserStart} - user["header"]["dataSize"].asInt64());
}

TEST_F(CheckTest, FlashImageIsInspectedAndVerifiedPerPartition) {
  // A 8 MiB flash image, erased, with the user and custom file systems at
  // their offsets.
  std::string flash(8 * 1024 * 1024, '\xff');
  WriteCustomTree(dir_ / "f-custom");
  WriteFile(dir_ / "f-user/etc/loadmod", Text(100, "insmod"));
  for (const auto& [tree, start] : {std::pair{std::string("f-custom"), kCustomStart}, {"f-user", kUserStart}}) {
    if (start >= flash.size()) continue;
    ASSERT_EQ(fsimage::BuildCramfsImage(dir_ / tree, dir_ / (tree + ".fs")), 0);
    const std::string fs = ReadFile(dir_ / (tree + ".fs"));
    flash.replace(start, fs.size(), fs);
  }
  const std::string path = dir_ / "flash.img";
  WriteFile(path, flash);
  const std::vector<std::string> problems = check::VerifyPackage(path, &product_);
  // The custom partition lies past 8 MiB: the product does not fit this chip.
  EXPECT_NE(Joined(problems).find("CUSTOM"), std::string::npos) << Joined(problems);

  check::PackageReport report;
  flash.resize(16 * 1024 * 1024, '\xff');
  ASSERT_EQ(fsimage::BuildCramfsImage(dir_ / "f-custom", dir_ / "c.fs"), 0);
  const std::string fs = ReadFile(dir_ / "c.fs");
  flash.replace(kCustomStart, fs.size(), fs);
  WriteFile(path, flash);
  EXPECT_EQ(Joined(check::VerifyPackage(path, &product_)), "");
  ASSERT_TRUE(check::InspectPackage(path, &product_, &report, &error_)) << error_;
  ASSERT_TRUE(report.flashImage);
  std::vector<std::string> kinds;
  for (const auto& e : report.entries) kinds.push_back(e.name + " " + check::ImageKindName(e.fsKind));
  EXPECT_EQ(kinds, (std::vector<std::string>{"LOGO none", "CUSTOM cramfs", "USER cramfs"}));
  // Each partition's free room is what its file system leaves of it; an
  // erased partition is free as a whole.
  const std::string text = check::ReportText(report);
  const auto partitionLine = [&text](const std::string& name) {
    const std::size_t at = text.find("  partition " + name + " ");
    return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
  };
  EXPECT_NE(partitionLine("CUSTOM").find(", " + std::to_string(kCustomEnd - kCustomStart - fs.size()) + " bytes free"),
            std::string::npos)
      << text;
  EXPECT_NE(partitionLine("LOGO").find(", " + std::to_string(kLogoEnd - kLogoStart) + " bytes free"),
            std::string::npos)
      << text;

  // A damaged block inside the flash's custom file system is found.
  flash[kCustomStart + fs.find("\x78\xda", 76) + 20] ^= 0x33;
  WriteFile(path, flash);
  EXPECT_NE(Joined(check::VerifyPackage(path, &product_)).find("CUSTOM: cramfs"), std::string::npos);
}

// ---- links and special entries in a diff ----

// A user partition with library links and a FIFO: a changed link target, a
// link that became a file and a FIFO that went away are changes, named with
// what the entry is; an unchanged link and FIFO are not.
TEST_F(CheckTest, DiffShowsEntryKindsAndLinkTargets) {
  std::vector<std::string> bins;
  for (const std::string version : {"1", "2"}) {
    const std::string folder = GoodFolder("links" + version);
    const std::string user = dir_ / ("links" + version + "-user");
    WriteFile(user + "/lib/libc-2.31.so", Text(200, "libc"));
    std::filesystem::create_symlink(version == "1" ? "libc-2.31.so" : "libc-2.36.so", user + "/lib/libc.so.6");
    std::filesystem::create_symlink("/bin/busybox", user + "/bin-sh");
    if (version == "1") {
      std::filesystem::create_symlink("libc-2.31.so", user + "/lib/libm.so");
      ASSERT_EQ(::mkfifo((user + "/gone-pipe").c_str(), 0644), 0);
    } else {
      WriteFile(user + "/lib/libm.so", "now a file");
    }
    ASSERT_EQ(::mkfifo((user + "/pipe").c_str(), 0644), 0);
    WrapTree(user, folder, "user-x.cramfs.img", kUserStart, kUserEnd);
    bins.push_back(Pack(folder));
    EXPECT_EQ(Joined(check::VerifyPackage(bins.back(), &product_)), "");
  }
  check::PackageDiff diff;
  ASSERT_TRUE(check::DiffPackages(bins[0], bins[1], &product_, &diff, &error_)) << error_;
  const std::string text = check::DiffText(diff);
  EXPECT_NE(text.find("  removed gone-pipe (0 bytes) [fifo]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  changed lib/libc.so.6 (12 -> 12 bytes) [link -> libc-2.31.so => link -> libc-2.36.so]\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  changed lib/libm.so (12 -> 10 bytes) [link -> libc-2.31.so => file]\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("bin-sh"), std::string::npos) << text;
  EXPECT_EQ(text.find(" pipe"), std::string::npos) << text;
}

}  // namespace
