#include "firmsmith/products/product_profile.h"

#include <cstdio>

#include "common/platform/files.h"
#include "common/platform/profile.h"
#include "common/platform/progdir.h"

namespace products {
namespace {

// Values are read into 32-byte buffers: at most 31 characters survive.
constexpr std::size_t kValueBuffer = 32;

class ProductReader {
 public:
  explicit ProductReader(const std::string& path) : profile_(platform::Profile::Load(path)) {}

  // Missing and empty read alike: both are "not given".
  std::string Value(const char* section, const char* key) const {
    return profile_.Get(section, key, "", kValueBuffer);
  }

  // "0x%x": the prefix is matched literally. A value that does not scan
  // leaves the member as it was (0 for a fresh record).
  void ScanHex(const char* section, const char* key, std::uint32_t* out) const {
    std::string v = Value(section, key);
    unsigned int n = 0;
    if (!v.empty() && std::sscanf(v.c_str(), "0x%x", &n) == 1) *out = n;
  }

  void ScanDecimal(const char* section, const char* key, std::int32_t* out) const {
    std::string v = Value(section, key);
    int n = 0;
    if (!v.empty() && std::sscanf(v.c_str(), "%d", &n) == 1) *out = n;
  }

  // fs with "cramfs" as the default; names compare exactly.
  int Fs(const char* section, bool knowsExt4) const {
    std::string v = Value(section, "fs");
    if (v == "squashfs") return kFsSquashfs;
    if (v == "jffs2") return kFsJffs2;
    if (knowsExt4 && v == "ext4") return kFsExt4;
    return kFsCramfs;
  }

  void Partition(const char* section, bool hasIgnore, PartitionSpec* spec) const {
    ScanHex(section, "start", &spec->start);
    ScanHex(section, "end", &spec->end);
    spec->fs = Fs(section, true);
    if (hasIgnore) spec->ignore = Value(section, "ignore");
  }

  // The first partition: WEB, with 360USER filling the keys WEB lacks.
  void FirstPartition(ProductProfile* p) const {
    if (!Value("WEB", "start").empty()) {
      p->webName = "web";
      ScanHex("WEB", "start", &p->web.start);
    } else if (!Value("360USER", "start").empty()) {
      p->webName = "360user";
      ScanHex("360USER", "start", &p->web.start);
    }
    if (!Value("WEB", "end").empty())
      ScanHex("WEB", "end", &p->web.end);
    else
      ScanHex("360USER", "end", &p->web.end);
    p->web.ignore = Value("WEB", "ignore");
    int fs = Fs("WEB", true);
    // Only squashfs, jffs2 and ext4 in WEB decide; anything else asks
    // 360USER, which knows no ext4.
    p->web.fs = fs != kFsCramfs ? fs : Fs("360USER", false);
  }

 private:
  platform::Profile profile_;
};

}  // namespace

ProductProfile LoadProductProfile(const std::string& path) {
  ProductReader r(path);
  ProductProfile p;
  p.name = r.Value("Product", "name");
  p.vendor = r.Value("Product", "vendor");
  p.hardware = r.Value("Product", "hardware");
  r.FirstPartition(&p);
  r.Partition("LOGO", true, &p.logo);
  r.Partition("CUSTOM", true, &p.custom);
  r.Partition("USER", true, &p.user);
  r.Partition("OEMAPP", true, &p.oemApp);
  r.Partition("OEMYLK", true, &p.oemYlk);
  r.Partition("ROMFS", true, &p.romfs);
  r.Partition("MTD", false, &p.mtd);
  r.Partition("UBOOTLOGO", false, &p.ubootLogo);
  r.Partition("ROMFS2", false, &p.romfs2);
  r.Partition("PARAM", false, &p.param);
  r.ScanDecimal("LOGO", "logo_width", &p.logoWidth);
  r.ScanDecimal("LOGO", "logo_height", &p.logoHeight);
  return p;
}

platform::Status ProductFilePaths(const std::string& programDirectory,
                                  std::vector<std::string>* paths) {
  paths->clear();
  const std::string folder = platform::JoinPath(programDirectory, "Products");
  std::vector<platform::FolderEntry> entries;
  const platform::Status listed = platform::ListFolder(folder, &entries);
  for (const platform::FolderEntry& e : entries) {
    if (e.isDirectory) continue;
    const std::string path = platform::JoinPath(folder, e.name);
    if (path.find(".ini") == std::string::npos) continue;
    paths->push_back(path);
  }
  return listed;
}

ProductList LoadProductProfiles(const std::string& programDirectory) {
  ProductList list;
  std::vector<std::string> paths;
  // No Products folder: no products, as the product tree then shows.
  ProductFilePaths(programDirectory, &paths);
  for (const std::string& path : paths) list.push_back(LoadProductProfile(path));
  return list;
}

ProductList LoadProductProfiles() { return LoadProductProfiles(platform::GetProgramDirectory()); }

const char* FsTypeName(int fs) {
  switch (fs) {
    case kFsSquashfs:
      return "squashfs";
    case kFsJffs2:
      return "jffs2";
    case kFsExt4:
      return "ext4";
    default:
      return "cramfs";
  }
}

std::vector<NamedPartition> NamedPartitions(const ProductProfile& p) {
  return {{"WEB", &p.web},         {"LOGO", &p.logo},         {"CUSTOM", &p.custom},
          {"USER", &p.user},       {"OEMAPP", &p.oemApp},     {"OEMYLK", &p.oemYlk},
          {"ROMFS", &p.romfs},     {"MTD", &p.mtd},           {"UBOOTLOGO", &p.ubootLogo},
          {"ROMFS2", &p.romfs2},   {"PARAM", &p.param}};
}

}  // namespace products
