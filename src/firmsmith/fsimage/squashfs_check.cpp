#include "firmsmith/fsimage/squashfs_check.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "common/platform/fd.h"
#include "common/platform/process.h"
#include "firmsmith/fsimage/external_tools.h"
#include "firmsmith/fsimage/manifest_text.h"

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

// A decimal number that fills `text`.
bool Number(const std::string& text, std::uint32_t* value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > 0xffffffffULL) return false;
  *value = static_cast<std::uint32_t>(v);
  return true;
}

// The permission bits of an "ls -l" mode such as "rwsr-xr-t".
bool PermissionBits(const std::string& text, std::uint32_t* mode) {
  if (text.size() != 9) return false;
  *mode = 0;
  static constexpr std::uint32_t kSpecial[3] = {S_ISUID, S_ISGID, S_ISVTX};
  for (int who = 0; who < 3; ++who) {
    const int shift = 6 - 3 * who;
    const char r = text[3 * who], w = text[3 * who + 1], x = text[3 * who + 2];
    if ((r != 'r' && r != '-') || (w != 'w' && w != '-')) return false;
    if (r == 'r') *mode |= 4u << shift;
    if (w == 'w') *mode |= 2u << shift;
    const char set = who == 2 ? 't' : 's';
    if (x == 'x' || x == set) *mode |= 1u << shift;
    if (x == set || x == set - ('a' - 'A')) *mode |= kSpecial[who];
    else if (x != 'x' && x != '-') return false;
  }
  return true;
}

bool ParseLine(const std::string& line, SourceEntry* entry, bool* isRoot) {
  std::size_t at = 0;
  const std::string mode = NextWord(line, &at);
  const std::string owner = NextWord(line, &at);
  const std::size_t slash = owner.find('/');
  if (mode.size() != 10 || slash == std::string::npos) return false;
  entry->type = mode[0];
  if (std::string("-dlcbps").find(entry->type) == std::string::npos) return false;
  if (!PermissionBits(mode.substr(1), &entry->mode) || !Number(owner.substr(0, slash), &entry->uid) ||
      !Number(owner.substr(slash + 1), &entry->gid))
    return false;
  entry->attributesKnown = true;
  std::string size = NextWord(line, &at);
  if (entry->type == kTypeCharDevice || entry->type == kTypeBlockDevice) {
    // "major, minor", the minor possibly after blanks.
    if (size.empty() || size.back() != ',') return false;
    size.pop_back();
    if (!Number(size, &entry->major) || !Number(NextWord(line, &at), &entry->minor)) return false;
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
    // "NAME -> TARGET", where either may hold " -> " itself: the size
    // column of a link is its target's length, which makes the split exact.
    constexpr std::string_view kArrow = " -> ";
    if (entry->size > name.size() || name.size() - entry->size < kArrow.size() + 1 ||
        name.compare(name.size() - entry->size - kArrow.size(), kArrow.size(), kArrow) != 0)
      return false;
    entry->linkTarget = name.substr(name.size() - entry->size);
    name.resize(name.size() - entry->size - kArrow.size());
  }
  const std::string prefix = std::string(kListingRoot) + "/";
  *isRoot = name == kListingRoot;
  if (*isRoot) return true;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  entry->path = name.substr(prefix.size());
  // The path comes from the image: one that could leave the tree or that no
  // manifest can hold (a NUL byte) is no line unsquashfs prints.
  return IsTreePath(entry->path);
}

}  // namespace

bool ParseSquashfsListing(const std::string& listing, std::vector<SourceEntry>* entries,
                          std::string* bad, SourceEntry* root) {
  entries->clear();
  bool rootSeen = false;
  std::size_t begin = 0;
  while (begin < listing.size()) {
    std::size_t end = listing.find('\n', begin);
    if (end == std::string::npos) end = listing.size();
    const std::string line = listing.substr(begin, end - begin);
    begin = end + 1;
    if (line.empty()) continue;
    SourceEntry entry;
    bool isRoot = false;
    // The root is one folder, listed once.
    if (!ParseLine(line, &entry, &isRoot) || (isRoot && (rootSeen || entry.type != kTypeFolder))) {
      *bad = line;
      return false;
    }
    if (!isRoot) {
      entries->push_back(entry);
    } else {
      rootSeen = true;
      if (root != nullptr) *root = entry;
    }
  }
  if (root != nullptr && !rootSeen) {
    *bad = std::string("no line for ") + kListingRoot;
    return false;
  }
  return true;
}

platform::Status ListSquashfsImage(const std::string& imagePath, std::vector<SourceEntry>* entries,
                                   SourceEntry* root) {
  const std::string program = platform::FindTool(kUnsquashfsTool);
  if (program.empty())
    return platform::Status::Fail(std::string("cannot find the tool ") + kUnsquashfsTool +
                                  " in the program folder or on PATH");
  // The listing of a big partition is far longer than the kept chatter of a
  // tool: it goes to a file in memory, whole.
  platform::UniqueFd listing(::memfd_create("unsquashfs-listing", MFD_CLOEXEC));
  if (!listing.valid()) return platform::FailErrno("cannot make a listing file for " + imagePath);
  const platform::ProcessResult run = platform::RunProgramWithOutputTo(program, {"-lln", imagePath}, listing.get());
  if (!run.started)
    return platform::Status::Fail("cannot start the tool " + program + ": " + run.error);
  if (run.exitStatus != 0)
    return platform::Status::Fail(imagePath + ": unsquashfs -lln failed with exit status " +
                                  std::to_string(run.exitStatus) + ": " +
                                  platform::LastLines(run.output, kReasonLines));
  struct stat st {};
  if (::fstat(listing.get(), &st) != 0) return platform::FailErrno("cannot read the listing of " + imagePath);
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  if (platform::ReadFullAt(listing.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
    return platform::FailErrno("cannot read the listing of " + imagePath);
  std::string bad;
  if (!ParseSquashfsListing(text, entries, &bad, root))
    return platform::Status::Fail(imagePath + ": unsquashfs listed an unreadable line: " + bad);
  return platform::Status::Ok();
}

platform::Status CheckSquashfsImage(const std::string& imagePath, const std::string& sourceFolder,
                                    std::vector<SourceEntry>* listed) {
  std::vector<SourceEntry> entries;
  if (platform::Status read = ListSquashfsImage(imagePath, &entries); !read) return read;
  if (listed != nullptr) *listed = entries;
  if (sourceFolder.empty()) return platform::Status::Ok();
  std::vector<SourceEntry> source;
  if (platform::Status read = ReadSourceTree(sourceFolder, &source); !read) return read;
  return CompareImageWithSource(imagePath, entries, source);
}

}  // namespace fsimage
