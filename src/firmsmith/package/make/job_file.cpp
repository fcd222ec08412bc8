#include "firmsmith/package/make/job_file.h"

#include <algorithm>

#include <cstdlib>
#include <strings.h>

#include "common/platform/files.h"
#include "common/platform/profile.h"
#include "common/platform/file_ops.h"
#include "firmsmith/package/layout/input_probe.h"
#include "firmsmith/package/make/make_steps.h"

namespace package {
namespace {

struct SlotKey {
  const char* key;
  int slot;
};
// The partition rows of the dialog, by their job-file keys.
constexpr SlotKey kPartitionRows[] = {
    {"web", kSlotWeb},   {"logo", kSlotLogo}, {"user", kSlotUser}, {"romfs", kSlotRomfs},
    {"custom", kSlotCustom}, {"app", kSlotApp}, {"ylk", kSlotYlk},
};

bool SameText(const std::string& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0; }

// "0", "false", "no" and "off" clear a switch; any other present value sets it.
bool SwitchValue(const platform::Profile& job, const char* section, const char* key) {
  if (!job.Has(section, key)) return false;
  const std::string v = job.Get(section, key);
  return !(v == "0" || SameText(v, "false") || SameText(v, "no") || SameText(v, "off"));
}

// The dialog's port rule: out-of-range numbers are pulled into 1..65535.
std::string ClampPort(const std::string& text) {
  if (text.empty()) return text;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < 1) return "1";
  if (value > 65535) return "65535";
  return text;
}

class JobReader {
 public:
  JobReader(const std::string& path, const std::string& programDirectory, std::string* error)
      : job_(platform::Profile::Load(path)),
        folder_(platform::ParentFolder(path)),
        programDirectory_(programDirectory),
        error_(error) {}

  bool Read(const products::ProductList& products, JobFile* out);

 private:
  bool Error(const std::string& what) {
    *error_ = what;
    return false;
  }
  std::string PathValue(const char* section, const char* key) const {
    const std::string v = job_.Get(section, key);
    if (v.empty() || v.front() == '/' || folder_.empty()) return v;
    return platform::JoinPath(folder_, v);
  }
  bool ReadPartitions(MakeOptions* o);
  bool ReadFileSystems(MakeOptions* o);
  bool ReadCustom(JobFile* out);

