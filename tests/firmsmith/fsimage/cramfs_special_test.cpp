// Symbolic links, device nodes, FIFOs and sockets through our writer and
// extractor: links made with their stored target, special entries left to a
// manifest (or made with --special-files as root), the manifest taken back by
// the writer, and hostile images that try to write through a link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "cramfs_test_util.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "firmsmith/fsimage/cramfs_writer.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace cramfstest;
using testsupport::RunCommand;
using testsupport::TempDir;

std::string Cli() { return testsupport::AppDir() + "/firmsmith-cli"; }
bool IsRoot() { return ::geteuid() == 0; }
int Lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

// The source listing less what an extraction without special files leaves
// out.
TreeListing WithoutSpecials(TreeListing listing) {
  for (auto it = listing.begin(); it != listing.end();) {
    const std::string& kind = it->second;
    const bool special = kind.rfind("char ", 0) == 0 || kind.rfind("block ", 0) == 0 || kind == "fifo" ||
                         kind == "socket";
    it = special ? listing.erase(it) : std::next(it);
  }
  return listing;
}

TEST(CramfsTrees, ExtractionMakesLinksAndTheManifestRebuildsTheSameImage) {
  TempDir tmp;
  const DeviceRoot made = MakeDeviceRoot(tmp / "src", IsRoot());
  const Bytes image = BuildImage(tmp / "src", tmp / "ours.img");
  ASSERT_FALSE(image.empty());

  const auto x = RunCommand({Cli(), "cramfs-extract", tmp / "ours.img", tmp / "out"});
  ASSERT_EQ(x.status, 0) << x.err;
  const int specials = made.nodes ? 3 : 1;
  EXPECT_EQ(x.err, "warning: " + std::to_string(specials) + " device nodes, FIFOs or sockets not created, listed in " +
                       (tmp / "out.manifest") + "\n");
  EXPECT_EQ(ListTree(tmp / "out"), WithoutSpecials(ListTree(tmp / "src")));
  EXPECT_EQ(fs::read_symlink(tmp / "out/lib/libcrypto.so").string(), made.hostFile);

  std::string expected = "# Special entries not created as files: PATH TYPE(c b p s) MODE UID:GID MAJOR:MINOR|-\n";
  if (made.nodes) expected += "dev/console c 0777 0:0 5:1\ndev/mtdblock0 b 0777 0:0 31:0\n";
  expected += "tmp/logpipe p 0777 0:0 -\n";
  EXPECT_EQ(testsupport::ReadFile(tmp / "out.manifest"), expected);

  const auto rebuilt =
      RunCommand({Cli(), "cramfs-build", tmp / "out", tmp / "again.img", "--manifest", tmp / "out.manifest"});
  ASSERT_EQ(rebuilt.status, 0) << rebuilt.err;
  EXPECT_TRUE(ReadBytes(tmp / "again.img") == image);
}

TEST(CramfsTrees, SpecialFilesFlagMakesNodesAndTheTreeRebuildsTheSameImage) {
  if (!IsRoot()) GTEST_SKIP() << "device nodes need root";
  TempDir tmp;
  MakeDeviceRoot(tmp / "src", true);
  const Bytes image = BuildImage(tmp / "src", tmp / "ours.img");
  // A stale manifest of an earlier extraction must not outlive this one.
  testsupport::WriteFile(tmp / "out.manifest", "dev/old c 0600 0:0 1:3\n");
  const auto x = RunCommand({Cli(), "cramfs-extract", tmp / "ours.img", tmp / "out", "--special-files"});
  ASSERT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(x.err, "");
  EXPECT_FALSE(testsupport::FileExists(tmp / "out.manifest"));
  EXPECT_EQ(ListTree(tmp / "out"), ListTree(tmp / "src"));
  EXPECT_TRUE(BuildImage(tmp / "out", tmp / "again.img") == image);
}

