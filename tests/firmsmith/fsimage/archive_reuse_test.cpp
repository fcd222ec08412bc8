// Packing with an earlier archive to copy from (what a rework does with its
// input package): a file the earlier archive holds unchanged keeps that
// entry's deflate data as they are - here Info-ZIP's at level 9, which
// differ from zlib's at the default level, so a copy shows - and its text
// mark. A file changed in any byte, an
// entry stored rather than deflated, or an earlier archive that is missing,
// cut short or damaged only means the file is deflated afresh: never a
// failure, never stale bytes, and neither the earlier archive nor the tree
// is touched.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/platform/fd.h"
#include "common/zip/zip_reader.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/entry_deflater.h"
#include "random_bytes.h"
#include "test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;
using testsupport::ZipRawEntries;

const char* const kPython = "/usr/bin/python3";

// The tree: bare names and where each file lies.
const std::map<std::string, std::string> kTreeFiles = {
    {"a.img", "a.img"}, {"b.txt", "b.txt"}, {"c.bin", "sub/c.bin"}, {"e.empty", "e.empty"}};

void MakeTree(const std::string& tree) {
  // Wider than one read and one copy buffer when deflated: the comparison
  // crosses their edges.
  WriteFile(tree + "/a.img", Wordy(700000, 40) + RandomBytes(150000, 41) + Wordy(90001, 42));
  WriteFile(tree + "/b.txt", Wordy(300000, 43));
  WriteFile(tree + "/sub/c.bin", Wordy(30000, 44) + RandomBytes(5000, 44) + std::string(20000, '\0'));
  WriteFile(tree + "/e.empty", "");
}

// Flips one byte of a file at `at` (negative: from the end).
void FlipByte(const std::string& path, long at) {
  std::string bytes = ReadFile(path);
  const std::size_t i = at < 0 ? bytes.size() - static_cast<std::size_t>(-at) : static_cast<std::size_t>(at);
  bytes[i] = static_cast<char>(bytes[i] ^ 0x01);
  WriteFile(path, bytes);
}

// Changes the earlier archive's entry `name` in place with Python: "data"
// flips a byte in the middle of its deflate data, "crc" flips a bit of the
// CRC-32 its local and central headers give.
void DamageEntry(const std::string& archive, const std::string& name, const std::string& how) {
  const testsupport::CommandResult r = RunCommand(
      {kPython, "-c",
       "import struct,sys,zipfile\n"
       "path,name,how=sys.argv[1:4]\n"
       "i=zipfile.ZipFile(path).getinfo(name)\n"
       "b=bytearray(open(path,'rb').read())\n"
       "o=i.header_offset\n"
       "n,e=struct.unpack('<HH',b[o+26:o+30])\n"
       "if how=='data':\n"
       "  b[o+30+n+e+i.compress_size//2]^=0x10\n"
       "else:\n"
       "  b[o+14]^=1\n"
       "  c=b.find(b'PK\\x01\\x02')\n"
       "  while b[c+46:c+46+len(name)]!=name.encode(): c=b.find(b'PK\\x01\\x02',c+1)\n"
       "  b[c+16]^=1\n"
       "open(path,'wb').write(b)\n",
       archive, name, how});
  ASSERT_EQ(r.status, 0) << r.err;
}

struct ReuseCase {
  const char* name;
  bool storeC;  // the earlier archive stores c.bin instead of deflating it
  std::function<void(const std::string& tree, const std::string& earlier)> change;
  std::set<std::string> copied;  // entries that keep the earlier archive's data
};

std::vector<ReuseCase> ReuseCases() {
  const std::set<std::string> all = {"a.img", "b.txt", "c.bin"};
  const std::set<std::string> allButA = {"b.txt", "c.bin"};
  return {
      {"unchanged", false, [](const std::string&, const std::string&) {}, all},
      {"first byte of a.img changed", false,
       [](const std::string& t, const std::string&) { FlipByte(t + "/a.img", 0); }, allButA},
      {"middle byte of a.img changed", false,
       [](const std::string& t, const std::string&) { FlipByte(t + "/a.img", 470000); }, allButA},
      {"last byte of a.img changed", false,
       [](const std::string& t, const std::string&) { FlipByte(t + "/a.img", -1); }, allButA},
      {"a.img one byte longer", false,
       [](const std::string& t, const std::string&) { WriteFile(t + "/a.img", ReadFile(t + "/a.img") + "x"); },
       allButA},
      {"c.bin stored in the earlier archive", true, [](const std::string&, const std::string&) {},
       {"a.img", "b.txt"}},
      {"earlier archive missing", false,
       [](const std::string&, const std::string& e) { ASSERT_EQ(::unlink(e.c_str()), 0); }, {}},
      {"earlier archive cut short", false,
       [](const std::string&, const std::string& e) {
         ASSERT_EQ(::truncate(e.c_str(), static_cast<off_t>(ReadFile(e).size() / 2)), 0);
       },
       {}},
      {"earlier archive not an archive", false,
       [](const std::string&, const std::string& e) { WriteFile(e, RandomBytes(4000, 45)); }, {}},
      {"deflate data of a.img damaged", false,
       [](const std::string&, const std::string& e) { DamageEntry(e, "a.img", "data"); }, allButA},
      {"CRC-32 of b.txt wrong in the earlier archive", false,
       [](const std::string&, const std::string& e) { DamageEntry(e, "b.txt", "crc"); }, {"a.img", "c.bin"}},
  };
}

