#include "firmsmith/fsimage/source_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>

#include "common/platform/fd.h"
#include "common/platform/files.h"

namespace fsimage {
namespace {

std::string Attributes(const SourceEntry& e) {
  char text[64];
  std::snprintf(text, sizeof text, "mode %04o, owner %u:%u", static_cast<unsigned>(e.mode),
                static_cast<unsigned>(e.uid), static_cast<unsigned>(e.gid));
  std::string shown = text;
  if (e.type == kTypeCharDevice || e.type == kTypeBlockDevice)
    shown += ", device " + std::to_string(e.major) + ":" + std::to_string(e.minor);
  return shown;
}

bool SameAttributes(const SourceEntry& a, const SourceEntry& b) {
  const bool device = a.type == kTypeCharDevice || a.type == kTypeBlockDevice;
  return a.mode == b.mode && a.uid == b.uid && a.gid == b.gid &&
         (!device || (a.major == b.major && a.minor == b.minor));
}

platform::Status Walk(const std::string& folder, const std::string& prefix,
                      std::vector<SourceEntry>* entries) {
  std::vector<platform::FolderEntry> listed;
  if (platform::Status status = platform::ListFolder(folder, &listed); !status) return status;
  for (const platform::FolderEntry& e : listed) {
    const std::string path = platform::JoinPath(folder, e.name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return platform::FailErrno("cannot read " + path);
    SourceEntry entry;
    entry.path = prefix.empty() ? e.name : prefix + "/" + e.name;
    entry.type = TypeOfMode(st.st_mode);
    entry.mode = st.st_mode & 07777;
    entry.uid = st.st_uid;
    entry.gid = st.st_gid;
    if (S_ISREG(st.st_mode)) {
      std::string why;
      platform::UniqueFd fd = platform::OpenRegularForReading(path, &why);
      if (!fd.valid()) return platform::Status::Fail(why);
      struct stat opened {};
      if (::fstat(fd.get(), &opened) != 0) return platform::FailErrno("cannot read " + path);
      entry.size = static_cast<std::uint64_t>(opened.st_size);
    } else if (S_ISLNK(st.st_mode)) {
      std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
      const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
      if (n < 0) return platform::FailErrno("cannot read the link " + path);
      target.resize(static_cast<std::size_t>(n));
      entry.linkTarget = target;
    }
    entries->push_back(entry);
    if (S_ISDIR(st.st_mode)) {
      if (platform::Status status = Walk(path, entry.path, entries); !status) return status;
    }
  }
  return platform::Status::Ok();
}

}  // namespace

char TypeOfMode(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR: return kTypeFolder;
    case S_IFLNK: return kTypeLink;
    case S_IFCHR: return kTypeCharDevice;
    case S_IFBLK: return kTypeBlockDevice;
    case S_IFIFO: return kTypeFifo;
    case S_IFSOCK: return kTypeSocket;
    default: return kTypeFile;
  }
}

platform::Status CompareImageWithSource(const std::string& imagePath,
                                        const std::vector<SourceEntry>& image,
                                        const std::vector<SourceEntry>& source) {
  std::map<std::string, const SourceEntry*> held;
  for (const SourceEntry& e : image) held[e.path] = &e;
  for (const SourceEntry& want : source) {
    auto it = held.find(want.path);
    if (it == held.end())
      return platform::Status::Fail(imagePath + ": " + want.path + " of the source is missing");
    const SourceEntry& got = *it->second;
    if (got.type != want.type)
      return platform::Status::Fail(imagePath + ": " + want.path + " is of type '" +
                                    std::string(1, got.type) + "', the source's is '" +
                                    std::string(1, want.type) + "'");
    if (want.type == kTypeFile && got.size != want.size)
      return platform::Status::Fail(imagePath + ": " + want.path + " holds " +
                                    std::to_string(got.size) + " bytes, the source file " +
                                    std::to_string(want.size));
    if (want.type == kTypeLink && got.linkTarget != want.linkTarget)
      return platform::Status::Fail(imagePath + ": link " + want.path + " leads to " +
                                    got.linkTarget + ", the source's to " + want.linkTarget);
    if (want.attributesKnown && !SameAttributes(got, want))
      return platform::Status::Fail(imagePath + ": " + want.path + " has " + Attributes(got) +
                                    ", it should have " + Attributes(want));
    held.erase(it);
  }
  if (!held.empty())
    return platform::Status::Fail(imagePath + ": " + held.begin()->first +
                                  " is not in the source");
  return platform::Status::Ok();
}

platform::Status ReadSourceTree(const std::string& folder, std::vector<SourceEntry>* entries) {
  entries->clear();
  return Walk(folder, std::string(), entries);
}

}  // namespace fsimage
