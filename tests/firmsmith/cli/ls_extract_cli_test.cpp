// firmsmith-cli ls and extract on a package for KV-N1608W whose ROMFS is
// cramfs (mkfs.cramfs), USER squashfs (mksquashfs) and MTD jffs2
// (mkfs.jffs2), all wrapped by mkimage and zipped by Info-ZIP: the listings
// must agree with fsck.cramfs -v, unsquashfs -lln and jffs2dump -c, and the
// extracted trees with fsck.cramfs --extract, unsquashfs -d and the tree
// mkfs.jffs2 was given.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;

std::string Cli() { return testsupport::AppDir() + "/firmsmith-cli"; }

struct Partition {
  const char* entry;   // in the package
  const char* section;  // of KV-N1608W
  const char* fs;
  std::uint32_t start, end;
};
const Partition kRomfs{"romfs-x.cramfs.img", "ROMFS", "cramfs", 0x00050000, 0x003a0000};
const Partition kUser{"user-x.squashfs.img", "USER", "squashfs", 0x003a0000, 0x00ca0000};
const Partition kMtd{"mtd-x.jffs2.img", "MTD", "jffs2", 0x00f00000, 0x01000000};

std::string Text(int lines, const std::string& seed) {
  std::string s;
  for (int i = 0; i < lines; ++i) s += seed + " " + std::to_string(i * 7919 % 1013) + "\n";
  return s;
}

std::string Hex(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

// "type mode size path[ -> target]" with the size of regular files only:
// the form every listing below is brought to.
std::string Normal(char type, unsigned mode, std::uint64_t size, const std::string& path, const std::string& target) {
  char head[48];
  std::snprintf(head, sizeof head, "%c %04o %llu ", type, mode & 07777,
                static_cast<unsigned long long>(type == '-' ? size : 0));
  return head + path + (type == 'l' ? " -> " + target : "");
}

unsigned ModeOfText(const std::string& t) {
  unsigned m = 0;
  for (int i = 0; i < 9; ++i)
    if (t[1 + i] != '-') m |= 1u << (8 - i);
  return m;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

// Our ls lines, normalised.
std::vector<std::string> OurListing(const std::string& out) {
  std::vector<std::string> result;
  for (const std::string& line : Lines(out)) {
    std::istringstream in(line);
    std::string type, mode, size;
    in >> type >> mode >> size;
    std::string rest;
    std::getline(in, rest);
    rest.erase(0, rest.find_first_not_of(' '));
    std::string target;
    if (type == "l") {
      target = rest.substr(rest.find(" -> ") + 4);
      rest.resize(rest.find(" -> "));
    }
    result.push_back(Normal(type[0], std::stoul(mode, nullptr, 8), std::stoull(size), rest, target));
  }
  std::sort(result.begin(), result.end());
  return result;
}

// A tree as lstat sees it: path -> "type mode size target" plus the bytes.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    struct stat st {};
    EXPECT_EQ(::lstat(it->path().c_str(), &st), 0);
    const char type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : S_ISFIFO(st.st_mode) ? 'p' : '-';
    const std::string target = type == 'l' ? fs::read_symlink(it->path()).string() : "";
    out[rel] = Normal(type, st.st_mode, static_cast<std::uint64_t>(st.st_size), rel, target) +
               (type == '-' ? " " + ReadFile(it->path()) : "");
  }
  return out;
}

