// Reworks of a flash image through firmsmith-cli make: a partition
// customised in place that cannot be read out of the image fails with its
// message and one reason line naming the file and the cause, leaving every
// input as it was; the progress names each image written into the flash by
// the file system it really holds.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "package_fixture.h"

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

constexpr std::size_t kFlashSize = 16 * 1048576;

class FlashRework : public PackageTest {
 protected:
  void SetUp() override {
    PackageTest::SetUp();
    if (IsSkipped()) return;
    InstallCli();
  }

  // An erased 16 MiB flash image holding a custom partition made by
  // mkfs.cramfs (or mksquashfs), as work_/flash.bin.
  std::string FlashWithCustom(bool squashfs = false) {
    WriteFile(work_ / "custom-src/ProductDefinition", "{\"Hardware\": \"HW-T\", \"UpdataType\": 1}");
    WriteFile(work_ / "custom-src/CustomConfig/Ability.custom", "{}");
    const std::vector<std::string> made =
        squashfs ? std::vector<std::string>{"mksquashfs", work_ / "custom-src", work_ / "custom.payload", "-noappend",
                                            "-quiet", "-all-root"}
                 : std::vector<std::string>{"mkfs.cramfs", work_ / "custom-src", work_ / "custom.payload"};
    EXPECT_EQ(RunCommand(made).status, 0);
    std::string flash(kFlashSize, '\xff');
    const std::string payload = ReadFile(work_ / "custom.payload");
    flash.replace(kCustomStart, payload.size(), payload);
    WriteFile(work_ / "flash.bin", flash);
    return work_ / "flash.bin";
  }

  static std::string Job(const std::string& flash, const std::string& partitions) {
    return "[Job]\nProduct=TestBox\nKind=Burning_piecefile\nOriginalFile=" + flash + "\n[Partitions]\n" +
           partitions;
  }

  std::vector<std::string> MakeArgv(const std::string& job, const std::string& option = "") {
    WriteFile(work_ / "job.ini", job);
    std::vector<std::string> argv = {prog_ / "firmsmith-cli", "make", work_ / "job.ini", "--no-pauses"};
    if (!option.empty()) argv.push_back(option);
    return argv;
  }
};

// The partition customised in place cannot be taken out of the flash image:
// the image is no regular file, reached through a link, ends before the
// partition, or the working copy cannot be written (larger than a process
// may write; a full disk, on the command line). The run stops with its key
// and the reason naming the file and the cause.
TEST_F(FlashRework, UnreadablePartitionFailsWithItsReasonAndChangesNothing) {
  const std::string flash = FlashWithCustom();
  fs::create_directories(work_ / "flash.d");
  ASSERT_EQ(::mkfifo((work_ / "flash.fifo").c_str(), 0600), 0);
  fs::create_symlink(flash, work_ / "flash.link");
  WriteFile(work_ / "flash8.bin", ReadFile(flash).substr(0, 8 * 1048576));  // custom starts past 8 MiB
  enum class Way { kWindow, kWindowFileSizeLimit, kCliFullDisk };
  const struct {
    const char* what;
    std::string input;
    Way way;
    const char* key;      // the box's text (a key, untranslated here; English on the command line)
    std::string reason;   // the whole reason line, or its end when the folder is the run's own
  } cases[] = {
      {"folder", work_ / "flash.d", Way::kWindow, "open_original_file",
       work_ / "flash.d: not a regular file (a folder, a FIFO or a device)"},
      {"fifo", work_ / "flash.fifo", Way::kWindow, "open_original_file",
       work_ / "flash.fifo: not a regular file (a folder, a FIFO or a device)"},
      {"link", work_ / "flash.link", Way::kWindow, "open_original_file",
       work_ / "flash.link: a symbolic link, which is never followed"},
      {"short", work_ / "flash8.bin", Way::kWindow, "product_error",
       work_ / "flash8.bin: ends before the partition's start at byte " + std::to_string(kCustomStart)},
      {"copy too large", flash, Way::kWindowFileSizeLimit, "create_error",
       "/custom_cramfs_root/custom.cramfs: File too large"},
      {"disk full", flash, Way::kCliFullDisk, "Failed to create the file.",
       "/custom_cramfs_root/custom.cramfs: No space left on device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::map<std::string, std::string> before = testsupport::SnapshotTree(work_.path());
    std::string text, reason;
    if (c.way == Way::kCliFullDisk) {
      // The program folder (where the run's working copies go) is a copy on
      // a disk with room for it and less than the partition.
      const std::string small = work_ / "small";
      fs::create_directories(small);
      std::uint64_t used = 0;
      for (const auto& e : fs::recursive_directory_iterator(prog_.path()))
        if (e.is_regular_file()) used += e.file_size();
      WriteFile(work_ / "job.ini", Job(c.input, "custom=\n[Custom]\nDeviceModel=NVR-F1\n"));
      const std::vector<std::string> argv = testsupport::OnSmallDisk(
          small, static_cast<int>(used / 1024 + 512),
          {"sh", "-c", "cp -a \"$1\"/. \"$2\"/ && exec \"$2\"/firmsmith-cli make \"$3\" --no-pauses", "sh",
           prog_.path(), small, work_ / "job.ini"});
      const testsupport::CommandResult r = argv.empty() ? testsupport::CommandResult{} : RunCommand(argv);
      fs::remove(small);
      fs::remove(work_ / "job.ini");
      if (argv.empty()) continue;  // no mount namespace on this machine
      EXPECT_EQ(r.status, 1) << r.err;
      // The message, then the reason on the line after it.
      const std::size_t at = r.err.find(std::string(c.key) + "\n");
      ASSERT_NE(at, std::string::npos) << r.err;
      text = c.key;
      const std::size_t line = at + text.size() + 1;
      reason = r.err.substr(line, r.err.find('\n', line) - line);
      EXPECT_EQ(reason.rfind("cannot write " + work_ / "small/tmp", 0), 0u) << reason;
    } else {
      package::MakeOptions o = Options(true, c.input);
      o.kind = package::PackageKind::BurningPiecefile;
      package::TickSlot(&o, package::kSlotCustom);
      o.deviceModel = true;
      o.deviceModelText = "NVR-F1";
      package::MakeOutcome outcome;
      if (c.way == Way::kWindowFileSizeLimit) {
        // Half the partition is all this process may write to one file; the
        // signal is ignored so that the write fails instead.
        struct rlimit saved {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const struct rlimit half = {(kCustomEnd - kCustomStart) / 2, saved.rlim_max};
        void (*previous)(int) = ::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &half), 0);
        outcome = package::RunMakeOperation(o, Env());
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, previous);
      } else {
        outcome = package::RunMakeOperation(o, Env());
      }
      EXPECT_EQ(outcome, package::MakeOutcome::kFailed);
      ASSERT_EQ(sink_.boxes.size(), 1u) << LastBox();
      text = sink_.boxes.back().text;
      reason = sink_.boxes.back().reason;
      sink_.boxes.clear();
      if (c.way == Way::kWindowFileSizeLimit) {
        EXPECT_EQ(reason.rfind("cannot write " + Prog() + "tmp", 0), 0u) << reason;
      }
    }
    EXPECT_EQ(text, c.key);
    if (c.way == Way::kWindow) {
      EXPECT_EQ(reason, c.reason);
    } else {
      EXPECT_TRUE(reason.size() > c.reason.size() &&
                  reason.compare(reason.size() - c.reason.size(), c.reason.size(), c.reason) == 0)
          << reason;
    }
    EXPECT_EQ(testsupport::SnapshotTree(work_.path()), before);
    EXPECT_EQ(RunLeftovers(work_.path()), std::vector<std::string>{});
    EXPECT_EQ(RunLeftovers(prog_.path()), std::vector<std::string>{});
  }
}

