// Trees from packages and operator folders cannot take the make operation
// outside themselves: the ignore rule never enters a symbolic link, a staged
// copy keeps links as links and carries special files in its manifests, and
// hostile custom partitions with "data -> <elsewhere>" leave elsewhere as
// it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>

#include "cramfs_test_util.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/jffs2_extract.h"
#include "firmsmith/fsimage/squashfs_manifest.h"
#include "firmsmith/package/make/make_steps.h"
#include "package_fixture.h"

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using cramfstest::ListTree;
using cramfstest::TreeListing;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

// A folder outside every tree, holding what a hostile link points at.
void MakeDecoy(const std::string& decoy) {
  WriteFile(decoy + "/Logs/a.log", "operator's log");
  WriteFile(decoy + "/Logs/deep/b.log", "another");
  WriteFile(decoy + "/keep.txt", "keep");
}

struct LinkCase {
  const char* what;
  const char* ignore;
  // Builds the tree below `root`; `decoy` is the outside folder.
  void (*make)(const std::string& root, const std::string& decoy);
  // Entries gone from the built tree (the ignore rule's work).
  std::vector<std::string> deleted;
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.what; }

class IgnoreRuleLinks : public ::testing::TestWithParam<std::tuple<LinkCase, bool>> {};

TEST_P(IgnoreRuleLinks, NothingOutsideTheTreeChangesAndLinksGoAsLinks) {
  const LinkCase& c = std::get<0>(GetParam());
  const bool ownedByUs = std::get<1>(GetParam());
  TempDir dir;
  const std::string decoy = dir / "outside";
  MakeDecoy(decoy);
  const std::string tree = dir / "tree";
  WriteFile(tree + "/marker.txt", "m");
  c.make(tree, decoy);
  const TreeListing decoyBefore = ListTree(decoy);
  const TreeListing treeBefore = ListTree(tree);

  std::string built;
  const platform::Status applied = package::ApplyIgnoreRule(tree, c.ignore, ownedByUs, dir / "staging", &built);
  ASSERT_TRUE(applied.ok) << applied.message;
  EXPECT_EQ(ListTree(decoy), decoyBefore) << c.what;
  TreeListing expected = treeBefore;
  for (const std::string& gone : c.deleted) expected.erase(gone);
  EXPECT_EQ(ListTree(built), expected) << c.what;
  // The operator's folder stays as it was; ours is the one built.
  if (!ownedByUs) {
    EXPECT_EQ(ListTree(tree), treeBefore);
  }
  EXPECT_EQ(built == tree, ownedByUs || c.deleted.empty()) << built;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IgnoreRuleLinks,
    ::testing::Combine(
        ::testing::Values(
            LinkCase{"first part a link", "data/Logs/*",
                     [](const std::string& root, const std::string& decoy) { fs::create_symlink(decoy, root + "/data"); },
                     {}},
            LinkCase{"cleared folder a link", "data/Logs/*",
                     [](const std::string& root, const std::string& decoy) {
                       fs::create_directories(root + "/data");
                       fs::create_symlink(decoy + "/Logs", root + "/data/Logs");
                     },
                     {}},
            LinkCase{"link inside the cleared folder goes as a link", "data/Logs/*",
                     [](const std::string& root, const std::string& decoy) {
                       WriteFile(root + "/data/Logs/old.log", "old");
                       fs::create_symlink(decoy, root + "/data/Logs/sub");
                       fs::create_symlink("../../marker.txt", root + "/data/Logs/rel");
                     },
                     {"data/Logs/old.log", "data/Logs/sub", "data/Logs/rel"}},
            LinkCase{"ignored file is a link to a folder", "data",
                     [](const std::string& root, const std::string& decoy) { fs::create_symlink(decoy, root + "/data"); },
                     {"data"}},
            LinkCase{"links elsewhere in the tree are kept", "debug/*",
                     [](const std::string& root, const std::string& decoy) {
                       WriteFile(root + "/debug/trace.log", "t");
                       fs::create_symlink(decoy, root + "/data");
                       fs::create_symlink("marker.txt", root + "/rel");
                     },
                     {"debug/trace.log"}}),
        ::testing::Bool()),
    [](const auto& info) {
      return "case" + std::to_string(std::get<0>(info.param).deleted.size()) + "_" +
             std::to_string(info.index) + (std::get<1>(info.param) ? "_ours" : "_operators");
    });

