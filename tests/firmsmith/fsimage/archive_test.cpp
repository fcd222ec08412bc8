// Package archives: what we pack is read back by Info-ZIP's unzip and by
// Python's zipfile; what Info-ZIP's zip writes we unpack; hostile archives
// made here never write outside the destination.
#include "firmsmith/fsimage/archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/platform/debuglog.h"
#include "random_bytes.h"
#include "test_support.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

const char* const kPython = "/usr/bin/python3";

// Entry names as Python's zipfile lists them, as a Python list literal.
std::string PythonNames(const std::string& archive) {
  auto r = RunCommand({kPython, "-c",
                       "import sys,zipfile\nprint(zipfile.ZipFile(sys.argv[1]).namelist())",
                       archive});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

// UnpackArchive with its "extract:" trace (shown with -v) captured; nothing
// may reach standard output.
int Unpack(const std::string& archive, const std::string& dest, std::string* printed = nullptr) {
  platform::SetVerbosity(platform::Verbosity::kVerbose);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int rc = fsimage::UnpackArchive(archive, dest);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string traced = testing::internal::GetCapturedStderr();
  platform::SetVerbosity(platform::Verbosity::kNormal);
  EXPECT_EQ(out, "");
  if (printed) *printed = traced;
  return rc;
}

// Writes a ZIP with Python's zipfile: pairs of (entry name, content).
void MakeZipWithPython(const std::string& archive,
                       const std::vector<std::pair<std::string, std::string>>& entries) {
  TempDir staging;
  std::vector<std::string> argv = {
      kPython, "-c",
      "import sys,zipfile\n"
      "z=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_DEFLATED)\n"
      "a=sys.argv[2:]\n"
      "for i in range(0,len(a),2):\n"
      "  z.writestr(zipfile.ZipInfo(a[i]),open(a[i+1],'rb').read())\n"
      "z.close()\n",
      archive};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::string content = staging / ("c" + std::to_string(i));
    WriteFile(content, entries[i].second);
    argv.push_back(entries[i].first);
    argv.push_back(content);
  }
  auto r = RunCommand(argv);
  ASSERT_EQ(r.status, 0) << r.err;
}

