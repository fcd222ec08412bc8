// External file-system tools: real mksquashfs, unsquashfs and mkfs.jffs2,
// their output checked with unsquashfs -s and jffs2dump / file.
#include "firmsmith/fsimage/external_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "test_support.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::RecordingMessageSink;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

void MakeTree(const std::string& root) {
  WriteFile(root + "/etc/hello.txt", "hello\n");
  WriteFile(root + "/data/with blank.bin", std::string(70000, 'q'));
  WriteFile(root + "/data/deeper/empty", "");
}

TEST(ExternalTools, ParameterStringsAreTheFixedOnes) {
  EXPECT_EQ(fsimage::SquashfsBuildParameters("/a b/src", "/o/x.img", false),
            "\"/a b/src\" \"/o/x.img\" -b 256k");
  EXPECT_EQ(fsimage::SquashfsBuildParameters("/src", "/o/x.img", true),
            "\"/src\" \"/o/x.img\" -noappend -b 4k");
  EXPECT_EQ(fsimage::Jffs2BuildParameters("/s", "/o.img"),
            "-d \"/s\" -l -e 0x10000 -o \"/o.img\"");
  EXPECT_EQ(fsimage::SquashfsExtractParameters("/i.img", "/d d", "/d d.exclude"),
            "-d \"/d d\" -exclude-file \"/d d.exclude\" \"/i.img\"");
  EXPECT_EQ(fsimage::SquashfsManifestParameters("/o/x.img.pf", 01755, 0, 6),
            " -pf \"/o/x.img.pf\" -root-mode 1755 -root-uid 0 -root-gid 6");
}

struct SquashCase {
  bool smallBlocks;
  const char* blockSizeLine;
};

void PrintTo(const SquashCase& c, std::ostream* os) { *os << (c.smallBlocks ? "4k" : "256k"); }

class SquashfsBuild : public ::testing::TestWithParam<SquashCase> {};

TEST_P(SquashfsBuild, FolderWithABlankBecomesAnImageThatRoundTrips) {
  if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("unsquashfs"))
    GTEST_SKIP() << "squashfs-tools missing";
  const SquashCase c = GetParam();
  TempDir dir;
  const std::string source = dir / "source folder";
  MakeTree(source);
  RecordingMessageSink sink;
  const std::string image = dir / "out put/part.img";
  ::mkdir((dir / "out put").c_str(), 0755);
  ASSERT_TRUE(fsimage::BuildSquashfsImage(source, image, c.smallBlocks, sink));
  EXPECT_TRUE(sink.boxes.empty());

  auto stats = RunCommand({"unsquashfs", "-s", image});
  EXPECT_EQ(stats.status, 0) << stats.err;
  EXPECT_NE(stats.out.find(c.blockSizeLine), std::string::npos) << stats.out;

  const std::string dest = dir / "un packed";
  EXPECT_EQ(fsimage::ExtractSquashfsImage(image, dest, sink), 1);
  EXPECT_EQ(ReadFile(dest + "/etc/hello.txt"), "hello\n");
  EXPECT_EQ(ReadFile(dest + "/data/with blank.bin"), std::string(70000, 'q'));
  EXPECT_TRUE(FileExists(dest + "/data/deeper/empty"));
  auto diff = RunCommand({"diff", "-r", source, dest});
  EXPECT_EQ(diff.status, 0) << diff.out;
}

INSTANTIATE_TEST_SUITE_P(Variants, SquashfsBuild,
                         ::testing::Values(SquashCase{true, "Block size 4096"},
                                           SquashCase{false, "Block size 262144"}),
                         [](const auto& info) { return info.param.smallBlocks ? "small" : "large"; });

TEST(SquashfsBuild, MissingOutputFolderShowsTheThreeMessagesInOrder) {
  if (!testsupport::HaveProgram("mksquashfs")) GTEST_SKIP() << "mksquashfs missing";
  TempDir dir;
  MakeTree(dir / "src");
  RecordingMessageSink sink;
  const std::string image = dir / "no such folder/part.img";
  EXPECT_FALSE(fsimage::BuildSquashfsImage(dir / "src", image, false, sink));
  ASSERT_EQ(sink.boxes.size(), 3u);
  EXPECT_EQ(sink.boxes[0].text, "open squashfs error");
  EXPECT_EQ(sink.boxes[1].text, "make squashfs error!");
  EXPECT_EQ(sink.boxes[2].text, image);
  for (const auto& box : sink.boxes) EXPECT_EQ(box.caption, "");
}

