#include "firmsmith/check/partition_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>

#include "common/platform/fd.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "common/platform/process.h"
#include "common/platform/progdir.h"
#include "firmsmith/fsimage/cramfs_format.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "firmsmith/fsimage/external_tools.h"
#include "firmsmith/fsimage/squashfs_manifest.h"
#include "firmsmith/fsimage/image_probe.h"
#include "firmsmith/fsimage/jffs2_extract.h"
#include "firmsmith/fsimage/squashfs_check.h"

namespace check {
namespace {

using fsimage::SourceEntry;

// Bits an unpacked tree never carries unless asked: set-id, sticky and
// world-write would open the destination to every user.
constexpr std::uint32_t kUnsafeBits = 07002;
constexpr int kReasonLines = 3;

bool IsSpecial(const SourceEntry& e) {
  return e.type != fsimage::kTypeFile && e.type != fsimage::kTypeFolder && e.type != fsimage::kTypeLink;
}

// A reader's line with the scratch copy's path left out: the operator
// knows the entry, never our scratch folder. A tool that names the copy
// inside its line ("... superblock on <copy>") names the entry there.
std::string WithoutScratchPath(const ImageReport& image, std::string line) {
  if (image.payloadPath.empty()) return line;
  const std::string prefix = image.payloadPath + ": ";
  if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
  for (std::size_t at = 0; (at = line.find(image.payloadPath, at)) != std::string::npos; at += image.name.size())
    line.replace(at, image.payloadPath.size(), image.name);
  return line;
}

// With `fsProblems`, the checker's findings of the same walk go there; its
// blocks are inflated on `workers` threads.
bool ListCramfs(const ImageReport& image, std::vector<SourceEntry>* files, std::string* error,
                std::vector<std::string>* fsProblems = nullptr, unsigned workers = 1) {
  std::vector<fsimage::CramfsListedEntry> listed;
  std::string why;
  if (fsimage::ListAndCheckCramfsImage(image.payloadPath, &listed, &why, fsProblems, workers) != 0)
    return *error = image.name + ": " + WithoutScratchPath(image, why), false;
  for (const fsimage::CramfsListedEntry& l : listed) {
    SourceEntry e;
    e.path = l.path;
    e.type = fsimage::TypeOfMode(l.mode);
    e.mode = l.mode & 07777;
    e.uid = l.uid;
    e.gid = l.gid;
    if (e.type == fsimage::kTypeFile) e.size = l.size;
    if (e.type == fsimage::kTypeLink) e.linkTarget = l.linkTarget;
    if (e.type == fsimage::kTypeCharDevice || e.type == fsimage::kTypeBlockDevice) {
      e.major = fsimage::cramfs::DeviceMajor(l.size);
      e.minor = fsimage::cramfs::DeviceMinor(l.size);
    }
    files->push_back(std::move(e));
  }
  return true;
}

// Opens the folder holding `relative` below `rootFd`, never through a link.
platform::UniqueFd OpenParentBelow(int rootFd, const std::string& relative, std::string* name) {
  platform::UniqueFd current(::dup(rootFd));
  std::size_t begin = 0;
  for (std::size_t slash; current.valid() && (slash = relative.find('/', begin)) != std::string::npos;
       begin = slash + 1)
    current = platform::UniqueFd(::openat(current.get(), relative.substr(begin, slash - begin).c_str(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  *name = relative.substr(begin);
  return current;
}

// unsquashfs keeps set-id, sticky and world-write bits; the tree we hand
// over does not.
platform::Status DropUnsafeBits(const std::string& destination, const std::vector<SourceEntry>& files) {
  platform::UniqueFd root(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.valid()) return platform::FailErrno("cannot open folder " + destination);
  for (const SourceEntry& e : files) {
    if ((e.type != fsimage::kTypeFile && e.type != fsimage::kTypeFolder) || (e.mode & kUnsafeBits) == 0) continue;
    std::string name;
    platform::UniqueFd parent = OpenParentBelow(root.get(), e.path, &name);
    struct stat st {};
    if (!parent.valid() || ::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return platform::FailErrno("cannot open " + platform::JoinPath(destination, e.path));
    if (S_ISLNK(st.st_mode)) continue;
    if (::fchmodat(parent.get(), name.c_str(), st.st_mode & 07777 & ~kUnsafeBits, 0) != 0)
      return platform::FailErrno("cannot change the mode of " + platform::JoinPath(destination, e.path));
  }
  return platform::Status::Ok();
}

bool ExtractSquashfs(const ImageReport& image, const std::string& destination,
                     const PayloadExtractOptions& options, const std::vector<SourceEntry>& files,
                     std::string* error) {
  const std::string tool = platform::FindTool(fsimage::kUnsquashfsTool);
  if (tool.empty()) return *error = std::string("cannot find the tool ") + fsimage::kUnsquashfsTool, false;
  std::vector<fsimage::CramfsSpecialEntry> skipped;
  std::string excluded;
  for (const SourceEntry& e : files) {
    // The exclude file holds one name a line.
    if (e.path.find('\n') != std::string::npos)
      return *error = image.name + ": an entry name holds a line break", false;
    if (options.createSpecialFiles || !IsSpecial(e)) continue;
    // Escaped as unsquashfs reads its patterns, so "*", "?" or "[" in a
    // name excludes that entry and no other.
    excluded += fsimage::EscapeSquashfsPath(e.path) + "\n";
    skipped.push_back(fsimage::SpecialEntryOf(e));
  }
  platform::TempFolder scratch;
  platform::Status status = scratch.Create(std::string(), "firmsmith-extract-");
  const std::string excludeFile = platform::JoinPath(scratch.path(), "exclude");
  if (status) status = platform::WriteFileAtomic(excludeFile, excluded);
  if (!status) return *error = status.message, false;
  std::vector<std::string> args = {"-no-xattrs"};
  if (!excluded.empty()) args.insert(args.end(), {"-exclude-file", excludeFile});
  args.insert(args.end(), {"-d", destination, image.payloadPath});
  const platform::ProcessResult run = platform::RunProgram(tool, args);
  if (!run.started) return *error = "cannot start the tool " + tool + ": " + run.error, false;
  if (run.exitStatus != 0 || !platform::IsDirectory(destination))
    return *error = image.name + ": unsquashfs failed (exit status " + std::to_string(run.exitStatus) +
                    "): " + platform::LastLines(run.output, kReasonLines),
           false;
  status = DropUnsafeBits(destination, files);
  if (status && !skipped.empty())
    status = fsimage::WriteSkippedSpecials(fsimage::CramfsManifestPath(destination), skipped);
  if (!status) return *error = status.message, false;
  return true;
}

}  // namespace

const ImageReport* FindPartitionImage(const PackageReport& report, const std::string& name, std::string* error) {
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  // The whole name wins over the shorter forms.
  for (const ImageReport& e : report.entries)
    if (e.name == name) return &e;
  std::vector<const ImageReport*> found;
  for (const ImageReport& e : report.entries) {
    const bool byStem = e.name.substr(0, e.name.find('.')) == name;
    const bool byPartition = e.hasPartition && upper(e.partition) == upper(name);
    if (byStem || byPartition) found.push_back(&e);
  }
  if (found.size() == 1) return found.front();
  std::string names;
  for (const ImageReport& e : report.entries) names += (names.empty() ? "" : ", ") + e.name;
  *error = found.empty() ? report.path + ": no partition image \"" + name + "\" (it holds " + names + ")"
                         : report.path + ": \"" + name + "\" names " + std::to_string(found.size()) +
                               " images; give the whole entry name";
  return nullptr;
}

namespace {

bool ListPayloadChecking(const ImageReport& image, std::vector<SourceEntry>* files, std::string* error,
                         std::vector<std::string>* fsProblems, unsigned workers = 1) {
  files->clear();
  if (image.payloadPath.empty()) return *error = image.name + ": no file system to list", false;
  platform::Status status;
  switch (image.fsKind) {
    case fsimage::kImageKindCramfs: return ListCramfs(image, files, error, fsProblems, workers);
    case fsimage::kImageKindSquashfs: status = fsimage::CheckSquashfsImage(image.payloadPath, "", files); break;
    case fsimage::kImageKindJffs2: {
      platform::Status checked;
      status = fsimage::ListJffs2Image(image.payloadPath, files, fsProblems ? &checked : nullptr);
      if (fsProblems && !checked) *fsProblems = {checked.message};
      break;
    }
    default: return *error = image.name + ": neither cramfs, squashfs nor jffs2", false;
  }
  if (!status) *error = image.name + ": " + WithoutScratchPath(image, status.message);
  return status.ok;
}

std::string ContentsOf(const ImageReport& image, std::uint64_t budget, std::uint64_t* unpacked,
                       std::size_t* count, std::vector<std::string>* fsProblems, unsigned workers = 1) {
  std::vector<SourceEntry> files;
  std::string error;
  if (!ListPayloadChecking(image, &files, &error, fsProblems, workers)) {
    if (error.compare(0, image.name.size() + 2, image.name + ": ") == 0) error.erase(0, image.name.size() + 2);
    return "its files cannot be read: " + error;
  }
  const std::uint64_t bytes = UnpackedBytes(files);
  if (unpacked) *unpacked = bytes;
  if (count) *count = files.size();
  if (bytes <= budget) return "";
  return "unpacks to " + std::to_string(bytes) + " bytes, more than " + fsimage::ExtractBudgetText(budget) +
         ": an extraction stops there";
}

}  // namespace

bool ListPayload(const ImageReport& image, std::vector<SourceEntry>* files, std::string* error) {
  return ListPayloadChecking(image, files, error, nullptr);
}

std::uint64_t UnpackedBytes(const std::vector<SourceEntry>& files) {
  std::uint64_t total = 0;
  for (const SourceEntry& e : files)
    if (e.type == fsimage::kTypeFile) total += e.size;
  return total;
}

bool ExtractPayload(const ImageReport& image, const std::string& destination,
                    const PayloadExtractOptions& options, std::string* error) {
  if (platform::FileExists(destination)) return *error = destination + ": already exists", false;
  bool done = false;
  if (image.fsKind == fsimage::kImageKindCramfs) {
    fsimage::CramfsExtractOptions cramfs;
    cramfs.createSpecialFiles = options.createSpecialFiles;
    cramfs.budget = options.budget;
    cramfs.workers = options.workers;
    std::string why;
    done = fsimage::ExtractCramfsImage(image.payloadPath, destination, cramfs, &why) == 0;
    if (!done) *error = image.name + ": " + why;
  } else if (image.fsKind == fsimage::kImageKindJffs2) {
    fsimage::Jffs2ExtractOptions jffs2;
    jffs2.createSpecialFiles = options.createSpecialFiles;
    jffs2.budget = options.budget;
    const platform::Status status = fsimage::ExtractJffs2Image(image.payloadPath, destination, jffs2);
    done = status.ok;
    if (!done) *error = image.name + ": " + status.message;
  } else if (image.fsKind == fsimage::kImageKindSquashfs) {
    // unsquashfs cannot be stopped at a budget: its listing is checked first.
    std::vector<SourceEntry> files;
    if (!ListPayload(image, &files, error)) return false;
    if (UnpackedBytes(files) > options.budget)
      return *error = fsimage::OverBudgetMessage(image.name, options.budget), false;
    done = ExtractSquashfs(image, destination, options, files, error);
  } else {
    *error = image.payloadPath.empty() ? image.name + ": no file system to unpack"
                                       : image.name + ": neither cramfs, squashfs nor jffs2";
    return false;
  }
  // Half a tree must never pass for the image's.
  if (!done) {
    platform::RemoveTree(destination);
    platform::RemoveTree(fsimage::CramfsManifestPath(destination));
  }
  return done;
}

bool ExtractPayload(const ImageReport& image, const std::string& destination, std::string* error) {
  PayloadExtractOptions options;
  options.budget = fsimage::ReadExtractBudget(platform::GetProgramDirectory());
  options.workers = 0;
  return ExtractPayload(image, destination, options, error);
}

std::string FilesText(const std::vector<SourceEntry>& files) {
  std::string out;
  char head[64];
  for (const SourceEntry& e : files) {
    std::uint64_t size = e.type == fsimage::kTypeLink ? e.linkTarget.size() : e.size;
    if (e.type == fsimage::kTypeCharDevice || e.type == fsimage::kTypeBlockDevice) {
      std::snprintf(head, sizeof head, "%c %04o %5u,%4u ", e.type, e.mode, e.major, e.minor);
    } else {
      std::snprintf(head, sizeof head, "%c %04o %10llu ", e.type, e.mode, static_cast<unsigned long long>(size));
    }
    out += head + e.path;
    if (e.type == fsimage::kTypeLink) out += " -> " + e.linkTarget;
    out += "\n";
  }
  return out;
}

Json::Value FilesJson(const std::vector<SourceEntry>& files) {
  Json::Value list(Json::arrayValue);
  for (const SourceEntry& e : files) {
    Json::Value item;
    item["path"] = e.path;
    item["type"] = std::string(1, e.type);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", e.mode);
    item["mode"] = mode;
    item["uid"] = e.uid;
    item["gid"] = e.gid;
    if (e.type == fsimage::kTypeFile) item["size"] = Json::UInt64(e.size);
    if (e.type == fsimage::kTypeLink) item["linkTarget"] = e.linkTarget;
    if (e.type == fsimage::kTypeCharDevice || e.type == fsimage::kTypeBlockDevice) {
      item["major"] = e.major;
      item["minor"] = e.minor;
    }
    list.append(item);
  }
  return list;
}

std::string ContentsProblem(const ImageReport& image, std::uint64_t budget, std::uint64_t* unpacked,
                            std::size_t* count) {
  return ContentsOf(image, budget, unpacked, count, nullptr);
}

void ReadContents(ImageReport* image, std::uint64_t budget, unsigned workers) {
  image->contentsRead = true;
  image->fsProblems.clear();
  const bool ours = !image->payloadPath.empty() &&
                    (image->fsKind == fsimage::kImageKindCramfs || image->fsKind == fsimage::kImageKindJffs2);
  image->contentsProblem =
      ContentsOf(*image, budget, &image->unpackedBytes, &image->fileCount, ours ? &image->fsProblems : nullptr,
                 workers);
  image->fsChecked = ours;
}

}  // namespace check
