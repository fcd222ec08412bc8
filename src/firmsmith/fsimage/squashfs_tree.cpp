#include "firmsmith/fsimage/squashfs_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "common/platform/fd.h"
#include "common/platform/files.h"
#include "common/platform/process.h"
#include "firmsmith/fsimage/external_tools.h"
#include "firmsmith/fsimage/manifest_text.h"
#include "firmsmith/fsimage/squashfs_check.h"

namespace fsimage {
namespace {

constexpr int kReasonLines = 3;
// Bits a work folder never holds: they would make a file of ours run as its
// owner, or open it or a folder to every user.
constexpr std::uint32_t kUnsafeBits = S_ISUID | S_ISGID | S_ISVTX | S_IWOTH;

bool IsSpecial(char type) {
  return type == kTypeCharDevice || type == kTypeBlockDevice || type == kTypeFifo || type == kTypeSocket;
}

// Regular files unsquashfs must not write: we write them at a safe mode.
bool TakenByCat(const SourceEntry& e) { return e.type == kTypeFile && (e.mode & kUnsafeBits) != 0; }

// The mode a folder or file of ours gets in a work folder.
mode_t SafeMode(mode_t mode, bool folder) {
  return static_cast<mode_t>((mode & 0777 & ~S_IWOTH) | S_IRUSR | S_IWUSR | (folder ? S_IXUSR : 0));
}

platform::UniqueFd OpenFolder(int at, const char* name) {
  return platform::UniqueFd(platform::RetryOnInterrupt(
      [&] { return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
}

// Gives every entry below `folderFd` a safe mode (and, as root, our owner);
// removes and reports a special file, which the exclude list should have
// kept out.
platform::Status MakeInert(int folderFd, const std::string& shown) {
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolderAt(folderFd, shown, &entries); !listed) return listed;
  const bool root = ::geteuid() == 0;
  for (const platform::FolderEntry& e : entries) {
    const std::string path = platform::JoinPath(shown, e.name);
    struct stat st {};
    if (::fstatat(folderFd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return platform::FailErrno("cannot examine " + path);
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
      ::unlinkat(folderFd, e.name.c_str(), 0);
      return platform::Status::Fail(path + ": unsquashfs made a special file the exclude list names");
    }
    if (root && (st.st_uid != 0 || st.st_gid != 0) &&
        ::fchownat(folderFd, e.name.c_str(), 0, 0, AT_SYMLINK_NOFOLLOW) != 0)
      return platform::FailErrno("cannot take over " + path);
    if (S_ISLNK(st.st_mode)) continue;
    const mode_t safe = SafeMode(st.st_mode, S_ISDIR(st.st_mode));
    // Not a link (examined above, and nobody else can reach our work folder).
    if ((st.st_mode & 07777) != safe && ::fchmodat(folderFd, e.name.c_str(), safe, 0) != 0)
      return platform::FailErrno("cannot change the mode of " + path);
    if (!S_ISDIR(st.st_mode)) continue;
    platform::UniqueFd sub = OpenFolder(folderFd, e.name.c_str());
    if (!sub.valid()) return platform::FailErrno("cannot open " + path);
    if (platform::Status inner = MakeInert(sub.get(), path); !inner) return inner;
  }
  return platform::Status::Ok();
}

// Writes the regular file `entry` of the image below `rootFd` from
// "unsquashfs -cat", at a safe mode.
platform::Status CatFile(const std::string& program, const std::string& imagePath, int rootFd,
                         const std::string& destination, const SourceEntry& entry) {
  const std::string shown = platform::JoinPath(destination, entry.path);
  platform::UniqueFd folder(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
  std::size_t start = 0;
  std::size_t slash;
  while ((slash = entry.path.find('/', start)) != std::string::npos) {
    folder = OpenFolder(folder.get(), entry.path.substr(start, slash - start).c_str());
    if (!folder.valid()) return platform::FailErrno("cannot open the folder of " + shown);
    start = slash + 1;
  }
  const std::string name = entry.path.substr(start);
  platform::UniqueFd file(platform::RetryOnInterrupt([&] {
    return ::openat(folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }));
  if (!file.valid()) return platform::FailErrno("cannot create " + shown);
  const platform::ProcessResult run =
      platform::RunProgramWithOutputTo(program, {"-cat", imagePath, EscapeSquashfsPath(entry.path)}, file.get());
  if (!run.started) return platform::Status::Fail("cannot start the tool " + program + ": " + run.error);
  if (run.exitStatus != 0)
    return platform::Status::Fail(imagePath + ": unsquashfs -cat " + entry.path + " failed with exit status " +
                                  std::to_string(run.exitStatus) + ": " +
                                  platform::LastLines(run.output, kReasonLines));
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) return platform::FailErrno("cannot examine " + shown);
  if (static_cast<std::uint64_t>(st.st_size) != entry.size)
    return platform::Status::Fail(shown + ": unsquashfs -cat gave " + std::to_string(st.st_size) +
                                  " bytes, the image lists " + std::to_string(entry.size));
  if (::fchmod(file.get(), SafeMode(entry.mode, false)) != 0)
    return platform::FailErrno("cannot change the mode of " + shown);
  if (::close(file.Release()) != 0) return platform::FailErrno("cannot write " + shown);
  return platform::Status::Ok();
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string SquashfsExcludeListPath(const std::string& destination) {
  std::string base = destination;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + ".exclude";
}

platform::Status ExtractSquashfsTree(const std::string& imagePath, const std::string& destination,
                                     platform::MessageSink& sink) {
  SourceEntry root;
  std::vector<SourceEntry> listed;
  if (platform::Status scanned = ListSquashfsImage(imagePath, &listed, &root); !scanned) return scanned;
  std::string excluded;
  std::vector<const SourceEntry*> cats;
  for (const SourceEntry& e : listed) {
    if (!IsTreePath(e.path)) return platform::Status::Fail(imagePath + ": entry name leaves the tree: " + e.path);
    if (IsSpecial(e.type) || TakenByCat(e)) excluded += EscapeSquashfsPath(e.path) + "\n";
    if (TakenByCat(e)) cats.push_back(&e);
  }
  const std::string excludeList = SquashfsExcludeListPath(destination);
  if (platform::Status written = platform::WriteFileAtomic(excludeList, excluded); !written) return written;
  platform::Status ran;
  const bool extracted =
      RunExternalTool(kUnsquashfsTool, SquashfsExtractParameters(imagePath, destination, excludeList), sink, &ran);
  ::unlink(excludeList.c_str());
  if (!extracted) return ran;

  platform::UniqueFd top = OpenFolder(AT_FDCWD, destination.c_str());
  if (!top.valid()) return platform::FailErrno("unsquashfs made no folder " + destination);
  struct stat st {};
  if (::fstat(top.get(), &st) != 0) return platform::FailErrno("cannot examine " + destination);
  if ((st.st_mode & 07777) != SafeMode(st.st_mode, true) && ::fchmod(top.get(), SafeMode(st.st_mode, true)) != 0)
    return platform::FailErrno("cannot change the mode of " + destination);
  if (platform::Status inert = MakeInert(top.get(), destination); !inert) return inert;
  if (!cats.empty()) {
    const std::string program = platform::FindTool(kUnsquashfsTool);
    for (const SourceEntry* e : cats)
      if (platform::Status taken = CatFile(program, imagePath, top.get(), destination, *e); !taken) return taken;
  }
  return WriteSquashfsManifest(SquashfsManifestPath(destination), SquashfsManifestOfListing(root, listed));
}

SquashfsBuildPlan PlanSquashfsBuild(const SquashfsManifest& manifest, const std::vector<SourceEntry>& source) {
  std::map<std::string, const SquashfsManifestEntry*> known;
  for (const SquashfsManifestEntry& e : manifest.entries) known[e.path] = &e;
  std::map<std::string, char> types;
  for (const SourceEntry& e : source) types[e.path] = e.type;

  SquashfsBuildPlan plan;
  plan.root = manifest.root;
  SquashfsManifest given;
  for (const SourceEntry& e : source) {
    SourceEntry want = e;
    want.attributesKnown = true;
    auto it = known.find(e.path);
    SquashfsManifestEntry line;
    line.path = e.path;
    if (it != known.end() && it->second->kind == 'm') {
      line.mode = it->second->mode;
      line.uid = it->second->uid;
      line.gid = it->second->gid;
    } else {
      line.mode = e.type == kTypeLink ? 0777 : (e.mode & 0777);
    }
    want.mode = line.mode;
    want.uid = line.uid;
    want.gid = line.gid;
    given.entries.push_back(line);
    plan.expected.push_back(want);
  }
  for (const SquashfsManifestEntry& e : manifest.entries) {
    if (e.kind == 'm' || types.count(e.path) != 0) continue;
    const std::string parent = ParentOf(e.path);
    if (!parent.empty() && (types.count(parent) == 0 || types[parent] != kTypeFolder)) continue;
    given.entries.push_back(e);
    plan.expected.push_back(SourceEntryOf(e));
  }
  plan.pseudoFile = FormatSquashfsManifest(given, false);
  return plan;
}

}  // namespace fsimage
