// The jffs2 node reader and checker against images made by mkfs.jffs2 in
// both byte orders, compared with what jffs2dump reads from the same images.
#include "firmsmith/fsimage/jffs2_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firmsmith/fsimage/jffs2_format.h"
#include "random_bytes.h"
#include "test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

bool HaveJffs2Tools() {
  return testsupport::HaveProgram("mkfs.jffs2") && testsupport::HaveProgram("jffs2dump");
}

// A tree with a big incompressible file (many inode nodes across erase
// blocks), a compressible one, an empty one, a name with a blank, a nested
// folder, an empty folder and a link.
void MakeTree(const std::string& root) {
  WriteFile(root + "/bin/app", RandomBytes(150000, 3));
  WriteFile(root + "/etc/init.d/rcS", std::string(9000, 'r'));
  WriteFile(root + "/etc/empty", "");
  WriteFile(root + "/with blank.txt", "blank\n");
  ::mkdir((root + "/mnt").c_str(), 0755);
  ASSERT_EQ(::symlink("init.d/rcS", (root + "/etc/rc").c_str()), 0);
}

std::vector<std::uint8_t> Bytes(const std::string& path) {
  const std::string text = ReadFile(path);
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

struct OrderCase {
  const char* flag;      // of mkfs.jffs2
  const char* dumpFlag;  // of jffs2dump
  fsimage::Jffs2ByteOrder order;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.flag; }

class Jffs2Image : public ::testing::TestWithParam<OrderCase> {
 protected:
  void SetUp() override {
    if (!HaveJffs2Tools()) GTEST_SKIP() << "mtd-utils missing";
    MakeTree(dir_ / "src");
    auto r = RunCommand({"mkfs.jffs2", "-d", dir_ / "src", GetParam().flag, "-e", "0x10000", "-o",
                         dir_ / "fs.jffs2"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string Dump(const std::string& image) {
    return RunCommand({"jffs2dump", GetParam().dumpFlag, "-c", image}).out;
  }
  TempDir dir_;
};

TEST_P(Jffs2Image, ReadsEveryNodeJffs2dumpReadsAndTheSourceTree) {
  const std::vector<std::uint8_t> bytes = Bytes(dir_ / "fs.jffs2");
  fsimage::Jffs2Nodes nodes;
  platform::Status read = fsimage::ReadJffs2Nodes(bytes, dir_ / "fs.jffs2", &nodes);
  ASSERT_TRUE(read.ok) << read.message;
  EXPECT_EQ(nodes.order, GetParam().order);

  const std::string dump = Dump(dir_ / "fs.jffs2");
  auto count = [&dump](const std::string& word) {
    std::size_t n = 0;
    for (std::size_t at = dump.find(word); at != std::string::npos; at = dump.find(word, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(nodes.inodes.size(), count("Inode      node at")) << dump;
  EXPECT_EQ(nodes.dirents.size(), count("Dirent     node at")) << dump;
  EXPECT_EQ(dump.find("Wrong"), std::string::npos) << dump;

  std::vector<fsimage::SourceEntry> tree;
  platform::Status built = fsimage::BuildJffs2Tree(bytes, nodes, dir_ / "fs.jffs2", &tree);
  ASSERT_TRUE(built.ok) << built.message;
  std::vector<std::string> seen;
  for (const auto& e : tree) {
    std::string line = std::string(1, e.type) + " " + e.path;
    if (e.type == fsimage::kTypeFile) line += " " + std::to_string(e.size);
    if (e.type == fsimage::kTypeLink) line += " -> " + e.linkTarget;
    seen.push_back(line);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"- bin/app 150000", "- etc/empty 0",
                                            "- etc/init.d/rcS 9000", "- with blank.txt 6",
                                            "d bin", "d etc", "d etc/init.d", "d mnt",
                                            "l etc/rc -> init.d/rcS"}));

  platform::Status checked = fsimage::CheckJffs2Image(dir_ / "fs.jffs2", dir_ / "src");
  EXPECT_TRUE(checked.ok) << checked.message;
}

// One damage per case, placed by the node it hits; jffs2dump must see the
// damage too, so the case damages what it claims.
struct Damage {
  const char* what;
  const char* ours;   // in our reason
  const char* peers;  // in jffs2dump's output
  std::size_t (*where)(const fsimage::Jffs2Nodes& nodes);
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.what; }

std::size_t FirstDataNode(const fsimage::Jffs2Nodes& nodes) {
  for (const auto& n : nodes.inodes)
    if (n.storedSize >= 64) return n.nodeOffset;
  return 0;
}
std::size_t InData(const fsimage::Jffs2Nodes& nodes) {
  return FirstDataNode(nodes) + fsimage::jffs2::kInodeSize + 10;
}
std::size_t InInodeFields(const fsimage::Jffs2Nodes& nodes) {
  return FirstDataNode(nodes) + fsimage::jffs2::kInodeFileSize;
}
std::size_t InHeader(const fsimage::Jffs2Nodes& nodes) {
  return FirstDataNode(nodes) + fsimage::jffs2::kHeaderCrc;
}
std::size_t InName(const fsimage::Jffs2Nodes& nodes) {
  return nodes.dirents.front().nodeOffset + fsimage::jffs2::kDirentSize;
}
std::size_t InDirentFields(const fsimage::Jffs2Nodes& nodes) {
  return nodes.dirents.front().nodeOffset + fsimage::jffs2::kDirentIno;
}

class DamagedJffs2 : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedJffs2, EveryCrcIsCheckedInBothByteOrders) {
  if (!HaveJffs2Tools()) GTEST_SKIP() << "mtd-utils missing";
  const Damage d = GetParam();
  for (const OrderCase& order : {OrderCase{"-l", "-l", fsimage::Jffs2ByteOrder::kLittle},
                                 OrderCase{"-b", "-b", fsimage::Jffs2ByteOrder::kBig}}) {
    TempDir dir;
    MakeTree(dir / "src");
    ASSERT_EQ(RunCommand({"mkfs.jffs2", "-d", dir / "src", order.flag, "-e", "0x10000", "-o",
                          dir / "fs.jffs2"})
                  .status,
              0);
    std::vector<std::uint8_t> bytes = Bytes(dir / "fs.jffs2");
    fsimage::Jffs2Nodes nodes;
    ASSERT_TRUE(fsimage::ReadJffs2Nodes(bytes, "x", &nodes).ok);
    bytes[d.where(nodes)] ^= 0x5a;
    WriteBytes(dir / "bad.jffs2", bytes);

    const std::string dump = RunCommand({"jffs2dump", order.dumpFlag, "-c", dir / "bad.jffs2"}).out;
    EXPECT_NE(dump.find(d.peers), std::string::npos) << d.what << " " << order.flag << "\n" << dump;
    platform::Status checked = fsimage::CheckJffs2Image(dir / "bad.jffs2");
    EXPECT_FALSE(checked.ok) << d.what << " " << order.flag;
    EXPECT_NE(checked.message.find(d.ours), std::string::npos) << checked.message;
    EXPECT_NE(checked.message.find(dir / "bad.jffs2"), std::string::npos) << checked.message;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedJffs2,
    ::testing::Values(Damage{"file data", "wrong data CRC", "Wrong data_crc", InData},
                      Damage{"inode fields", "wrong inode node CRC", "Wrong node_crc", InInodeFields},
                      Damage{"node header", "wrong header CRC", "Wrong hdr_crc", InHeader},
                      Damage{"entry name", "wrong name CRC", "Wrong name_crc", InName},
                      Damage{"entry fields", "wrong directory entry node CRC", "Wrong node_crc",
                             InDirentFields}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_P(Jffs2Image, ACutImageOrAnotherSourceFailsTheCheck) {
  std::vector<std::uint8_t> bytes = Bytes(dir_ / "fs.jffs2");
  // What a full disk leaves: the image ends inside a node.
  bytes.resize(bytes.size() / 2 + 3);
  WriteBytes(dir_ / "cut.jffs2", bytes);
  platform::Status cut = fsimage::CheckJffs2Image(dir_ / "cut.jffs2", dir_ / "src");
  EXPECT_FALSE(cut.ok);
  EXPECT_NE(cut.message.find(dir_ / "cut.jffs2"), std::string::npos) << cut.message;

  // The source gained a file and another one changed its size.
  WriteFile(dir_ / "src/etc/new", "n");
  platform::Status added = fsimage::CheckJffs2Image(dir_ / "fs.jffs2", dir_ / "src");
  EXPECT_FALSE(added.ok);
  EXPECT_NE(added.message.find("etc/new"), std::string::npos) << added.message;
  ::unlink((dir_ / "src/etc/new").c_str());
  WriteFile(dir_ / "src/with blank.txt", "longer now\n");
  platform::Status grown = fsimage::CheckJffs2Image(dir_ / "fs.jffs2", dir_ / "src");
  EXPECT_FALSE(grown.ok);
  EXPECT_NE(grown.message.find("with blank.txt"), std::string::npos) << grown.message;

  WriteFile(dir_ / "junk.bin", std::string(4096, 'j'));
  EXPECT_FALSE(fsimage::CheckJffs2Image(dir_ / "junk.bin").ok);
  platform::Status missing = fsimage::CheckJffs2Image(dir_ / "none.jffs2");
  EXPECT_NE(missing.message.find("No such file or directory"), std::string::npos) << missing.message;
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, Jffs2Image,
                         ::testing::Values(OrderCase{"-l", "-l", fsimage::Jffs2ByteOrder::kLittle},
                                           OrderCase{"-b", "-b", fsimage::Jffs2ByteOrder::kBig}),
                         [](const auto& info) {
                           return info.param.order == fsimage::Jffs2ByteOrder::kLittle ? "little"
                                                                                       : "big";
                         });

}  // namespace
