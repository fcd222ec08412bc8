// firmsmith-cli cramfs-build / cramfs-extract: exit status, the one line of
// error text, the trace channels and the extractor's warnings.
#include <gtest/gtest.h>

#include <algorithm>

#include "cramfs_test_util.h"
#include "test_support.h"

namespace {

using namespace cramfstest;
using testsupport::RunCommand;
using testsupport::TempDir;

std::string Cli() { return testsupport::AppDir() + "/firmsmith-cli"; }

int Lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

// Quiet by default; -v (before or after the command) lists the inodes on
// standard error, never on standard output.
TEST(CramfsCli, BuildListsInodesWithVerboseAndSizesOnTheDebugChannel) {
  TempDir tmp;
  PutFile(tmp / "src", "f", "hello");
  const auto quiet = RunCommand({Cli(), "cramfs-build", tmp / "src", tmp / "a.img"});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{Cli(), "-v", "cramfs-build", tmp / "src", tmp / "v.img"},
        std::vector<std::string>{Cli(), "cramfs-build", tmp / "src", tmp / "v.img", "--verbose"}}) {
    const auto verbose = RunCommand(argv);
    EXPECT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_EQ(verbose.out, "");
    EXPECT_EQ(verbose.err, "root:\nf 0777         5     0:0   f\n");
  }

  const auto traced =
      RunCommand({Cli(), "cramfs-build", tmp / "src", tmp / "b.img"}, "", {{"FIRMSMITH_DEBUG", "1"}});
  EXPECT_EQ(traced.status, 0);
  EXPECT_NE(traced.err.find((tmp / "src") + "/f, uncompress size = 5 \n"), std::string::npos) << traced.err;
  EXPECT_NE(traced.err.find((tmp / "src") + "/f, compressed size = "), std::string::npos) << traced.err;
  EXPECT_EQ(ReadBytes(tmp / "a.img"), ReadBytes(tmp / "b.img"));
}

TEST(CramfsCli, FailuresExitOneWithOneLineNamingTheFile) {
  TempDir tmp;
  PutFile(tmp / "src", "f", "hello");
  const auto build = RunCommand({Cli(), "cramfs-build", tmp / "src", tmp / "none/a.img"});
  EXPECT_EQ(build.status, 1);
  EXPECT_EQ(Lines(build.err), 1);
  EXPECT_NE(build.err.find(tmp / "none/a.img"), std::string::npos) << build.err;

  PutFile(tmp.path(), "junk.img", std::string(5000, 'j'));
  const auto extract = RunCommand({Cli(), "cramfs-extract", tmp / "junk.img", tmp / "out"});
  EXPECT_EQ(extract.status, 1);
  EXPECT_EQ(Lines(extract.err), 1);
  EXPECT_NE(extract.err.find(tmp / "junk.img"), std::string::npos) << extract.err;

  // A usage error exits 2, as diff and grep do.
  const auto usage = RunCommand({Cli(), "cramfs-extract", tmp / "junk.img"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(Lines(usage.err), 1);
}

TEST(CramfsCli, ExtractPassesWarningsThroughOnStderr) {
  TempDir tmp;
  PutFile(tmp / "src", "d/f", "hello");
  ASSERT_EQ(RunCommand({Cli(), "cramfs-build", tmp / "src", tmp / "a.img"}).status, 0);
  Bytes image = ReadBytes(tmp / "a.img");
  image.resize(image.size() + 70);
  WriteBytes(tmp / "long.img", image);
  const auto x = RunCommand({Cli(), "cramfs-extract", tmp / "long.img", tmp / "out"});
  EXPECT_EQ(x.status, 0);
  EXPECT_EQ(x.err, "warning: file extends past end of filesystem\n");
  EXPECT_EQ(x.out, "");
  EXPECT_EQ(testsupport::ReadFile(tmp / "out/d/f"), "hello");

  // -q leaves errors only; the extraction itself is the same.
  const auto q = RunCommand({Cli(), "-q", "cramfs-extract", tmp / "long.img", tmp / "quiet"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.err, "");
  EXPECT_EQ(testsupport::ReadFile(tmp / "quiet/d/f"), "hello");
  const auto failing = RunCommand({Cli(), "-q", "cramfs-extract", tmp / "missing.img", tmp / "none"});
  EXPECT_EQ(failing.status, 1);
  EXPECT_NE(failing.err.find(tmp / "missing.img"), std::string::npos) << failing.err;
}

}  // namespace
