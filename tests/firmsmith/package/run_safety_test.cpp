// Runs of firmsmith-cli make in shared and hostile folders, runs at the same
// time, and runs cut short: every run works in folders of its own, never
// uses a work folder or backup someone else put in its way, leaves nothing
// behind when interrupted, and sweeps what a killed run left. Also the
// output path of a run (--out, --force).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "package_fixture.h"

extern char** environ;

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

constexpr uid_t kOtherUid = 4242;

// A program started without waiting for it; its output goes nowhere.
pid_t Start(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Polls `ready` for up to `seconds`.
bool Eventually(const std::function<bool()>& ready, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ready();
}

class RunSafetyCli : public PackageTest {
 protected:
  void SetUp() override {
    PackageTest::SetUp();
    if (IsSkipped()) return;
    InstallCli();
  }

  // A package "name" with a user image and a custom partition devices ship
  // (ProductDefinition, strings), made by the peer tools.
  std::string Package(const std::string& name) {
    PeerImage(MakeFolder("olduser", "old user"), "user-x.cramfs.img", kUserStart, kUserEnd);
    const std::string custom = work_ / "oldcustom";
    fs::remove_all(custom);
    WriteFile(custom + "/ProductDefinition", "{\"Hardware\": \"HW-T\", \"UpdataType\": 1}");
    WriteFile(custom + "/data/Strings/Spanish", "old strings");
    PeerImage(custom, "custom-x.cramfs.img", kCustomStart, kCustomEnd);
    WriteFile(work_ / "InstallDesc",
              "{\"UpgradeCommand\": [{\"Command\": \"Burn\", \"FileName\": \"user-x.cramfs.img\"},"
              " {\"Command\": \"Burn\", \"FileName\": \"custom-x.cramfs.img\"}], \"Hardware\": \"HW-T\"}");
    fs::remove(work_ / name);
    const std::string package = PeerPackage(name, {"InstallDesc", "user-x.cramfs.img", "custom-x.cramfs.img"});
    for (const char* f : {"InstallDesc", "user-x.cramfs.img", "custom-x.cramfs.img", "user-x.cramfs.img.payload",
                          "custom-x.cramfs.img.payload"})
      fs::remove(work_ / f);
    return package;
  }

  // A rework of `input`: the user partition from "user-<marker>", the custom
  // partition with new strings.
  std::string ReworkJob(const std::string& jobName, const std::string& input, const std::string& marker) {
    MakeFolder("user-" + marker, marker);
    WriteFile(work_ / ("strings-" + marker + "/English"), "strings of " + marker);
    const std::string job = work_ / jobName;
    WriteFile(job, "[Job]\nProduct=TestBox\nOriginalFile=" + input + "\n[Partitions]\nuser=user-" + marker +
                       "\ncustom=\n[Custom]\nStrings=strings-" + marker + "\n");
    return job;
  }

  std::vector<std::string> Make(const std::string& job, bool pauses = false) {
    std::vector<std::string> argv = {prog_ / "firmsmith-cli", "make", job};
    if (!pauses) argv.push_back("--no-pauses");
    return argv;
  }

  // The marker of the user partition in `package` ("" when unreadable).
  std::string UserMarker(const std::string& package) {
    const std::string image = Entry(package, "user-x.cramfs.img");
    if (image.size() <= 64) return "";
    const std::string out = scratch_ / "tree";
    fs::remove_all(out);
    WriteFile(scratch_ / "payload", image.substr(64));
    if (RunCommand({"fsck.cramfs", "--extract=" + out, scratch_ / "payload"}).status != 0) return "";
    return ReadFile(out + "/marker.txt");
  }

  // Each with what it holds, so a failure shows how far its run got.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> left;
    for (const std::string& folder : {work_.path(), prog_.path()})
      for (const std::string& name : RunLeftovers(folder)) {
        std::string shown = (folder == prog_.path() ? "program folder: " : "") + name;
        if (fs::is_directory(fs::symlink_status(folder + "/" + name))) {
          shown += " {";
          for (const auto& e : fs::directory_iterator(folder + "/" + name))
            shown += " " + e.path().filename().string();
          shown += " } lock: " + ReadFile(folder + "/" + name + "/lock");
        }
        left.push_back(shown);
      }
    return left;
  }

  testsupport::TempDir scratch_;  // outside the folders the runs use
};

