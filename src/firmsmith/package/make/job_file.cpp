#include "firmsmith/package/make/job_file.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "common/platform/profile.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/package/layout/input_probe.h"
#include "firmsmith/package/layout/install_desc.h"
#include "firmsmith/package/layout/json_file.h"
#include "firmsmith/package/make/job_file_syntax.h"
#include "firmsmith/package/make/make_steps.h"

namespace package {
namespace {

struct SlotKey {
  const char* key;
  int slot;
};
// The partition rows of the dialog, by their job-file keys.
constexpr SlotKey kPartitionRows[] = {
    {"web", kSlotWeb},       {"logo", kSlotLogo}, {"user", kSlotUser}, {"romfs", kSlotRomfs},
    {"custom", kSlotCustom}, {"app", kSlotApp},   {"ylk", kSlotYlk},
};

// The values a switch takes: the first four clear it, the others set it.
const std::vector<std::string> kSwitchValues = {"0", "false", "no",  "off",
                                                "1", "true",  "yes", "on"};
// Keys that are switches, by section.
constexpr const char* kSwitchKeys[][2] = {
    {"Partitions", "mtd"},
    {"Custom", "KoreanFonts"},
    {"Custom", "CopyUsers"},
    {"Custom", "AppDownloadLink"},
    {"Custom", "SN"},
    {"Custom", "CloudServer"},
    {"Custom", "CloseOnlineUpgrade"},
    {"Custom", "LineInGain"},
};
constexpr std::size_t kDevIdLength = 24;

bool SameText(const std::string& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0; }

class JobReader {
 public:
  JobReader(const JobFileText& text, const std::string& path, const std::string& programDirectory)
      : text_(text), folder_(platform::ParentFolder(path)), programDirectory_(programDirectory) {
    for (const JobFileEntry& e : text.entries()) values_.push_back(e);
  }

  bool Read(const products::ProductList& products, JobFile* out);
  int line() const { return line_; }
  const std::string& reason() const { return reason_; }

 private:
  // A refusal at the line of `key` (or of its section, or none).
  bool Error(const char* section, const char* key, const std::string& what) {
    line_ = key ? text_.KeyLine(section, key) : 0;
    if (line_ == 0 && section) line_ = text_.SectionLine(section);
    reason_ = what;
    return false;
  }
  bool Has(const char* section, const char* key) const { return text_.KeyLine(section, key) != 0; }
  std::string Get(const char* section, const char* key, const std::string& fallback = "") const {
    for (const JobFileEntry& e : values_)
      if (SameText(e.section, section) && SameText(e.key, key)) return e.value;
    return fallback;
  }
  bool Switch(const char* section, const char* key) const {
    if (!Has(section, key)) return false;
    const std::string v = Get(section, key);
    return !(v == "0" || SameText(v, "false") || SameText(v, "no") || SameText(v, "off"));
  }
  std::string PathValue(const char* section, const char* key) const {
    const std::string v = Get(section, key);
    if (v.empty() || v.front() == '/' || folder_.empty()) return v;
    return platform::JoinPath(folder_, v);
  }
  bool CheckValues();
  bool ReadPartitions(MakeOptions* o);
  bool ReadFileSystems(MakeOptions* o);
  bool ReadCustom(JobFile* out);
  bool CheckEffects(const JobFile& job);
  bool CheckPaths(const MakeOptions& o);
  bool NeedsFolder(const char* section, const char* key);
  bool Without(const char* section, const char* key, bool effective, const std::string& because) {
    if (!Has(section, key) || effective) return true;
    return Error(section, key,
                 "[" + std::string(section) + "] " + key + " has no effect " + because);
  }

