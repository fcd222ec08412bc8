// Packing with entries deflated side by side, a large entry in slices:
// whatever the number of workers, the archive has the same bytes; an entry
// of one slice is byte for byte what minizip writes when it deflates it
// itself, and a sliced one is hardly larger; unzip and Python's zipfile read
// every entry back; a failing entry fails the pack naming its file and
// leaves no scratch file; byte counts come on the calling thread.
#include <gtest/gtest.h>
#include <minizip/zip.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/platform/fd.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/slice_deflate.h"
#include "random_bytes.h"
#include "test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

const char* const kPython = "/usr/bin/python3";

struct TreeFile {
  std::string path;  // below the tree; files listed in the order the walk meets them
  std::string bytes;
};

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The archive minizip makes when it deflates each file itself (default
// level, DOS date 0x0020, no time, no extras), written one entry at a time.
std::string MinizipOwnArchive(const std::string& archive, const std::vector<TreeFile>& files) {
  zipFile zip = zipOpen64(archive.c_str(), APPEND_STATUS_CREATE);
  EXPECT_NE(zip, nullptr);
  for (const TreeFile& f : files) {
    zip_fileinfo info{};
    info.dosDate = 0x0020u << 16;
    EXPECT_EQ(zipOpenNewFileInZip64(zip, BaseName(f.path).c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0),
              ZIP_OK);
    // Fed in uneven pieces: deflate's output does not depend on them.
    for (std::size_t at = 0; at < f.bytes.size(); at += 100003) {
      const std::size_t n = std::min<std::size_t>(100003, f.bytes.size() - at);
      EXPECT_EQ(zipWriteInFileInZip(zip, f.bytes.data() + at, static_cast<unsigned>(n)), ZIP_OK);
    }
    EXPECT_EQ(zipCloseFileInZip(zip), ZIP_OK);
  }
  EXPECT_EQ(zipClose(zip, nullptr), ZIP_OK);
  return ReadFile(archive);
}

struct PackCase {
  const char* name;
  std::vector<TreeFile> files;
};

std::vector<PackCase> PackCases() {
  std::vector<TreeFile> many;
  many.push_back({"a.top", "top"});
  for (int i = 0; i < 120; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "sub/f%03d.bin", i);
    // Sizes from 0 to about 60 KiB, some text, some not.
    const std::size_t size = static_cast<std::size_t>(i) * 509;
    many.push_back({name, i % 3 == 0 ? Wordy(size, i) : RandomBytes(size, i) + std::string(size, 'z')});
  }
  return {
      {"empty file", {{"e.bin", ""}}},
      {"one byte", {{"a", "x"}}},
      {"large incompressible", {{"r.img", RandomBytes(3 * 1024 * 1024 + 5, 7)}}},
      {"large text", {{"t.txt", Wordy(3 * 1024 * 1024 + 11, 8)}}},
      {"large zeros then noise", {{"z.img", std::string(2 * 1024 * 1024, '\0') + RandomBytes(300000, 9)}}},
      {"many entries", many},
      {"mixed",
       {{"a.img", RandomBytes(900000, 10)}, {"b.txt", Wordy(700000, 11)}, {"c.empty", ""},
        {"d/one", "1"}, {"d/wordy", Wordy(2000000, 12)}}},
      // Around the slice size: one slice, one more byte, whole slices.
      {"slice edges",
       {{"a", Wordy(fsimage::kDeflateSlice - 1, 13)}, {"b", Wordy(fsimage::kDeflateSlice, 14)},
        {"c", Wordy(fsimage::kDeflateSlice + 1, 15)}, {"d", Wordy(2 * fsimage::kDeflateSlice, 16)},
        {"e", RandomBytes(fsimage::kDeflateSlice + 7, 17) + std::string(fsimage::kDeflateSlice, 'q')}}},
  };
}

// Every entry as Python's zipfile reads it, written into `into`; unzip -t
// must pass too.
void ExpectReadersSeeTheFiles(const std::string& archive, const std::string& into,
                              const std::vector<TreeFile>& files) {
  if (testsupport::HaveProgram("unzip")) {
    const testsupport::CommandResult t = RunCommand({"unzip", "-t", archive});
    EXPECT_EQ(t.status, 0) << t.out << t.err;
  }
  ::mkdir(into.c_str(), 0755);
  const testsupport::CommandResult r =
      RunCommand({kPython, "-c",
                  "import sys,zipfile\n"
                  "z=zipfile.ZipFile(sys.argv[1])\n"
                  "for i in z.infolist():\n"
                  "  print(i.filename)\n"
                  "  open(sys.argv[2]+'/'+i.filename,'wb').write(z.read(i))\n",
                  archive, into});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string names;
  for (const TreeFile& f : files) names += BaseName(f.path) + "\n";
  EXPECT_EQ(r.out, names);
  for (const TreeFile& f : files)
    EXPECT_TRUE(ReadFile(into + "/" + BaseName(f.path)) == f.bytes) << f.path;
}