  platform::Profile job_;
  std::string folder_;
  std::string programDirectory_;
  std::string* error_;
};

bool JobReader::Read(const products::ProductList& products, JobFile* out) {
  if (!job_.HasSection("Job")) return Error("no [Job] section");
  MakeOptions& o = out->options;
  const std::string productName = job_.Get("Job", "Product");
  if (productName.empty()) return Error("[Job] Product is required");
  bool found = false;
  for (const products::ProductProfile& p : products) {
    if (p.name == productName) {
      o.selectedProduct = p;
      found = true;
      break;
    }
  }
  if (!found) return Error("[Job] Product: no product named '" + productName + "'");

  const std::string kind = job_.Get("Job", "Kind", "Network_upgrades");
  if (SameText(kind, "Network_upgrades") || kind.empty())
    o.kind = PackageKind::NetworkUpgrades;
  else if (SameText(kind, "Burning_piecefile"))
    o.kind = PackageKind::BurningPiecefile;
  else
    return Error("[Job] Kind: '" + kind + "' is neither Network_upgrades nor Burning_piecefile");
  o.originalFile = PathValue("Job", "OriginalFile");
  o.originalFileLoaded = !o.originalFile.empty();

  return ReadPartitions(&o) && ReadFileSystems(&o) && ReadCustom(out);
}

bool JobReader::ReadPartitions(MakeOptions* o) {
  const products::ProductProfile& p = o->selectedProduct;
  for (const SlotKey& row : kPartitionRows) {
    if (!job_.Has("Partitions", row.key)) continue;
    const products::PartitionSpec& spec = *SlotPartition(p, row.slot);
    if (spec.start == 0 || spec.end == 0)
      return Error(std::string("[Partitions] ") + row.key + ": product " + p.name +
                   " has no such partition");
    TickSlot(o, row.slot);
    o->slots[row.slot].sourcePath = PathValue("Partitions", row.key);
  }
  // These rows work on an existing package only, as in the dialog.
  struct LateRow {
    const char* key;
    int slot;
  };
  const LateRow late[] = {{"mtd", kSlotMtd}, {"ubootlogo", kSlotUbootLogo},
                          {"romfs2", kSlotRomfs2}, {"param", kSlotParam}};
  for (const LateRow& row : late) {
    if (!job_.Has("Partitions", row.key)) continue;
    const SlotRule& rule = SlotRuleOf(row.slot);
    // The erased partition takes a switch, the others a path.
    if (rule.source == SlotSource::kErasedData && !SwitchValue(job_, "Partitions", row.key)) continue;
    if (!o->originalFileLoaded)
      return Error(std::string("[Partitions] ") + row.key + " needs [Job] OriginalFile");
    const products::PartitionSpec& spec = *SlotPartition(p, row.slot);
    if (spec.end == 0 || (rule.needsStart && spec.start == 0))
      return Error(std::string("[Partitions] ") + row.key + ": product " + p.name +
                   " has no such partition");
    o->slots[row.slot].value = row.slot + 1;
    o->slots[row.slot].imageName = DefaultImageName(row.slot, p);
    o->*rule.reworkSwitch = true;
    if (rule.source == SlotSource::kBootLogoData)
      o->ubootLogoPath = PathValue("Partitions", row.key);
    else if (rule.source == SlotSource::kFolder)
      o->slots[row.slot].sourcePath = PathValue("Partitions", row.key);
  }
  return true;
}

bool JobReader::ReadFileSystems(MakeOptions* o) {
  const products::ProductProfile& p = o->selectedProduct;
  if (o->originalFileLoaded) {
    DetectInputFileSystems(o);
  } else {
    for (const SlotKey& row : kPartitionRows) o->slots[row.slot].fs = SlotPartition(p, row.slot)->fs;
  }
  for (const SlotKey& row : kPartitionRows) {
    if (!job_.Has("FileSystems", row.key)) continue;
    const std::string name = job_.Get("FileSystems", row.key);
    static const struct {
      const char* name;
      int fs;
    } kNames[] = {{"Cramfs", products::kFsCramfs},
                  {"Squashfs", products::kFsSquashfs},
                  {"Jffs2", products::kFsJffs2},
                  {"Ext4", products::kFsExt4}};
    bool known = false;
    for (const auto& n : kNames) {
      if (SameText(name, n.name)) {
        o->slots[row.slot].fs = n.fs;
        known = true;
      }
    }
    if (!known)
      return Error(std::string("[FileSystems] ") + row.key + ": '" + name +
                   "' is not Cramfs, Squashfs, Jffs2 or Ext4");
  }
  return true;
}

bool JobReader::ReadCustom(JobFile* out) {
  MakeOptions& o = out->options;
  const char* const kSection = "Custom";
  // Everything but the gain line and the OEM device type changes the custom
  // partition, which the dialog only offers with custom-x ticked.
  for (const std::string& key : job_.Keys(kSection)) {
    const bool free = SameText(key, "LineInGain") || SameText(key, "LineInLeft") ||
                      SameText(key, "LineInRight") || SameText(key, "OEMDevType");
    if (!free && !o.SlotTicked(kSlotCustom))
      return Error("[Custom] " + key + " needs the custom partition in [Partitions]");
  }

  if (job_.Has(kSection, "Strings")) {
    if (!o.originalFileLoaded) return Error("[Custom] Strings needs [Job] OriginalFile");
    o.strings = true;
    o.slots[kSlotStrings].value = kSlotStrings + 1;
    o.slots[kSlotStrings].sourcePath = PathValue(kSection, "Strings");
    const std::string languages = job_.Get(kSection, "Languages");
    std::size_t begin = 0;
    while (begin < languages.size()) {
      std::size_t comma = languages.find(',', begin);
      if (comma == std::string::npos) comma = languages.size();
      std::string name = languages.substr(begin, comma - begin);
      const std::size_t first = name.find_first_not_of(" \t");
      const std::size_t last = name.find_last_not_of(" \t");
      name = first == std::string::npos ? "" : name.substr(first, last - first + 1);
      if (!name.empty()) {
        if (name.find('/') != std::string::npos || name == "." || name == "..")
          return Error("[Custom] Languages: '" + name + "' is not a language file name");
        out->languages.push_back(name);
      }
      begin = comma + 1;
    }
    o.koreanFonts = SwitchValue(job_, kSection, "KoreanFonts");
  }
  if (job_.Has(kSection, "Pictures")) {
    if (!o.originalFileLoaded) return Error("[Custom] Pictures needs [Job] OriginalFile");
    o.pictures = true;
    o.slots[kSlotMtd].value = kSlotMtd + 1;
    o.slots[kSlotMtd].sourcePath = PathValue(kSection, "Pictures");
  }
  if (job_.Has(kSection, "Configs")) {
    if (!o.originalFileLoaded) return Error("[Custom] Configs needs [Job] OriginalFile");
    o.configs = true;
    o.slots[kSlotUbootLogo].value = kSlotUbootLogo + 1;
    o.slots[kSlotUbootLogo].sourcePath = PathValue(kSection, "Configs");
  }
  o.deviceIp = job_.Get(kSection, "IP");
  o.devicePort = ClampPort(job_.Get(kSection, "Port", "34567"));
  o.userName = job_.Get(kSection, "UserName", "admin");
  o.password = job_.Get(kSection, "Password");
  o.copyUsers = SwitchValue(job_, kSection, "CopyUsers");

  o.appDownloadLink = SwitchValue(job_, kSection, "AppDownloadLink");
  o.ios = job_.Has(kSection, "IOS");
  o.iosLink = job_.Get(kSection, "IOS");
  o.android = job_.Has(kSection, "Android");
  o.androidLink = job_.Get(kSection, "Android");
  o.sn = SwitchValue(job_, kSection, "SN");
  o.other = job_.Has(kSection, "OtherName") || job_.Has(kSection, "OtherContent");
  o.otherName = job_.Get(kSection, "OtherName");
  o.otherContent = job_.Get(kSection, "OtherContent");

  o.cloudServer = SwitchValue(job_, kSection, "CloudServer");
  o.cloudAddress = job_.Get(kSection, "CloudAddress");
  o.cloudPort = ClampPort(job_.Get(kSection, "CloudPort", "8000"));
  o.deviceModel = job_.Has(kSection, "DeviceModel");
  o.deviceModelText = job_.Get(kSection, "DeviceModel");
  o.closeOnlineUpgrade = SwitchValue(job_, kSection, "CloseOnlineUpgrade");

  o.lineInGain = SwitchValue(job_, kSection, "LineInGain");
  const std::string defaultGain = platform::ReadProfileString(
      programDirectory_ + "Config.ini", "register", "defaultLineInGain", "0db", 4096);
  o.lineInLeft = job_.Get(kSection, "LineInLeft", defaultGain);
  o.lineInRight = job_.Get(kSection, "LineInRight", defaultGain);

  if (job_.Has(kSection, "OEMDevType")) {
    o.oemDevType = true;
    o.oemDevTypeText = job_.Get(kSection, "OEMDevType").substr(0, 2);
  }
  return true;
}

}  // namespace