// Work folders and backups in the input's folder that this run did not
// make: a link or another user's folder by the work folder's old name is
// left alone and never read into the package; a backup that is a link, a
// folder or another user's file stops the run before anything is written.
TEST_F(RunSafetyCli, WorkFoldersAndBackupsPlantedBesideTheInput) {
  const bool root = ::geteuid() == 0;
  const struct {
    const char* name;
    bool needsRoot;
    std::function<void(const std::string& input, const std::string& decoy)> plant;
    bool succeeds;
    const char* named;  // in the failure's reason
  } cases[] = {
      {".h264dvr is a link", false,
       [&](const std::string&, const std::string& decoy) { fs::create_directory_symlink(decoy, work_ / ".h264dvr"); },
       true, ""},
      {".h264dvr is another user's sticky folder", true,
       [&](const std::string&, const std::string&) {
         const std::string planted = work_ / ".h264dvr";
         WriteFile(planted + "/backdoor.img", "planted");
         WriteFile(planted + "/InstallDesc", "{\"UpgradeCommand\": [{\"FileName\": \"backdoor.img\"}]}");
         ::chmod(planted.c_str(), 01777);
         ASSERT_EQ(::lchown(planted.c_str(), kOtherUid, kOtherUid), 0);
       },
       true, ""},
      {".bak is a link", false,
       [&](const std::string& input, const std::string& decoy) { fs::create_symlink(decoy + "/victim", input + ".bak"); },
       false, "in.bin.bak"},
      {".bak is another user's file", true,
       [&](const std::string& input, const std::string&) {
         WriteFile(input + ".bak", "not the original");
         ASSERT_EQ(::lchown((input + ".bak").c_str(), kOtherUid, kOtherUid), 0);
       },
       false, "in.bin.bak"},
      {".bak is a folder", false,
       [&](const std::string& input, const std::string&) { fs::create_directory(input + ".bak"); }, false,
       "in.bin.bak"},
      {".prev is a link", false,
       [&](const std::string& input, const std::string& decoy) {
         fs::create_symlink(decoy + "/victim", input + ".prev");
       },
       false, "in.bin.prev"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && !root) continue;
    for (const char* stale : {".h264dvr", "in.bin.bak", "in.bin.prev"}) fs::remove_all(work_ / stale);
    const std::string input = Package("in.bin");
    const std::string job = ReworkJob("job.ini", input, "new");
    const std::string decoy = work_ / "decoy";
    fs::remove_all(decoy);
    WriteFile(decoy + "/victim", "the victim's file");
    c.plant(input, decoy);
    const std::map<std::string, std::string> before = testsupport::SnapshotTree(work_.path());

    const testsupport::CommandResult r = RunCommand(Make(job));
    if (c.succeeds) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(UserMarker(input), "new");
      const std::vector<std::string> entries = Entries(input);
      EXPECT_EQ(std::count(entries.begin(), entries.end(), "backdoor.img"), 0);
      EXPECT_EQ(fs::symlink_status(input + ".bak").type(), fs::file_type::regular);
      // What was planted is as it was.
      for (const auto& [path, bytes] : before) {
        if (path.find("/.h264dvr") != std::string::npos || path.rfind(decoy, 0) == 0) {
          EXPECT_EQ(ReadFile(path), bytes) << path;
        }
      }
    } else {
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_NE(r.err.find(std::string("/") + c.named + ": not a regular file of this user"), std::string::npos)
          << r.err;
      // Nothing was written anywhere: the input, the planted entry, the decoy.
      EXPECT_EQ(testsupport::SnapshotTree(work_.path()), before);
    }
    std::vector<std::string> left = Leftovers();
    left.erase(std::remove_if(left.begin(), left.end(),
                              [](const std::string& n) {  // the planted one
                                return n == ".h264dvr" || n.rfind(".h264dvr {", 0) == 0;
                              }),
               left.end());
    EXPECT_EQ(left, std::vector<std::string>{});
    EXPECT_EQ(ReadFile(decoy + "/victim"), "the victim's file");
  }
}

