#include "firmsmith/check/package_diff.h"

#include <json/writer.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "firmsmith/check/package_inspect.h"
#include "firmsmith/check/partition_files.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/package/layout/install_desc.h"

namespace check {
namespace {

// What a file of a partition tree is, for telling whether it changed.
struct TreeFile {
  std::uint64_t size = 0;
  std::string kind;  // EntryKind()
};

std::string LinkTarget(const std::string& path) {
  std::string target(4096, '\0');
  const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
  target.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return target;
}

std::string DeviceKind(const char* type, unsigned major, unsigned minor) {
  return std::string(type) + " " + std::to_string(major) + ":" + std::to_string(minor);
}

// "file", "link -> TARGET", "char M:N", "block M:N", "fifo" or "socket".
std::string EntryKind(const std::string& path, const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "link -> " + LinkTarget(path);
  if (S_ISCHR(st.st_mode)) return DeviceKind("char", major(st.st_rdev), minor(st.st_rdev));
  if (S_ISBLK(st.st_mode)) return DeviceKind("block", major(st.st_rdev), minor(st.st_rdev));
  if (S_ISFIFO(st.st_mode)) return "fifo";
  if (S_ISSOCK(st.st_mode)) return "socket";
  return "file";
}

// Device nodes, FIFOs and sockets an unprivileged cramfs extraction left
// to its manifest beside the tree.
void AddManifestEntries(const std::string& root, std::map<std::string, TreeFile>* files) {
  std::vector<fsimage::CramfsSpecialEntry> specials;
  const std::string manifest = fsimage::CramfsManifestPath(root);
  if (!platform::FileExists(manifest) || !fsimage::ReadCramfsManifest(manifest, &specials)) return;
  for (const fsimage::CramfsSpecialEntry& e : specials) {
    std::string kind = e.type == 'p' ? "fifo" : "socket";
    if (e.type == 'c' || e.type == 'b') kind = DeviceKind(e.type == 'c' ? "char" : "block", e.major, e.minor);
    (*files)[e.path] = TreeFile{0, kind};
  }
}

void WalkTree(const std::string& root, const std::string& relative, int depth,
              std::map<std::string, TreeFile>* files) {
  if (depth > 256) return;
  const std::string folder = relative.empty() ? root : platform::JoinPath(root, relative);
  std::vector<platform::FolderEntry> entries;
  platform::ListFolder(folder, &entries);
  for (const platform::FolderEntry& e : entries) {
    const std::string rel = relative.empty() ? e.name : relative + "/" + e.name;
    struct stat st {};
    if (::lstat(platform::JoinPath(root, rel).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      WalkTree(root, rel, depth + 1, files);
    } else {
      const std::uint64_t size = S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
      (*files)[rel] = TreeFile{size, EntryKind(platform::JoinPath(root, rel), st)};
    }
  }
}

bool SameFileContent(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  char ba[65536], bb[65536];
  while (true) {
    fa.read(ba, sizeof ba);
    fb.read(bb, sizeof bb);
    const std::streamsize na = fa.gcount(), nb = fb.gcount();
    if (na != nb || std::char_traits<char>::compare(ba, bb, static_cast<std::size_t>(na)) != 0) return false;
    if (na == 0) return true;
  }
}

std::vector<FileChange> CompareTrees(const std::string& rootA, const std::string& rootB) {
  std::map<std::string, TreeFile> a, b;
  WalkTree(rootA, "", 0, &a);
  WalkTree(rootB, "", 0, &b);
  AddManifestEntries(rootA, &a);
  AddManifestEntries(rootB, &b);
  std::vector<FileChange> changes;
  for (const auto& [path, fa] : a) {
    const auto it = b.find(path);
    if (it == b.end()) {
      changes.push_back({path, Change::kRemoved, fa.size, 0, fa.kind, ""});
      continue;
    }
    const TreeFile& fb = it->second;
    const std::string pa = platform::JoinPath(rootA, path), pb = platform::JoinPath(rootB, path);
    // A link's kind holds its target: a changed target is a change.
    bool same = fa.kind == fb.kind && fa.size == fb.size;
    if (same && fa.kind == "file") same = SameFileContent(pa, pb);
    if (!same) changes.push_back({path, Change::kChanged, fa.size, fb.size, fa.kind, fb.kind});
  }
  for (const auto& [path, fb] : b)
    if (!a.count(path)) changes.push_back({path, Change::kAdded, 0, fb.size, "", fb.kind});
  return changes;
}

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

void DiffDesc(const PackageReport& a, const PackageReport& b, PackageDiff* diff) {
  if (a.flashImage || b.flashImage) return;
  if (!a.descValid || !b.descValid) {
    // Not both JSON: the texts stand for themselves.
    const std::string ta = a.descPresent ? (a.descValid ? Compact(a.desc) : "(not JSON)") : "";
    const std::string tb = b.descPresent ? (b.descValid ? Compact(b.desc) : "(not JSON)") : "";
    if (ta != tb)
      diff->desc.push_back({package::kInstallDescName,
                            ta.empty() ? Change::kAdded : tb.empty() ? Change::kRemoved : Change::kChanged, ta, tb});
    return;
  }
  for (const std::string& member : a.desc.getMemberNames()) {
    if (!b.desc.isMember(member)) {
      diff->desc.push_back({member, Change::kRemoved, Compact(a.desc[member]), ""});
    } else if (!(a.desc[member] == b.desc[member])) {
      diff->desc.push_back({member, Change::kChanged, Compact(a.desc[member]), Compact(b.desc[member])});
    }
  }
  for (const std::string& member : b.desc.getMemberNames())
    if (!a.desc.isMember(member)) diff->desc.push_back({member, Change::kAdded, "", Compact(b.desc[member])});
}

EntryChange NewEntryChange(const std::string& name, Change kind, std::uint64_t sizeA, std::uint64_t sizeB) {
  EntryChange change;
  change.name = name;
  change.change = kind;
  change.sizeA = sizeA;
  change.sizeB = sizeB;
  return change;
}

// True when both entries hold the same bytes. An image entry of a package
// was inflated into its header bytes and payload, never kept whole.
bool SameEntry(const PackageReport& ra, const ImageReport& a, const PackageReport& rb, const ImageReport& b) {
  if (a.size != b.size) return false;
  if (ra.flashImage) return SameFileContent(a.payloadPath, b.payloadPath);
  if (a.image != b.image) return false;
  if (a.image) return a.headerBytes == b.headerBytes && SameFileContent(a.payloadPath, b.payloadPath);
  return SameFileContent(platform::JoinPath(ra.unpackedFolder, a.name), platform::JoinPath(rb.unpackedFolder, b.name));
}

void DiffEntry(const PackageReport& ra, const ImageReport& a, const PackageReport& rb, const ImageReport& b,
               const std::string& scratch, int index, PackageDiff* diff) {
  if (SameEntry(ra, a, rb, b)) return;
  EntryChange change = NewEntryChange(a.name, Change::kChanged, a.size, b.size);
  if (!a.payloadPath.empty() && !b.payloadPath.empty() && a.payloadSize == b.payloadSize &&
      SameFileContent(a.payloadPath, b.payloadPath)) {
    change.headerOnly = true;
  } else if (a.fsKind != b.fsKind) {
    change.note = std::string("file system ") + ImageKindName(a.fsKind) + " became " + ImageKindName(b.fsKind);
  } else if (a.fsKind == 0) {
    change.note = "no file system to compare";
  } else {
    const std::string ta = platform::JoinPath(scratch, std::to_string(index) + "a");
    const std::string tb = platform::JoinPath(scratch, std::to_string(index) + "b");
    std::string error;
    if (ExtractPayload(a, ta, &error) && ExtractPayload(b, tb, &error)) {
      change.filesCompared = true;
      change.files = CompareTrees(ta, tb);
    } else {
      change.note = error;
    }
  }
  diff->entries.push_back(std::move(change));
}

// One changed thing (entry or file) with both sizes, for JSON and text.
Json::Value ChangeJson(const char* key, const std::string& name, Change change, std::uint64_t sizeA,
                       std::uint64_t sizeB) {
  Json::Value item;
  item[key] = name;
  item["change"] = ChangeName(change);
  item["sizeA"] = Json::UInt64(sizeA);
  item["sizeB"] = Json::UInt64(sizeB);
  return item;
}
void SizesText(std::ostream& out, Change change, std::uint64_t sizeA, std::uint64_t sizeB) {
  if (change == Change::kAdded) out << " (" << sizeB << " bytes)";
  else if (change == Change::kRemoved) out << " (" << sizeA << " bytes)";
  else out << " (" << sizeA << " -> " << sizeB << " bytes)";
}

}  // namespace

const char* ChangeName(Change change) {
  switch (change) {
    case Change::kAdded: return "added";
    case Change::kRemoved: return "removed";
    default: return "changed";
  }
}

bool DiffPackages(const std::string& pathA, const std::string& pathB, const products::ProductProfile* product,
                  PackageDiff* diff, std::string* error) {
  try {
    *diff = PackageDiff();
    PackageReport a, b;
    if (!InspectPackage(pathA, product, &a, error) || !InspectPackage(pathB, product, &b, error)) return false;
    if (a.flashImage != b.flashImage) return *error = "cannot compare a flash image with an upgrade package", false;
    platform::TempFolder scratch;
    if (platform::Status made = scratch.Create(std::string(), "firmsmith-check-"); !made)
      return *error = made.message, false;
    DiffDesc(a, b, diff);
    std::map<std::string, const ImageReport*> inB;
    for (const ImageReport& e : b.entries) inB[e.name] = &e;
    int index = 0;
    for (const ImageReport& e : a.entries) {
      const auto it = inB.find(e.name);
      if (it == inB.end()) {
        diff->entries.push_back(NewEntryChange(e.name, Change::kRemoved, e.size, 0));
        continue;
      }
      DiffEntry(a, e, b, *it->second, scratch.path(), index++, diff);
      inB.erase(it);
    }
    for (const ImageReport& e : b.entries) {
      if (inB.count(e.name)) diff->entries.push_back(NewEntryChange(e.name, Change::kAdded, 0, e.size));
    }
    return true;
  } catch (const std::exception& e) {
    *error = std::string("cannot compare: ") + e.what();
    return false;
  }
}

Json::Value DiffJson(const PackageDiff& diff) {
  Json::Value root(Json::objectValue);
  Json::Value desc(Json::arrayValue);
  for (const DescChange& d : diff.desc) {
    Json::Value item;
    item["member"] = d.member;
    item["change"] = ChangeName(d.change);
    item["a"] = d.a;
    item["b"] = d.b;
    desc.append(item);
  }
  root["installDesc"] = desc;
  Json::Value entries(Json::arrayValue);
  for (const EntryChange& e : diff.entries) {
    Json::Value item = ChangeJson("name", e.name, e.change, e.sizeA, e.sizeB);
    if (e.change == Change::kChanged) {
      item["headerOnly"] = e.headerOnly;
      item["filesCompared"] = e.filesCompared;
      if (!e.note.empty()) item["note"] = e.note;
      Json::Value files(Json::arrayValue);
      for (const FileChange& f : e.files) {
        Json::Value file = ChangeJson("path", f.path, f.change, f.sizeA, f.sizeB);
        file["kindA"] = f.kindA;
        file["kindB"] = f.kindB;
        files.append(file);
      }
      item["files"] = files;
    }
    entries.append(item);
  }
  root["entries"] = entries;
  return root;
}

std::string DiffText(const PackageDiff& diff) {
  std::ostringstream out;
  for (const DescChange& d : diff.desc) {
    out << "InstallDesc " << d.member << ": " << ChangeName(d.change);
    if (d.change != Change::kAdded) out << "\n  - " << d.a;
    if (d.change != Change::kRemoved) out << "\n  + " << d.b;
    out << "\n";
  }
  for (const EntryChange& e : diff.entries) {
    out << e.name << ": " << ChangeName(e.change);
    SizesText(out, e.change, e.sizeA, e.sizeB);
    if (e.headerOnly) out << ", header only";
    if (!e.note.empty()) out << ", " << e.note;
    out << "\n";
    for (const FileChange& f : e.files) {
      out << "  " << ChangeName(f.change) << " " << f.path;
      SizesText(out, f.change, f.sizeA, f.sizeB);
      // Anything but a regular file names what it is (a link its target).
      if (f.kindA != "file" || f.kindB != "file") {
        if (f.change == Change::kAdded) out << " [" << f.kindB << "]";
        else if (f.change == Change::kRemoved) out << " [" << f.kindA << "]";
        else out << " [" << f.kindA << " => " << f.kindB << "]";
      }
      out << "\n";
    }
  }
  return out.str();
}

}  // namespace check