TEST(SquashfsBuild, OutputThatIsNotSquashfsShowsTwoMessages) {
  if (!testsupport::HaveProgram("mksquashfs")) GTEST_SKIP() << "mksquashfs missing";
  TempDir dir;
  // Without -noappend the tool refuses to append to a file that is no
  // squashfs image and leaves it in place: why the caller deletes leftovers.
  MakeTree(dir / "src");
  WriteFile(dir / "part.img", "not squashfs at all");
  RecordingMessageSink sink;
  EXPECT_FALSE(fsimage::BuildSquashfsImage(dir / "src", dir / "part.img", false, sink));
  ASSERT_EQ(sink.boxes.size(), 2u);
  EXPECT_EQ(sink.boxes[0].text, "make squashfs error!");
  EXPECT_EQ(sink.boxes[1].text, dir / "part.img");
}

TEST(Jffs2Build, FolderWithABlankBecomesALittleEndianImage) {
  if (!testsupport::HaveProgram("mkfs.jffs2")) GTEST_SKIP() << "mtd-utils missing";
  TempDir dir;
  MakeTree(dir / "source folder");
  RecordingMessageSink sink;
  EXPECT_EQ(fsimage::BuildJffs2Image(dir / "source folder", dir / "part image.jffs2", sink), 1);
  EXPECT_TRUE(sink.boxes.empty());
  const std::string image = ReadFile(dir / "part image.jffs2");
  ASSERT_GE(image.size(), 12u);
  // Little-endian jffs2 node magic 0x1985.
  EXPECT_EQ(image.substr(0, 2), std::string("\x85\x19", 2));
  if (testsupport::HaveProgram("file")) {
    auto f = RunCommand({"file", "-b", dir / "part image.jffs2"});
    EXPECT_NE(f.out.find("jffs2 filesystem data little endian"), std::string::npos) << f.out;
  }
  if (testsupport::HaveProgram("jffs2dump")) {
    // The dump lists the dirent nodes of our files.
    auto d = RunCommand({"jffs2dump", "-c", dir / "part image.jffs2"});
    EXPECT_NE(d.out.find("hello.txt"), std::string::npos) << d.out << d.err;
    EXPECT_NE(d.out.find("with blank.bin"), std::string::npos) << d.out;
  }
}

TEST(ExternalTools, ToolThatCannotBeFoundIsReportedOnceByName) {
  RecordingMessageSink sink;
  EXPECT_FALSE(fsimage::RunExternalTool("fs-no-such-tool-7f3a", "\"a\" \"b\"", sink));
  ASSERT_EQ(sink.boxes.size(), 1u);
  EXPECT_NE(sink.boxes[0].text.find("fs-no-such-tool-7f3a"), std::string::npos);
}

TEST(ExternalTools, PathHoldingAQuoteIsRefusedBeforeAnythingRuns) {
  TempDir dir;
  RecordingMessageSink sink;
  EXPECT_EQ(fsimage::BuildJffs2Image(dir / "src", dir / "x\" -o \"/tmp/else", sink), 0);
  ASSERT_EQ(sink.boxes.size(), 1u);
  EXPECT_NE(sink.boxes[0].text.find("mkfs.jffs2"), std::string::npos);
  EXPECT_FALSE(FileExists("/tmp/else"));
}

// A folder of stand-in tools put first on PATH while alive (the program
// folder of a test holds no tools, so PATH decides).
class FakeTools {
 public:
  FakeTools() : oldPath_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    ::setenv("PATH", (dir_.path() + ":" + oldPath_).c_str(), 1);
  }
  ~FakeTools() { ::setenv("PATH", oldPath_.c_str(), 1); }
  void Add(const std::string& name, const std::string& script) {
    WriteFile(dir_ / name, "#!/bin/sh\n" + script);
    ::chmod((dir_ / name).c_str(), 0755);
  }

 private:
  TempDir dir_;
  std::string oldPath_;
};

struct ToolFailure {
  const char* what;
  const char* tool;
  const char* script;  // mksquashfs' $2, mkfs.jffs2's $7: the image
  const char* cause;   // in the reason
  int (*run)(const std::string& source, const std::string& image, platform::Status* why);
};

void PrintTo(const ToolFailure& c, std::ostream* os) { *os << c.what; }

