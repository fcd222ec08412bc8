// The crash report, from the outside: a child process that fails leaves
// "CrashDumpFile.dmp" beside its executable and exits with status 255.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;

// The child, copied into a folder of its own so that its dump lands there.
class CrashChild : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(CRASH_CHILD_PATH, dir_ / "crash_child");
    fs::copy_file(FOREIGN_LIB_PATH, dir_ / fs::path(FOREIGN_LIB_PATH).filename().string());
  }
  testsupport::CommandResult Run(const std::string& mode) {
    return RunCommand({dir_ / "crash_child", mode}, "", {{"LD_LIBRARY_PATH", dir_.path()}});
  }
  std::string Dump() { return ReadFile(dir_ / "CrashDumpFile.dmp"); }
  TempDir dir_;
};

struct CrashCase {
  const char* mode;
  const char* signalLine;
};

class CrashKinds : public CrashChild, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(CrashKinds, LeavesDumpAndExits255) {
  testsupport::CommandResult r = Run(GetParam().mode);
  EXPECT_EQ(r.status, 255) << r.err;
  std::string dump = Dump();
  EXPECT_NE(dump.find(GetParam().signalLine), std::string::npos) << dump.substr(0, 400);
  EXPECT_NE(dump.find("[registers]"), std::string::npos);
  EXPECT_NE(dump.find("[backtrace"), std::string::npos);
  // Frames carry module-relative addresses of our executable.
  EXPECT_NE(dump.find("crash_child+0x"), std::string::npos);
  EXPECT_NE(dump.find("[memory map]"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, CrashKinds,
                         ::testing::Values(CrashCase{"segv", "signal = 11 (SIGSEGV)"},
                                           CrashCase{"abort", "signal = 6 (SIGABRT)"},
                                           CrashCase{"fpe", "signal = 8 (SIGFPE)"}),
                         [](const auto& info) { return std::string(info.param.mode); });

TEST_F(CrashChild, SecondCrashReplacesFirstDump) {
  ASSERT_EQ(Run("abort").status, 255);
  ASSERT_NE(Dump().find("SIGABRT"), std::string::npos);
  ASSERT_EQ(Run("segv").status, 255);
  std::string dump = Dump();
  EXPECT_NE(dump.find("SIGSEGV"), std::string::npos);
  EXPECT_EQ(dump.find("SIGABRT"), std::string::npos);
}

TEST_F(CrashChild, LaterHandlerInstallsDoNotDisplaceOurs) {
  testsupport::CommandResult r = Run("other-handlers");
  EXPECT_EQ(r.status, 255) << "a foreign handler ran: " << r.out;
  EXPECT_NE(r.out.find("sigaction=0 old-empty=1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("signal-old-empty=1"), std::string::npos) << r.out;
  EXPECT_NE(Dump().find("SIGSEGV"), std::string::npos);
}

TEST_F(CrashChild, OtherSignalsStillReachTheirHandlers) {
  EXPECT_EQ(Run("usr1").status, 3);
  EXPECT_FALSE(testsupport::FileExists(dir_ / "CrashDumpFile.dmp"));
}

TEST_F(CrashChild, DumpThatCannotBeCreatedStillEndsWith255) {
  fs::create_directory(dir_ / "CrashDumpFile.dmp");  // not a file we can open for writing
  EXPECT_EQ(Run("segv").status, 255);
  EXPECT_TRUE(fs::is_directory(dir_ / "CrashDumpFile.dmp"));
}

}  // namespace
