// The inert unpack of squashfs partitions and the rebuild from their
// manifest, against the real mksquashfs and unsquashfs: a partition with
// device nodes, a FIFO, a socket, set-id files, a sticky world-writable
// folder and foreign owners comes out as a tree of plain files and folders
// and goes back into an image that lists the same.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "firmsmith/fsimage/external_tools.h"
#include "firmsmith/fsimage/squashfs_check.h"
#include "firmsmith/fsimage/squashfs_manifest.h"
#include "firmsmith/fsimage/squashfs_tree.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RecordingMessageSink;
using testsupport::RunCommand;
using testsupport::UnsquashfsListing;
using testsupport::TempDir;
using testsupport::WriteFile;

bool HaveSquashfsTools() {
  return testsupport::HaveProgram("mksquashfs") && testsupport::HaveProgram("unsquashfs");
}

// Everything a work folder must never hold, found below `folder`.
std::vector<std::string> UnsafeEntries(const std::string& folder) {
  std::vector<std::string> found;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) continue;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) found.push_back(it->path().string() + " (special)");
    else if (st.st_mode & (S_ISUID | S_ISGID | S_ISVTX | S_IWOTH)) found.push_back(it->path().string() + " (mode)");
  }
  return found;
}

// A partition shaped like a device's: its special entries and attributes
// come from pseudo-file definitions, as a vendor's build makes them.
std::string MakePartition(const TempDir& dir) {
  const std::string src = dir / "partition";
  WriteFile(src + "/bin/busybox", "busybox binary");
  WriteFile(src + "/bin/su", "setuid helper");
  WriteFile(src + "/bin/odd *name#", "setgid helper with an awkward name");
  WriteFile(src + "/etc/loadmod", "insmod codec.ko");
  WriteFile(src + "/home/user/notes", "owned by 1000");
  WriteFile(src + "/home/locked/inside", "in a folder only its owner may read");
  WriteFile(src + "/pub/open", "world-writable file");
  fs::create_directories(src + "/dev");
  fs::create_directories(src + "/tmp");
  fs::create_symlink("busybox", src + "/bin/sh");
  fs::create_symlink("/etc/host-only", src + "/etc/absolute");
  WriteFile(dir / "vendor.pf",
            "dev/console c 600 0 0 5 1\n"
            "dev/mtdblock0 b 660 0 6 31 0\n"
            "tmp/logpipe i 620 0 0 f\n"
            "tmp/ctl i 777 0 0 s\n"
            "bin/su m 4755 0 0\n"
            "bin/odd\\ \\*name\\# m 2711 0 5\n"
            "pub m 1777 0 0\n"
            "pub/open m 666 1000 1000\n"
            "home/user m 700 1000 1000\n"
            "home/user/notes m 640 1000 1000\n"
            "home/locked m 500 1000 1000\n"
            "bin/sh m 777 0 0\n");
  const std::string image = dir / "vendor.img";
  const testsupport::CommandResult r =
      RunCommand({"mksquashfs", src, image, "-noappend", "-quiet", "-pf", dir / "vendor.pf"});
  EXPECT_EQ(r.status, 0) << r.err;
  return image;
}

