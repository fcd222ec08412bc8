// Runs cut short leave nothing behind: a signal removes the run's folder and
// partial files at once, and what a killed run left is swept by the next.
#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "common/platform/run_folder.h"
#include "test_support.h"

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  std::string folder;
  std::string partial;
};

// Starts run_child in `parent` and waits until it has made its files.
Child StartRun(const std::string& parent) {
  Child child;
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::string program = RUN_CHILD_PATH;
  char* argv[] = {program.data(), const_cast<char*>(parent.c_str()), nullptr};
  if (posix_spawn(&child.pid, program.c_str(), &actions, nullptr, argv, environ) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  FILE* out = ::fdopen(pipeFds[0], "r");
  char line[4096];
  if (out && std::fgets(line, sizeof line, out)) child.folder = std::string(line, std::strlen(line) - 1);
  if (out && std::fgets(line, sizeof line, out)) child.partial = std::string(line, std::strlen(line) - 1);
  if (out) std::fclose(out);
  return child;
}

TEST(RunFiles, ASignalRemovesTheRunFolderAndPartialFiles) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    testsupport::TempDir dir;
    Child child = StartRun(dir.path());
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(platform::FileExists(child.folder));
    ASSERT_TRUE(platform::FileExists(child.partial));
    ::kill(child.pid, sig);
    int status = 0;
    ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_TRUE(testsupport::ListEntries(dir.path()).empty());
  }
}

TEST(RunFiles, WhatAKilledRunLeftIsSweptAndALiveRunIsKept) {
  testsupport::TempDir dir;
  Child killed = StartRun(dir.path());
  ASSERT_GT(killed.pid, 0);
  ::kill(killed.pid, SIGKILL);
  ::waitpid(killed.pid, nullptr, 0);
  ASSERT_TRUE(platform::FileExists(killed.folder));
  ASSERT_TRUE(platform::FileExists(killed.partial));

  platform::TempFolder live;
  ASSERT_TRUE(live.Create(dir.path(), "run-"));
  platform::OutputFile livePartial;
  ASSERT_TRUE(livePartial.Create(dir / "other.bin"));
  testsupport::WriteFile(dir / "notes.part-x", "not ours");
  testsupport::WriteFile(dir / "run-keep/file", "no lock: not a run folder");
  // Killed between making its folder and writing the pid, or while removing
  // it: nothing in it, or a lock without a pid.
  ASSERT_EQ(::mkdir((dir / "run-empty").c_str(), 0700), 0);
  testsupport::WriteFile(dir / "run-nopid/lock", "");

  platform::SweepStaleRunFiles(dir.path(), {"run-"});
  EXPECT_FALSE(platform::FileExists(dir / "run-empty"));
  EXPECT_FALSE(platform::FileExists(dir / "run-nopid"));
  EXPECT_FALSE(platform::FileExists(killed.folder));
  EXPECT_FALSE(platform::FileExists(killed.partial));
  EXPECT_TRUE(platform::FileExists(live.path()));
  EXPECT_TRUE(platform::FileExists(livePartial.partPath()));
  EXPECT_EQ(testsupport::ReadFile(dir / "notes.part-x"), "not ours");
  EXPECT_EQ(testsupport::ReadFile(dir / "run-keep/file"), "no lock: not a run folder");
}

}  // namespace
