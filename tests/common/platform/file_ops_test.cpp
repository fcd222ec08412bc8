// The file toolkit: walkers that fail instead of seeing an empty folder,
// removal that never leaves the tree, outputs that appear only complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/platform/fd.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(ListFolder, ReportsWhatItCannotListNamingTheFolder) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  struct Case {
    const char* name;
    std::string folder;
  } cases[] = {
      {"missing", dir / "missing"},
      {"a file in its place", dir / "file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<platform::FolderEntry> entries{{"stale"}};
    platform::Status status = platform::ListFolder(c.folder, &entries);
    EXPECT_FALSE(status);
    EXPECT_NE(status.message.find(c.folder), std::string::npos) << status.message;
    EXPECT_TRUE(entries.empty());
  }
}

TEST(ListFolder, SortsAndTellsLinksFromFolders) {
  TempDir dir;
  WriteFile(dir / "b/inner", "x");
  WriteFile(dir / "a", "x");
  ASSERT_EQ(::symlink("b", (dir / "c").c_str()), 0);
  std::vector<platform::FolderEntry> entries;
  ASSERT_TRUE(platform::ListFolder(dir.path(), &entries));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "a");
  EXPECT_TRUE(entries[1].isDirectory);
  EXPECT_FALSE(entries[2].isDirectory);
  EXPECT_TRUE(entries[2].isLink);
}

TEST(RemoveTree, RemovesLinksWithoutEnteringThem) {
  TempDir outside;
  WriteFile(outside / "keep/precious", "data");
  TempDir dir;
  WriteFile(dir / "tree/sub/file", "x");
  ASSERT_EQ(::symlink((outside / "keep").c_str(), (dir / "tree/sub/link").c_str()), 0);
  ASSERT_EQ(::chmod((dir / "tree/sub").c_str(), 0555), 0);  // read-only, as unpacked images give
  EXPECT_TRUE(platform::RemoveTree(dir / "tree"));
  EXPECT_FALSE(platform::FileExists(dir / "tree"));
  EXPECT_EQ(ReadFile(outside / "keep/precious"), "data");
  EXPECT_TRUE(platform::RemoveTree(dir / "tree")) << "a missing tree is no failure";
}

TEST(DeleteFilesInTree, KeepsFoldersAndNeverFollowsLinks) {
  TempDir outside;
  WriteFile(outside / "precious", "data");
  TempDir dir;
  WriteFile(dir / "a/b/file", "x");
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "a/out").c_str()), 0);
  EXPECT_TRUE(platform::DeleteFilesInTree(dir.path()));
  EXPECT_TRUE(platform::IsDirectory(dir / "a/b"));
  EXPECT_FALSE(platform::FileExists(dir / "a/b/file"));
  EXPECT_FALSE(platform::FileExists(dir / "a/out"));
  EXPECT_EQ(ReadFile(outside / "precious"), "data");
}

TEST(OutputFile, AppearsOnlyOnCommitAndLeavesNothingWhenDropped) {
  TempDir dir;
  WriteFile(dir / "target", "old");
  {
    platform::OutputFile out;
    ASSERT_TRUE(out.Create(dir / "target"));
    ASSERT_TRUE(out.Write("new", 3));
    EXPECT_EQ(ReadFile(dir / "target"), "old");
    EXPECT_EQ(ReadFile(out.partPath()), "new");
  }
  EXPECT_EQ(ReadFile(dir / "target"), "old");
  EXPECT_EQ(testsupport::ListEntries(dir.path()).size(), 1u) << "partial file left behind";

  platform::OutputFile out;
  ASSERT_TRUE(out.Create(dir / "target"));
  ASSERT_TRUE(out.Write("new", 3));
  ASSERT_TRUE(out.Commit());
  EXPECT_EQ(ReadFile(dir / "target"), "new");
  EXPECT_EQ(testsupport::ListEntries(dir.path()).size(), 1u);
}

