#include "firmsmith/package/make/make_plan.h"

#include <json/json.h>

#include <cstdio>
#include <set>

#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/package/layout/install_desc.h"
#include "firmsmith/package/layout/json_file.h"
#include "firmsmith/package/layout/unpack_check.h"
#include "firmsmith/package/make/make_steps.h"

namespace package {
namespace {

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The same choice of slots as the rework loop.
bool ReworkSkips(const MakeOptions& o, int slot) {
  if (!o.SlotTicked(slot)) return true;
  const SlotRule& rule = SlotRuleOf(slot);
  if (!rule.inRework) return true;
  if (rule.reworkSwitch != nullptr && !(o.*rule.reworkSwitch)) return true;
  if (rule.source == SlotSource::kBootLogoData) return o.ubootLogoPath.empty();
  return rule.reworkOnly && rule.source == SlotSource::kFolder && o.slots[slot].sourcePath.empty();
}

std::string SourceOf(const MakeOptions& o, int slot, const std::string& image) {
  const SlotRule& rule = SlotRuleOf(slot);
  switch (rule.source) {
    case SlotSource::kErasedData:
      return "erased flash (0xFF), the device restores its defaults";
    case SlotSource::kBootLogoData:
      return "boot logo " + o.ubootLogoPath;
    case SlotSource::kNone:
      return "";
    case SlotSource::kFolder:
      break;
  }
  std::string source = o.slots[slot].sourcePath;
  if (source.empty() && rule.inPlace == InPlaceRework::kCustomPartition)
    return "the input's own " + image + ", customised in place";
  if (source.empty() && rule.inPlace == InPlaceRework::kUserGainLine)
    return "the input's own " + image + ", with the line-in gain line";
  if (rule.fitsLogo && o.selectedProduct.logoWidth > 0)
    source += " (pictures fitted to " + std::to_string(o.selectedProduct.logoWidth) + "x" +
              std::to_string(o.selectedProduct.logoHeight) + " on a copy)";
  if (rule.inPlace == InPlaceRework::kUserGainLine && o.lineInGain)
    source += " (with the line-in gain line)";
  return source;
}

std::string FileSystemOf(const MakeOptions& o, int slot) {
  const SlotRule& rule = SlotRuleOf(slot);
  if (rule.source == SlotSource::kErasedData || rule.source == SlotSource::kBootLogoData)
    return "raw";
  return products::FsTypeName(rule.forcedFs != 0 ? rule.forcedFs : o.slots[slot].fs);
}

// The commands of an InstallDesc as "Command FileName" lines, and its DevID.
bool ReadCommands(const std::string& path, std::vector<std::string>* commands, std::string* devId) {
  std::string text;
  Json::Value root;
  if (!ReadDescriptionText(path, &text) || !ParseJsonObject(text, &root)) return false;
  commands->clear();
  const Json::Value* list = root.find("UpgradeCommand", "UpgradeCommand" + 14);
  if (list != nullptr && list->isArray())
    for (const Json::Value& c : *list)
      if (c.isObject())
        commands->push_back(c.get("Command", "").asString() + " " +
                            c.get("FileName", "").asString());
  const Json::Value* id = root.find("DevID", "DevID" + 5);
  *devId = id != nullptr && id->isString() ? id->asString() : "";
  return true;
}

void DescribeDescChanges(const std::vector<std::string>& before, const std::string& idBefore,
                         const std::vector<std::string>& after, const std::string& idAfter,
                         std::vector<std::string>* lines) {
  const std::set<std::string> had(before.begin(), before.end());
  const std::set<std::string> has(after.begin(), after.end());
  for (const std::string& c : after)
    if (!had.count(c)) lines->push_back("+ " + c);
  for (const std::string& c : before)
    if (!has.count(c)) lines->push_back("- " + c);
  if (idBefore != idAfter) lines->push_back("DevID " + idBefore + " -> " + idAfter);
}

bool Refuse(std::string* problem, const std::string& why) {
  *problem = why;
  return false;
}

bool PlanNewPackage(const MakeOptions& o, MakePlan* plan, std::string* problem) {
  platform::TempFolder scratch;
  if (platform::Status made = scratch.Create(std::string(), "make-plan-"); !made)
    return Refuse(problem, made.message);
  const products::ProductProfile& product = o.selectedProduct;
  const std::string desc = platform::JoinPath(scratch.path(), kInstallDescName);
  if (!WriteFreshInstallDesc(desc, product.hardware, product.vendor))
    return Refuse(problem, "cannot write " + desc);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const SlotRule& rule = SlotRuleOf(slot);
    if (!rule.inNewPackage || !o.SlotTicked(slot)) continue;
    if (o.slots[slot].fs == products::kFsExt4)
      return Refuse(problem, SlotBaseName(o, slot) + ": ext4 images cannot be built");
    const std::string image = SlotBaseName(o, slot) + ".img";
    const products::PartitionSpec& spec = *SlotPartition(product, slot);
    plan->partitions.push_back(
        {image, SourceOf(o, slot, image), FileSystemOf(o, slot), spec.start, spec.end});
    AppendBuildCommand(desc, image);
  }
  std::vector<std::string> after;
  std::string id;
  if (!ReadCommands(desc, &after, &id)) return Refuse(problem, "cannot read back " + desc);
  DescribeDescChanges({}, id, after, id, &plan->installDesc);
  return true;
}

bool PlanPackageRework(const MakeOptions& o, MakePlan* plan, std::string* problem) {
  platform::TempFolder scratch;
  if (platform::Status made = scratch.Create(std::string(), "make-plan-"); !made)
    return Refuse(problem, made.message);
  const std::string work = platform::JoinPath(scratch.path(), "package");
  platform::Status unpacked;
  if (fsimage::UnpackArchive(o.originalFile, work, &unpacked) != 0)
    return Refuse(problem, unpacked ? "cannot unpack " + o.originalFile : unpacked.message);
  const std::string desc = platform::JoinPath(work, kInstallDescName);
  std::vector<std::string> before;
  std::string idBefore;
  if (!ReadCommands(desc, &before, &idBefore))
    return Refuse(problem, o.originalFile + ": no InstallDesc, or it is not valid JSON");
  if (o.oemDevType) ReplaceOemDevType(desc, o.oemDevTypeText);

  std::set<std::string> replaced;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (ReworkSkips(o, slot)) continue;
    const SlotRule& rule = SlotRuleOf(slot);
    const std::string base = SlotBaseName(o, slot);
    const std::string existing = FindExistingImage(work, slot, base);
    const std::string image = existing.empty() ? base + ".img" : existing;
    // A partition customised in place must be one the package has.
    if (rule.inPlace == InPlaceRework::kCustomPartition && o.slots[slot].sourcePath.empty() &&
        !InstallDescListsImage(desc, image))
      return Refuse(problem,
                    o.originalFile + ": no " + image + " listed in its InstallDesc to customise");
    if (rule.source != SlotSource::kFolder || !o.slots[slot].sourcePath.empty())
      replaced.insert(image);
    if (rule.source == SlotSource::kErasedData) {
      replaced.insert({kBootLoaderImage, kBootEnvImage});
      AddMtdCommand(desc, work, image);
    } else if (!InstallDescListsImage(desc, image)) {
      InsertReworkCommand(desc, image, rule.looseName);
    }
    const products::PartitionSpec& spec = *SlotPartition(o.selectedProduct, slot);
    std::uint32_t start = spec.start, end = spec.end;
    fsimage::ImageHeader header;
    if (rule.rootFileSystem && spec.end <= spec.start && !existing.empty() &&
        fsimage::ReadImageHeader(platform::JoinPath(work, existing), &header) &&
        header.entryPoint > header.loadAddress) {
      start = header.loadAddress;
      end = header.entryPoint;
    }
    plan->partitions.push_back(
        {image, SourceOf(o, slot, image), FileSystemOf(o, slot), start, end});
  }
  // Everything the run keeps or unpacks must be sound, as the run checks it.
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolder(work, &entries); !listed)
    return Refuse(problem, listed.message);
  for (const platform::FolderEntry& e : entries) {
    if (e.isDirectory || !EndsWith(e.name, ".img") || replaced.count(e.name)) continue;
    const std::string damage = ImageDamage(platform::JoinPath(work, e.name));
    if (!damage.empty()) return Refuse(problem, o.originalFile + ": " + e.name + ": " + damage);
  }
  std::vector<std::string> after;
  std::string idAfter;
  if (!ReadCommands(desc, &after, &idAfter))
    return Refuse(problem, o.originalFile + ": the InstallDesc would not stay valid JSON");
  DescribeDescChanges(before, idBefore, after, idAfter, &plan->installDesc);
  return true;
}