class LsExtract : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.cramfs", "fsck.cramfs", "mksquashfs", "unsquashfs", "mkfs.jffs2", "jffs2dump",
                             "mkimage", "zip"})
      if (!testsupport::HaveProgram(tool)) GTEST_SKIP() << tool << " missing";
    ::umask(022);
    const std::string src = dir_ / "src";
    WriteFile(src + "/bin/app", Text(3000, "app"));
    WriteFile(src + "/etc/conf", "a=1\n");
    WriteFile(src + "/etc/empty", "");
    WriteFile(src + "/dir/sub/deep.txt", Text(20, "deep"));
    fs::create_directories(src + "/var/empty-folder");
    fs::permissions(src + "/bin/app", fs::perms(0755));
    fs::permissions(src + "/etc/conf", fs::perms(0600));
    fs::create_symlink("etc/conf", src + "/link");
    fs::create_symlink("../bin/app", src + "/dir/up");
    ASSERT_EQ(::mkfifo((src + "/dir/fi*fo[1]").c_str(), 0644), 0);

    Build({"mkfs.cramfs", src, dir_ / "romfs.payload"});
    Build({"mksquashfs", src, dir_ / "user.payload", "-noappend", "-quiet", "-no-progress"});
    Build({"mkfs.jffs2", "-d", src, "-l", "-e", "0x10000", "-o", dir_ / "mtd.payload"});
    fs::create_directories(dir_ / "pkg");
    fs::create_directories(dir_ / "in");
    for (const Partition* p : {&kRomfs, &kUser, &kMtd}) {
      const std::string payload = dir_ / (std::string(p->section) == "ROMFS" ? "romfs.payload"
                                          : std::string(p->section) == "USER" ? "user.payload"
                                                                             : "mtd.payload");
      Build({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", Hex(p->start), "-e",
             Hex(p->end), "-n", "Linux", "-d", payload, dir_ / ("pkg/" + std::string(p->entry))});
    }
    WriteFile(dir_ / "pkg/InstallDesc",
              "{\"Hardware\":\"KV-BRD-1608W-R3\",\"Vendor\":\"KorrinVision\",\"UpgradeCommand\":["
              "{\"Command\":\"Burn\",\"FileName\":\"romfs-x.cramfs.img\"},"
              "{\"Command\":\"Burn\",\"FileName\":\"user-x.squashfs.img\"},"
              "{\"Command\":\"Burn\",\"FileName\":\"mtd-x.jffs2.img\"}]}\n");
    Build({"zip", "-j", "-q", package(), dir_ / "pkg/InstallDesc", dir_ / "pkg/romfs-x.cramfs.img",
           dir_ / "pkg/user-x.squashfs.img", dir_ / "pkg/mtd-x.jffs2.img"});
  }

  void Build(const std::vector<std::string>& argv) {
    const CommandResult r = RunCommand(argv);
    ASSERT_EQ(r.status, 0) << argv[0] << ": " << r.err;
  }

  CommandResult Ls(std::vector<std::string> args) {
    args.insert(args.begin(), {Cli(), "ls", package()});
    return RunCommand(args);
  }

  std::string package() const { return dir_ / "in/pkg.bin"; }

  testsupport::TempDir dir_;
};

TEST_F(LsExtract, EntriesShowFileSystemSizePartitionBoundsAndRoom) {
  const CommandResult text = Ls({"--product", "KV-N1608W"});
  ASSERT_EQ(text.status, 0) << text.err;
  const CommandResult json = Ls({"--product", "KV-N1608W", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  Json::Value list;
  std::istringstream in(json.out);
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &list, nullptr)) << json.out;
  ASSERT_EQ(list.size(), 3u) << json.out;
  for (const Partition* p : {&kRomfs, &kUser, &kMtd}) {
    const std::uint64_t size = fs::file_size(dir_ / ("pkg/" + std::string(p->entry)));
    const std::int64_t free = std::int64_t{p->end} - p->start - static_cast<std::int64_t>(size - 64);
    bool found = false;
    for (const Json::Value& e : list) {
      if (e["name"].asString() != p->entry) continue;
      found = true;
      EXPECT_EQ(e["fileSystem"].asString(), p->fs);
      EXPECT_EQ(e["size"].asUInt64(), size);
      EXPECT_EQ(e["partition"].asString(), p->section);
      EXPECT_EQ(e["start"].asString(), Hex(p->start));
      EXPECT_EQ(e["end"].asString(), Hex(p->end));
      EXPECT_EQ(e["free"].asInt64(), free);
    }
    EXPECT_TRUE(found) << p->entry;
    // The text line carries the same fields.
    bool line = false;
    for (const std::string& l : Lines(text.out)) {
      std::istringstream words(l);
      std::string name, fsName, bytes, section, bounds, room;
      words >> name >> fsName >> bytes >> section >> bounds >> room;
      if (name != p->entry) continue;
      line = true;
      EXPECT_EQ(fsName + " " + bytes + " " + section + " " + bounds + " " + room,
                std::string(p->fs) + " " + std::to_string(size) + " " + p->section + " " + Hex(p->start) + "-" +
                    Hex(p->end) + " " + std::to_string(free));
    }
    EXPECT_TRUE(line) << text.out;
  }
  // The package names its hardware: the product is found without --product.
  EXPECT_EQ(Ls({}).out, text.out);
}

