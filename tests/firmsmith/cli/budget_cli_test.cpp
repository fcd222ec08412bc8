// Expansion bombs built by the tests, each run with its output on a 64 MiB
// tmpfs by a program folder whose Config.ini sets [Limits] ExtractBudgetMiB
// to 16: a cramfs image whose files share one stretch of blocks, a ZIP
// archive whose entries share their data, and a device whose configuration
// reply unpacks to 100 MiB. Each must stop with the budget (or overlap)
// message before the disk is full, keep nothing, and leave its inputs as
// they were; inspect and verify must not call the bomb "ok".
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "devsim_runner.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::RunCommand;
using testsupport::WriteFile;

constexpr int kSmallDiskKiB = 64 * 1024;
constexpr int kBudgetMiB = 16;

// A copy of the program folder whose Config.ini sets the budget.
std::string ProgramWithBudget(const std::string& folder, int budgetMiB) {
  const std::string app = testsupport::AppDir();
  fs::create_directories(folder);
  fs::copy_file(app + "/firmsmith-cli", folder + "/firmsmith-cli");
  fs::copy(app + "/Language", folder + "/Language", fs::copy_options::recursive);
  fs::copy(app + "/Products", folder + "/Products", fs::copy_options::recursive);
  WriteFile(folder + "/Config.ini", testsupport::ReadFile(app + "/Config.ini") + "\n[Limits]\nExtractBudgetMiB=" +
                                        std::to_string(budgetMiB) + "\n");
  return folder + "/firmsmith-cli";
}

// A sparse file of `size` zero bytes: a source tree of gigabytes that costs
// no disk.
void SparseFile(const std::string& path, std::uint64_t size) {
  fs::create_directories(fs::path(path).parent_path());
  { std::ofstream(path, std::ios::binary); }
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
}

// Runs `argv` with `small` a fresh 64 MiB tmpfs; afterwards standard error
// gets "LEFT=[...]", what the disk still holds.
CommandResult RunOnSmallDisk(const std::string& small, std::vector<std::string> argv) {
  fs::create_directories(small);
  argv.insert(argv.begin(),
              {"sh", "-c", "d=$1; shift; \"$@\"; rc=$?; printf 'LEFT=[%s]\\n' \"$(ls -A \"$d\")\" >&2; exit $rc",
               "sh", small});
  const std::vector<std::string> wrapped = testsupport::OnSmallDisk(small, kSmallDiskKiB, argv);
  if (wrapped.empty()) return CommandResult{-1, "", "no tmpfs"};
  return RunCommand(wrapped);
}

void ExpectStoppedByBudget(const CommandResult& r) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("extraction budget of " + std::to_string(kBudgetMiB) + " MiB ([Limits] ExtractBudgetMiB"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("No space left"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("LEFT=[]"), std::string::npos) << r.err;
}

class Bombs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "a tmpfs needs root";
    fs::create_directories(dir_ / "probe");
    if (testsupport::OnSmallDisk(dir_ / "probe", 4, {"true"}).empty()) GTEST_SKIP() << "no private tmpfs";
    cli_ = ProgramWithBudget(dir_ / "prog", kBudgetMiB);
  }

  // Eight files of 16 MiB - 1 zero bytes: our writer stores their blocks
  // once and lets every file point at them, 128 MiB in a small image.
  std::string CramfsBomb() {
    fs::create_directories(dir_ / "in");
    for (int i = 0; i < 8; ++i) SparseFile(dir_ / ("bomb-tree/f" + std::to_string(i)), (16u << 20) - 1);
    const CommandResult built = RunCommand({cli_, "cramfs-build", dir_ / "bomb-tree", dir_ / "in/bomb.cramfs"});
    EXPECT_EQ(built.status, 0) << built.err;
    EXPECT_LT(fs::file_size(dir_ / "in/bomb.cramfs"), 1u << 20);
    return dir_ / "in/bomb.cramfs";
  }

  std::string CramfsBombPackage() {
    const std::string payload = CramfsBomb();
    fs::create_directories(dir_ / "pkg");
    const CommandResult wrapped =
        RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", "0x00e40000", "-e",
                    "0x00ea0000", "-n", "Linux", "-d", payload, dir_ / "pkg/custom-x.cramfs.img"});
    EXPECT_EQ(wrapped.status, 0) << wrapped.err;
    WriteFile(dir_ / "pkg/InstallDesc",
              "{\"Hardware\":\"KV-BRD-1608W-R3\",\"Vendor\":\"KorrinVision\",\"UpgradeCommand\":"
              "[{\"Command\":\"Burn\",\"FileName\":\"custom-x.cramfs.img\"}]}\n");
    const CommandResult zipped = RunCommand({"zip", "-j", "-q", dir_ / "in/bomb.bin", dir_ / "pkg/InstallDesc",
                                             dir_ / "pkg/custom-x.cramfs.img"});
    EXPECT_EQ(zipped.status, 0) << zipped.err;
    return dir_ / "in/bomb.bin";
  }

  testsupport::TempDir dir_;
  std::string cli_;
};