// Extraction by an ordinary user: links are made, nodes are left out with
// one warning line, and the run succeeds.
TEST(CramfsTrees, UnprivilegedExtractionMakesLinksAndSkipsNodes) {
  if (IsRoot() && !testsupport::HaveProgram("setpriv")) GTEST_SKIP() << "setpriv missing";
  TempDir tmp;
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0);
  MakeDeviceRoot(tmp / "src", IsRoot());
  BuildImage(tmp / "src", tmp / "ours.img");
  PutFolder(tmp.path(), "drop");
  ASSERT_EQ(::chmod((tmp / "drop").c_str(), 0777), 0);
  std::vector<std::string> argv;
  if (IsRoot()) {
    // As nobody where the build tree lets nobody run the program, else as
    // root without the right to make device nodes.
    argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    std::vector<std::string> probe = argv;
    probe.insert(probe.end(), {"test", "-x", Cli()});
    if (RunCommand(probe).status != 0) argv = {"setpriv", "--bounding-set=-mknod"};
  }
  // Asked for, the nodes are still left out: only root may make them.
  argv.insert(argv.end(), {Cli(), "cramfs-extract", tmp / "ours.img", tmp / "drop/out", "--special-files"});
  const auto x = RunCommand(argv);
  ASSERT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(Lines(x.err), IsRoot() ? 1 : 0) << x.err;
  TreeListing expected = WithoutSpecials(ListTree(tmp / "src"));
  expected["tmp/logpipe"] = "fifo";  // anyone may make a FIFO
  EXPECT_EQ(ListTree(tmp / "drop/out"), expected);
  if (IsRoot()) {
    EXPECT_NE(testsupport::ReadFile(tmp / "drop/out.manifest").find("dev/console c 0777 0:0 5:1\n"),
              std::string::npos);
  }
}

struct ManifestCase {
  const char* what;
  std::string line;
  std::string reason;  // "" = parses
};

void PrintTo(const ManifestCase& c, std::ostream* os) { *os << c.what; }

class CramfsManifestLines : public ::testing::TestWithParam<ManifestCase> {};

TEST_P(CramfsManifestLines, ParseOrNameTheLine) {
  const ManifestCase& c = GetParam();
  std::vector<fsimage::CramfsSpecialEntry> entries;
  const platform::Status parsed = fsimage::ParseCramfsManifest("# header\n\n" + c.line + "\n", "m.txt", &entries);
  if (c.reason.empty()) {
    ASSERT_TRUE(parsed.ok) << parsed.message;
    ASSERT_EQ(entries.size(), 1u);
    // What parses comes back out as the same line.
    const std::string text = fsimage::FormatCramfsManifest(entries);
    EXPECT_EQ(text.substr(text.find('\n') + 1), c.line + "\n");
  } else {
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.message.rfind("m.txt line 3: " + c.reason, 0), 0u) << parsed.message;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CramfsManifestLines,
    ::testing::Values(ManifestCase{"char", "dev/console c 0600 0:0 5:1", ""},
                      ManifestCase{"block", "dev/mtdblock0 b 0660 0:6 31:7", ""},
                      ManifestCase{"fifo", "var/run/log p 0644 1000:1000 -", ""},
                      ManifestCase{"socket", "s s 0755 0:0 -", ""},
                      ManifestCase{"escaped", "a\\040b/c\\012d\\134e p 0644 0:0 -", ""},
                      // A name starting with "#" must not come back as a comment.
                      ManifestCase{"hash_first", "\\043run/b#c p 0644 0:0 -", ""},
                      ManifestCase{"dot_dot", "dev/../../etc p 0644 0:0 -", "bad path"},
                      ManifestCase{"absolute", "/etc/x p 0644 0:0 -", "bad path"},
                      ManifestCase{"bad_escape", "a\\09 p 0644 0:0 -", "bad path"},
                      ManifestCase{"regular", "etc/x f 0644 0:0 -", "type must be"},
                      ManifestCase{"mode", "dev/x c 0999 0:0 1:1", "bad mode"},
                      ManifestCase{"owner", "dev/x c 0600 root:0 1:1", "bad owner"},
                      ManifestCase{"device", "dev/x b 0600 0:0 31", "bad device number"},
                      ManifestCase{"fifo_number", "dev/x p 0600 0:0 1:1", "a FIFO or socket"},
                      ManifestCase{"short", "dev/x c 0600 0:0", "expected PATH"}),
    [](const ::testing::TestParamInfo<ManifestCase>& i) { return std::string(i.param.what); });