// An operator's folder with a node, a FIFO, a set-id file and links, staged
// because the ignore rule fires: the image built from the copy holds what
// the folder holds, but the copy itself holds no special file and no
// set-id or world-writable mode.
TEST(StagedCopy, CarriesSpecialFilesToTheImageAndHoldsNone) {
  const bool root = ::geteuid() == 0;
  TempDir dir;
  const std::string folder = dir / "custom";
  WriteFile(folder + "/bin/tool", "tool");
  WriteFile(folder + "/debug/trace.log", "ignored");
  ASSERT_EQ(::chmod((folder + "/bin/tool").c_str(), 04755), 0);
  fs::create_directories(folder + "/pub");
  ASSERT_EQ(::chmod((folder + "/pub").c_str(), 01777), 0);
  fs::create_symlink("tool", folder + "/bin/alias");
  fs::create_symlink("/etc/host-only", folder + "/bin/absolute");
  ASSERT_EQ(::mkfifo((folder + "/pub/pipe").c_str(), 0600), 0);
  ASSERT_EQ(::chmod((folder + "/pub/pipe").c_str(), 0620), 0);
  if (root) {
    ASSERT_EQ(::mknod((folder + "/console").c_str(), S_IFCHR | 0600, makedev(5, 1)), 0);
  }
  const TreeListing before = ListTree(folder);

  std::string staged;
  const platform::Status applied = package::ApplyIgnoreRule(folder, "debug/*", false, dir / "staging", &staged);
  ASSERT_TRUE(applied.ok) << applied.message;
  ASSERT_NE(staged, folder);
  EXPECT_EQ(ListTree(folder), before);
  const TreeListing copy = ListTree(staged);
  EXPECT_EQ(copy.at("bin/alias"), "link -> tool");
  EXPECT_EQ(copy.at("bin/absolute"), "link -> /etc/host-only");
  EXPECT_EQ(copy.count("pub/pipe"), 0u);
  EXPECT_EQ(copy.count("console"), 0u);
  for (auto it = fs::recursive_directory_iterator(staged); it != fs::end(it); ++it) {
    struct stat st {};
    ASSERT_EQ(::lstat(it->path().c_str(), &st), 0);
    if (S_ISLNK(st.st_mode)) continue;
    EXPECT_TRUE(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) << it->path();
    EXPECT_EQ(st.st_mode & (S_ISUID | S_ISGID | S_ISVTX | S_IWOTH), 0u) << it->path();
  }

  // Cramfs: the image of the copy is the image of the folder without the
  // ignored file, byte for byte.
  package::MakeEnvironment env;
  testsupport::RecordingMessageSink sink;
  env.sink = &sink;
  ASSERT_TRUE(package::BuildFileSystemImage(products::kFsCramfs, false, staged, dir / "staged.cramfs", env,
                                            package::ManifestBeside(products::kFsCramfs, staged))
                  .ok);
  fs::remove(folder + "/debug/trace.log");
  ASSERT_TRUE(package::BuildFileSystemImage(products::kFsCramfs, false, folder, dir / "folder.cramfs", env).ok);
  EXPECT_EQ(testsupport::FirstDifference(ReadFile(dir / "staged.cramfs"), ReadFile(dir / "folder.cramfs")), "");

  // Squashfs: the same entries with the same types, modes and owners.
  if (!testsupport::HaveProgram("mksquashfs")) return;
  const platform::Status built = package::BuildFileSystemImage(
      products::kFsSquashfs, false, staged, dir / "staged.sqfs", env, package::ManifestBeside(products::kFsSquashfs, staged));
  ASSERT_TRUE(built.ok) << built.message;
  ASSERT_EQ(RunCommand({"mksquashfs", folder, dir / "folder.sqfs", "-noappend", "-quiet"}).status, 0);
  auto listing = [](const std::string& image) {
    std::string out = RunCommand({"unsquashfs", "-lln", image}).out;
    std::string kept;
    std::size_t begin = 0;
    while (begin < out.size()) {
      std::size_t end = out.find('\n', begin);
      if (end == std::string::npos) end = out.size();
      const std::string line = out.substr(begin, end - begin);
      begin = end + 1;
      // Mode and owner, then the name; sizes of folders and times differ.
      const std::size_t name = line.find(" squashfs-root");
      if (name != std::string::npos && line[0] != 'd') kept += line.substr(0, line.find(' ', 11)) + line.substr(name) + "\n";
      else if (name != std::string::npos) kept += line.substr(0, 10) + line.substr(name) + "\n";
    }
    return kept;
  };
  EXPECT_EQ(listing(dir / "staged.sqfs"), listing(dir / "folder.sqfs"));
  const std::string text = listing(dir / "staged.sqfs");
  const std::size_t pipe = text.find(" squashfs-root/pub/pipe\n");
  ASSERT_NE(pipe, std::string::npos) << text;
  EXPECT_EQ(text.substr(text.rfind('\n', pipe) + 1, 10), "prw--w----") << text;
  EXPECT_NE(text.find("-rwsr-xr-x "), std::string::npos) << text;

  // Jffs2: the same entries with the same types, modes, owners and device
  // numbers as mkfs.jffs2 gives the folder itself.
  if (!testsupport::HaveProgram("mkfs.jffs2")) return;
  const platform::Status jffs2 = package::BuildFileSystemImage(
      products::kFsJffs2, false, staged, dir / "staged.jffs2", env, package::ManifestBeside(products::kFsJffs2, staged));
  ASSERT_TRUE(jffs2.ok) << jffs2.message;
  ASSERT_EQ(RunCommand({"mkfs.jffs2", "-d", folder, "-l", "-e", "0x10000", "-o", dir / "folder.jffs2"}).status, 0);
  auto jffs2Listing = [](const std::string& image) {
    std::vector<fsimage::SourceEntry> entries;
    const platform::Status listed = fsimage::ListJffs2Image(image, &entries);
    EXPECT_TRUE(listed.ok) << listed.message;
    std::string out;
    for (const fsimage::SourceEntry& e : entries) {
      char head[96];
      std::snprintf(head, sizeof head, "%c %04o %u:%u %u:%u %llu ", e.type, e.mode, e.uid, e.gid, e.major, e.minor,
                    static_cast<unsigned long long>(e.size));
      out += head + e.path + " " + e.linkTarget + "\n";
    }
    return out;
  };
  const std::string held = jffs2Listing(dir / "staged.jffs2");
  EXPECT_EQ(held, jffs2Listing(dir / "folder.jffs2"));
  EXPECT_NE(held.find("p 0620 "), std::string::npos) << held;
  EXPECT_NE(held.find("- 4755 "), std::string::npos) << held;
}

