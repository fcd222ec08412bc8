// A squashfs user partition with device nodes, a FIFO, a setuid-root file,
// a sticky world-writable folder and files of another owner goes through
// the in-place gain-line rework of firmsmith-cli make, as root and as an
// ordinary user. The squashfs tools in the program folder are logging
// wrappers of the real ones: they keep the unpack's command line and exclude
// list, and scan every folder of the run while the partition is rebuilt.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "package_fixture.h"

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::UnsquashfsListing;
using testsupport::WriteFile;

constexpr uid_t kNobody = 65534;

// What no work folder may hold: nodes, FIFOs, sockets, set-id, sticky or
// world-writable entries (links aside). `find` prints them.
std::string ScanCommand(const std::string& folder) {
  return "find '" + folder +
         "' ! -type l \\( -type b -o -type c -o -type p -o -type s -o -perm -4000 -o -perm -2000 -o -perm -1000"
         " -o -perm -0002 \\) -print";
}

class SquashfsUserRework : public PackageTest, public ::testing::WithParamInterface<bool> {
 protected:
  bool AsNobody() const { return GetParam(); }

  void SetUp() override {
    PackageTest::SetUp();
    if (IsSkipped()) return;
    if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("unsquashfs"))
      GTEST_SKIP() << "squashfs tools missing";
    if (AsNobody() && (::geteuid() != 0 || !testsupport::HaveProgram("setpriv")))
      GTEST_SKIP() << "needs root and setpriv to run as another user";
  }

  // Everything of the run lives in `base`: the program folder and the input's.
  void Prepare(const std::string& base) {
    prog = base + "/prog";
    in = base + "/in";
    fs::create_directories(prog);
    fs::create_directories(in);
    fs::copy(prog_.path(), prog, fs::copy_options::recursive);
    fs::copy_file(testsupport::AppDir() + "/firmsmith-cli", prog + "/firmsmith-cli");
    fs::create_directories(prog + "/Language");
    fs::copy_file(testsupport::SourceDir() + "/data/app/Language/English.lang", prog + "/Language/English.lang");
    WriteFile(prog + "/Config.ini", "[themes]\nSolution=English\n[register]\n3db=00011\n6db=00101\n");
    const std::string scan = "{ " + ScanCommand(prog) + "; " + ScanCommand(in) + "; } >> '" + base + "/scan.log'\n";
    WriteFile(prog + "/unsquashfs",
              "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + base + "/unsquashfs.log'\necho -- >> '" + base +
                  "/unsquashfs.log'\n"
                  "prev=\nfor a; do [ \"$prev\" = -exclude-file ] && cat \"$a\" >> '" + base +
                  "/exclude.log'; prev=$a; done\nexec /usr/bin/unsquashfs \"$@\"\n");
    WriteFile(prog + "/mksquashfs", "#!/bin/sh\n" + scan + "exec /usr/bin/mksquashfs \"$@\"\n");
    fs::permissions(prog + "/unsquashfs", fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
    fs::permissions(prog + "/mksquashfs", fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
    WriteFile(base + "/scan.log", "");

    // The partition, as a vendor's build makes it.
    const std::string src = work_ / "user-src";
    WriteFile(src + "/etc/loadmod", "insmod codec.ko");
    WriteFile(src + "/bin/su", "setuid-root helper");
    WriteFile(src + "/home/user/notes", "of user 1000");
    WriteFile(src + "/pub/readme", "shared");
    fs::create_directories(src + "/dev");
    fs::create_directories(src + "/tmp");
    fs::create_symlink("../bin/su", src + "/etc/su-link");
    WriteFile(work_ / "user.pf",
              "dev/console c 600 0 0 5 1\ndev/mtdblock3 b 660 0 6 31 3\ntmp/logpipe i 620 0 0 f\n"
              "bin/su m 4755 0 0\npub m 1777 0 0\nhome/user m 750 1000 1000\nhome/user/notes m 640 1000 1000\n");
    ASSERT_EQ(RunCommand({"mksquashfs", src, work_ / "user.payload", "-noappend", "-quiet", "-pf", work_ / "user.pf"})
                  .status,
              0);
    ASSERT_EQ(RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", "0x00250000",
                          "-e", "0x00650000", "-n", "Linux", "-d", work_ / "user.payload",
                          in + "/user-x.squashfs.img"})
                  .status,
              0);
    WriteFile(in + "/InstallDesc",
              "{\"UpgradeCommand\": [{\"Command\": \"Burn\", \"FileName\": \"user-x.squashfs.img\"}], "
              "\"Hardware\": \"HW-T\"}");
    ASSERT_EQ(RunCommand({"zip", "-q", "-j", in + "/in.bin", in + "/InstallDesc", in + "/user-x.squashfs.img"}).status,
              0);
    fs::remove(in + "/InstallDesc");
    fs::remove(in + "/user-x.squashfs.img");
    WriteFile(in + "/job.ini",
              "[Job]\nProduct=TestBox\nOriginalFile=in.bin\n[Partitions]\nuser=\n"
              "[Custom]\nLineInGain=1\nLineInLeft=3db\nLineInRight=6db\n");
  }

  std::string prog, in;
};