TEST(SquashfsTree, InertUnpackAndRebuildKeepEveryTypeModeOwnerAndDevice) {
  if (!HaveSquashfsTools()) GTEST_SKIP() << "squashfs tools missing";
  TempDir dir;
  const std::string image = MakePartition(dir);
  const std::map<std::string, std::string> before = UnsquashfsListing(image);
  ASSERT_EQ(before.at("squashfs-root/dev/console"), "crw------- 0/0 5,1");
  ASSERT_EQ(before.at("squashfs-root/bin/su"), "-rwsr-xr-x 0/0 13");
  ASSERT_EQ(before.at("squashfs-root/home/user/notes"), "-rw-r----- 1000/1000 13");

  RecordingMessageSink sink;
  platform::Status why;
  const std::string tree = dir / "work/user";
  fs::create_directories(dir / "work");
  ASSERT_EQ(fsimage::ExtractSquashfsImage(image, tree, sink, &why), 1) << why.message;
  EXPECT_TRUE(sink.boxes.empty());
  EXPECT_EQ(UnsafeEntries(dir / "work"), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(fs::symlink_status(tree + "/dev/console")));
  EXPECT_FALSE(fs::exists(fsimage::SquashfsExcludeListPath(tree)));
  // Set-id and world-writable files are there with their contents.
  EXPECT_EQ(ReadFile(tree + "/bin/su"), "setuid helper");
  EXPECT_EQ(ReadFile(tree + "/bin/odd *name#"), "setgid helper with an awkward name");
  EXPECT_EQ(ReadFile(tree + "/pub/open"), "world-writable file");
  EXPECT_EQ(fs::read_symlink(tree + "/bin/sh"), "busybox");
  EXPECT_EQ(ReadFile(tree + "/home/locked/inside"), "in a folder only its owner may read");

  const std::string manifest = fsimage::SquashfsManifestPath(tree);
  const std::string text = ReadFile(manifest);
  for (const char* line : {"dev/console c 0600 0 0 5 1\n", "tmp/logpipe i 0620 0 0 f\n", "bin/su m 4755 0 0\n",
                           "bin/odd\\ \\*name\\# m 2711 0 5\n", "pub m 1777 0 0\n", "\n/ m 0755 0 0\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;

  // The rework changes one file; everything else comes back as it was.
  const std::string loadmod = "insmod codec.ko\nhimm 1 2";
  WriteFile(tree + "/etc/loadmod", loadmod);
  const std::string rebuilt = dir / "rebuilt.img";
  ASSERT_TRUE(fsimage::BuildSquashfsImage(tree, rebuilt, false, sink, &why, manifest)) << why.message;
  EXPECT_FALSE(fs::exists(rebuilt + ".pf"));
  std::map<std::string, std::string> expected = before;
  std::string& changed = expected["squashfs-root/etc/loadmod"];
  changed = changed.substr(0, changed.rfind(' ') + 1) + std::to_string(loadmod.size());
  EXPECT_EQ(UnsquashfsListing(rebuilt), expected);
}

// The root folder's mode and owner survive, and a file a rework adds is
// root's whoever runs it.
TEST(SquashfsTree, ForeignOwnersAndNewFilesOfARework) {
  if (!HaveSquashfsTools()) GTEST_SKIP() << "squashfs tools missing";
  TempDir dir;
  WriteFile(dir / "src/home/notes", "n");
  WriteFile(dir / "src/etc/rc", "r");
  WriteFile(dir / "owners.pf", "home m 1777 1000 1000\nhome/notes m 4750 1000 1001\netc m 555 0 0\n");
  ASSERT_EQ(RunCommand({"mksquashfs", dir / "src", dir / "in.img", "-noappend", "-quiet", "-pf", dir / "owners.pf",
                        "-root-mode", "0750", "-root-uid", "7", "-root-gid", "8"})
                .status,
            0);
  const std::map<std::string, std::string> before = UnsquashfsListing(dir / "in.img");
  ASSERT_EQ(before.at("squashfs-root/home/notes"), "-rwsr-x--- 1000/1001 1");
  RecordingMessageSink sink;
  platform::Status why;
  ASSERT_EQ(fsimage::ExtractSquashfsImage(dir / "in.img", dir / "tree", sink, &why), 1) << why.message;
  EXPECT_EQ(UnsafeEntries(dir / "tree"), std::vector<std::string>{});
  // A read-only folder of the image is ours to write in.
  WriteFile(dir / "tree/etc/added", "new file");
  ASSERT_TRUE(fsimage::BuildSquashfsImage(dir / "tree", dir / "out.img", true, sink, &why,
                                          fsimage::SquashfsManifestPath(dir / "tree")))
      << why.message;
  std::map<std::string, std::string> expected = before;
  expected["squashfs-root/etc/added"] = "-rw-r--r-- 0/0 8";  // a rework's file is root's
  std::map<std::string, std::string> after = UnsquashfsListing(dir / "out.img");
  EXPECT_EQ(after, expected);
}

// A manifest that lost the tree's attributes, or a tool that keeps them
// from the image, fails the build naming the entry.
TEST(SquashfsTree, ImageThatDoesNotShowTheManifestFailsTheBuild) {
  if (!HaveSquashfsTools()) GTEST_SKIP() << "squashfs tools missing";
  TempDir dir;
  WriteFile(dir / "tree/bin/su", "x");
  WriteFile(dir / "tree.pseudo", "/ m 0755 0 0\nbin/su m 4755 0 0\ndev/null c 0666 0 0 1 3\n");
  fs::create_directories(dir / "tools");
  // mksquashfs that drops the pseudo file and the root options.
  WriteFile(dir / "tools/mksquashfs", "#!/bin/sh\nexec /usr/bin/mksquashfs \"$1\" \"$2\" -noappend -quiet\n");
  fs::permissions(dir / "tools/mksquashfs", fs::perms::owner_all);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (dir / "tools:" + path).c_str(), 1);
  RecordingMessageSink sink;
  platform::Status why;
  const bool built = fsimage::BuildSquashfsImage(dir / "tree", dir / "out.img", false, sink, &why, dir / "tree.pseudo");
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_FALSE(built);
  EXPECT_NE(why.message.find("out.img: "), std::string::npos) << why.message;
  EXPECT_NE(why.message.find(", it should have mode "), std::string::npos) << why.message;
}

struct ManifestCase {
  const char* what;
  std::string line;
  std::string reason;  // "" = parses
};

void PrintTo(const ManifestCase& c, std::ostream* os) { *os << c.what; }

class SquashfsManifestLines : public ::testing::TestWithParam<ManifestCase> {};

TEST_P(SquashfsManifestLines, ParseOrNameTheLine) {
  const ManifestCase& c = GetParam();
  fsimage::SquashfsManifest manifest;
  const platform::Status parsed =
      fsimage::ParseSquashfsManifest("# header\n/ m 0755 0 0\n" + c.line + "\n", "m.pseudo", &manifest);
  if (c.reason.empty()) {
    ASSERT_TRUE(parsed.ok) << parsed.message;
    ASSERT_EQ(manifest.entries.size(), 1u);
    // What parses comes back out as the same line.
    const std::string text = fsimage::FormatSquashfsManifest(manifest, false);
    EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), c.line + "\n");
  } else {
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.message.rfind("m.pseudo line 3: " + c.reason, 0), 0u) << parsed.message;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SquashfsManifestLines,
    ::testing::Values(ManifestCase{"character device", "dev/console c 0600 0 0 5 1", ""},
                      ManifestCase{"block device", "dev/mtdblock0 b 0660 0 6 31 0", ""},
                      ManifestCase{"FIFO", "tmp/pipe i 0620 0 0 f", ""},
                      ManifestCase{"socket", "run/ctl i 0777 0 0 s", ""},
                      ManifestCase{"set-id file, escaped name", "bin/a\\ b\\*\\# m 6755 1000 1001", ""},
                      ManifestCase{"leaving the tree", "../etc/passwd m 0644 0 0", "bad path"},
                      ManifestCase{"inner dot-dot", "a/../../b m 0644 0 0", "bad path"},
                      ManifestCase{"mode too big", "a m 17777 0 0", "bad mode"},
                      ManifestCase{"owner not a number", "a m 0644 root 0", "bad owner"},
                      ManifestCase{"device without minor", "dev/x c 0600 0 0 5", "expected 7 fields"},
                      ManifestCase{"unknown kind", "a f 0644 0 0 cat", "kind must be"},
                      ManifestCase{"FIFO of no kind", "a i 0644 0 0 x", "a FIFO is f"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// " -> " in a link's name or target: the listing line holds the arrow more
// than once, and the target's length (the link's size) tells where the name
// ends. Build, check, unpack and rebuild all see the tree as it is.
TEST(SquashfsTree, LinkNamesAndTargetsHoldingTheArrowRoundTrip) {
  if (!HaveSquashfsTools()) GTEST_SKIP() << "squashfs tools missing";
  TempDir dir;
  const std::string src = dir / "src";
  WriteFile(src + "/f -> g", "a file named like a link");
  fs::create_symlink("x -> y", src + "/a -> b");
  fs::create_symlink("d -> e", src + "/c");
  fs::create_symlink("plain", src + "/k -> ");
  fs::create_symlink(" -> ", src + "/m");
  const std::map<std::string, std::string> targets = {
      {"a -> b", "x -> y"}, {"c", "d -> e"}, {"k -> ", "plain"}, {"m", " -> "}};
  RecordingMessageSink sink;
  platform::Status why;
  const std::string image = dir / "links.img";
  ASSERT_TRUE(fsimage::BuildSquashfsImage(src, image, false, sink, &why)) << why.message;

  std::vector<fsimage::SourceEntry> listed;
  ASSERT_TRUE(fsimage::ListSquashfsImage(image, &listed).ok);
  std::map<std::string, std::string> seen;
  for (const fsimage::SourceEntry& e : listed)
    seen[e.path] = e.type == fsimage::kTypeLink ? e.linkTarget : std::string(1, e.type);
  std::map<std::string, std::string> expected = targets;
  expected["f -> g"] = "-";
  EXPECT_EQ(seen, expected);

  const std::string tree = dir / "work/tree";
  fs::create_directories(dir / "work");
  ASSERT_EQ(fsimage::ExtractSquashfsImage(image, tree, sink, &why), 1) << why.message;
  for (const auto& [name, target] : targets) EXPECT_EQ(fs::read_symlink(tree + "/" + name), target) << name;
  ASSERT_TRUE(fsimage::BuildSquashfsImage(tree, dir / "again.img", false, sink, &why,
                                          fsimage::SquashfsManifestPath(tree)))
      << why.message;
  EXPECT_EQ(UnsquashfsListing(dir / "again.img"), UnsquashfsListing(image));
}

// A link line whose size does not match what follows the arrow is refused,
// not split at a guess.
TEST(SquashfsListing, LinkLineThatDoesNotAddUpIsRefused) {
  std::vector<fsimage::SourceEntry> entries;
  std::string bad;
  for (const char* line : {"lrwxrwxrwx 0/0 7 2026-01-01 00:00 squashfs-root/a -> b",
                           "lrwxrwxrwx 0/0 1 2026-01-01 00:00 squashfs-root/a->b",
                           "lrwxrwxrwx 0/0 40 2026-01-01 00:00 squashfs-root/a -> b"}) {
    EXPECT_FALSE(fsimage::ParseSquashfsListing(line, &entries, &bad)) << line;
    EXPECT_EQ(bad, line);
  }
  ASSERT_TRUE(fsimage::ParseSquashfsListing("lrwxrwxrwx 0/0 6 2026-01-01 00:00 squashfs-root/a -> b -> x -> y",
                                            &entries, &bad))
      << bad;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "a -> b");
  EXPECT_EQ(entries[0].linkTarget, "x -> y");
}

// A path from the image that could leave the tree, or that holds a NUL
// byte no manifest can carry, is refused as a bad line, not listed.
TEST(SquashfsListing, PathThatCouldLeaveTheTreeOrHoldsANulIsRefused) {
  const std::string head = "-rw-r--r-- 0/0 1 2026-01-01 00:00 squashfs-root/";
  for (const std::string& path : {std::string("d\0\0onsole", 9), std::string("a/../../etc/shadow"),
                                  std::string(".."), std::string("./a"), std::string("a//b"), std::string("a/")}) {
    std::vector<fsimage::SourceEntry> entries;
    std::string bad;
    EXPECT_FALSE(fsimage::ParseSquashfsListing(head + path + "\n", &entries, &bad)) << path;
    EXPECT_EQ(bad, head + path);
  }
}

// The root line is a folder's, once: a second one, or a device in its
// place, would change the root's attributes.
TEST(SquashfsListing, RootThatIsNoFolderOrListedTwiceIsRefused) {
  const std::string root = "drwxr-xr-x 0/0 90 2026-01-01 00:00 squashfs-root";
  for (const std::string& second : {std::string("crw------- 0/0 5, 1 2026-01-01 00:00 squashfs-root"),
                                    std::string("drwx------ 1/1 90 2026-01-01 00:00 squashfs-root")}) {
    std::vector<fsimage::SourceEntry> entries;
    std::string bad;
    fsimage::SourceEntry got;
    EXPECT_FALSE(fsimage::ParseSquashfsListing(root + "\n" + second + "\n", &entries, &bad, &got)) << second;
    EXPECT_EQ(bad, second);
  }
  std::vector<fsimage::SourceEntry> entries;
  std::string bad;
  EXPECT_FALSE(fsimage::ParseSquashfsListing("crw------- 0/0 5, 1 2026-01-01 00:00 squashfs-root\n", &entries, &bad));
}

TEST(SquashfsManifest, NoRootLineIsRefused) {
  fsimage::SquashfsManifest manifest;
  const platform::Status parsed = fsimage::ParseSquashfsManifest("a m 0644 0 0\n", "m.pseudo", &manifest);
  EXPECT_FALSE(parsed.ok);
  EXPECT_EQ(parsed.message, "m.pseudo: no line for the root folder");
}

}  // namespace