TEST_F(LsExtract, CramfsFilesAsFsckCramfsSeesThem) {
  const CommandResult fsck = RunCommand({"fsck.cramfs", "-v", "--extract=" + (dir_ / "fsck"), dir_ / "romfs.payload"});
  ASSERT_EQ(fsck.status, 0) << fsck.err;
  std::vector<std::string> peer;
  const std::string prefix = dir_ / "fsck";
  for (const std::string& line : Lines(fsck.out)) {
    std::istringstream in(line);
    std::string type, mode, size, owner, rest;
    if (!(in >> type >> mode >> size >> owner) || type.size() != 1) continue;
    std::getline(in, rest);
    rest.erase(0, rest.find_first_not_of(' '));
    if (rest == prefix) continue;  // the root
    ASSERT_EQ(rest.compare(0, prefix.size() + 1, prefix + "/"), 0) << line;
    rest.erase(0, prefix.size() + 1);
    std::string target;
    if (type == "l") {
      target = rest.substr(rest.find(" -> ") + 4);
      rest.resize(rest.find(" -> "));
    }
    peer.push_back(Normal(type == "f" ? '-' : type[0], std::stoul(mode, nullptr, 8), std::stoull(size), rest, target));
  }
  std::sort(peer.begin(), peer.end());
  const CommandResult ours = Ls({kRomfs.entry});
  ASSERT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(OurListing(ours.out), peer);
  EXPECT_EQ(peer.size(), 13u);
}

TEST_F(LsExtract, SquashfsFilesAsUnsquashfsListsThem) {
  const CommandResult peerRun = RunCommand({"unsquashfs", "-lln", dir_ / "user.payload"});
  ASSERT_EQ(peerRun.status, 0) << peerRun.err;
  std::vector<std::string> peer;
  for (const std::string& line : Lines(peerRun.out)) {
    std::istringstream in(line);
    std::string mode, owner, size, date, time, rest;
    if (!(in >> mode >> owner >> size >> date >> time)) continue;
    std::getline(in, rest);
    rest.erase(0, rest.find_first_not_of(' '));
    if (rest.compare(0, 14, "squashfs-root/") != 0) continue;
    rest.erase(0, 14);
    std::string target;
    if (mode[0] == 'l') {
      target = rest.substr(rest.find(" -> ") + 4);
      rest.resize(rest.find(" -> "));
    }
    peer.push_back(Normal(mode[0], ModeOfText(mode), std::stoull(size), rest, target));
  }
  std::sort(peer.begin(), peer.end());
  // The entry's stem names it as well as the whole name.
  const CommandResult ours = Ls({"user-x"});
  ASSERT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(OurListing(ours.out), peer);
  EXPECT_EQ(peer.size(), 13u);
}

TEST_F(LsExtract, Jffs2NamesAndSizesAsJffs2dumpShowsTheNodes) {
  const CommandResult dump = RunCommand({"jffs2dump", "-c", dir_ / "mtd.payload"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  // Latest dirent per (parent, name) and latest isize per inode.
  std::map<std::uint32_t, std::pair<std::uint32_t, std::string>> parentOf;
  std::map<std::uint32_t, std::pair<std::uint32_t, std::uint64_t>> sizeOf;  // ino -> (version, isize)
  for (const std::string& line : Lines(dump.out)) {
    auto field = [&](const std::string& key) {
      const std::size_t at = line.find(key);
      return at == std::string::npos ? std::string() : line.substr(at + key.size());
    };
    if (line.find("Dirent") != std::string::npos) {
      const std::uint32_t pino = std::stoul(field("#pino"));
      const std::uint32_t ino = std::stoul(field("#ino"));
      parentOf[ino] = {pino, field(", name ")};
    } else if (line.find("Inode") != std::string::npos) {
      const std::uint32_t ino = std::stoul(field("#ino"));
      const std::uint32_t version = std::stoul(field("version"));
      if (!sizeOf.count(ino) || sizeOf[ino].first <= version) sizeOf[ino] = {version, std::stoull(field("isize"))};
    }
  }
  std::map<std::string, std::uint64_t> peer;  // path -> isize
  for (const auto& [ino, parent] : parentOf) {
    std::string path = parent.second;
    for (std::uint32_t up = parent.first; up != 1; up = parentOf.at(up).first) path = parentOf.at(up).second + "/" + path;
    peer[path] = sizeOf[ino].second;
  }
  const CommandResult ours = Ls({"MTD", "--product", "KV-N1608W", "--json"});
  ASSERT_EQ(ours.status, 0) << ours.err;
  Json::Value files;
  std::istringstream in(ours.out);
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &files, nullptr)) << ours.out;
  std::map<std::string, std::uint64_t> names;
  for (const Json::Value& f : files) {
    const std::string path = f["path"].asString();
    // Sizes as the nodes give them: a file's bytes, a link's target length.
    names[path] = f["type"].asString() == "l" ? f["linkTarget"].asString().size() : f.get("size", 0).asUInt64();
    // Types, modes and targets as in the tree mkfs.jffs2 was given.
    struct stat st {};
    ASSERT_EQ(::lstat((dir_ / ("src/" + path)).c_str(), &st), 0) << path;
    const char type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : S_ISFIFO(st.st_mode) ? 'p' : '-';
    EXPECT_EQ(f["type"].asString(), std::string(1, type)) << path;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
    EXPECT_EQ(f["mode"].asString(), mode) << path;
    if (type == 'l') {
      EXPECT_EQ(f["linkTarget"].asString(), fs::read_symlink(dir_ / ("src/" + path)).string());
    }
  }
  // jffs2dump gives folders and FIFOs the size 0, as our listing does.
  EXPECT_EQ(names, peer);
  EXPECT_EQ(names.size(), 13u);
}