// Two reworks of inputs in one folder and a new package, started together:
// each run has folders of its own, so all three succeed with their own
// content.
TEST_F(RunSafetyCli, RunsStartedTogetherAllSucceed) {
  const std::string first = Package("first.bin");
  const std::string second = Package("second.bin");
  const std::string firstJob = ReworkJob("first.ini", first, "one");
  const std::string secondJob = ReworkJob("second.ini", second, "two");
  MakeFolder("newuser", "three");
  WriteFile(work_ / "new.ini", "[Job]\nProduct=TestBox\n[Partitions]\nuser=newuser\n");
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    fs::remove(work_ / "new.bin");
    const pid_t a = Start(Make(firstJob));
    const pid_t b = Start(Make(secondJob));
    std::vector<std::string> newArgs = Make(work_ / "new.ini");
    newArgs.insert(newArgs.end(), {"--out", work_ / "new.bin"});
    const pid_t c = Start(newArgs);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_GT(c, 0);
    EXPECT_EQ(WaitFor(a), 0);
    EXPECT_EQ(WaitFor(b), 0);
    EXPECT_EQ(WaitFor(c), 0);
    EXPECT_EQ(UserMarker(first), "one");
    EXPECT_EQ(UserMarker(second), "two");
    EXPECT_EQ(UserMarker(work_ / "new.bin"), "three");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  }
}

// SIGINT while the custom partition is being unpacked: the run ends at
// once, and the input folder and the program folder are as they were.
TEST_F(RunSafetyCli, InterruptedReworkLeavesEverythingAsItWas) {
  const std::string input = Package("in.bin");
  const std::string job = ReworkJob("job.ini", input, "new");
  // The restored pauses of the unpack hold the run there while it is
  // interrupted; a run without them may already be packing.
  WriteFile(prog_ / "Config.ini", "[themes]\nSolution=English\n[Tools]\nPauses=1\n");
  const std::map<std::string, std::string> inputFolder = testsupport::SnapshotTree(work_.path());
  const std::map<std::string, std::string> programFolder = testsupport::SnapshotTree(prog_.path());
  const pid_t pid = Start(Make(job, true));
  ASSERT_GT(pid, 0);
  // Interrupted once the run has both its folders and the partition in them.
  const bool busy = Eventually(
      [&] {
        bool unpacked = false;
        for (const auto& e : fs::directory_iterator(prog_.path()))
          unpacked = unpacked || fs::exists(e.path() / "custom_cramfs_root/custom.cramfs");
        return unpacked && !RunLeftovers(work_.path()).empty();
      },
      20);
  ::kill(pid, SIGINT);
  const int status = WaitFor(pid);
  ASSERT_TRUE(busy);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(testsupport::SnapshotTree(work_.path()), inputFolder);
  EXPECT_EQ(testsupport::SnapshotTree(prog_.path()), programFolder);
}

// The processes whose parent is `pid`: the tools a run has started.
std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> children;
  std::error_code ec;
  for (auto e = fs::directory_iterator("/proc", ec); !ec && e != fs::directory_iterator(); e.increment(ec)) {
    const std::string stat = ReadFile(e->path() / "stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    // "<pid> (<name>) <state> <ppid> ..."
    if (std::atoi(stat.c_str() + close + 4) == pid) children.push_back(std::atoi(stat.c_str()));
  }
  return children;
}