  const JobFileText& text_;
  std::vector<JobFileEntry> values_;
  std::string folder_;
  std::string programDirectory_;
  int line_ = 0;
  std::string reason_;
};

bool JobReader::Read(const products::ProductList& products, JobFile* out) {
  if (text_.SectionLine("Job") == 0) return Error(nullptr, nullptr, "no [Job] section");
  MakeOptions& o = out->options;
  const std::string productName = Get("Job", "Product");
  if (productName.empty()) return Error("Job", "Product", "[Job] Product is required");
  std::vector<std::string> names;
  bool found = false;
  for (const products::ProductProfile& p : products) {
    names.push_back(p.name);
    if (p.name == productName) {
      o.selectedProduct = p;
      found = true;
      break;
    }
  }
  if (!found)
    return Error(
        "Job", "Product",
        "[Job] Product: no product named '" + productName + "'" + DidYouMean(productName, names));

  const std::string kind = Get("Job", "Kind", "Network_upgrades");
  if (SameText(kind, "Network_upgrades") || kind.empty())
    o.kind = PackageKind::NetworkUpgrades;
  else if (SameText(kind, "Burning_piecefile"))
    o.kind = PackageKind::BurningPiecefile;
  else
    return Error("Job", "Kind",
                 "[Job] Kind: '" + kind + "' is neither Network_upgrades nor Burning_piecefile" +
                     DidYouMean(kind, {"Network_upgrades", "Burning_piecefile"}));
  o.originalFile = PathValue("Job", "OriginalFile");
  o.originalFileLoaded = !o.originalFile.empty();

  return CheckValues() && ReadPartitions(&o) && ReadFileSystems(&o) && ReadCustom(out) &&
         CheckPaths(o) && CheckEffects(*out);
}

// Values outside their set, before anything is looked up on disk.
bool JobReader::CheckValues() {
  for (const auto& sk : kSwitchKeys) {
    if (!Has(sk[0], sk[1])) continue;
    const std::string v = Get(sk[0], sk[1]);
    bool known = false;
    for (const std::string& s : kSwitchValues) known = known || SameText(v, s.c_str());
    // mtd is the one switch whose row the dialog ticks; an empty value there
    // means "not ticked", as before.
    if (!known && !(v.empty() && SameText(sk[1], "mtd")))
      return Error(sk[0], sk[1],
                   "[" + std::string(sk[0]) + "] " + sk[1] + ": '" + v +
                       "' is not a switch (1, 0, yes, no, true, false, on, off)");
  }
  for (const char* key : {"Port", "CloudPort"}) {
    if (!Has("Custom", key)) continue;
    const std::string v = Get("Custom", key);
    char* end = nullptr;
    const long port = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || port < 1 || port > 65535)
      return Error("Custom", key,
                   "[Custom] " + std::string(key) + ": '" + v + "' is not a port (1 to 65535)");
  }
  for (const char* key : {"IP"}) {
    const std::string v = Get("Custom", key);
    in_addr parsed{};
    if (!v.empty() && inet_pton(AF_INET, v.c_str(), &parsed) != 1)
      return Error("Custom", key, "[Custom] IP: '" + v + "' is not a dotted IPv4 address");
  }
  if (Has("Custom", "OEMDevType") && Get("Custom", "OEMDevType").size() != 2)
    return Error(
        "Custom", "OEMDevType",
        "[Custom] OEMDevType: '" + Get("Custom", "OEMDevType") + "' is not two characters");
  // Gain labels are the keys of Config.ini [register] that carry a code.
  for (const char* key : {"LineInLeft", "LineInRight"}) {
    if (!Has("Custom", key)) continue;
    const std::string configIni = programDirectory_ + "Config.ini";
    std::string text;
    if (platform::Status read = platform::ReadFileText(configIni, &text); !read)
      return Error("Custom", key, "[Custom] " + std::string(key) + ": " + read.message);
    const platform::Profile config = platform::Profile::Parse(text);
    const std::string label = Get("Custom", key);
    std::vector<std::string> labels;
    for (const std::string& k : config.Keys("register"))
      if (k.size() > 2 && SameText(k.substr(k.size() - 2), "db")) labels.push_back(k);
    if (std::find(labels.begin(), labels.end(), label) == labels.end())
      return Error("Custom", key,
                   "[Custom] " + std::string(key) + ": '" + label + "' is not a gain label of " +
                       configIni + DidYouMean(label, labels));
  }
  return true;
}

bool JobReader::ReadPartitions(MakeOptions* o) {
  const products::ProductProfile& p = o->selectedProduct;
  for (const SlotKey& row : kPartitionRows) {
    if (!Has("Partitions", row.key)) continue;
    const products::PartitionSpec& spec = *SlotPartition(p, row.slot);
    if (spec.start == 0 || spec.end == 0)
      return Error("Partitions", row.key,
                   std::string("[Partitions] ") + row.key + ": product " + p.name +
                       " has no such partition");
    // The rework carries some partitions over as they are (app-x).
    if (o->originalFileLoaded && !SlotRuleOf(row.slot).inRework)
      return Error("Partitions", row.key,
                   std::string("[Partitions] ") + row.key +
                       " has no effect in a rework: the partition is carried over as it is");
    TickSlot(o, row.slot);
    o->slots[row.slot].sourcePath = PathValue("Partitions", row.key);
  }
  // These rows work on an existing package only, as in the dialog.
  const SlotKey late[] = {{"mtd", kSlotMtd},
                          {"ubootlogo", kSlotUbootLogo},
                          {"romfs2", kSlotRomfs2},
                          {"param", kSlotParam}};
  for (const SlotKey& row : late) {
    if (!Has("Partitions", row.key)) continue;
    const SlotRule& rule = SlotRuleOf(row.slot);
    // The erased partition takes a switch, the others a path.
    if (rule.source == SlotSource::kErasedData && !Switch("Partitions", row.key)) continue;
    if (!o->originalFileLoaded)
      return Error("Partitions", row.key,
                   std::string("[Partitions] ") + row.key + " needs [Job] OriginalFile");
    const products::PartitionSpec& spec = *SlotPartition(p, row.slot);
    if (spec.end == 0 || (rule.needsStart && spec.start == 0))
      return Error("Partitions", row.key,
                   std::string("[Partitions] ") + row.key + ": product " + p.name +
                       " has no such partition");
    // A rework skips these rows without a file or folder to take.
    if (rule.source != SlotSource::kErasedData && Get("Partitions", row.key).empty())
      return Error("Partitions", row.key,
                   std::string("[Partitions] ") + row.key + " has no effect without a " +
                       (rule.source == SlotSource::kBootLogoData ? "file" : "folder"));
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
    for (const SlotKey& row : kPartitionRows)
      o->slots[row.slot].fs = SlotPartition(p, row.slot)->fs;
  }
  static const struct {
    const char* name;
    int fs;
  } kNames[] = {{"Cramfs", products::kFsCramfs},
                {"Squashfs", products::kFsSquashfs},
                {"Jffs2", products::kFsJffs2},
                {"Ext4", products::kFsExt4}};
  for (const SlotKey& row : kPartitionRows) {
    if (!Has("FileSystems", row.key)) continue;
    const std::string name = Get("FileSystems", row.key);
    bool known = false;
    for (const auto& n : kNames) {
      if (SameText(name, n.name)) {
        o->slots[row.slot].fs = n.fs;
        known = true;
      }
    }
    if (!known)
      return Error("FileSystems", row.key,
                   std::string("[FileSystems] ") + row.key + ": '" + name +
                       "' is not Cramfs, Squashfs, Jffs2 or Ext4" +
                       DidYouMean(name, {"Cramfs", "Squashfs", "Jffs2", "Ext4"}));
    // A file system for a row that is not ticked builds nothing.
    if (!o->SlotTicked(row.slot))
      return Error("FileSystems", row.key,
                   std::string("[FileSystems] ") + row.key + " has no effect without " + row.key +
                       " in [Partitions]");
  }
  return true;
}

bool JobReader::ReadCustom(JobFile* out) {
  MakeOptions& o = out->options;
  const char* const kSection = "Custom";
  // Everything but the gain line and the OEM device type changes the custom
  // partition, which the dialog only offers with custom-x ticked.
  for (const JobFileEntry& e : values_) {
    if (!SameText(e.section, kSection)) continue;
    const bool free = SameText(e.key, "LineInGain") || SameText(e.key, "LineInLeft") ||
                      SameText(e.key, "LineInRight") || SameText(e.key, "OEMDevType");
    if (!free && !o.SlotTicked(kSlotCustom))
      return Error(kSection, e.key.c_str(),
                   "[Custom] " + e.key + " needs the custom partition in [Partitions]");
  }

  if (Has(kSection, "Strings")) {
    if (!o.originalFileLoaded)
      return Error(kSection, "Strings", "[Custom] Strings needs [Job] OriginalFile");
    o.strings = true;
    o.slots[kSlotStrings].value = kSlotStrings + 1;
    o.slots[kSlotStrings].sourcePath = PathValue(kSection, "Strings");
    const std::string languages = Get(kSection, "Languages");
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
          return Error(kSection, "Languages",
                       "[Custom] Languages: '" + name + "' is not a language file name");
        out->languages.push_back(name);
      }
      begin = comma + 1;
    }
    o.koreanFonts = Switch(kSection, "KoreanFonts");
  }
  if (Has(kSection, "Pictures")) {
    if (!o.originalFileLoaded)
      return Error(kSection, "Pictures", "[Custom] Pictures needs [Job] OriginalFile");
    o.pictures = true;
    o.slots[kSlotMtd].value = kSlotMtd + 1;
    o.slots[kSlotMtd].sourcePath = PathValue(kSection, "Pictures");
  }
  if (Has(kSection, "Configs")) {
    if (!o.originalFileLoaded)
      return Error(kSection, "Configs", "[Custom] Configs needs [Job] OriginalFile");
    o.configs = true;
    o.slots[kSlotUbootLogo].value = kSlotUbootLogo + 1;
    o.slots[kSlotUbootLogo].sourcePath = PathValue(kSection, "Configs");
  }
  o.deviceIp = Get(kSection, "IP");
  o.devicePort = Get(kSection, "Port", "34567");
  o.userName = Get(kSection, "UserName", "admin");
  o.password = Get(kSection, "Password");
  out->needsPassword =
      o.configs && o.slots[kSlotUbootLogo].sourcePath.empty() && !Has(kSection, "Password");
  o.copyUsers = Switch(kSection, "CopyUsers");

  o.appDownloadLink = Switch(kSection, "AppDownloadLink");
  o.ios = Has(kSection, "IOS");
  o.iosLink = Get(kSection, "IOS");
  o.android = Has(kSection, "Android");
  o.androidLink = Get(kSection, "Android");
  o.sn = Switch(kSection, "SN");
  o.other = Has(kSection, "OtherName") || Has(kSection, "OtherContent");
  o.otherName = Get(kSection, "OtherName");
  o.otherContent = Get(kSection, "OtherContent");

  o.cloudServer = Switch(kSection, "CloudServer");
  o.cloudAddress = Get(kSection, "CloudAddress");
  o.cloudPort = Get(kSection, "CloudPort", "8000");
  o.deviceModel = Has(kSection, "DeviceModel");
  o.deviceModelText = Get(kSection, "DeviceModel");
  o.closeOnlineUpgrade = Switch(kSection, "CloseOnlineUpgrade");

  o.lineInGain = Switch(kSection, "LineInGain");
  const std::string defaultGain = platform::ReadProfileString(
      programDirectory_ + "Config.ini", "register", "defaultLineInGain", "0db", 4096);
  o.lineInLeft = Get(kSection, "LineInLeft", defaultGain);
  o.lineInRight = Get(kSection, "LineInRight", defaultGain);

  if (Has(kSection, "OEMDevType")) {
    o.oemDevType = true;
    o.oemDevTypeText = Get(kSection, "OEMDevType");
  }
  return true;
}