// The compressed bytes of each entry, by name, as the central directory
// places them.
std::vector<std::pair<std::string, std::uint64_t>> CompressedSizes(const std::string& archive) {
  const testsupport::CommandResult r =
      RunCommand({kPython, "-c",
                  "import sys,zipfile\n"
                  "for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(i.filename, i.compress_size)\n",
                  archive});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::pair<std::string, std::uint64_t>> sizes;
  std::istringstream lines(r.out);
  std::string name;
  std::uint64_t size = 0;
  while (lines >> name >> size) sizes.emplace_back(name, size);
  return sizes;
}

TEST(PackFolderSideBySide, EveryWorkerCountGivesTheSameBytesAndSmallEntriesThoseOfMinizip) {
  for (const PackCase& c : PackCases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    for (const TreeFile& f : c.files) WriteFile(dir / ("tree/" + f.path), f.bytes);
    const std::string minizip = MinizipOwnArchive(dir / "minizip.bin", c.files);
    bool oneSliceEach = true;
    for (const TreeFile& f : c.files) oneSliceEach = oneSliceEach && f.bytes.size() <= fsimage::kDeflateSlice;
    std::string first;
    for (unsigned workers : {1u, 2u, 3u, 0u}) {
      SCOPED_TRACE("workers " + std::to_string(workers));
      fsimage::PackOptions options;
      options.workers = workers;
      options.scratchParent = dir / "scratch";
      ::mkdir(options.scratchParent.c_str(), 0755);
      const std::string archive = dir / ("out" + std::to_string(workers) + ".bin");
      platform::Status why;
      ASSERT_EQ(fsimage::PackFolder(dir / "tree", archive, &why, options), 0) << why.message;
      const std::string bytes = ReadFile(archive);
      if (first.empty()) first = bytes;
      EXPECT_TRUE(bytes == first);
      if (oneSliceEach) {
        EXPECT_TRUE(bytes == minizip);
      }
      EXPECT_TRUE(testsupport::SnapshotTree(options.scratchParent).empty());
    }
    ExpectReadersSeeTheFiles(dir / "out0.bin", dir / "read", c.files);
    // Each slice is primed with the 32 KiB before it: slicing costs a few
    // bytes per slice, not the matches across its edges.
    const auto ours = CompressedSizes(dir / "out0.bin");
    const auto theirs = CompressedSizes(dir / "minizip.bin");
    ASSERT_EQ(ours.size(), theirs.size());
    for (std::size_t i = 0; i < ours.size(); ++i)
      EXPECT_LE(ours[i].second, theirs[i].second + theirs[i].second / 500 + 64) << ours[i].first;
  }
}

// The tree of a failure test: a good entry before the bad one and one after.
struct FailingTree {
  TempDir dir;
  std::string tree = dir / "tree";
  std::string scratch = dir / "scratch";
  std::string archive = dir / "out.bin";
  FailingTree() {
    WriteFile(tree + "/a.img", RandomBytes(400000, 20));
    WriteFile(tree + "/z.img", RandomBytes(400000, 21));
    ::mkdir(scratch.c_str(), 0755);
  }
  fsimage::PackOptions Options() const {
    fsimage::PackOptions options;
    options.workers = 2;
    options.scratchParent = scratch;
    return options;
  }
};

TEST(PackFolderSideBySide, AnEntryThatCannotBeReadFailsThePackNamingItsFile) {
  struct Case {
    const char* name;
    void (*make)(const std::string& path);
    std::string reason;  // after the path
  };
  const Case cases[] = {
      {"unreadable file",
       [](const std::string& p) {
         WriteFile(p, "secret");
         ::chmod(p.c_str(), 0);
       },
       ": Permission denied"},
      {"named pipe", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }, ": not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FailingTree t;
    const std::string bad = t.tree + "/m.img";
    c.make(bad);
    const auto before = testsupport::SnapshotTree(t.tree);
    platform::Status why;
    {
      testsupport::FileOverrideDropped unprivileged;
      EXPECT_EQ(fsimage::PackFolder(t.tree, t.archive, &why, t.Options()), -1);
    }
    const std::string opened = std::string(c.name) == "named pipe" ? bad : "cannot open " + bad;
    EXPECT_EQ(why.message, opened + c.reason);
    EXPECT_EQ(why.message.find('\n'), std::string::npos);
    EXPECT_TRUE(testsupport::SnapshotTree(t.scratch).empty());
    EXPECT_TRUE(testsupport::SnapshotTree(t.tree) == before);
    // The entries before the bad one are there, none after it.
    const testsupport::CommandResult r = RunCommand(
        {kPython, "-c", "import sys,zipfile\nprint(zipfile.ZipFile(sys.argv[1]).namelist())", t.archive});
    EXPECT_EQ(r.out, "['a.img']\n") << r.err;
  }
}