// Hostile custom partitions (squashfs and cramfs) and an operator's custom
// folder with "data -> <decoy>": the product's ignore rule "data/Logs/*"
// deletes nothing there, whatever the run's outcome.
class HostileCustomTree : public PackageTest {
 protected:
  void SetUp() override {
    PackageTest::SetUp();
    if (IsSkipped()) return;
    std::string ini = ReadFile(prog_ / "Products/TestBox.ini");
    ini.replace(ini.find("ignore=debug/*"), 14, "ignore=data/Logs/*");
    WriteFile(prog_ / "Products/TestBox.ini", ini);
    decoy = work_ / "outside";
    MakeDecoy(decoy);
    tree = work_ / "custom-src";
    WriteFile(tree + "/ProductDefinition", "{\"Hardware\": \"HW-T\"}");
    WriteFile(tree + "/CustomConfig/Ability.custom", "{}");
    fs::create_symlink(decoy, tree + "/data");
  }

  std::string decoy, tree;
};

TEST_F(HostileCustomTree, PackagePartitionsWithALinkOutDeleteNothingThere) {
  const bool squashfsTools = testsupport::HaveProgram("mksquashfs") && testsupport::HaveProgram("unsquashfs");
  for (const int fsKind : {products::kFsCramfs, products::kFsSquashfs}) {
    if (fsKind == products::kFsSquashfs && !squashfsTools) continue;
    const std::string name = fsKind == products::kFsSquashfs ? "custom-x.squashfs.img" : "custom-x.cramfs.img";
    const std::string payload = work_ / "custom.payload";
    fs::remove(payload);
    const testsupport::CommandResult made =
        fsKind == products::kFsSquashfs ? RunCommand({"mksquashfs", tree, payload, "-noappend", "-quiet"})
                                        : RunCommand({"mkfs.cramfs", tree, payload});
    ASSERT_EQ(made.status, 0) << made.err;
    fs::remove(work_ / name);
    ASSERT_EQ(RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", "0x00850000",
                          "-e", "0x00950000", "-n", "Linux", "-d", payload, work_ / name})
                  .status,
              0);
    WriteFile(work_ / "InstallDesc",
              "{\"UpgradeCommand\": [{\"Command\": \"Burn\", \"FileName\": \"" + name + "\"}], \"Hardware\": \"HW-T\"}");
    fs::remove(work_ / "in.bin");
    const std::string input = PeerPackage("in.bin", {"InstallDesc", name});
    const TreeListing decoyBefore = ListTree(decoy);
    package::MakeOptions o = Options(true, input);
    package::TickSlot(&o, package::kSlotCustom);
    o.slots[package::kSlotCustom].fs = fsKind;
    o.deviceModel = true;
    o.deviceModelText = "NVR-H1";
    EXPECT_EQ(package::RunMakeOperation(o, Env()), package::MakeOutcome::kReworked) << name << ": " << LastBox();
    EXPECT_EQ(ListTree(decoy), decoyBefore) << name;
    // The link is in the rebuilt partition as the link it was.
    const std::string image = Entry(input, name);
    ASSERT_GT(image.size(), 64u);
    WriteFile(work_ / "out.payload", image.substr(64));
    const std::string listing = fsKind == products::kFsSquashfs
                                    ? RunCommand({"unsquashfs", "-lln", work_ / "out.payload"}).out
                                    : RunCommand({"fsck.cramfs", "-v", "--extract=" + work_ / "out." + name,
                                                  work_ / "out.payload"})
                                          .out;
    EXPECT_NE(listing.find("data -> " + decoy), std::string::npos) << listing;
  }
}

TEST_F(HostileCustomTree, OperatorFolderWithALinkOutDeletesNothingThere) {
  const TreeListing decoyBefore = ListTree(decoy);
  const TreeListing treeBefore = ListTree(tree);
  package::MakeOptions o = Options(false);
  package::TickSlot(&o, package::kSlotCustom);
  o.slots[package::kSlotCustom].sourcePath = tree;
  ASSERT_EQ(package::RunMakeOperation(o, Env()), package::MakeOutcome::kPackageBuilt) << LastBox();
  EXPECT_EQ(ListTree(decoy), decoyBefore);
  EXPECT_EQ(ListTree(tree), treeBefore);
}

}  // namespace
}  // namespace packagetest