bool JobReader::NeedsFolder(const char* section, const char* key) {
  const std::string path = PathValue(section, key);
  if (path.empty() || platform::IsDirectory(path)) return true;
  return Error(section, key,
               "[" + std::string(section) + "] " + key + ": " + path +
                   (platform::FileExists(path) ? " is not a folder" : " does not exist"));
}

// Every folder and file the run would read is there, before it starts.
bool JobReader::CheckPaths(const MakeOptions& o) {
  if (o.originalFileLoaded && !platform::IsRegularFile(o.originalFile))
    return Error(
        "Job", "OriginalFile",
        "[Job] OriginalFile: " + o.originalFile +
            (platform::FileExists(o.originalFile) ? " is not a regular file" : " does not exist"));
  for (const char* key :
       {"web", "logo", "user", "romfs", "custom", "app", "ylk", "romfs2", "param"})
    if (Has("Partitions", key) && !NeedsFolder("Partitions", key)) return false;
  for (const char* key : {"Strings", "Pictures", "Configs"})
    if (Has("Custom", key) && !NeedsFolder("Custom", key)) return false;
  if (o.ubootLogo && !platform::IsRegularFile(o.ubootLogoPath))
    return Error(
        "Partitions", "ubootlogo",
        "[Partitions] ubootlogo: " + o.ubootLogoPath +
            (platform::FileExists(o.ubootLogoPath) ? " is not a regular file" : " does not exist"));
  return true;
}