TEST_F(Bombs, CramfsSharedBlocksStopAtTheBudget) {
  const std::string image = CramfsBomb();
  const auto before = testsupport::SnapshotTree(dir_ / "in");
  ExpectStoppedByBudget(RunOnSmallDisk(dir_ / "small", {cli_, "cramfs-extract", image, dir_ / "small/out"}));
  EXPECT_EQ(testsupport::SnapshotTree(dir_ / "in"), before);
}

TEST_F(Bombs, ExtractOfABombPartitionStopsAtTheBudget) {
  const std::string package = CramfsBombPackage();
  const auto before = testsupport::SnapshotTree(dir_ / "in");
  ExpectStoppedByBudget(
      RunOnSmallDisk(dir_ / "small", {cli_, "extract", package, "custom-x", dir_ / "small/custom"}));
  EXPECT_EQ(testsupport::SnapshotTree(dir_ / "in"), before);
}

TEST_F(Bombs, InspectAndVerifyNeverCallABombOk) {
  const std::string package = CramfsBombPackage();
  const CommandResult verify = RunCommand({cli_, "verify", package, "--product", "KV-N1608W"});
  EXPECT_NE(verify.status, 0) << verify.out;
  EXPECT_NE((verify.out + verify.err).find("custom-x.cramfs.img: unpacks to 134217720 bytes, more than the "
                                           "extraction budget of 16 MiB"),
            std::string::npos)
      << verify.out << verify.err;
  const CommandResult inspect = RunCommand({cli_, "inspect", package, "--product", "KV-N1608W"});
  EXPECT_EQ(inspect.status, 0) << inspect.err;
  EXPECT_NE(inspect.out.find("contents FAILED: unpacks to 134217720 bytes"), std::string::npos) << inspect.out;
  const CommandResult json = RunCommand({cli_, "inspect", package, "--json"});
  EXPECT_NE(json.out.find("\"ok\" : false"), std::string::npos) << json.out;
}

// A ZIP archive of one deflated 60 MiB entry whose central directory names
// it twenty times, as Info-ZIP's bomb check describes: every record points
// at the same local header.
TEST_F(Bombs, ZipWithOverlappingEntriesIsRefusedBeforeWriting) {
  const std::string zip = dir_ / "in/overlap.zip";
  fs::create_directories(dir_ / "in");
  const CommandResult made = RunCommand(
      {"/usr/bin/python3", "-c",
       "import sys, zipfile, struct\n"
       "path = sys.argv[1]\n"
       "with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:\n"
       "    z.writestr('e00', b'\\0' * (60 << 20))\n"
       "data = open(path, 'rb').read()\n"
       "cd = data.index(b'PK\\x01\\x02')\n"
       "end = data.index(b'PK\\x05\\x06')\n"
       "record = data[cd:end]\n"
       "records = b''.join(record.replace(b'e00', b'e%02d' % i) for i in range(20))\n"
       "eocd = bytearray(data[end:end + 22])\n"
       "struct.pack_into('<HHII', eocd, 8, 20, 20, len(records), cd)\n"
       "open(path, 'wb').write(data[:cd] + records + bytes(eocd))\n",
       zip});
  ASSERT_EQ(made.status, 0) << made.err;
  const auto before = testsupport::SnapshotTree(dir_ / "in");
  const CommandResult r = RunOnSmallDisk(dir_ / "small", {cli_, "unpack", zip, dir_ / "small/out"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find(zip), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("shares its local header with e"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("No space left"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("LEFT=[]"), std::string::npos) << r.err;
  EXPECT_EQ(testsupport::SnapshotTree(dir_ / "in"), before);
}

// The simulated device's custom configuration holds two 50 MiB files of
// zero bytes: a reply of about 100 KB that declares 100 MiB.
TEST_F(Bombs, DeviceReplyDeclaringHugeEntriesStopsAtTheBudget) {
  const std::string state = dir_ / "state";
  ASSERT_TRUE(testsupport::CopyDevsimState(state));
  SparseFile(state + "/custom/Huge1.custom", 50u << 20);
  SparseFile(state + "/custom/Huge2.custom", 50u << 20);
  testsupport::DevsimRunner devsim;
  std::string error;
  ASSERT_TRUE(devsim.Start(state, &error)) << error;
  const CommandResult r =
      RunOnSmallDisk(dir_ / "small", {cli_, "fetch-config", "--ip", "127.0.0.1", "--port",
                                      std::to_string(devsim.port()), "--user", "admin", "--password", "admin123",
                                      "--out", dir_ / "small/out"});
  ExpectStoppedByBudget(r);
  EXPECT_EQ(r.out.find("saved"), std::string::npos) << r.out;
}

}  // namespace
