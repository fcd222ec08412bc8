#include "firmsmith/fsimage/jffs2_devtable.h"

#include <cstdio>
#include <map>

namespace fsimage {
namespace {

constexpr std::uint32_t kMaxModeBits = 07777;
// mkfs.jffs2 keeps a device number as 8 bits of major and 8 of minor.
constexpr std::uint32_t kMaxDevicePart = 0xFF;
// A jffs2 inode holds 16-bit owners.
constexpr std::uint32_t kMaxOwner = 0xFFFF;
// mkfs.jffs2 reads a name into a buffer of this many bytes, leading "/" and
// terminating NUL included.
constexpr std::size_t kMaxNameBytes = 1022;

bool SayableName(const std::string& path) {
  if (path.size() > kMaxNameBytes) return false;
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool SayableOwner(std::uint32_t uid, std::uint32_t gid) { return uid <= kMaxOwner && gid <= kMaxOwner; }

std::string Line(const std::string& path, char type, std::uint32_t mode, std::uint32_t uid, std::uint32_t gid,
                 std::uint32_t major, std::uint32_t minor) {
  char fields[96];
  std::snprintf(fields, sizeof fields, " %c %04o %u %u %u %u 0 0 0\n", type, mode & kMaxModeBits, uid, gid, major,
                minor);
  return "/" + path + fields;
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

platform::Status PlanJffs2Build(const std::vector<SourceEntry>& source,
                                const std::vector<CramfsSpecialEntry>& specials, const std::string& specialsShown,
                                const SquashfsManifest* attributes, Jffs2BuildPlan* plan) {
  *plan = Jffs2BuildPlan();
  std::map<std::string, const SquashfsManifestEntry*> known;
  if (attributes)
    for (const SquashfsManifestEntry& m : attributes->entries)
      if (m.kind == 'm') known[m.path] = &m;
  std::map<std::string, char> types;
  for (const SourceEntry& e : source) types[e.path] = e.type;

  for (const SourceEntry& e : source) {
    SourceEntry want = e;
    const auto it = known.find(e.path);
    const bool settable = e.type == kTypeFile || e.type == kTypeFolder || e.type == kTypeLink;
    if (it != known.end() && settable) {
      const SquashfsManifestEntry& m = *it->second;
      if (SayableName(e.path) && SayableOwner(m.uid, m.gid)) {
        const char type = e.type == kTypeFolder ? 'd' : e.type == kTypeLink ? 'l' : 'f';
        plan->deviceTable += Line(e.path, type, m.mode, m.uid, m.gid, 0, 0);
        want.mode = m.mode & kMaxModeBits;
        want.uid = m.uid;
        want.gid = m.gid;
        want.attributesKnown = true;
      } else {
        plan->unset.push_back(e.path);
      }
    }
    plan->expected.push_back(want);
  }

  for (const CramfsSpecialEntry& s : specials) {
    const std::string shown = specialsShown + ": " + s.path;
    if (s.type == kTypeSocket) {
      plan->sockets.push_back(s.path);
      continue;
    }
    const std::string parent = ParentOf(s.path);
    if (!parent.empty() && (types.count(parent) == 0 || types[parent] != kTypeFolder))
      return platform::Status::Fail(shown + ": its folder is not in the source tree");
    if (types.count(s.path) != 0)
      return platform::Status::Fail(shown + ": the source tree already holds an entry of that name");
    if (!SayableName(s.path))
      return platform::Status::Fail(shown + ": a name with blanks or control characters cannot be given to mkfs.jffs2");
    if (!SayableOwner(s.uid, s.gid))
      return platform::Status::Fail(shown + ": owner " + std::to_string(s.uid) + ":" + std::to_string(s.gid) +
                                    " does not fit jffs2's 16 bits");
    const bool device = s.type == kTypeCharDevice || s.type == kTypeBlockDevice;
    if (device && (s.major > kMaxDevicePart || s.minor > kMaxDevicePart))
      return platform::Status::Fail(shown + ": device number " + std::to_string(s.major) + ":" +
                                    std::to_string(s.minor) + " does not fit mkfs.jffs2's 8:8 bits");
    const SourceEntry want = SourceEntryOf(s);
    plan->deviceTable += Line(want.path, want.type, want.mode, want.uid, want.gid, want.major, want.minor);
    plan->expected.push_back(want);
    types[s.path] = s.type;
  }
  return platform::Status::Ok();
}

}  // namespace fsimage