TEST(PackFolderReuse, UnchangedEntriesKeepTheEarlierDeflateDataAnyDifferenceDeflatesAfresh) {
  ASSERT_TRUE(testsupport::HaveProgram("zip") && testsupport::HaveProgram("unzip"));
  for (const ReuseCase& c : ReuseCases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string tree = dir / "tree";
    const std::string earlier = dir / "in.zip";
    MakeTree(tree);
    // Level 9: zip's deflate at the default level can give zlib's very bytes.
    std::vector<std::string> deflated = {"zip", "-q", "-j", "-9", earlier};
    for (const auto& [name, path] : kTreeFiles) {
      if (!(c.storeC && name == "c.bin")) deflated.push_back(tree + "/" + path);
    }
    if (c.storeC) {
      ASSERT_EQ(RunCommand({"zip", "-q", "-j", "-0", earlier, tree + "/sub/c.bin"}).status, 0);
    }
    ASSERT_EQ(RunCommand(deflated).status, 0);
    const std::map<std::string, testsupport::ZipRawEntry> before = ZipRawEntries(earlier);
    c.change(tree, earlier);

    // What packing without an earlier archive gives: every entry deflated.
    ASSERT_EQ(fsimage::PackFolder(tree, dir / "plain.zip"), 0);
    const std::map<std::string, testsupport::ZipRawEntry> plain = ZipRawEntries(dir / "plain.zip");
    const auto treeBefore = testsupport::SnapshotTree(tree);
    const std::string earlierBefore = ReadFile(earlier);

    std::string first;
    for (unsigned workers : {1u, 2u, 0u}) {
      SCOPED_TRACE("workers " + std::to_string(workers));
      fsimage::PackOptions options;
      options.workers = workers;
      options.reuseFrom = earlier;
      const std::string out = dir / ("out" + std::to_string(workers) + ".zip");
      platform::Status why;
      ASSERT_EQ(fsimage::PackFolder(tree, out, &why, options), 0) << why.message;
      if (first.empty()) first = ReadFile(out);
      EXPECT_TRUE(ReadFile(out) == first) << "another worker count gave other bytes";
    }
    const std::string out = dir / "out1.zip";
    const testsupport::CommandResult test = RunCommand({"unzip", "-tq", out});
    EXPECT_EQ(test.status, 0) << test.out << test.err;
    const std::map<std::string, testsupport::ZipRawEntry> got = ZipRawEntries(out);
    ASSERT_EQ(got.size(), kTreeFiles.size());
    for (const auto& [name, path] : kTreeFiles) {
      SCOPED_TRACE(name);
      const testsupport::CommandResult content = RunCommand({"unzip", "-p", out, name});
      EXPECT_TRUE(content.out == ReadFile(tree + "/" + path)) << "unpacks to other bytes than the file";
      ASSERT_EQ(got.count(name), 1u);
      const testsupport::ZipRawEntry& entry = got.at(name);
      EXPECT_EQ(entry.method, 8);
      if (c.copied.count(name) != 0) {
        // Info-ZIP's data, which zlib's would not give: a copy shows.
        ASSERT_TRUE(before.at(name).raw != plain.at(name).raw);
        EXPECT_TRUE(entry.raw == before.at(name).raw) << "not copied";
        EXPECT_EQ(entry.internalAttributes, before.at(name).internalAttributes);
      } else {
        EXPECT_TRUE(entry.raw == plain.at(name).raw) << "not deflated afresh";
        EXPECT_EQ(entry.internalAttributes, plain.at(name).internalAttributes);
      }
    }
    EXPECT_EQ(got.at("b.txt").internalAttributes & 1, 1) << "text lost its mark";
    EXPECT_TRUE(testsupport::SnapshotTree(tree) == treeBefore);
    EXPECT_TRUE(ReadFile(earlier) == earlierBefore);
  }
}