// The DevID of the package's InstallDesc, read from a private unpack; "" with
// *problem empty when the package has none.
std::string PackageDevId(const std::string& package, std::string* problem) {
  platform::TempFolder scratch;
  platform::Status status = scratch.Create(std::string(), "job-devid-");
  const std::string unpacked = platform::JoinPath(scratch.path(), "package");
  if (status && fsimage::UnpackArchive(package, unpacked, &status) != 0 && status.ok)
    status = platform::Status::Fail(package + ": not a readable package");
  if (!status) {
    *problem = status.message;
    return "";
  }
  std::string text;
  Json::Value root;
  if (!ReadDescriptionText(platform::JoinPath(unpacked, kInstallDescName), &text) ||
      !ParseJsonObject(text, &root))
    return "";
  const Json::Value* id = root.find("DevID", "DevID" + 5);
  return id != nullptr && id->isString() ? id->asString() : "";
}

// Keys that would be read and then change nothing are mistakes too: the
// operator expects them to do something.
bool JobReader::CheckEffects(const JobFile& job) {
  const MakeOptions& o = job.options;
  const bool fullLanguage =
      o.strings && o.slots[kSlotStrings].sourcePath.find("FullLanguage") != std::string::npos;
  if (!Without("Custom", "Languages", fullLanguage, "without Strings= a FullLanguage folder") ||
      !Without("Custom", "KoreanFonts", o.strings, "without Strings=") ||
      !Without("Custom", "LineInLeft", o.lineInGain, "without LineInGain=1") ||
      !Without("Custom", "LineInRight", o.lineInGain, "without LineInGain=1") ||
      !Without("Custom", "CloudAddress", o.cloudServer, "without CloudServer=1") ||
      !Without("Custom", "CloudPort", o.cloudServer, "without CloudServer=1"))
    return false;
  for (const char* key : {"IOS", "Android", "SN", "OtherName", "OtherContent"})
    if (!Without("Custom", key, o.appDownloadLink, "without AppDownloadLink=1")) return false;
  const bool fromDevice = o.configs && o.slots[kSlotUbootLogo].sourcePath.empty();
  for (const char* key : {"IP", "Port", "UserName", "Password", "CopyUsers"})
    if (!Without("Custom", key, fromDevice, "unless Configs= is empty (read from the device)"))
      return false;

  if (fullLanguage) {
    std::vector<std::string> names;
    std::string problem;
    if (!JobLanguageFiles(job, &names, &problem))
      return Error("Custom", Has("Custom", "Languages") ? "Languages" : "Strings",
                   "[Custom] " + problem);
  }
  if (o.oemDevType) {
    // The type is the last two characters of a 24-character DevID of the
    // input package's InstallDesc; anything else is left as it was.
    if (!o.originalFileLoaded || o.kind != PackageKind::NetworkUpgrades)
      return Error(
          "Custom", "OEMDevType",
          "[Custom] OEMDevType has no effect without an upgrade package as [Job] OriginalFile");
    std::string problem;
    const std::string id = PackageDevId(o.originalFile, &problem);
    if (!problem.empty()) return Error("Custom", "OEMDevType", "[Custom] OEMDevType: " + problem);
    if (id.size() != kDevIdLength)
      return Error("Custom", "OEMDevType",
                   "[Custom] OEMDevType has no effect: " + o.originalFile +
                       (id.empty() ? " has no DevID in InstallDesc"
                                   : " has a DevID of " + std::to_string(id.size()) +
                                         " characters, not 24"));
  }
  return true;
}

}  // namespace

