// Starting programs without a shell: argument splitting, tool lookup, run and
// wait, start without waiting.
#include "common/platform/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/progdir.h"
#include "test_support.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

struct SplitCase {
  std::string parameters;
  std::vector<std::string> expected;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << "'" << c.parameters << "'"; }

class SplitParameters : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitParameters, QuotesKeepBlanksAndAreRemoved) {
  EXPECT_EQ(platform::SplitParameters(GetParam().parameters), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitParameters,
    ::testing::Values(
        SplitCase{"", {}},
        SplitCase{"   \t ", {}},
        SplitCase{"\"/a b/src\" \"/o/x.img\" -b 256k", {"/a b/src", "/o/x.img", "-b", "256k"}},
        SplitCase{"-d \"/s\" -l -e 0x10000 -o \"/o.img\"",
                  {"-d", "/s", "-l", "-e", "0x10000", "-o", "/o.img"}},
        SplitCase{"\"\" x", {"", "x"}},
        SplitCase{"a\"b c\"d  e", {"ab cd", "e"}},
        SplitCase{"  lead\ttab  ", {"lead", "tab"}},
        SplitCase{"\"unterminated blank", {"unterminated blank"}}));

TEST(RunProgram, PassesArgumentsUnchangedAndReportsTheExitStatus) {
  TempDir dir;
  const std::string out = dir / "args";
  auto r = platform::RunProgram(
      "/bin/sh", {"-c", "for a in \"$@\"; do printf '[%s]' \"$a\"; done > \"$0\"; exit 7", out,
                  "a b", "", "$HOME", "*"});
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitStatus, 7);
  EXPECT_EQ(ReadFile(out), "[a b][][$HOME][*]");
}

TEST(RunProgram, KeepsOurStandardOutputClean) {
  testing::internal::CaptureStdout();
  auto r = platform::RunProgram("/bin/sh", {"-c", "echo chatter; read x; exit 0"});
  std::string ours = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(r.started);
  EXPECT_EQ(r.exitStatus, 0);  // stdin is /dev/null: read ends at once
  EXPECT_EQ(ours, "");
}

// The tools get the whole environment (locale, PATH, the operator's own
// variables); the malloc tunables are added, and the operator's own tunables
// stay last, where they win.
TEST(RunProgram, KeepsTheEnvironmentAndAddsMallocTunablesBeforeTheOperatorsOwn) {
  TempDir dir;
  const std::string out = dir / "env";
  const char* script = "printf '%s|%s|%s' \"$FS_TEST_MARK\" \"$PATH\" \"$GLIBC_TUNABLES\" > \"$0\"";
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("FS_TEST_MARK", "a b=c", 1);
  for (const char* theirs : {"", "glibc.malloc.arena_max=2"}) {
    SCOPED_TRACE(theirs);
    if (*theirs != '\0')
      ::setenv("GLIBC_TUNABLES", theirs, 1);
    else
      ::unsetenv("GLIBC_TUNABLES");
    const auto r = platform::RunProgram("/bin/sh", {"-c", script, out});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    const std::string ours = "glibc.malloc.mmap_threshold=268435456:glibc.malloc.trim_threshold=268435456";
    EXPECT_EQ(ReadFile(out), "a b=c|" + path + "|" + ours + (*theirs != '\0' ? std::string(":") + theirs : ""));
  }
  ::unsetenv("GLIBC_TUNABLES");
  ::unsetenv("FS_TEST_MARK");
}

TEST(RunProgram, MissingProgramIsNotStarted) {
  auto r = platform::RunProgram("/nonexistent/tool", {});
  EXPECT_FALSE(r.started);
  EXPECT_FALSE(r.error.empty());
}

TEST(StartProgram, ReturnsAtOnceAndRunsInTheGivenFolder) {
  TempDir dir;
  std::string error;
  auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(platform::StartProgram("/bin/sh", {"-c", "sleep 1; pwd > started"}, dir.path(),
                                     &error))
      << error;
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(800));
  for (int i = 0; i < 100 && ReadFile(dir / "started").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  char real[4096];
  ASSERT_NE(::realpath(dir.path().c_str(), real), nullptr);
  EXPECT_EQ(ReadFile(dir / "started"), std::string(real) + "\n");
  EXPECT_FALSE(platform::StartProgram("/nonexistent/tool", {}, "", &error));
}

TEST(FindTool, ProgramFolderFirstThenPath) {
  TempDir dir;
  const std::string name = "fs-find-tool-probe-" + std::to_string(::getpid());
  const std::string onPath = dir / name;
  const std::string beside = platform::GetProgramDirectory() + name;
  WriteFile(onPath, "#!/bin/sh\n");
  ::chmod(onPath.c_str(), 0755);
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (dir.path() + ":" + oldPath).c_str(), 1);
  EXPECT_EQ(platform::FindTool(name), onPath);
  // The copy beside the running executable wins over PATH.
  WriteFile(beside, "#!/bin/sh\n");
  ::chmod(beside.c_str(), 0755);
  EXPECT_EQ(platform::FindTool(name), beside);
  ::unlink(beside.c_str());
  ::setenv("PATH", oldPath.c_str(), 1);
  EXPECT_EQ(platform::FindTool(name), "");
  EXPECT_EQ(platform::FindTool(""), "");
}

TEST(FindTool, NonExecutableFileBesideTheProgramDoesNotCount) {
  const std::string name = "fs-find-tool-probe-" + std::to_string(::getpid());
  const std::string beside = platform::GetProgramDirectory() + name;
  WriteFile(beside, "data");
  ::chmod(beside.c_str(), 0644);
  EXPECT_EQ(platform::FindTool(name), "");
  ::unlink(beside.c_str());
}

}  // namespace