// A write that fails (here: over the file-size limit, as on a full disk)
// fails the pack naming what could not be written and the file it held: a
// small entry's scratch file, or the archive itself, which takes a large
// entry's slices straight as they are deflated. No scratch file stays.
TEST(PackFolderSideBySide, AWriteThatFailsFailsThePackNamingWhatItWrote) {
  struct Case {
    const char* name;
    std::size_t firstSize;  // of a.img, the first entry
    std::string said;       // how the message begins; %S, %T, %A: the scratch parent, the tree, the archive
    std::string cause;      // found in the message
  };
  const Case cases[] = {
      // One slice of noise: its scratch file passes the limit before the
      // archive holds anything.
      {"small entry's scratch file", 120000, "-1 cannot write %S/pack-", "(the deflated %T/a.img): File too large"},
      {"large entry into the archive", 400000, "-1 cannot write %A (entry a.img): File too large", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FailingTree t;
    WriteFile(t.tree + "/a.img", RandomBytes(c.firstSize, 20));
    auto fill = [&](std::string text) {
      for (const auto& [mark, value] : {std::pair<std::string, std::string>{"%S", t.scratch},
                                        {"%T", t.tree}, {"%A", t.archive}}) {
        if (const std::size_t at = text.find(mark); at != std::string::npos) text.replace(at, 2, value);
      }
      return text;
    };
    const auto before = testsupport::SnapshotTree(t.tree);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const struct rlimit limit = {100000, 100000};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      platform::Status why;
      const int rc = fsimage::PackFolder(t.tree, t.archive, &why, t.Options());
      const std::string said = std::to_string(rc) + " " + why.message;
      (void)!::write(pipeFds[1], said.data(), said.size());
      ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string said;
    char buf[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(said.rfind(fill(c.said), 0), 0u) << said;
    EXPECT_NE(said.find(fill(c.cause)), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), std::string::npos);
    EXPECT_TRUE(testsupport::SnapshotTree(t.scratch).empty());
    EXPECT_TRUE(testsupport::SnapshotTree(t.tree) == before);
  }
}

// A large file's slices reach the writer on the calling thread, in order,
// while later ones are still being deflated, with never more than a fixed
// number read ahead of what was written, whatever the file's size; joined
// they inflate to the file.
TEST(DeflateInSlices, SlicesReachTheWriterInOrderOnItsThreadWithFewReadAhead) {
  TempDir dir;
  const std::string path = dir / "big.img";
  const std::size_t slices = 40;
  const std::string bytes = Wordy(slices * fsimage::kDeflateSlice / 2, 50) +
                            RandomBytes(slices * fsimage::kDeflateSlice / 2 - 3, 51);
  WriteFile(path, bytes);
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    platform::UniqueFd in(::open(path.c_str(), O_RDONLY));
    ASSERT_GE(in.get(), 0);
    std::atomic<std::uint64_t> read{0};
    std::string deflated;
    std::size_t writes = 0;
    bool aheadKept = true;
    bool onCaller = true;
    const std::thread::id caller = std::this_thread::get_id();
    const fsimage::DeflateSink write = [&](const unsigned char* data, std::size_t size, bool) {
      // Before this write, `writes` slices were written.
      aheadKept = aheadKept && read <= (writes + 2 * threads + 2) * fsimage::kDeflateSlice;
      onCaller = onCaller && std::this_thread::get_id() == caller;
      deflated.append(reinterpret_cast<const char*>(data), size);
      ++writes;
      return platform::Status::Ok();
    };
    const std::atomic<bool> stop{false};
    fsimage::SliceDeflateResult result;
    const platform::Status status = fsimage::DeflateInSlices(
        in.get(), bytes.size(), path, threads, stop, [&](std::uint64_t n) { read += n; }, write, &result);
    ASSERT_TRUE(status.ok) << status.message;
    EXPECT_EQ(writes, slices);
    EXPECT_TRUE(aheadKept) << "slices were read far ahead of the writer";
    EXPECT_TRUE(onCaller) << "a slice was written from another thread";
    EXPECT_EQ(result.crc, ::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()),
                                  static_cast<uInt>(bytes.size())));
    z_stream z{};
    ASSERT_EQ(::inflateInit2(&z, -MAX_WBITS), Z_OK);
    std::string back(bytes.size() + 1, '\0');
    z.next_in = reinterpret_cast<Bytef*>(deflated.data());
    z.avail_in = static_cast<uInt>(deflated.size());
    z.next_out = reinterpret_cast<Bytef*>(back.data());
    z.avail_out = static_cast<uInt>(back.size());
    EXPECT_EQ(::inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u);
    back.resize(back.size() - z.avail_out);
    ::inflateEnd(&z);
    EXPECT_TRUE(back == bytes);
  }
}