int Squashfs(const std::string& source, const std::string& image, platform::Status* why) {
  RecordingMessageSink sink;
  return fsimage::BuildSquashfsImage(source, image, true, sink, why) ? 1 : 0;
}
int Jffs2(const std::string& source, const std::string& image, platform::Status* why) {
  RecordingMessageSink sink;
  return fsimage::BuildJffs2Image(source, image, sink, why);
}
int Unsquash(const std::string& source, const std::string& image, platform::Status* why) {
  RecordingMessageSink sink;
  return fsimage::ExtractSquashfsImage(image, source + "-out", sink, why);
}

class FailingTool : public ::testing::TestWithParam<ToolFailure> {};

TEST_P(FailingTool, FailsTheStepWithTheToolsLastWords) {
  const ToolFailure& c = GetParam();
  if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("mkfs.jffs2"))
    GTEST_SKIP() << "squashfs-tools or mtd-utils missing";
  TempDir dir;
  MakeTree(dir / "src");
  WriteFile(dir / "other/only.txt", "not the source");
  FakeTools fake;
  std::string script = c.script;
  for (std::size_t at; (at = script.find("@OTHER@")) != std::string::npos;)
    script.replace(at, 7, dir / "other");
  fake.Add(c.tool, script);
  platform::Status why;
  EXPECT_EQ(c.run(dir / "src", dir / "part.img", &why), 0) << c.what;
  EXPECT_FALSE(why.ok) << c.what;
  EXPECT_NE(why.message.find(c.cause), std::string::npos) << c.what << ": " << why.message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailingTool,
    ::testing::Values(
        ToolFailure{"mksquashfs exits 1", "mksquashfs",
                    "echo working\necho 'FATAL ERROR: disk on fire' >&2\nexit 1\n",
                    "exit status 1: working; FATAL ERROR: disk on fire", Squashfs},
        ToolFailure{"mksquashfs leaves files out and exits 0", "mksquashfs",
                    "exec /usr/bin/mksquashfs @OTHER@ \"$2\" -noappend -quiet\n",
                    "is missing", Squashfs},
        ToolFailure{"mkfs.jffs2 exits 1", "mkfs.jffs2", "echo 'mkfs.jffs2: write failed' >&2\nexit 1\n",
                    "mkfs.jffs2: write failed", Jffs2},
        ToolFailure{"mkfs.jffs2 cuts its image short and exits 0", "mkfs.jffs2",
                    "/usr/sbin/mkfs.jffs2 \"$@\" || exit 9\n"
                    "size=$(stat -c %s \"$7\")\ntruncate -s $((size / 2 + 3)) \"$7\"\n",
                    "part.img: jffs2 node at offset", Jffs2},
        ToolFailure{"unsquashfs exits 2", "unsquashfs", "echo 'read_block: failed to read' >&2\nexit 2\n",
                    "exit status 2: read_block: failed to read", Unsquash}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(ExternalTools, UnreadableSourceFileFailsBothBuildsNamingIt) {
  if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("mkfs.jffs2"))
    GTEST_SKIP() << "squashfs-tools or mtd-utils missing";
  TempDir dir;
  MakeTree(dir / "src");
  const std::string locked = dir / "src/etc/hello.txt";
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  platform::Status squashfs, jffs2;
  {
    testsupport::FileOverrideDropped asAnyUser;
    EXPECT_EQ(Squashfs(dir / "src", dir / "a.img", &squashfs), 0);
    EXPECT_EQ(Jffs2(dir / "src", dir / "b.img", &jffs2), 0);
  }
  ::chmod(locked.c_str(), 0644);
  for (const platform::Status& why : {squashfs, jffs2}) {
    EXPECT_NE(why.message.find(locked), std::string::npos) << why.message;
    EXPECT_NE(why.message.find("Permission denied"), std::string::npos) << why.message;
  }
}

TEST(ExternalTools, BuiltImagesPassTheirChecks) {
  if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("mkfs.jffs2"))
    GTEST_SKIP() << "squashfs-tools or mtd-utils missing";
  TempDir dir;
  MakeTree(dir / "src");
  ASSERT_EQ(::symlink("etc/hello.txt", (dir / "src/hello").c_str()), 0);
  platform::Status squashfs, jffs2;
  EXPECT_EQ(Squashfs(dir / "src", dir / "a.img", &squashfs), 1) << squashfs.message;
  EXPECT_EQ(Jffs2(dir / "src", dir / "b.img", &jffs2), 1) << jffs2.message;
}

}  // namespace