// What stands at the destination or in place of the partial file when the
// output is committed: a replacing commit replaces a link (never writing
// through it), a new-file commit leaves anything there as it was, and a
// partial file swapped for something else is never renamed into place.
TEST(OutputFile, CommitNeverWritesThroughOrOverWhatItMustNot) {
  struct Case {
    const char* name;
    bool mayReplace;
    std::string atTarget;  // "file", "link" or "" (nothing)
    bool swapPartial;
    bool committed;
    const char* inReason;
  } cases[] = {
      {"replacing a file", true, "file", false, true, ""},
      {"replacing a link", true, "link", false, true, ""},
      {"new file, nothing there", false, "", false, true, ""},
      {"new file over a file", false, "file", false, false, "target: exists already"},
      {"new file over a link", false, "link", false, false, "target: exists already"},
      {"partial file swapped for a link", true, "", true, false, "no longer the file this run created"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir / "victim", "victim");
    if (c.atTarget == "file") WriteFile(dir / "target", "old");
    if (c.atTarget == "link") {
      ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "target").c_str()), 0);
    }
    platform::OutputFile out;
    ASSERT_TRUE(out.Create(dir / "target"));
    ASSERT_TRUE(out.Write("new", 3));
    if (c.swapPartial) {
      ASSERT_EQ(::unlink(out.partPath().c_str()), 0);
      ASSERT_EQ(::symlink((dir / "victim").c_str(), out.partPath().c_str()), 0);
    }
    const platform::Status status = out.Commit(c.mayReplace);
    EXPECT_EQ(status.ok, c.committed) << status.message;
    EXPECT_NE(status.message.find(c.inReason), std::string::npos) << status.message;
    EXPECT_EQ(ReadFile(dir / "victim"), "victim");
    struct stat st {};
    if (c.committed) {
      ASSERT_EQ(::lstat((dir / "target").c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(ReadFile(dir / "target"), "new");
    } else if (c.atTarget == "file") {
      EXPECT_EQ(ReadFile(dir / "target"), "old");
    } else if (c.atTarget == "link") {
      ASSERT_EQ(::lstat((dir / "target").c_str(), &st), 0);
      EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
    std::size_t entries = 0;
    for (const platform::FolderEntry& e : testsupport::ListEntries(dir.path()))
      entries += e.name.find(".part-") == std::string::npos ? 1 : 100;
    EXPECT_EQ(entries, !c.atTarget.empty() || c.committed ? 2u : 1u) << "partial file left behind";
  }
}

TEST(OutputFile, NamesTheFolderItCannotWriteIn) {
  TempDir dir;
  platform::OutputFile out;
  platform::Status status = out.Create(dir / "missing/target");
  EXPECT_FALSE(status);
  EXPECT_NE(status.message.find(dir / "missing/target"), std::string::npos) << status.message;
}

TEST(CopyFileReplacing, KeepsTheTargetWhenTheSourceCannotBeRead) {
  TempDir dir;
  WriteFile(dir / "target", "old");
  platform::Status status = platform::CopyFileReplacing(dir / "missing", dir / "target");
  EXPECT_FALSE(status);
  EXPECT_NE(status.message.find(dir / "missing"), std::string::npos) << status.message;
  EXPECT_EQ(ReadFile(dir / "target"), "old");
}

// Whether the kernel copies or the bytes pass through memory, and wherever
// one way hands over to the other, the copy is the whole file.
TEST(CopyFileReplacing, CopiesEveryByteOfFilesOfAnySize) {
  TempDir dir;
  std::string noise;
  for (std::size_t i = 0; noise.size() < (5u << 20) + 7; ++i) noise += static_cast<char>((i * 2654435761u) >> 13);
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{(1u << 20) + 3}, noise.size()}) {
    SCOPED_TRACE(size);
    const std::string bytes = noise.substr(0, size);
    WriteFile(dir / "source", bytes);
    WriteFile(dir / "target", "old");
    ASSERT_TRUE(platform::CopyFileReplacing(dir / "source", dir / "target"));
    EXPECT_TRUE(ReadFile(dir / "target") == bytes);
    EXPECT_TRUE(ReadFile(dir / "source") == bytes);
    EXPECT_EQ(testsupport::ListEntries(dir.path()).size(), 2u) << "partial file left behind";
  }
}

TEST(WriteFull, ReportsAFullDisk) {
  platform::UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  if (!full.valid()) GTEST_SKIP() << "no /dev/full";
  const char data[4096] = {};
  EXPECT_FALSE(platform::WriteFull(full.get(), data, sizeof data));
  EXPECT_EQ(errno, ENOSPC);
}

TEST(TempFolder, IsPrivateAndGoesAwayWithEverythingInIt) {
  TempDir dir;
  std::string path;
  {
    platform::TempFolder temp;
    ASSERT_TRUE(temp.Create(dir.path(), "run-"));
    path = temp.path();
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    WriteFile(path + "/sub/file", "x");
  }
  EXPECT_FALSE(platform::FileExists(path));
}

}  // namespace
