#include "firmsmith/fsimage/cramfs_manifest.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>

#include "common/platform/debuglog.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/manifest_text.h"

namespace fsimage {
namespace {

constexpr std::uint32_t kMaxModeBits = 07777;

bool NeedsEscape(unsigned char c) { return c <= 0x20 || c == 0x7F || c == '\\'; }

std::string EscapePath(const std::string& path) {
  std::string out;
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    // A "#" at the start would make the line a comment and drop the entry.
    if (NeedsEscape(c) || (out.empty() && c == '#')) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\%03o", c);
      out += buffer;
    } else {
      out += ch;
    }
  }
  return out;
}

bool UnescapePath(const std::string& text, std::string* path) {
  path->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *path += text[i];
      continue;
    }
    unsigned value = 0;
    for (std::size_t k = 1; k <= 3; ++k) {
      if (i + k >= text.size()) return false;
      const char d = text[i + k];
      if (d < '0' || d > '7') return false;
      value = value * 8 + static_cast<unsigned>(d - '0');
    }
    if (value > 0xFF) return false;
    *path += static_cast<char>(value);
    i += 3;
  }
  return true;
}

bool ParsePair(const std::string& text, std::uint32_t limit, std::uint32_t* a, std::uint32_t* b) {
  const std::size_t colon = text.find(':');
  return colon != std::string::npos && ParseManifestNumber(text.substr(0, colon), 10, limit, a) &&
         ParseManifestNumber(text.substr(colon + 1), 10, limit, b);
}

bool IsDeviceType(char type) { return type == 'c' || type == 'b'; }

}  // namespace

std::string CramfsManifestPath(const std::string& destination) {
  return ManifestPathBeside(destination, ".manifest");
}

std::uint32_t CramfsSpecialTypeBits(char type) {
  switch (type) {
    case 'c': return S_IFCHR;
    case 'b': return S_IFBLK;
    case 'p': return S_IFIFO;
    case 's': return S_IFSOCK;
    default: return 0;
  }
}

std::string FormatCramfsManifest(const std::vector<CramfsSpecialEntry>& entries) {
  std::string out =
      "# Special entries not created as files: PATH TYPE(c b p s) MODE UID:GID MAJOR:MINOR|-\n";
  for (const CramfsSpecialEntry& e : entries) {
    char fields[96];
    if (IsDeviceType(e.type)) {
      std::snprintf(fields, sizeof fields, " %c %04o %u:%u %u:%u\n", e.type, e.mode & kMaxModeBits, e.uid,
                    e.gid, e.major, e.minor);
    } else {
      std::snprintf(fields, sizeof fields, " %c %04o %u:%u -\n", e.type, e.mode & kMaxModeBits, e.uid, e.gid);
    }
    out += EscapePath(e.path) + fields;
  }
  return out;
}

platform::Status ParseCramfsManifest(const std::string& text, const std::string& shownPath,
                                     std::vector<CramfsSpecialEntry>* entries) {
  entries->clear();
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    auto bad = [&](const std::string& what) {
      return platform::Status::Fail(shownPath + " line " + std::to_string(number) + ": " + what);
    };
    std::vector<std::string> fields;
    std::istringstream words(line);
    for (std::string w; words >> w;) fields.push_back(w);
    if (fields.size() != 5 || line.find('\t') != std::string::npos)
      return bad("expected PATH TYPE MODE UID:GID DEVICE");
    CramfsSpecialEntry e;
    if (!UnescapePath(fields[0], &e.path) || !IsTreePath(e.path)) return bad("bad path " + fields[0]);
    if (fields[1].size() != 1 || CramfsSpecialTypeBits(fields[1][0]) == 0)
      return bad("type must be c, b, p or s");
    e.type = fields[1][0];
    if (!ParseManifestNumber(fields[2], 8, kMaxModeBits, &e.mode)) return bad("bad mode " + fields[2]);
    if (!ParsePair(fields[3], 0xFFFFFFFFu, &e.uid, &e.gid)) return bad("bad owner " + fields[3]);
    if (IsDeviceType(e.type)) {
      if (!ParsePair(fields[4], 0xFFFFFFFFu, &e.major, &e.minor)) return bad("bad device number " + fields[4]);
    } else if (fields[4] != "-") {
      return bad("a FIFO or socket has no device number");
    }
    entries->push_back(std::move(e));
  }
  return platform::Status::Ok();
}

platform::Status ReadCramfsManifest(const std::string& path, std::vector<CramfsSpecialEntry>* entries) {
  std::string text;
  if (platform::Status read = platform::ReadFileText(path, &text); !read) return read;
  return ParseCramfsManifest(text, path, entries);
}

CramfsSpecialEntry SpecialEntryOf(const SourceEntry& e) {
  CramfsSpecialEntry s = SharedFieldsOf<CramfsSpecialEntry>(e);
  s.type = e.type;
  return s;
}

SourceEntry SourceEntryOf(const CramfsSpecialEntry& e) {
  SourceEntry s = SharedFieldsOf<SourceEntry>(e);
  s.type = e.type;
  s.attributesKnown = true;
  return s;
}

platform::Status WriteSkippedSpecials(const std::string& path, const std::vector<CramfsSpecialEntry>& entries) {
  if (platform::Status written = platform::WriteFileAtomic(path, FormatCramfsManifest(entries)); !written)
    return written;
  platform::WarningOutput("%zu device nodes, FIFOs or sockets not created, listed in %s\n", entries.size(),
                          path.c_str());
  return platform::Status::Ok();
}

platform::Status DropCramfsManifestEntries(const std::string& path, const std::string& relative) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return platform::Status::Ok();
  std::vector<CramfsSpecialEntry> entries;
  if (platform::Status read = ReadCramfsManifest(path, &entries); !read) return read;
  std::string prefix = relative;
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  const std::size_t before = entries.size();
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [&](const CramfsSpecialEntry& e) {
                                 return prefix.empty() || e.path == prefix || e.path.rfind(prefix + "/", 0) == 0;
                               }),
                entries.end());
  if (entries.size() == before) return platform::Status::Ok();
  return platform::WriteFileAtomic(path, FormatCramfsManifest(entries));
}

}  // namespace fsimage