// A manifest that does not fit the tree fails the build naming the entry,
// and leaves the tree and the manifest as they were.
TEST(CramfsTrees, ManifestThatDoesNotFitFailsNamingTheEntry) {
  TempDir tmp;
  PutFile(tmp / "src", "dev/null-file", "x");
  PutFolder(tmp / "src", "tmp");
  struct Case {
    std::string line;
    std::string reason;
  };
  for (const Case& c : {Case{"proc/x p 0644 0:0 -", "manifest entry proc/x: its folder is not in the source tree"},
                        Case{"dev/null-file c 0666 0:0 1:3", "manifest entry dev/null-file: the source tree already"},
                        Case{"dev/null-file/x p 0644 0:0 -", "manifest entry dev/null-file/x: its folder"},
                        Case{"dev/big c 0600 0:0 300:1", "device dev/big (300:1) has a number"},
                        Case{"dev/x q 0600 0:0 1:1", (tmp / "m") + " line 1: type must be"}}) {
    SCOPED_TRACE(c.line);
    testsupport::WriteFile(tmp / "m", c.line + "\n");
    const TreeListing before = ListTree(tmp / "src");
    const auto run = RunCommand({Cli(), "cramfs-build", tmp / "src", tmp / "out.img", "--manifest", tmp / "m"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.err), 1);
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(ListTree(tmp / "src"), before);
    EXPECT_EQ(testsupport::ReadFile(tmp / "m"), c.line + "\n");
  }
  const auto missing =
      RunCommand({Cli(), "cramfs-build", tmp / "src", tmp / "out.img", "--manifest", tmp / "none"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find(tmp / "none"), std::string::npos) << missing.err;
}

// A link followed by an entry that would write through it, links up and
// out, and special entries where something already stands: nothing is
// written outside the destination.
TEST(CramfsTrees, HostileLinksAndNodesStayInsideTheDestination) {
  TempDir tmp;
  PutFile(tmp / "outside", "passwd", "root:x:0:0");
  PutFile(tmp / "outside", "console", "not a device");
  const TreeListing outside = ListTree(tmp / "outside");
  PutFolder(tmp.path(), "src");
  // "x" is a link to the outside folder, "y" a folder holding passwd;
  // renamed, the image lists the link "x" and then a folder "x".
  fs::create_directory_symlink(tmp / "outside", tmp / "src/x");
  PutFile(tmp / "src", "y/passwd", "evil");
  fs::create_directory_symlink("..", tmp / "src/up");
  fs::create_directory_symlink("../..", tmp / "src/up2");
  PutFile(tmp / "src", "uq/passwd", "evil too");
  PutFolder(tmp / "src", "dev");
  ASSERT_EQ(::mkfifo((tmp / "src/dev/console").c_str(), 0644), 0);
  Bytes image = BuildImage(tmp / "src", tmp / "base.img");
  Rename(image, "y", "x");
  Rename(image, "uq", "up");
  WriteBytes(tmp / "evil.img", image);
  const Bytes evil = image;
  for (const bool special : {false, true}) {
    SCOPED_TRACE(special);
    fs::remove_all(tmp / "out");
    PutFolder(tmp / "out", "dev");
    fs::create_symlink(tmp / "outside/console", tmp / "out/dev/console");
    fsimage::CramfsExtractOptions options;
    options.createSpecialFiles = special;
    std::string why;
    ::testing::internal::CaptureStderr();
    fsimage::ExtractCramfsImage(tmp / "evil.img", tmp / "out", options, &why);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ListTree(tmp / "outside"), outside);
    EXPECT_EQ(testsupport::ReadFile(tmp / "out/x/passwd"), "evil");
    EXPECT_EQ(testsupport::ReadFile(tmp / "out/up/passwd"), "evil too");
    EXPECT_TRUE(fs::is_symlink(tmp / "out/up2"));
    EXPECT_EQ(ListTree(tmp / "out").at("dev/console"), special ? "fifo" : "link -> " + (tmp / "outside/console"));
    EXPECT_TRUE(ReadBytes(tmp / "evil.img") == evil);
  }
}

// The listing the check and inspect read: types, link targets, devices.
TEST(CramfsTrees, ListingGivesTypesTargetsAndDeviceNumbers) {
  TempDir tmp;
  const DeviceRoot made = MakeDeviceRoot(tmp / "src", IsRoot());
  BuildImage(tmp / "src", tmp / "ours.img");
  std::vector<fsimage::CramfsListedEntry> entries;
  std::string why;
  ASSERT_EQ(fsimage::ListCramfsImage(tmp / "ours.img", &entries, &why), 0) << why;
  std::map<std::string, fsimage::CramfsListedEntry> byPath;
  for (const auto& e : entries) byPath[e.path] = e;
  EXPECT_EQ(byPath.at("lib/libcrypto.so").mode, 0120777u);
  EXPECT_EQ(byPath.at("lib/libcrypto.so").linkTarget, made.hostFile);
  EXPECT_EQ(byPath.at("sbin/init").linkTarget, "/bin/busybox");
  EXPECT_EQ(byPath.at("usr/bin/top").linkTarget, "../../bin/busybox");
  EXPECT_EQ(byPath.at("tmp/logpipe").mode, 0010777u);
  EXPECT_EQ(byPath.at("etc/init.d").mode, 0040777u);
  const std::uint64_t hostSize = fs::file_size(made.hostFile);
  for (const auto& e : entries) {
    if ((e.mode & 0170000) == 0100000) {
      EXPECT_NE(e.size, hostSize) << e.path;
    }
  }
  if (!made.nodes) return;
  EXPECT_EQ(byPath.at("dev/console").mode, 0020777u);
  EXPECT_EQ(byPath.at("dev/console").size, 0x0501u);
}

}  // namespace