bool LoadJobFile(const std::string& path, const products::ProductList& products,
                 const std::string& programDirectory, JobFile* job, std::string* error) {
  if (!platform::IsRegularFile(path)) {
    *error = path + ": cannot read the job file";
    return false;
  }
  *job = JobFile{};
  JobReader reader(path, programDirectory, error);
  if (reader.Read(products, job)) return true;
  *error = path + ": " + *error;
  return false;
}

bool StageJobLanguages(JobFile* job, const std::string& programDirectory, std::string* error) {
  MakeOptions& o = job->options;
  const std::string& stringsPath = o.slots[kSlotStrings].sourcePath;
  if (!o.strings || stringsPath.find("FullLanguage") == std::string::npos) return true;
  std::string folder = stringsPath;
  if (folder.find("FullLanguage/Strings") == std::string::npos) folder += "/Strings";
  const std::string staging = programDirectory + "TempStrings";
  platform::RemoveTree(staging);
  if (!platform::MakeFolders(staging)) {
    *error = staging + ": cannot create the folder";
    return false;
  }
  if (!platform::IsRegularFile(platform::JoinPath(folder, "English"))) {
    *error = folder + ": NotExitEnglish!";
    return false;
  }
  std::vector<std::string> names = {"English"};
  for (const std::string& name : job->languages)
    if (name != "English") names.push_back(name);
  // The dialog's Korean switch brings the Korean file along with its fonts.
  if (o.koreanFonts && platform::IsRegularFile(platform::JoinPath(folder, "Korean")) &&
      std::find(names.begin(), names.end(), "Korean") == names.end())
    names.push_back("Korean");
  for (const std::string& name : names) {
    if (!platform::CopyFileReplacing(platform::JoinPath(folder, name), platform::JoinPath(staging, name))) {
      *error = platform::JoinPath(folder, name) + ": cannot copy the language file";
      return false;
    }
  }
  o.fullLanguageStrings = true;
  return true;
}

}  // namespace package
