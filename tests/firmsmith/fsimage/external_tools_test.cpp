// External file-system tools: real mksquashfs, unsquashfs and mkfs.jffs2,
// their output checked with unsquashfs -s and jffs2dump / file.
#include "firmsmith/fsimage/external_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
  EXPECT_EQ(fsimage::SquashfsExtractParameters("/i.img", "/d d"), "-d \"/d d\" \"/i.img\"");
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

}  // namespace
