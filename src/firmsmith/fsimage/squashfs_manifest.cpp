#include "firmsmith/fsimage/squashfs_manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/platform/fd.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/manifest_text.h"

namespace fsimage {
namespace {

constexpr std::uint32_t kMaxModeBits = 07777;
constexpr const char kRootPath[] = "/";
constexpr const char kHeader[] =
    "# Attributes and special files of a squashfs tree, as mksquashfs -pf reads them:\n"
    "# PATH m MODE UID GID | PATH c|b MODE UID GID MAJOR MINOR | PATH i MODE UID GID f|s\n";

bool Plain(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-' || c == '/' || c >= 0x80;
}

// Splits a line at blanks that are not escaped; the words keep their escapes.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::string current;
  bool inWord = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      current += c;
      current += line[++i];
      inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(current);
      current.clear();
      inWord = false;
    } else {
      current += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(current);
  return words;
}

bool Unescape(const std::string& text, std::string* path) {
  path->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      if (++i == text.size()) return false;
    }
    *path += text[i];
  }
  return true;
}

bool IsDevice(char kind) { return kind == kTypeCharDevice || kind == kTypeBlockDevice; }

std::string Line(const SquashfsManifestEntry& e) {
  char fields[96];
  const unsigned mode = e.mode & kMaxModeBits;
  if (IsDevice(e.kind))
    std::snprintf(fields, sizeof fields, " %c %04o %u %u %u %u\n", e.kind, mode, e.uid, e.gid, e.major, e.minor);
  else if (e.kind == kTypeFifo || e.kind == kTypeSocket)
    std::snprintf(fields, sizeof fields, " i %04o %u %u %c\n", mode, e.uid, e.gid, e.kind == kTypeFifo ? 'f' : 's');
  else
    std::snprintf(fields, sizeof fields, " m %04o %u %u\n", mode, e.uid, e.gid);
  return (e.path.empty() ? std::string(kRootPath) : EscapeSquashfsPath(e.path)) + fields;
}