TEST(PackFolder, UnzipAndPythonReadTheSameBytesBack) {
  TempDir dir;
  const std::string a = RandomBytes(70000, 1);
  const std::string b(300000, 'b');  // compressible
  const std::string big = RandomBytes(3 * 1024 * 1024 + 17, 2);  // several pack chunks
  WriteFile(dir / "tree/a.img", a);
  WriteFile(dir / "tree/sub/b.img", b);
  WriteFile(dir / "tree/sub/deeper/big.bin", big);
  WriteFile(dir / "tree/empty.txt", "");
  ASSERT_EQ(fsimage::PackFolder(dir / "tree", dir / "out.bin"), 0);

  if (testsupport::HaveProgram("unzip")) {
    auto t = RunCommand({"unzip", "-t", dir / "out.bin"});
    EXPECT_EQ(t.status, 0) << t.out << t.err;
  }
  // Names, order, method, date and bytes as Python sees them.
  auto r = RunCommand({kPython, "-c",
                       "import sys,zipfile\n"
                       "z=zipfile.ZipFile(sys.argv[1])\n"
                       "for i in z.infolist():\n"
                       "  print(i.filename,i.compress_type,i.date_time,i.file_size)\n"
                       "  open(sys.argv[2]+'/'+i.filename,'wb').write(z.read(i))\n",
                       dir / "out.bin", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  // Walked in name order: a.img, empty.txt, then sub/ (b.img, then deeper/big.bin).
  EXPECT_EQ(r.out,
            "a.img 8 (1980, 1, 0, 0, 0, 0) 70000\n"
            "empty.txt 8 (1980, 1, 0, 0, 0, 0) 0\n"
            "b.img 8 (1980, 1, 0, 0, 0, 0) 300000\n"
            "big.bin 8 (1980, 1, 0, 0, 0, 0) 3145745\n");
  EXPECT_TRUE(ReadFile(dir / "a.img") == a);
  EXPECT_TRUE(ReadFile(dir / "b.img") == b);
  EXPECT_TRUE(ReadFile(dir / "big.bin") == big);
}

// Entries are named by bare file names: two files of one name would give
// two entries of which a reader sees one. Nothing is written then, an
// archive already there included.
TEST(PackFolder, TwoFilesOfOneNameAreRefusedNamingBothAndNothingIsWritten) {
  TempDir dir;
  WriteFile(dir / "tree/a/x.bin", "first");
  WriteFile(dir / "tree/b/deeper/x.bin", "second");
  WriteFile(dir / "tree/y.bin", "single");
  WriteFile(dir / "old.bin", "an archive of before");
  for (const std::string& archive : {dir / "old.bin", dir / "new.bin"}) {
    platform::Status why;
    EXPECT_EQ(fsimage::PackFolder(dir / "tree", archive, &why), -1);
    EXPECT_EQ(why.message, "cannot pack " + dir / "tree" + ": a/x.bin and b/deeper/x.bin would both be the entry x.bin");
  }
  EXPECT_EQ(ReadFile(dir / "old.bin"), "an archive of before");
  EXPECT_FALSE(testsupport::FileExists(dir / "new.bin"));
}

TEST(PackFolder, SameTreeGivesSameBytes) {
  TempDir dir;
  WriteFile(dir / "tree/z.img", RandomBytes(5000, 4));
  WriteFile(dir / "tree/m/a.img", "alpha");
  ASSERT_EQ(fsimage::PackFolder(dir / "tree", dir / "one.bin"), 0);
  ::sleep(1);  // a time stamp of any kind would now differ
  ASSERT_EQ(fsimage::PackFolder(dir / "tree", dir / "two.bin"), 0);
  EXPECT_TRUE(ReadFile(dir / "one.bin") == ReadFile(dir / "two.bin"));
}

TEST(PackFolder, EmptyFolderGivesAValidEmptyArchive) {
  TempDir dir;
  ::mkdir((dir / "empty").c_str(), 0755);
  ::mkdir((dir / "empty/only-folders").c_str(), 0755);
  ASSERT_EQ(fsimage::PackFolder(dir / "empty", dir / "out.bin"), 0);
  auto r = RunCommand({kPython, "-c",
                       "import sys,zipfile\nz=zipfile.ZipFile(sys.argv[1])\n"
                       "print(len(z.namelist()), z.testzip())",
                       dir / "out.bin"});
  EXPECT_EQ(r.out, "0 None\n") << r.err;
}

TEST(PackFolder, ReplacesAnExistingArchiveAndSkipsItselfInsideTheFolder) {
  TempDir dir;
  WriteFile(dir / "tree/a.img", "new");
  WriteFile(dir / "tree/pkg.bin", "old archive bytes");
  ASSERT_EQ(fsimage::PackFolder(dir / "tree", dir / "tree/pkg.bin"), 0);
  EXPECT_EQ(PythonNames(dir / "tree/pkg.bin"), "['a.img']\n");
}

TEST(PackFolder, FailuresGiveMinus1) {
  TempDir dir;
  WriteFile(dir / "tree/a.img", "a");
  EXPECT_EQ(fsimage::PackFolder(dir / "tree", dir / "no/such/dir/out.bin"), -1);
  EXPECT_EQ(fsimage::PackFolder(dir / "missing", dir / "out.bin"), -1);
  EXPECT_FALSE(FileExists(dir / "out.bin"));
}

// The archive is written only into a regular file: a link or FIFO in its
// place is refused with the reason, and what a link points at stays as it was.
TEST(PackFolder, WritesNoArchiveThroughALinkOrIntoAFifo) {
  TempDir dir;
  WriteFile(dir / "tree/a.img", "a");
  WriteFile(dir / "target", "keep");
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link.bin").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo.bin").c_str(), 0600), 0);
  for (const char* name : {"link.bin", "fifo.bin"}) {
    platform::Status why;
    EXPECT_EQ(fsimage::PackFolder(dir / "tree", dir / name, &why), -1) << name;
    EXPECT_NE(why.message.find(dir / name), std::string::npos) << why.message;
  }
  EXPECT_EQ(ReadFile(dir / "target"), "keep");
}

TEST(PackFolder, FileOverTheLimitStopsTheWalkKeepingEarlierEntries) {
  TempDir dir;
  WriteFile(dir / "tree/a.img", "first");
  WriteFile(dir / "tree/b.img", "");
  // Sparse, so the test costs no disk space.
  ASSERT_EQ(::truncate((dir / "tree/b.img").c_str(), 167772160 + 1), 0);
  WriteFile(dir / "tree/c.img", "never reached");
  EXPECT_EQ(fsimage::PackFolder(dir / "tree", dir / "out.bin"), -1);
  EXPECT_EQ(PythonNames(dir / "out.bin"), "['a.img']\n");
}