TEST_P(SquashfsUserRework, GainLineKeepsNodesModesAndOwnersAndNoWorkFolderHoldsThem) {
  // The ordinary user works in a folder of its own below a folder it may pass.
  std::string base = work_ / "run";
  if (AsNobody()) {
    ASSERT_EQ(::chmod(work_.path().c_str(), 0711), 0);
    fs::create_directories(base);
    ASSERT_EQ(::chown(base.c_str(), kNobody, kNobody), 0);
  }
  ASSERT_NO_FATAL_FAILURE(Prepare(base));
  std::vector<std::string> argv = {prog + "/firmsmith-cli", "make", in + "/job.ini", "--no-pauses"};
  if (AsNobody()) {
    RunCommand({"chown", "-R", std::to_string(kNobody) + ":" + std::to_string(kNobody), base});
    argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    std::vector<std::string> probe(argv.begin(), argv.begin() + 4);
    probe.insert(probe.end(), {"test", "-x", prog + "/firmsmith-cli"});
    if (RunCommand(probe).status != 0) GTEST_SKIP() << "the user cannot run the program here";
  }
  WriteFile(work_ / "before.payload", RunCommand({"unzip", "-p", in + "/in.bin", "user-x.squashfs.img"}).out.substr(64));
  const std::map<std::string, std::string> before = UnsquashfsListing(work_ / "before.payload");
  ASSERT_EQ(before.at("squashfs-root/dev/console"), "crw------- 0/0 5,1");
  ASSERT_EQ(before.at("squashfs-root/home/user/notes"), "-rw-r----- 1000/1000 12");
  ASSERT_EQ(before.at("squashfs-root/pub"), "drwxrwxrwt 0/0");

  const testsupport::CommandResult r = RunCommand(argv);
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  // The unpack ran with the exclude list, which named every node, the FIFO
  // and the set-id file.
  const std::string log = ReadFile(base + "/unsquashfs.log");
  EXPECT_NE(log.find("-exclude-file\n"), std::string::npos) << log;
  const std::string excluded = ReadFile(base + "/exclude.log");
  for (const char* entry : {"dev/console\n", "dev/mtdblock3\n", "tmp/logpipe\n", "bin/su\n"})
    EXPECT_NE(excluded.find(entry), std::string::npos) << entry << " in\n" << excluded;
  // While the partition was rebuilt, and after the run, no folder of the
  // run held anything a work folder must not.
  EXPECT_EQ(ReadFile(base + "/scan.log"), "");
  EXPECT_EQ(RunCommand({"sh", "-c", ScanCommand(prog) + "; " + ScanCommand(in)}).out, "");

  const std::string after = RunCommand({"unzip", "-p", in + "/in.bin", "user-x.squashfs.img"}).out;
  ASSERT_GT(after.size(), 64u);
  WriteFile(work_ / "after.payload", after.substr(64));
  std::map<std::string, std::string> expected = before;
  const std::string loadmod = std::string("insmod codec.ko\nhimm 0x20050068 0x50320c14\0", 43);
  std::string& changed = expected["squashfs-root/etc/loadmod"];
  changed = changed.substr(0, changed.rfind(' ') + 1) + std::to_string(loadmod.size());
  EXPECT_EQ(UnsquashfsListing(work_ / "after.payload"), expected);
  EXPECT_EQ(RunCommand({"unsquashfs", "-cat", work_ / "after.payload", "etc/loadmod"}).out, loadmod);
  EXPECT_EQ(RunCommand({"unsquashfs", "-cat", work_ / "after.payload", "bin/su"}).out, "setuid-root helper");
}

INSTANTIATE_TEST_SUITE_P(Users, SquashfsUserRework, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Nobody" : "Caller"; });

}  // namespace
}  // namespace packagetest