// True when `relative` names an entry below the folder `rootFd`, every
// folder on the way entered without following a link.
bool ExistsBelow(int rootFd, const std::string& relative) {
  platform::UniqueFd folder(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = relative.find('/', start);
    const std::string part = relative.substr(start, slash - start);
    if (slash == std::string::npos) {
      struct stat st {};
      return ::fstatat(folder.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    }
    platform::UniqueFd next(platform::RetryOnInterrupt([&] {
      return ::openat(folder.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }));
    if (!next.valid()) return false;
    folder = std::move(next);
    start = slash + 1;
  }
}

}  // namespace

std::string SquashfsManifestPath(const std::string& destination) {
  return ManifestPathBeside(destination, ".pseudo");
}

std::string EscapeSquashfsPath(const std::string& path) {
  std::string out;
  for (const char ch : path) {
    if (!Plain(static_cast<unsigned char>(ch))) out += '\\';
    out += ch;
  }
  return out;
}

SquashfsManifestEntry SquashfsManifestEntryOf(const SourceEntry& e) {
  SquashfsManifestEntry m = SharedFieldsOf<SquashfsManifestEntry>(e);
  const bool special = e.type == kTypeCharDevice || e.type == kTypeBlockDevice || e.type == kTypeFifo ||
                       e.type == kTypeSocket;
  m.kind = special ? e.type : 'm';
  return m;
}

SourceEntry SourceEntryOf(const SquashfsManifestEntry& e) {
  SourceEntry s = SharedFieldsOf<SourceEntry>(e);
  s.type = TypeOfManifestKind(e.kind);
  s.attributesKnown = true;
  return s;
}

SquashfsManifest SquashfsManifestOfListing(const SourceEntry& root, const std::vector<SourceEntry>& entries) {
  SquashfsManifest manifest;
  manifest.root = SquashfsManifestEntryOf(root);
  manifest.root.path.clear();
  manifest.root.kind = 'm';
  for (const SourceEntry& e : entries) manifest.entries.push_back(SquashfsManifestEntryOf(e));
  return manifest;
}

std::string FormatSquashfsManifest(const SquashfsManifest& manifest, bool withRoot) {
  std::string out = kHeader;
  if (withRoot) out += Line(manifest.root);
  for (const SquashfsManifestEntry& e : manifest.entries) out += Line(e);
  return out;
}

platform::Status ParseSquashfsManifest(const std::string& text, const std::string& shownPath,
                                       SquashfsManifest* manifest) {
  *manifest = SquashfsManifest();
  bool haveRoot = false;
  int number = 0;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    ++number;
    if (line.empty() || line[0] == '#') continue;
    auto bad = [&](const std::string& what) {
      return platform::Status::Fail(shownPath + " line " + std::to_string(number) + ": " + what);
    };
    const std::vector<std::string> fields = Words(line);
    if (fields.size() < 5 || fields[1].size() != 1) return bad("expected PATH KIND MODE UID GID ...");
    SquashfsManifestEntry e;
    const bool isRoot = fields[0] == kRootPath;
    if (!isRoot && (!Unescape(fields[0], &e.path) || !IsTreePath(e.path))) return bad("bad path " + fields[0]);
    const char kind = fields[1][0];
    std::size_t want = 5;
    if (kind == 'c' || kind == 'b') want = 7;
    else if (kind == 'i') want = 6;
    else if (kind != 'm') return bad("kind must be m, c, b or i");
    if (fields.size() != want) return bad("expected " + std::to_string(want) + " fields");
    if (!ParseManifestNumber(fields[2], 8, kMaxModeBits, &e.mode)) return bad("bad mode " + fields[2]);
    if (!ParseManifestNumber(fields[3], 10, 0xFFFFFFFFu, &e.uid) || !ParseManifestNumber(fields[4], 10, 0xFFFFFFFFu, &e.gid))
      return bad("bad owner " + fields[3] + " " + fields[4]);
    e.kind = kind;
    if (kind == 'c' || kind == 'b') {
      if (!ParseManifestNumber(fields[5], 10, 0xFFFFFFFFu, &e.major) || !ParseManifestNumber(fields[6], 10, 0xFFFFFFFFu, &e.minor))
        return bad("bad device number " + fields[5] + " " + fields[6]);
    } else if (kind == 'i') {
      if (fields[5] != "f" && fields[5] != "s") return bad("a FIFO is f, a socket s");
      e.kind = fields[5] == "f" ? kTypeFifo : kTypeSocket;
    }
    if (isRoot) {
      if (kind != 'm' || haveRoot) return bad("the root is given once, with m");
      manifest->root = e;
      haveRoot = true;
    } else {
      manifest->entries.push_back(std::move(e));
    }
  }
  if (!haveRoot) return platform::Status::Fail(shownPath + ": no line for the root folder");
  return platform::Status::Ok();
}

platform::Status ReadSquashfsManifest(const std::string& path, SquashfsManifest* manifest) {
  std::string text;
  if (platform::Status read = platform::ReadFileText(path, &text); !read) return read;
  return ParseSquashfsManifest(text, path, manifest);
}

platform::Status WriteSquashfsManifest(const std::string& path, const SquashfsManifest& manifest) {
  return platform::WriteFileAtomic(path, FormatSquashfsManifest(manifest));
}

platform::Status DropSquashfsManifestEntries(const std::string& path, const std::string& tree,
                                             const std::string& relative) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return platform::Status::Ok();
  SquashfsManifest manifest;
  if (platform::Status read = ReadSquashfsManifest(path, &manifest); !read) return read;
  platform::UniqueFd root(platform::RetryOnInterrupt(
      [&] { return ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
  if (!root.valid()) return platform::FailErrno("cannot open " + tree);
  std::string prefix = relative;
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  const std::size_t before = manifest.entries.size();
  manifest.entries.erase(
      std::remove_if(manifest.entries.begin(), manifest.entries.end(),
                     [&](const SquashfsManifestEntry& e) {
                       const bool below = prefix.empty() || e.path == prefix || e.path.rfind(prefix + "/", 0) == 0;
                       if (!below) return false;
                       return e.kind != 'm' || !ExistsBelow(root.get(), e.path);
                     }),
      manifest.entries.end());
  if (manifest.entries.size() == before) return platform::Status::Ok();
  return WriteSquashfsManifest(path, manifest);
}

}  // namespace fsimage