bool LoadJobFile(const std::string& path, const products::ProductList& products,
                 const std::string& programDirectory, JobFile* job, std::string* error) {
  // "Cannot read" is never an empty job.
  std::string text;
  if (!platform::IsRegularFile(path)) {
    *error = path + ": cannot read the job file (" +
             (platform::FileExists(path) ? "not a regular file)" : "it does not exist)");
    return false;
  }
  if (platform::Status read = platform::ReadFileText(path, &text); !read) {
    *error = path + ": cannot read the job file: " + read.message;
    return false;
  }
  JobFileText scanned;
  int line = 0;
  std::string reason;
  if (!scanned.Scan(text, &line, &reason)) {
    *error = path + ":" + std::to_string(line) + ": " + reason;
    return false;
  }
  *job = JobFile{};
  JobReader reader(scanned, path, programDirectory);
  if (reader.Read(products, job)) return true;
  *error = path + (reader.line() > 0 ? ":" + std::to_string(reader.line()) : std::string()) + ": " +
           reader.reason();
  return false;
}

namespace {

// The Strings folder of a FullLanguage path.
std::string FullLanguageStringsFolder(const std::string& stringsPath) {
  if (stringsPath.find("FullLanguage/Strings") != std::string::npos) return stringsPath;
  return stringsPath + "/Strings";
}

}  // namespace