bool PlanFlashRework(const MakeOptions& o, MakePlan* plan, std::string* problem) {
  if (!platform::IsRegularFile(o.originalFile))
    return Refuse(problem, o.originalFile + ": not a readable file");
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (ReworkSkips(o, slot)) continue;
    const std::string image = SlotBaseName(o, slot);
    const products::PartitionSpec& spec = *SlotPartition(o.selectedProduct, slot);
    plan->partitions.push_back({image + " (patched in place)", SourceOf(o, slot, image),
                                FileSystemOf(o, slot), spec.start, spec.end});
  }
  return true;
}

}  // namespace

std::string NewPackageFileName(const std::string& productName) {
  std::string name = productName;
  for (char& c : name)
    if (c == '/') c = '_';
  if (name == "." || name == "..") name = "_";
  return name + "_all.bin";
}

std::string MakeOutputPath(const MakeOptions& options, const MakeEnvironment& environment) {
  if (!options.outputPath.empty()) return options.outputPath;
  if (options.originalFileLoaded) return options.originalFile;
  return environment.programDirectory + NewPackageFileName(options.selectedProduct.name);
}

bool PlanMakeRun(const MakeOptions& o, const MakeEnvironment& environment, MakePlan* plan,
                 std::string* problem) {
  problem->clear();
  *plan = MakePlan{};
  if (!ValidateMakeOptions(o, environment)) return false;
  plan->output = MakeOutputPath(o, environment);
  if (!o.originalFileLoaded) {
    if (o.kind != PackageKind::NetworkUpgrades) {
      ShowMessageKey(environment, "alarm_burnfile");
      return false;
    }
    plan->kind = "new upgrade package from folders";
    return PlanNewPackage(o, plan, problem);
  }
  plan->input = o.originalFile;
  if (o.kind == PackageKind::NetworkUpgrades) {
    plan->kind = "rework of the upgrade package";
    return PlanPackageRework(o, plan, problem);
  }
  plan->kind = "rework of the flash image";
  return PlanFlashRework(o, plan, problem);
}

std::string FormatMakePlan(const MakePlan& plan) {
  std::string out = "kind:        " + plan.kind + "\n";
  if (!plan.input.empty()) out += "input:       " + plan.input + "\n";
  for (const PlannedPartition& p : plan.partitions) {
    out += "partition:   " + p.image + "\n";
    out += "  source:      " + p.source + "\n";
    out += "  file system: " + p.fileSystem + "\n";
    out += "  bounds:      " + Hex(p.start) + ".." + Hex(p.end) + " (" +
           std::to_string(p.end >= p.start ? p.end - p.start : 0) + " bytes)\n";
  }
  if (plan.kind.find("flash image") == std::string::npos) {
    out += "InstallDesc:";
    out += plan.installDesc.empty() ? " unchanged\n" : "\n";
    for (const std::string& line : plan.installDesc) out += "  " + line + "\n";
  }
  out += "output:      " + plan.output;
  // Only a rework in place replaces its input and keeps backups of it.
  if (!plan.input.empty() && plan.output == plan.input)
    out +=
        " (replaced; the input before this run is kept as .prev, before its first rework as .bak)";
  out += "\n";
  return out;
}

}  // namespace package