// A sink that fails stops the deflating at once with its own message.
TEST(DeflateInSlices, AWriterThatFailsEndsItWithItsMessage) {
  TempDir dir;
  const std::string path = dir / "big.img";
  WriteFile(path, RandomBytes(30 * fsimage::kDeflateSlice, 52));
  const auto before = testsupport::SnapshotTree(dir.path());
  platform::UniqueFd in(::open(path.c_str(), O_RDONLY));
  std::atomic<std::uint64_t> read{0};
  std::size_t writes = 0;
  const fsimage::DeflateSink write = [&](const unsigned char*, std::size_t, bool) {
    return ++writes == 3 ? platform::Status::Fail("cannot write out.zip (entry big.img): No space left on device")
                         : platform::Status::Ok();
  };
  const std::atomic<bool> stop{false};
  fsimage::SliceDeflateResult result;
  const platform::Status status = fsimage::DeflateInSlices(
      in.get(), 30 * fsimage::kDeflateSlice, path, 2, stop, [&](std::uint64_t n) { read += n; }, write, &result);
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.message, "cannot write out.zip (entry big.img): No space left on device");
  EXPECT_EQ(writes, 3u);
  EXPECT_LE(read, (3 + 2 * 2 + 2) * fsimage::kDeflateSlice) << "deflating went on after the failure";
  EXPECT_TRUE(testsupport::SnapshotTree(dir.path()) == before);
}

// Counts of a pack and of the unpack of its archive: on the calling thread,
// never going back, ending at the total, which is the sum of the sizes.
TEST(PackFolderSideBySide, ByteCountsComeOnTheCallingThreadUpToTheTotal) {
  TempDir dir;
  // Large enough that deflating takes many scheduler slices, so the writer
  // hears the workers part way even on a busy machine.
  WriteFile(dir / "tree/a.img", RandomBytes(6000000, 30));
  WriteFile(dir / "tree/b/c.img", Wordy(1500000, 31));
  WriteFile(dir / "tree/e.img", "");
  const std::uint64_t total = 7500000;
  struct Count {
    std::uint64_t done, total;
    std::thread::id thread;
  };
  auto check = [&](const std::vector<Count>& counts) {
    ASSERT_GE(counts.size(), 2u);
    // Some part way, not only the end.
    EXPECT_GT(counts.front().done, 0u);
    EXPECT_LT(counts.front().done, total);
    for (std::size_t i = 0; i < counts.size(); ++i) {
      EXPECT_EQ(counts[i].thread, std::this_thread::get_id());
      EXPECT_EQ(counts[i].total, total);
      if (i > 0) {
        EXPECT_GE(counts[i].done, counts[i - 1].done);
      }
    }
    EXPECT_EQ(counts.back().done, total);
  };
  std::vector<Count> packed;
  fsimage::PackOptions options;
  options.workers = 2;
  options.count = [&](std::uint64_t done, std::uint64_t all) {
    packed.push_back({done, all, std::this_thread::get_id()});
  };
  ASSERT_EQ(fsimage::PackFolder(dir / "tree", dir / "out.bin", nullptr, options), 0);
  check(packed);

  std::vector<Count> unpacked;
  ASSERT_EQ(fsimage::UnpackArchive(dir / "out.bin", dir / "back", nullptr, fsimage::kNoExtractBudget,
                                   [&](std::uint64_t done, std::uint64_t all) {
                                     unpacked.push_back({done, all, std::this_thread::get_id()});
                                   }),
            0);
  check(unpacked);
}

}  // namespace