struct ExtractCase {
  const char* partition;  // as given to extract
  const char* peerTree;   // made by SetUp's peer: "fsck", "unsquashfs" or "src"
};

class ExtractTrees : public LsExtract, public ::testing::WithParamInterface<ExtractCase> {};

TEST_P(ExtractTrees, GiveThePeersTreeWithSpecialFilesInTheManifest) {
  const ExtractCase c = GetParam();
  const std::string peer = dir_ / c.peerTree;
  if (std::string(c.peerTree) == "fsck") Build({"fsck.cramfs", "--extract=" + peer, dir_ / "romfs.payload"});
  if (std::string(c.peerTree) == "unsquashfs") Build({"unsquashfs", "-q", "-n", "-d", peer, dir_ / "user.payload"});
  const auto before = testsupport::SnapshotTree(dir_ / "in");
  const std::string dest = dir_ / "out";
  const CommandResult r = RunCommand({Cli(), "extract", package(), c.partition, dest});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dest + "\n");
  std::map<std::string, std::string> expected = Snapshot(peer);
  // The FIFO is not made without --special-files; the manifest names it.
  // Its name holds pattern characters: the exclusion must match it alone.
  ASSERT_EQ(expected.erase("dir/fi*fo[1]"), 1u);
  EXPECT_EQ(Snapshot(dest), expected);
  EXPECT_NE(ReadFile(dest + ".manifest").find("dir/fi*fo[1] p 0644 0:0 -"), std::string::npos) << ReadFile(dest + ".manifest");
  EXPECT_EQ(testsupport::SnapshotTree(dir_ / "in"), before);

  // With --special-files the FIFO is made too.
  const CommandResult again = RunCommand({Cli(), "extract", package(), c.partition, dir_ / "out2", "--special-files"});
  ASSERT_EQ(again.status, 0) << again.err;
  struct stat st {};
  ASSERT_EQ(::lstat((dir_ / "out2/dir/fi*fo[1]").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

INSTANTIATE_TEST_SUITE_P(Partitions, ExtractTrees,
                         ::testing::Values(ExtractCase{"romfs-x.cramfs.img", "fsck"},
                                           ExtractCase{"USER", "unsquashfs"}, ExtractCase{"mtd-x", "src"}),
                         [](const auto& info) { return std::string(info.param.peerTree); });

// A jffs2 partition with one damaged node, in a package whose headers are
// sound: verify names the node, inspect says its contents fail, extract
// writes nothing.
TEST_F(LsExtract, DamagedJffs2PartitionIsNeverOk) {
  std::string payload = ReadFile(dir_ / "mtd.payload");
  payload[0x10] = static_cast<char>(payload[0x10] ^ 0x40);  // inside the first node
  WriteFile(dir_ / "bad.payload", payload);
  fs::create_directories(dir_ / "bad");
  Build({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", Hex(kMtd.start), "-e",
         Hex(kMtd.end), "-n", "Linux", "-d", dir_ / "bad.payload", dir_ / "bad/mtd-x.jffs2.img"});
  const std::string bad = dir_ / "in/bad.bin";
  Build({"zip", "-j", "-q", bad, dir_ / "pkg/InstallDesc", dir_ / "pkg/romfs-x.cramfs.img",
         dir_ / "pkg/user-x.squashfs.img", dir_ / "bad/mtd-x.jffs2.img"});
  const auto before = testsupport::SnapshotTree(dir_ / "in");

  const CommandResult verify = RunCommand({Cli(), "verify", bad, "--product", "KV-N1608W"});
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE((verify.out + verify.err).find("mtd-x.jffs2.img: jffs2 node at offset 0xc"), std::string::npos)
      << verify.out << verify.err;
  const CommandResult inspect = RunCommand({Cli(), "inspect", bad, "--product", "KV-N1608W"});
  EXPECT_NE(inspect.out.find("contents FAILED: its files cannot be read: jffs2 node at offset 0xc"), std::string::npos)
      << inspect.out;
  const CommandResult extract = RunCommand({Cli(), "extract", bad, "MTD", dir_ / "out"});
  EXPECT_EQ(extract.status, 1);
  EXPECT_NE(extract.err.find("jffs2 node at offset 0xc"), std::string::npos) << extract.err;
  EXPECT_FALSE(fs::exists(dir_ / "out"));
  EXPECT_EQ(testsupport::SnapshotTree(dir_ / "in"), before);
}

// ---- flash-build ----

std::string Noise(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

TEST_F(LsExtract, FlashBuildLaysBootAndEveryPayloadOnAnErasedChip) {
  const std::string boot = Noise(100000, 7);
  WriteFile(dir_ / "in/boot.bin", boot);
  const auto before = testsupport::SnapshotTree(dir_ / "in");
  const std::string out = dir_ / "flash.bin";
  const CommandResult r = RunCommand(
      {Cli(), "flash-build", package(), "--product", "KV-N1608W", "--out", out, "--boot", dir_ / "in/boot.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, out + "\n");
  EXPECT_EQ(testsupport::SnapshotTree(dir_ / "in"), before);
  const std::string flash = ReadFile(out);
  ASSERT_EQ(flash.size(), 16u << 20);
  EXPECT_EQ(flash.compare(0, boot.size(), boot), 0);
  // Everything that is neither boot loader nor payload is erased flash.
  std::string expected(16u << 20, '\xff');
  expected.replace(0, boot.size(), boot);
  for (const Partition* p : {&kRomfs, &kUser, &kMtd}) {
    const std::string image = ReadFile(dir_ / ("pkg/" + std::string(p->entry)));
    expected.replace(p->start, image.size() - 64, image.substr(64));
  }
  EXPECT_EQ(testsupport::FirstDifference(flash, expected), "");

  const CommandResult inspect = RunCommand({Cli(), "inspect", out, "--product", "KV-N1608W"});
  ASSERT_EQ(inspect.status, 0) << inspect.err;
  for (const char* section : {"ROMFS", "USER", "WEB", "CUSTOM", "LOGO", "MTD"})
    EXPECT_NE(inspect.out.find(std::string("\n") + section + ": "), std::string::npos) << section << inspect.out;
  EXPECT_EQ(inspect.out.find("FAILED"), std::string::npos) << inspect.out;
  const CommandResult verify = RunCommand({Cli(), "verify", out, "--product", "KV-N1608W"});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  // ls reads the flash image's partitions as it reads the package's.
  const CommandResult fromFlash = RunCommand({Cli(), "ls", out, "USER", "--product", "KV-N1608W"});
  ASSERT_EQ(fromFlash.status, 0) << fromFlash.err;
  EXPECT_EQ(fromFlash.out, Ls({"USER"}).out);
  // The room left in each partition is what the package's image leaves, not
  // the erased rest counted as payload.
  const CommandResult entries = RunCommand({Cli(), "ls", out, "--product", "KV-N1608W", "--json"});
  ASSERT_EQ(entries.status, 0) << entries.err;
  Json::Value list;
  std::istringstream in(entries.out);
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &list, nullptr)) << entries.out;
  for (const Partition* p : {&kRomfs, &kUser, &kMtd}) {
    const std::uint64_t payload = fs::file_size(dir_ / ("pkg/" + std::string(p->entry))) - 64;
    bool found = false;
    for (const Json::Value& e : list) {
      if (e["name"].asString() != p->section) continue;
      found = true;
      EXPECT_EQ(e["fileSystem"].asString(), p->fs);
      EXPECT_EQ(e["size"].asUInt64(), p->end - p->start);
      EXPECT_EQ(e["free"].asInt64(), std::int64_t{p->end} - p->start - static_cast<std::int64_t>(payload))
          << p->section;
    }
    EXPECT_TRUE(found) << p->section << entries.out;
  }
}

struct FlashRefusal {
  const char* what;
  const char* extraEntry;    // added to the package; "" for none
  std::size_t bootSize;      // bytes of the boot loader
  bool outExists;
  bool withBoot;
  int status;
  const char* said;
};

void PrintTo(const FlashRefusal& c, std::ostream* os) { *os << c.what; }

class FlashRefusals : public LsExtract, public ::testing::WithParamInterface<FlashRefusal> {};

TEST_P(FlashRefusals, NameTheCauseAndWriteNothing) {
  const FlashRefusal& c = GetParam();
  if (*c.extraEntry) {
    Build({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", "0", "-e", "0x10000", "-n",
           "Linux", "-d", dir_ / "romfs.payload", dir_ / ("pkg/" + std::string(c.extraEntry))});
    Build({"zip", "-j", "-q", package(), dir_ / ("pkg/" + std::string(c.extraEntry))});
  }
  WriteFile(dir_ / "in/boot.bin", Noise(c.bootSize, 3));
  if (c.outExists) WriteFile(dir_ / "in/flash.bin", "an earlier image");
  const auto before = testsupport::SnapshotTree(dir_ / "in");
  std::vector<std::string> argv = {Cli(), "flash-build", package(), "--product", "KV-N1608W", "--out",
                                   dir_ / "in/flash.bin"};
  if (c.withBoot) argv.insert(argv.end(), {"--boot", dir_ / "in/boot.bin"});
  const CommandResult r = RunCommand(argv);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(testsupport::SnapshotTree(dir_ / "in"), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlashRefusals,
    ::testing::Values(
        FlashRefusal{"withoutBoot", "", 1000, false, false, 2, "usage: flash-build"},
        FlashRefusal{"bootIntoRomfs", "", 0x50001, false, true, 1, "boot.bin: 327681 bytes run into partition ROMFS"},
        FlashRefusal{"bootEnvironment", "u-boot.env.img", 1000, false, true, 1, "u-boot.env.img: the boot loader's"},
        FlashRefusal{"noPartition", "extra.img", 1000, false, true, 1,
                     "extra.img: product KV-N1608W has no partition"},
        FlashRefusal{"outputThere", "", 1000, true, true, 1, "flash.bin: already exists"}),
    [](const auto& info) { return std::string(info.param.what); });

struct MisuseCase {
  const char* what;
  std::vector<std::string> args;  // "@" stands for the package, "#/" for the test folder
  int status;
  const char* said;  // on standard error
};

void PrintTo(const MisuseCase& c, std::ostream* os) { *os << c.what; }

class Misuse : public LsExtract, public ::testing::WithParamInterface<MisuseCase> {};

TEST_P(Misuse, ExitsWithTheReasonAndWritesNothing) {
  const MisuseCase& c = GetParam();
  fs::create_directories(dir_ / "taken");
  WriteFile(dir_ / "taken/keep", "mine");
  std::vector<std::string> argv = {Cli()};
  for (std::string a : c.args) {
    if (a == "@") a = package();
    if (a.compare(0, 2, "#/") == 0) a = dir_ / a.substr(2);
    argv.push_back(a);
  }
  const auto before = testsupport::SnapshotTree(dir_.path());
  const CommandResult r = RunCommand(argv);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(testsupport::SnapshotTree(dir_.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Misuse,
    ::testing::Values(MisuseCase{"lsWithoutPackage", {"ls"}, 2, "usage: ls"},
                      MisuseCase{"lsUnknownOption", {"ls", "@", "--jsn"}, 2, "usage: ls"},
                      MisuseCase{"extractWithoutDest", {"extract", "@", "USER"}, 2, "usage: extract"},
                      MisuseCase{"unknownPartition", {"ls", "@", "WEB"}, 1, "no partition image \"WEB\""},
                      MisuseCase{"destExists", {"extract", "@", "USER", "#/taken"}, 1, "taken: already exists"},
                      MisuseCase{"flashWithoutProduct", {"ls", "#/taken/keep"}, 1, "needs --product"}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