// True while `pid` runs (a zombie has ended).
bool Running(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

// SIGINT while several partitions are built at once by the external tools:
// the run ends, the tools with it, and the input and program folders are as
// they were.
TEST_F(RunSafetyCli, InterruptedWhileBuildingSideBySideLeavesEverythingAsItWas) {
  for (const char* name : {"web", "user", "romfs"}) {
    WriteFile(work_ / (std::string(name) + "/marker.txt"), name);
    WriteFile(work_ / (std::string(name) + "/bin/noise"), NoiseBytes(1500 * 1024, name[0]));
  }
  const std::string job = work_ / "new.ini";
  WriteFile(job, "[Job]\nProduct=TestBox\n[Partitions]\nweb=web\nuser=user\nromfs=romfs\n"
                 "[FileSystems]\nweb=Squashfs\nuser=Jffs2\nromfs=Jffs2\n");
  const std::map<std::string, std::string> inputFolder = testsupport::SnapshotTree(work_.path());
  const std::map<std::string, std::string> programFolder = testsupport::SnapshotTree(prog_.path());
  std::vector<std::string> argv = Make(job);
  argv.insert(argv.end(), {"--builds", "3", "--out", work_ / "new.bin"});
  const pid_t pid = Start(argv);
  ASSERT_GT(pid, 0);
  // Interrupted once two tools run and have their images begun.
  std::vector<pid_t> tools;
  const bool busy = Eventually(
      [&] {
        int images = 0;
        for (const auto& e : fs::directory_iterator(prog_.path())) {
          if (e.path().filename().string().rfind("tmp", 0) != 0) continue;
          std::error_code ec;  // the run folder may go while it is read
          for (auto f = fs::directory_iterator(e.path(), ec); !ec && f != fs::directory_iterator(); f.increment(ec))
            images += f->path().filename().string().find("-x.cramfs") != std::string::npos ? 1 : 0;
        }
        tools = ChildrenOf(pid);
        return images >= 2 && tools.size() >= 2;
      },
      20);
  ::kill(pid, SIGINT);
  const int status = WaitFor(pid);
  ASSERT_TRUE(busy);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  for (pid_t tool : tools) EXPECT_FALSE(Running(tool)) << "tool " << tool << " outlived its run";
  EXPECT_EQ(testsupport::SnapshotTree(work_.path()), inputFolder);
  EXPECT_EQ(testsupport::SnapshotTree(prog_.path()), programFolder);
}

// SIGKILL at twenty moments spread over a rework, then one more run: the
// input is always a whole package, and nothing of the killed runs remains.
TEST_F(RunSafetyCli, WhatKilledRunsLeftIsSweptByTheNextRun) {
  const std::string input = Package("in.bin");
  const std::string original = ReadFile(input);
  const std::string job = ReworkJob("job.ini", input, "new");
  // How long a whole run takes here.
  const auto began = std::chrono::steady_clock::now();
  ASSERT_EQ(RunCommand(Make(job)).status, 0);
  const auto whole = std::chrono::steady_clock::now() - began;
  WriteFile(input, original);
  for (const char* backup : {"in.bin.bak", "in.bin.prev"}) fs::remove(work_ / backup);

  int leftBehind = 0;
  for (int moment = 0; moment < 20; ++moment) {
    SCOPED_TRACE(moment);
    const pid_t pid = Start(Make(job));
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(whole * (moment + 0.5) / 20);
    ::kill(pid, SIGKILL);
    WaitFor(pid);
    if (!Leftovers().empty()) ++leftBehind;
    // Replaced whole or not at all.
    EXPECT_EQ(RunCommand({"unzip", "-tq", input}).status, 0);
    const std::string marker = UserMarker(input);
    EXPECT_TRUE(marker == "old user" || marker == "new") << marker;
  }
  // The kills landed while runs had their folders and partial files.
  EXPECT_GT(leftBehind, 0);
  const testsupport::CommandResult last = RunCommand(Make(job));
  EXPECT_EQ(last.status, 0) << last.err;
  EXPECT_EQ(UserMarker(input), "new");
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// A program folder that fills up while the strings are copied into the
// custom partition: the run fails naming the cause, and no package with a
// "strings updated" stamp but without the strings comes out.
TEST_F(RunSafetyCli, FullProgramFolderDuringAStringsRework) {
  if (::geteuid() != 0 || !testsupport::HaveProgram("unshare")) GTEST_SKIP() << "needs root for a mount namespace";
  if (RunCommand({"unshare", "-m", "true"}).status != 0) GTEST_SKIP() << "no mount namespaces here";
  const std::string input = Package("in.bin");
  const std::string job = ReworkJob("job.ini", input, "new");
  WriteFile(work_ / "strings-new/Russian", NoiseBytes(3 * 1048576, 5));
  const std::map<std::string, std::string> before = testsupport::SnapshotTree(work_.path());
  const std::uint64_t room = fs::file_size(prog_ / "firmsmith-cli") / 1024 + 1024;  // KiB: the copy + 1 MiB
  const std::string small = work_ / "small";
  fs::create_directories(small);
  const testsupport::CommandResult r = RunCommand(
      {"unshare", "-m", "sh", "-c",
       "mount -t tmpfs -o size=" + std::to_string(room) + "k tmpfs \"$1\" && cp -a \"$2\"/. \"$1\"/ && "
       "\"$1\"/firmsmith-cli make \"$3\" --no-pauses; status=$?; ls -a \"$1\" >&2; exit $status",
       "sh", small, prog_.path(), job});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("Russian"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("\ntmp"), std::string::npos) << "run folder left on the full disk: " << r.err;
  fs::remove(small);
  EXPECT_EQ(testsupport::SnapshotTree(work_.path()), before);
}

// --out: the result goes to the named file, the input and its backups stay
// as they are; a file already there is replaced only with --force.
TEST_F(RunSafetyCli, OutputPathOfARun) {
  const std::string input = Package("in.bin");
  const std::string job = ReworkJob("job.ini", input, "new");
  MakeFolder("newuser", "built");
  WriteFile(work_ / "new.ini", "[Job]\nProduct=TestBox\n[Partitions]\nuser=newuser\n");
  const std::string out = work_ / "out.bin";
  const struct {
    const char* name;
    std::string job;
    std::vector<std::string> extra;
    const char* existing;  // at out before the run; nullptr: none
    int status;
    const char* marker;   // of the user partition at out; "": out as it was
    const char* inError;  // "" when it succeeds
  } cases[] = {
      {"rework to a new file", job, {"--out", out}, nullptr, 0, "new", ""},
      {"rework onto a file", job, {"--out", out}, "older", 1, "", "out.bin: exists already"},
      {"rework onto a file, forced", job, {"--out", out, "--force"}, "older", 0, "new", ""},
      {"rework onto the input", job, {"--out", input, "--force"}, nullptr, 1, "", "is the input file itself"},
      {"new package to a new file", work_ / "new.ini", {"--out", out}, nullptr, 0, "built", ""},
      {"new package onto a file", work_ / "new.ini", {"--out", out}, "older", 1, "", "out.bin: exists already"},
      {"new package onto a file, forced", work_ / "new.ini", {"--out", out, "--force"}, "older", 0, "built", ""},
      {"--force alone", job, {"--force"}, nullptr, 2, "", "--force needs --out"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(out);
    if (c.existing) WriteFile(out, c.existing);
    fs::remove(Prog() + "TestBox_all.bin");
    const std::map<std::string, std::string> before = testsupport::SnapshotTree(work_.path());
    std::vector<std::string> argv = Make(c.job);
    argv.insert(argv.end(), c.extra.begin(), c.extra.end());
    const testsupport::CommandResult r = RunCommand(argv);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.inError), std::string::npos) << r.err;
    std::map<std::string, std::string> after = testsupport::SnapshotTree(work_.path());
    if (*c.marker) {
      EXPECT_EQ(UserMarker(out), c.marker);
      after.erase(out);
      std::map<std::string, std::string> expected = before;
      expected.erase(out);
      EXPECT_EQ(after, expected) << "the input or its folder changed";
    } else {
      EXPECT_EQ(after, before);
    }
    EXPECT_FALSE(fs::exists(input + ".bak"));
    EXPECT_FALSE(fs::exists(input + ".prev"));
    EXPECT_FALSE(fs::exists(Prog() + "TestBox_all.bin"));
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace packagetest