TEST(UnpackArchive, ExtractsWhatInfoZipWrote) {
  if (!testsupport::HaveProgram("zip")) GTEST_SKIP() << "zip missing";
  TempDir dir;
  const std::string stored = RandomBytes(10000, 5);
  const std::string deflated(200000, 'd');
  const std::string nested = RandomBytes(50000, 6);
  WriteFile(dir / "src/stored.bin", stored);
  WriteFile(dir / "src/deflated.txt", deflated);
  WriteFile(dir / "src/dir/x.bin", nested);
  // Info-ZIP stores the folder entry "dir/" before "dir/x.bin".
  auto z1 = RunCommand({"/bin/sh", "-c",
                        "cd \"$1\" && zip -q -0 ../pkg.zip stored.bin && "
                        "zip -q -9 -r ../pkg.zip deflated.txt dir",
                        "sh", dir / "src"});
  ASSERT_EQ(z1.status, 0) << z1.err;

  std::string printed;
  ASSERT_EQ(Unpack(dir / "pkg.zip", dir / "out", &printed), 0);
  EXPECT_EQ(printed,
            "extract:stored.bin\nextract:deflated.txt\nextract:dir/\nextract:dir/x.bin\n");
  EXPECT_TRUE(ReadFile(dir / "out/stored.bin") == stored);
  EXPECT_TRUE(ReadFile(dir / "out/deflated.txt") == deflated);
  EXPECT_TRUE(ReadFile(dir / "out/dir/x.bin") == nested);
}

TEST(UnpackArchive, CreatesEveryFolderOfANameWithoutFolderEntries) {
  TempDir dir;
  MakeZipWithPython(dir / "pkg.zip", {{"a/b/c/deep.txt", "deep"}, {"top.txt", "top"}});
  ::mkdir((dir / "out").c_str(), 0755);
  ASSERT_EQ(Unpack(dir / "pkg.zip", dir / "out"), 0);
  EXPECT_EQ(ReadFile(dir / "out/a/b/c/deep.txt"), "deep");
  EXPECT_EQ(ReadFile(dir / "out/top.txt"), "top");
}

TEST(UnpackArchive, ArchiveThatCannotBeOpenedGivesMinus1) {
  TempDir dir;
  WriteFile(dir / "not-a-zip.bin", "this is plain text, no zip at all");
  EXPECT_EQ(fsimage::UnpackArchive(dir / "missing.zip", dir / "out"), -1);
  EXPECT_EQ(fsimage::UnpackArchive(dir / "not-a-zip.bin", dir / "out"), -1);
  EXPECT_EQ(fsimage::UnpackArchive(dir.path(), dir / "out"), -1);
  // Only the named file counts, not a "<name>.zip" beside it.
  MakeZipWithPython(dir / "pkg.zip", {{"a.txt", "a"}});
  EXPECT_EQ(fsimage::UnpackArchive(dir / "pkg", dir / "out"), -1);
  EXPECT_FALSE(FileExists(dir / "out/a.txt"));
}

// One hostile entry per case, beside a harmless one that must still arrive.
struct HostileCase {
  const char* what;
  std::string entry;  // "@OUT@" stands for the outside folder
  // Prepares the destination (e.g. plants a link); may be empty.
  void (*prepare)(const std::string& dest, const std::string& outside);
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.what; }

void NoPreparation(const std::string&, const std::string&) {}
void LinkFolderOutward(const std::string& dest, const std::string& outside) {
  ASSERT_EQ(::symlink(outside.c_str(), (dest + "/link").c_str()), 0);
}
void LinkFileOutward(const std::string& dest, const std::string& outside) {
  WriteFile(outside + "/victim", "untouched");
  ASSERT_EQ(::symlink((outside + "/victim").c_str(), (dest + "/victim").c_str()), 0);
}
void DanglingLinkOutward(const std::string& dest, const std::string& outside) {
  ASSERT_EQ(::symlink((outside + "/created").c_str(), (dest + "/dangling").c_str()), 0);
}
void RelativeLinkOutward(const std::string& dest, const std::string&) {
  ASSERT_EQ(::symlink("../outside", (dest + "/up").c_str()), 0);
}