// Each image read out of or written into the flash is named after the file
// system it holds (the slots' default names say cramfs), written in slot
// order after its build; and the flash holds that file system at the
// partition.
TEST_F(FlashRework, ProgressNamesTheImagesReallyWritten) {
  for (const char* tool : {"mksquashfs", "unsquashfs", "mkfs.jffs2"})
    if (!testsupport::HaveProgram(tool)) GTEST_SKIP() << tool << " missing";
  const std::string flash = FlashWithCustom(true);
  MakeFolder("webdir", "web");
  MakeFolder("romdir", "root");
  const testsupport::CommandResult r = RunCommand(
      MakeArgv(Job(flash, "web=webdir\nromfs=romdir\ncustom=\n[FileSystems]\nweb=Squashfs\ncustom=Squashfs\n"
                     "[Custom]\nDeviceModel=NVR-F1\n"),
               "--progress"));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> writing;
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("writing ", 0) == 0) writing.push_back(line);
  // The custom partition is read out of the flash image as the squashfs it is.
  const std::size_t unpacking = r.err.find("unpacking custom-x.squashfs\n");
  EXPECT_NE(unpacking, std::string::npos) << r.err;
  EXPECT_LT(unpacking, r.err.find("building custom-x as squashfs\n")) << r.err;
  EXPECT_EQ(writing, (std::vector<std::string>{"writing web-x.squashfs into the flash image",
                                               "writing romfs-x.jffs2 into the flash image",
                                               "writing custom-x.squashfs into the flash image"}))
      << r.err;
  for (const auto& [built, written] : {std::pair{"building web-x as squashfs\n", "writing web-x.squashfs"},
                                       std::pair{"building romfs-x as jffs2\n", "writing romfs-x.jffs2"},
                                       std::pair{"building custom-x as squashfs\n", "writing custom-x.squashfs"}}) {
    const std::size_t b = r.err.find(built);
    EXPECT_NE(b, std::string::npos) << r.err;
    EXPECT_LT(b, r.err.find(written)) << r.err;
  }
  const std::string after = ReadFile(flash);
  ASSERT_EQ(after.size(), kFlashSize);
  EXPECT_EQ(after.substr(kWebStart, 4), "hsqs");          // squashfs magic
  EXPECT_EQ(after.substr(kRomfsStart, 2), "\x85\x19");    // jffs2 node magic, little-endian
  EXPECT_EQ(after.substr(kCustomStart, 4), "hsqs");
}

}  // namespace
}  // namespace packagetest