bool JobLanguageFiles(const JobFile& job, std::vector<std::string>* names, std::string* error) {
  const MakeOptions& o = job.options;
  names->clear();
  const std::string& stringsPath = o.slots[kSlotStrings].sourcePath;
  if (!o.strings || stringsPath.find("FullLanguage") == std::string::npos) return true;
  const std::string folder = FullLanguageStringsFolder(stringsPath);
  if (!platform::IsRegularFile(platform::JoinPath(folder, "English"))) {
    *error = folder + ": NotExitEnglish!";
    return false;
  }
  names->push_back("English");
  if (job.languages.empty()) {
    // As the window with every row ticked: each language file of the folder
    // (no extension); Korean only with its fonts.
    std::vector<platform::FolderEntry> entries;
    if (platform::Status listed = platform::ListFolder(folder, &entries); !listed) {
      *error = listed.message;
      return false;
    }
    std::vector<std::string> found;
    for (const platform::FolderEntry& e : entries) {
      if (e.name.find('.') != std::string::npos || e.name == "English") continue;
      if (e.name == "Korean" && !o.koreanFonts) continue;
      if (!platform::IsRegularFile(platform::JoinPath(folder, e.name))) continue;
      found.push_back(e.name);
    }
    std::sort(found.begin(), found.end());
    names->insert(names->end(), found.begin(), found.end());
    return true;
  }
  for (const std::string& name : job.languages) {
    if (name == "English") continue;
    if (!platform::IsRegularFile(platform::JoinPath(folder, name))) {
      *error = platform::JoinPath(folder, name) + ": the listed language file does not exist";
      return false;
    }
    names->push_back(name);
  }
  // The dialog's Korean switch brings the Korean file along with its fonts.
  if (o.koreanFonts && platform::IsRegularFile(platform::JoinPath(folder, "Korean")) &&
      std::find(names->begin(), names->end(), "Korean") == names->end())
    names->push_back("Korean");
  return true;
}

bool StageJobLanguages(JobFile* job, const std::string& programDirectory, std::string* error) {
  MakeOptions& o = job->options;
  const std::string& stringsPath = o.slots[kSlotStrings].sourcePath;
  if (!o.strings || stringsPath.find("FullLanguage") == std::string::npos) return true;
  std::vector<std::string> names;
  if (!JobLanguageFiles(*job, &names, error)) return false;
  const std::string folder = FullLanguageStringsFolder(stringsPath);
  const std::string staging = programDirectory + "TempStrings";
  if (platform::Status removed = platform::RemoveTree(staging); !removed) {
    *error = removed.message;
    return false;
  }
  if (platform::Status made = platform::MakeFolders(staging); !made) {
    *error = made.message;
    return false;
  }
  for (const std::string& name : names) {
    if (platform::Status copied = platform::CopyFileReplacing(platform::JoinPath(folder, name),
                                                              platform::JoinPath(staging, name));
        !copied) {
      *error =
          platform::JoinPath(folder, name) + ": cannot copy the language file: " + copied.message;
      return false;
    }
  }
  o.fullLanguageStrings = true;
  return true;
}

}  // namespace package