// Packing over the very archive to copy from: creating the new archive
// empties it, so nothing can be copied and every file is deflated afresh.
TEST(PackFolderReuse, AnArchiveReplacingItsEarlierSelfIsDeflatedAfresh) {
  TempDir dir;
  const std::string tree = dir / "tree";
  MakeTree(tree);
  const std::string archive = dir / "pkg.zip";
  ASSERT_EQ(RunCommand({"zip", "-q", "-j", "-9", archive, tree + "/a.img", tree + "/b.txt"}).status, 0);
  ASSERT_EQ(fsimage::PackFolder(tree, dir / "plain.zip"), 0);
  const auto treeBefore = testsupport::SnapshotTree(tree);
  fsimage::PackOptions options;
  options.reuseFrom = archive;
  platform::Status why;
  ASSERT_EQ(fsimage::PackFolder(tree, archive, &why, options), 0) << why.message;
  EXPECT_TRUE(ReadFile(archive) == ReadFile(dir / "plain.zip"));
  EXPECT_EQ(RunCommand({"unzip", "-tq", archive}).status, 0);
  EXPECT_TRUE(testsupport::SnapshotTree(tree) == treeBefore);
}

// The earlier archive's data are checked by one worker and copied by the
// owner later: an archive rewritten in place meanwhile fails the entry
// naming the archive, and no chunk other than the one checked reaches the
// sink, whether the change lies in the first chunk or in the last.
TEST(EntryDeflaterCopy, AnEarlierArchiveChangedAfterItsCheckFailsNamingIt) {
  struct Case {
    const char* name;
    bool nearEnd;  // the changed byte: near the data's end, else near their start
  };
  for (const Case& c : {Case{"first chunk", false}, Case{"last chunk", true}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string file = dir / "tree/a.img";
    // Noise: its deflate data span several copying chunks.
    WriteFile(file, Wordy(200000, 60) + RandomBytes(900000, 61));
    const std::string earlier = dir / "in.zip";
    ASSERT_EQ(RunCommand({"zip", "-q", "-j", "-9", earlier, file}).status, 0);
    std::vector<zipfile::ZipEntryInfo> entries;
    ASSERT_TRUE(zipfile::ReadZipDirectory(earlier, fsimage::kMaxUnpackedEntrySize, &entries).ok);
    ASSERT_EQ(entries.size(), 1u);
    const std::string raw = ZipRawEntries(earlier).at("a.img").raw;
    ASSERT_GT(raw.size(), 600000u);
    const auto treeBefore = testsupport::SnapshotTree(dir / "tree");

    fsimage::EarlierArchive offered;
    offered.fd = platform::UniqueFd(::open(earlier.c_str(), O_RDONLY));
    offered.path = earlier;
    offered.entries = {entries[0]};
    std::uint64_t at = 0;
    ASSERT_TRUE(zipfile::EntryDataOffset(offered.fd.get(), earlier, entries[0], &at).ok);
    fsimage::EntryDeflater deflater({file}, dir.path(), fsimage::kMaxPackedFileSize, 0, 0, 2, std::move(offered));
    ASSERT_TRUE(deflater.Wait(0, {}).copied) << "the unchanged entry was not taken for a copy";

    // Rewritten in place, as another program would: same file, one byte.
    const std::size_t changed = c.nearEnd ? raw.size() - 10 : 10;
    {
      platform::UniqueFd out(::open(earlier.c_str(), O_WRONLY));
      const char flipped = static_cast<char>(raw[changed] ^ 0x20);
      ASSERT_EQ(::pwrite(out.get(), &flipped, 1, static_cast<off_t>(at + changed)), 1);
    }
    std::string got;
    const fsimage::DeflateSink sink = [&](const unsigned char* data, std::size_t size, bool) {
      got.append(reinterpret_cast<const char*>(data), size);
      return platform::Status::Ok();
    };
    const platform::Status status = deflater.Take(0, sink, {});
    EXPECT_EQ(status.message,
              "cannot copy the deflated " + file + " from " + earlier + ": it changed while being packed");
    // Only whole chunks before the changed one went, as they were checked.
    EXPECT_LE(got.size(), changed);
    EXPECT_TRUE(raw.compare(0, got.size(), got) == 0);
    EXPECT_EQ(got.empty(), !c.nearEnd);
    EXPECT_TRUE(testsupport::SnapshotTree(dir / "tree") == treeBefore);
  }
}

}  // namespace
