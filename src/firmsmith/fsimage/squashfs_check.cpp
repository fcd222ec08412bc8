#include "firmsmith/fsimage/squashfs_check.h"

#include <cstdlib>

#include "common/platform/process.h"
#include "firmsmith/fsimage/external_tools.h"

namespace fsimage {
namespace {

// unsquashfs puts every name below this folder.
constexpr const char kListingRoot[] = "squashfs-root";
constexpr int kReasonLines = 3;

// The next blank-separated word of `line` from `*at`; "" at the end.
std::string NextWord(const std::string& line, std::size_t* at) {
  std::size_t begin = line.find_first_not_of(' ', *at);
  if (begin == std::string::npos) {
    *at = line.size();
    return std::string();
  }
  std::size_t end = line.find(' ', begin);
  if (end == std::string::npos) end = line.size();
  *at = end;
  return line.substr(begin, end - begin);
}

// Permission bits of an "ls -l" mode text ("drwsr-xr-t"); the letters
// s, S, t and T carry the set-id and sticky bits.
std::uint32_t PermissionsOfModeText(const std::string& mode) {
  std::uint32_t bits = 0;
  for (int who = 0; who < 3; ++who) {
    const char* p = mode.c_str() + 1 + who * 3;
    const int shift = 6 - who * 3;
    if (p[0] == 'r') bits |= 4u << shift;
    if (p[1] == 'w') bits |= 2u << shift;
    if (p[2] == 'x' || p[2] == 's' || p[2] == 't') bits |= 1u << shift;
    if (p[2] == 's' || p[2] == 'S') bits |= who == 0 ? 04000u : 02000u;
    if ((p[2] == 't' || p[2] == 'T') && who == 2) bits |= 01000u;
  }
  return bits;
}

bool ParseLine(const std::string& line, SourceEntry* entry, bool* isRoot) {
  std::size_t at = 0;
  const std::string mode = NextWord(line, &at);
  const std::string owner = NextWord(line, &at);
  if (mode.size() < 10 || owner.find('/') == std::string::npos) return false;
  entry->type = mode[0];
  if (std::string("-dlcbps").find(entry->type) == std::string::npos) return false;
  entry->mode = PermissionsOfModeText(mode);
  entry->uid = static_cast<std::uint32_t>(std::strtoul(owner.c_str(), nullptr, 10));
  entry->gid = static_cast<std::uint32_t>(std::strtoul(owner.c_str() + owner.find('/') + 1, nullptr, 10));
  std::string size = NextWord(line, &at);
  if (entry->type == kTypeCharDevice || entry->type == kTypeBlockDevice) {
    // "major, minor", the minor possibly after blanks.
    if (size.empty() || size.back() != ',') return false;
    const std::string minor = NextWord(line, &at);
    if (minor.empty()) return false;
    entry->major = static_cast<std::uint32_t>(std::strtoul(size.c_str(), nullptr, 10));
    entry->minor = static_cast<std::uint32_t>(std::strtoul(minor.c_str(), nullptr, 10));
    entry->size = 0;
  } else {
    char* end = nullptr;
    entry->size = std::strtoull(size.c_str(), &end, 10);
    if (size.empty() || *end != '\0') return false;
  }
  const std::string date = NextWord(line, &at);
  const std::string time = NextWord(line, &at);
  if (date.size() != 10 || time.size() != 5 || at >= line.size()) return false;
  std::string name = line.substr(at + 1);
  if (entry->type == kTypeLink) {
    const std::size_t arrow = name.find(" -> ");
    if (arrow == std::string::npos) return false;
    entry->linkTarget = name.substr(arrow + 4);
    name.resize(arrow);
  }
  const std::string prefix = std::string(kListingRoot) + "/";
  *isRoot = name == kListingRoot;
  if (*isRoot) return true;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  entry->path = name.substr(prefix.size());
  return !entry->path.empty();
}

}  // namespace

bool ParseSquashfsListing(const std::string& listing, std::vector<SourceEntry>* entries,
                          std::string* bad) {
  entries->clear();
  std::size_t begin = 0;
  while (begin < listing.size()) {
    std::size_t end = listing.find('\n', begin);
    if (end == std::string::npos) end = listing.size();
    const std::string line = listing.substr(begin, end - begin);
    begin = end + 1;
    if (line.empty()) continue;
    SourceEntry entry;
    bool isRoot = false;
    if (!ParseLine(line, &entry, &isRoot)) {
      *bad = line;
      return false;
    }
    if (!isRoot) entries->push_back(entry);
  }
  return true;
}

platform::Status CheckSquashfsImage(const std::string& imagePath, const std::string& sourceFolder,
                                    std::vector<SourceEntry>* listed) {
  const std::string program = platform::FindTool(kUnsquashfsTool);
  if (program.empty())
    return platform::Status::Fail(std::string("cannot find the tool ") + kUnsquashfsTool +
                                  " in the program folder or on PATH");
  const platform::ProcessResult run = platform::RunProgram(program, {"-lln", imagePath});
  if (!run.started)
    return platform::Status::Fail("cannot start the tool " + program + ": " + run.error);
  if (run.exitStatus != 0)
    return platform::Status::Fail(imagePath + ": unsquashfs cannot list it (exit status " +
                                  std::to_string(run.exitStatus) + "): " +
                                  platform::LastLines(run.output, kReasonLines));
  std::vector<SourceEntry> entries;
  std::string bad;
  if (!ParseSquashfsListing(run.output, &entries, &bad))
    return platform::Status::Fail(imagePath + ": unsquashfs listed an unreadable line: " + bad);
  if (listed != nullptr) *listed = entries;
  if (sourceFolder.empty()) return platform::Status::Ok();
  std::vector<SourceEntry> source;
  if (platform::Status read = ReadSourceTree(sourceFolder, &source); !read) return read;
  return CompareImageWithSource(imagePath, entries, source);
}

}  // namespace fsimage