class HostileArchive : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileArchive, WritesNothingOutsideTheDestination) {
  const HostileCase c = GetParam();
  TempDir dir;
  const std::string dest = dir / "dest";
  const std::string outside = dir / "outside";
  ::mkdir(dest.c_str(), 0755);
  ::mkdir(outside.c_str(), 0755);
  c.prepare(dest, outside);
  std::string entry = c.entry;
  if (std::size_t at = entry.find("@OUT@"); at != std::string::npos) entry.replace(at, 5, outside);
  MakeZipWithPython(dir / "evil.zip", {{entry, "EVIL"}, {"fine.txt", "fine"}});

  const std::string before = RunCommand({"/usr/bin/find", dir.path()}).out;
  EXPECT_EQ(Unpack(dir / "evil.zip", dest), 0);
  const std::string after = RunCommand({"/usr/bin/find", dir.path()}).out;

  EXPECT_EQ(ReadFile(dest + "/fine.txt"), "fine") << c.what;
  // Only the harmless entry is new: nothing under outside/, above dest, or
  // any folder made on the way out.
  EXPECT_EQ(after.size(), before.size() + dest.size() + std::string("/fine.txt\n").size())
      << c.what << "\n" << after;
  EXPECT_FALSE(FileExists(dir / "evil")) << c.what;
  if (FileExists(outside + "/victim")) {
    EXPECT_EQ(ReadFile(outside + "/victim"), "untouched");
  }
  EXPECT_FALSE(FileExists(outside + "/created")) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileArchive,
    ::testing::Values(HostileCase{"parent", "../evil", NoPreparation},
                      HostileCase{"absolute", "@OUT@/evil", NoPreparation},
                      HostileCase{"climbs back out", "a/../../evil", NoPreparation},
                      HostileCase{"deep climb", "a/b/../../../outside/evil", NoPreparation},
                      HostileCase{"through a folder link", "link/evil", LinkFolderOutward},
                      HostileCase{"through a relative link", "up/evil", RelativeLinkOutward},
                      HostileCase{"onto a file link", "victim", LinkFileOutward},
                      HostileCase{"onto a dangling link", "dangling", DanglingLinkOutward}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// A name with a line break, in an entry whose data do not match its CRC:
// the refusal shows the break escaped and stays one line.
TEST(UnpackArchive, ADamagedEntryIsNamedOnOneLine) {
  TempDir dir;
  MakeZipWithPython(dir / "a.zip", {{"evil\nname", "hello world"}});
  std::string bytes = ReadFile(dir / "a.zip");
  const std::size_t data = bytes.find("hello world");
  ASSERT_NE(data, std::string::npos);
  bytes[data] = 'j';
  WriteFile(dir / "a.zip", bytes);
  platform::Status why;
  testing::internal::CaptureStdout();
  EXPECT_EQ(fsimage::UnpackArchive(dir / "a.zip", dir / "dest", &why), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_NE(why.message.find("entry evil\\012name of " + (dir / "a.zip") + " is damaged"), std::string::npos)
      << why.message;
  EXPECT_EQ(why.message.find('\n'), std::string::npos) << why.message;
  EXPECT_EQ(ReadFile(dir / "a.zip"), bytes);
}

TEST(UnpackArchive, FollowsALinkThatStaysInsideTheDestination) {
  TempDir dir;
  const std::string dest = dir / "dest";
  ::mkdir(dest.c_str(), 0755);
  ::mkdir((dest + "/real").c_str(), 0755);
  ASSERT_EQ(::symlink("real", (dest + "/alias").c_str()), 0);
  MakeZipWithPython(dir / "pkg.zip", {{"alias/x.bin", "inside"}});
  ASSERT_EQ(Unpack(dir / "pkg.zip", dest), 0);
  EXPECT_EQ(ReadFile(dest + "/real/x.bin"), "inside");
}

TEST(PackThenUnpack, FlatTreeRoundTrips) {
  TempDir dir;
  const std::string a = RandomBytes(123456, 8);
  WriteFile(dir / "tree/a.img", a);
  WriteFile(dir / "tree/InstallDesc", "{ }\n");
  ASSERT_EQ(fsimage::PackFolder(dir / "tree", dir / "pkg.bin"), 0);
  ASSERT_EQ(Unpack(dir / "pkg.bin", dir / "out"), 0);
  EXPECT_TRUE(ReadFile(dir / "out/a.img") == a);
  EXPECT_EQ(ReadFile(dir / "out/InstallDesc"), "{ }\n");
}

}  // namespace
