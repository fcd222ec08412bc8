// A jffs2 build from a tree with manifests beside it: mkfs.jffs2 gets the
// special files and the lost modes and owners as its device table, and
// jffs2dump -c and our reader must find them in the image. What the table
// cannot say fails naming the manifest and the entry before the tool runs,
// and leaves every input as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "firmsmith/fsimage/external_tools.h"
#include "firmsmith/fsimage/jffs2_extract.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

// path -> "type mode uid:gid major:minor", as our reader lists the image.
std::map<std::string, std::string> Listing(const std::string& image) {
  std::vector<fsimage::SourceEntry> entries;
  const platform::Status listed = fsimage::ListJffs2Image(image, &entries);
  EXPECT_TRUE(listed.ok) << listed.message;
  std::map<std::string, std::string> out;
  for (const fsimage::SourceEntry& e : entries) {
    char text[96];
    std::snprintf(text, sizeof text, "%c %04o %u:%u %u:%u", e.type, e.mode, e.uid, e.gid, e.major, e.minor);
    out[e.path] = text;
  }
  return out;
}

class Jffs2DeviceTable : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveProgram("mkfs.jffs2") || !testsupport::HaveProgram("jffs2dump"))
      GTEST_SKIP() << "mtd-utils missing";
    ::umask(022);
    WriteFile(src() + "/bin/tool", "tool");
    WriteFile(src() + "/bin/my file", "blank in the name");
    fs::create_directories(src() + "/dev");
    fs::create_directories(src() + "/pub");
    fs::create_symlink("tool", src() + "/bin/alias");
  }

  std::string src() const { return dir_ / "src"; }
  std::string specials() const { return dir_ / "src.manifest"; }
  std::string attributes() const { return dir_ / "src.pseudo"; }
  std::string image() const { return dir_ / "out.jffs2"; }

  testsupport::TempDir dir_;
};

TEST_F(Jffs2DeviceTable, SpecialFilesModesAndOwnersReachTheImage) {
  WriteFile(specials(),
            "dev/console c 0600 0:5 5:1\n"
            "dev/sda b 0660 0:6 8:0\n"
            "pub/pipe p 0620 12:34 -\n"
            "pub/sock s 0755 0:0 -\n");
  WriteFile(attributes(),
            "/ m 0755 0 0\n"
            "bin m 0750 0 0\n"
            "bin/tool m 4755 1000 100\n"
            "bin/my\\ file m 0600 7 7\n"
            "bin/alias m 0777 9 9\n"
            "pub m 1777 3 4\n");
  const auto before = testsupport::SnapshotTree(dir_.path());
  testsupport::RecordingMessageSink sink;
  platform::Status why;
  ::testing::internal::CaptureStderr();
  const int built = fsimage::BuildJffs2Image(src(), image(), sink, &why, specials(), attributes());
  const std::string warnings = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(built, 1) << why.message;
  EXPECT_TRUE(sink.boxes.empty());

  const std::map<std::string, std::string> held = Listing(image());
  const std::string me = std::to_string(::geteuid()) + ":" + std::to_string(::getegid());
  EXPECT_EQ(held.at("dev/console"), "c 0600 0:5 5:1");
  EXPECT_EQ(held.at("dev/sda"), "b 0660 0:6 8:0");
  EXPECT_EQ(held.at("pub/pipe"), "p 0620 12:34 0:0");
  EXPECT_EQ(held.count("pub/sock"), 0u);
  EXPECT_EQ(held.at("bin"), "d 0750 0:0 0:0");
  EXPECT_EQ(held.at("bin/tool"), "- 4755 1000:100 0:0");
  EXPECT_EQ(held.at("pub"), "d 1777 3:4 0:0");
  // The table cannot name it: the tree's own mode and owner stay.
  EXPECT_EQ(held.at("bin/my file"), "- 0644 " + me + " 0:0");
  EXPECT_EQ(held.at("bin/alias"), "l 0777 9:9 0:0");

  // The peer sees the same names as directory entry nodes.
  const testsupport::CommandResult dump = RunCommand({"jffs2dump", "-c", image()});
  ASSERT_EQ(dump.status, 0) << dump.err;
  for (const char* name : {"console", "sda", "pipe", "tool"})
    EXPECT_NE(dump.out.find(std::string("name ") + name + "\n"), std::string::npos) << name << dump.out;
  EXPECT_EQ(dump.out.find("name sock\n"), std::string::npos) << dump.out;

  // One line each for what was left out or kept, naming it.
  EXPECT_NE(warnings.find("1 sockets of " + specials()), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("pub/sock"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("bin/my file"), std::string::npos) << warnings;
  EXPECT_FALSE(fs::exists(image() + ".devtable"));
  auto after = testsupport::SnapshotTree(dir_.path());
  after.erase(image());
  EXPECT_EQ(after, before);
}

struct Refusal {
  const char* what;
  const char* line;    // of the special-file manifest
  const char* reason;  // part of the one-line failure
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.what; }

class Jffs2DeviceTableRefusals : public Jffs2DeviceTable, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Jffs2DeviceTableRefusals, NameTheManifestAndTheEntryAndWriteNothing) {
  const Refusal& c = GetParam();
  WriteFile(specials(), std::string(c.line) + "\n");
  const auto before = testsupport::SnapshotTree(dir_.path());
  testsupport::RecordingMessageSink sink;
  platform::Status why;
  EXPECT_EQ(fsimage::BuildJffs2Image(src(), image(), sink, &why, specials()), 0);
  EXPECT_FALSE(why.ok);
  EXPECT_EQ(why.message.find('\n'), std::string::npos) << why.message;
  EXPECT_NE(why.message.find(specials()), std::string::npos) << why.message;
  EXPECT_NE(why.message.find(c.reason), std::string::npos) << why.message;
  EXPECT_FALSE(fs::exists(image()));
  EXPECT_FALSE(fs::exists(image() + ".devtable"));
  EXPECT_EQ(testsupport::SnapshotTree(dir_.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Jffs2DeviceTableRefusals,
    ::testing::Values(
        Refusal{"folder_missing", "proc/x p 0644 0:0 -", "proc/x: its folder is not in the source tree"},
        Refusal{"folder_is_a_file", "bin/tool/x p 0644 0:0 -", "bin/tool/x: its folder is not in the source tree"},
        Refusal{"name_taken", "bin/tool c 0600 0:0 1:3", "bin/tool: the source tree already holds"},
        Refusal{"device_too_big", "dev/big c 0600 0:0 300:1", "dev/big: device number 300:1 does not fit"},
        Refusal{"owner_too_big", "dev/fifo p 0600 70000:0 -", "dev/fifo: owner 70000:0 does not fit"},
        Refusal{"blank_in_name", "dev/a\\040b p 0600 0:0 -", "dev/a b: a name with blanks"},
        Refusal{"bad_line", "dev/x q 0600 0:0 1:1", "line 1: type must be"}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
