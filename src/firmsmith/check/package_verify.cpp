#include "firmsmith/check/package_verify.h"

#include <exception>
#include <map>

#include "common/platform/files.h"
#include "common/platform/process.h"
#include "common/platform/progdir.h"
#include "firmsmith/check/package_inspect.h"
#include "firmsmith/check/partition_files.h"
#include "firmsmith/check/side_by_side.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "firmsmith/fsimage/external_tools.h"
#include "firmsmith/fsimage/image_probe.h"
#include "firmsmith/fsimage/jffs2_reader.h"
#include "firmsmith/package/layout/flash_image.h"
#include "firmsmith/package/layout/install_desc.h"
#include "firmsmith/package/layout/json_file.h"

namespace check {
namespace {

constexpr const char* kProductDefinitionName = "ProductDefinition";

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void CheckCommands(const PackageReport& report, std::vector<std::string>* problems) {
  if (!report.descPresent) return problems->push_back("InstallDesc: missing");
  if (!report.descValid) return problems->push_back("InstallDesc: not a JSON object");
  if (!report.commandsValid) return problems->push_back("InstallDesc: no \"UpgradeCommand\" array");
  std::map<std::string, int> listed;
  for (std::size_t i = 0; i < report.commands.size(); ++i) {
    const BurnCommand& c = report.commands[i];
    const std::string where = "InstallDesc: command " + std::to_string(i + 1);
    if (c.command != "Burn") problems->push_back(where + " is \"" + c.command + "\", not \"Burn\"");
    if (c.fileName.empty()) {
      problems->push_back(where + " names no file");
      continue;
    }
    ++listed[c.fileName];
    bool found = false;
    for (const ImageReport& e : report.entries) found = found || e.name == c.fileName;
    if (!found) problems->push_back(where + " burns " + c.fileName + ", which the package does not hold");
  }
  for (const ImageReport& e : report.entries) {
    if (!EndsWith(e.name, ".img")) continue;
    const int times = listed.count(e.name) ? listed[e.name] : 0;
    if (times == 0) problems->push_back(e.name + ": not listed in InstallDesc");
    if (times > 1) problems->push_back(e.name + ": listed " + std::to_string(times) + " times in InstallDesc");
  }
}

void CheckHeader(const ImageReport& e, const products::ProductProfile* product,
                 std::vector<std::string>* problems) {
  if (!e.image) return problems->push_back(e.name + ": too short for a partition header");
  const fsimage::ImageHeader& h = e.header;
  if (!e.headerCheck.magicOk)
    problems->push_back(e.name + ": header magic " + Hex32(h.magic) + " is not " + Hex32(fsimage::IH_MAGIC));
  if (!e.headerCheck.headerCrcOk) problems->push_back(e.name + ": header CRC " + Hex32(h.headerCrc) + " is wrong");
  if (h.dataSize != e.payloadSize)
    problems->push_back(e.name + ": header data size " + std::to_string(h.dataSize) + " differs from the " +
                        std::to_string(e.payloadSize) + " bytes behind the header");
  if (e.headerCheck.dataComplete && !e.headerCheck.dataCrcOk)
    problems->push_back(e.name + ": data CRC " + Hex32(h.dataCrc) + " is wrong");
  if (!product || !e.hasPartition) return;
  if (e.partitionStart == 0 && e.partitionEnd == 0)
    return problems->push_back(e.name + ": product " + product->name + " has no " + e.partition + " partition");
  if (h.loadAddress != e.partitionStart)
    problems->push_back(e.name + ": load address " + Hex32(h.loadAddress) + " is not the start " +
                        Hex32(e.partitionStart) + " of partition " + e.partition);
  if (h.entryPoint != e.partitionEnd)
    problems->push_back(e.name + ": entry point " + Hex32(h.entryPoint) + " is not the end " +
                        Hex32(e.partitionEnd) + " of partition " + e.partition);
  if (e.freeRoom < 0)
    problems->push_back(e.name + ": " + std::to_string(e.payloadSize) + " bytes do not fit partition " + e.partition +
                        " (" + std::to_string(std::int64_t{e.partitionEnd} - e.partitionStart) + " bytes)");
}

// True when the file system is sound enough to be read further; a cramfs
// walk done here inflates on `workers` threads.
bool CheckFileSystem(const ImageReport& e, std::vector<std::string>* problems, unsigned workers) {
  if (e.payloadPath.empty()) return false;
  if (e.fsKind == fsimage::kImageKindCramfs) {
    // The walk that listed the files checked them too; an image not read
    // that way is walked here.
    std::vector<std::string> found = e.fsProblems;
    if (!e.fsChecked) fsimage::CheckCramfsImage(e.payloadPath, &found, workers);
    if (found.empty()) return true;
    for (const std::string& f : found) {
      // The checker names the scratch copy; the operator knows the entry.
      const std::string shown =
          f.compare(0, e.payloadPath.size(), e.payloadPath) == 0 ? f.substr(e.payloadPath.size() + 2) : f;
      problems->push_back(e.name + ": cramfs " + shown);
    }
    return false;
  }
  if (e.fsKind == fsimage::kImageKindSquashfs) {
    const std::string tool = platform::FindTool(fsimage::kUnsquashfsTool);
    if (tool.empty()) {
      problems->push_back(e.name + ": cannot check squashfs, " + fsimage::kUnsquashfsTool + " not found");
      return false;
    }
    const platform::ProcessResult r = platform::RunProgram(tool, {"-s", e.payloadPath});
    if (r.started && r.exitStatus == 0) return true;
    problems->push_back(e.name + ": squashfs superblock rejected by " + fsimage::kUnsquashfsTool);
    return false;
  }
  if (e.fsKind == fsimage::kImageKindJffs2) {
    // As for cramfs: the listing's read checked it, unless it did not run.
    const platform::Status checked = !e.fsChecked         ? fsimage::CheckJffs2Image(e.payloadPath)
                                     : e.fsProblems.empty() ? platform::Status::Ok()
                                                            : platform::Status::Fail(e.fsProblems.front());
    if (checked) return true;
    // The reader names the scratch copy; the operator knows the entry.
    std::string shown = checked.message;
    if (shown.compare(0, e.payloadPath.size() + 2, e.payloadPath + ": ") == 0) shown.erase(0, e.payloadPath.size() + 2);
    problems->push_back(e.name + ": " + shown);
    return false;
  }
  return false;
}

// An image whose files cannot be listed, or that unpacks past the budget,
// cannot be reworked or unpacked by the operator: never "ok".
bool CheckContents(const ImageReport& e, std::vector<std::string>* problems) {
  if (e.contentsProblem.empty()) return true;
  problems->push_back(e.name + ": " + e.contentsProblem);
  return false;
}

bool IsCustomImage(const PackageReport& report, const ImageReport& e) {
  if (e.hasPartition) return e.partition == "CUSTOM";
  return !report.flashImage && e.name.compare(0, 9, "custom-x.") == 0;
}

void CheckProductStamp(const PackageReport& report, const ImageReport& custom,
                       const products::ProductProfile& product, std::vector<std::string>* problems) {
  const std::string tree = platform::JoinPath(report.scratch->path(), "custom-tree");
  std::string error;
  if (!ExtractPayload(custom, tree, &error)) {
    // Its stamp cannot be read: the package is not known to be right.
    problems->push_back(custom.name + ": cannot be unpacked to read its " + kProductDefinitionName + ": " + error);
    return;
  }
  std::string text;
  if (!package::ReadDescriptionText(platform::JoinPath(tree, kProductDefinitionName), &text)) return;
  Json::Value root;
  if (!package::ParseJsonObject(text, &root)) {
    problems->push_back(custom.name + ": " + kProductDefinitionName + " is not a JSON object");
    return;
  }
  // A stamp that names no hardware (a fresh tree) is left to the rework,
  // which refuses it for every product; one that names another board is
  // wrong for this product.
  if (!root.isMember("Hardware")) return;
  const std::string hardware = root["Hardware"].isString() ? root["Hardware"].asString() : "";
  if (hardware != product.hardware)
    problems->push_back(custom.name + ": " + kProductDefinitionName + " names hardware \"" + hardware +
                        "\", not \"" + product.hardware + "\" of " + product.name);
}

// What CheckFileSystem found of one image.
struct FileSystemFindings {
  bool sound = false;
  std::vector<std::string> problems;
};

// The reason a package cannot be read, as a problem line: the caller names
// the file on every line already.
std::string ReadFailure(const std::string& path, std::string error) {
  if (error.compare(0, path.size() + 2, path + ": ") == 0) error.erase(0, path.size() + 2);
  return error;
}

std::vector<std::string> Verify(const PackageReport& report, const products::ProductProfile* product,
                                unsigned workers) {
  std::vector<std::string> problems;
  if (report.flashImage) {
    if (!package::FlashSizeAccepted(report.fileSize))
      problems.push_back(std::to_string(report.fileSize) + " bytes is not a flash image of 8, 16 or 32 MiB");
    for (const ImageReport& e : report.entries)
      if (e.size < std::uint64_t{e.partitionEnd} - e.partitionStart)
        problems.push_back(e.name + ": the flash image ends inside the partition");
  } else {
    CheckCommands(report, &problems);
  }
  // squashfs images (unsquashfs -s) are checked side by side, cramfs and
  // jffs2 ones were by the walk that listed them; each writes only its own
  // findings, which go out below in entry order.
  auto checked = [&report](const ImageReport& e) { return report.flashImage || EndsWith(e.name, ".img"); };
  std::vector<FileSystemFindings> fileSystems(report.entries.size());
  const unsigned inside = ThreadsInsideEach(report.entries.size(), workers);
  ForEachSideBySide(report.entries.size(), workers, [&](std::size_t i) {
    const ImageReport& e = report.entries[i];
    if (!checked(e)) return;
    try {
      fileSystems[i].sound = CheckFileSystem(e, &fileSystems[i].problems, inside);
    } catch (const std::exception& x) {
      fileSystems[i].sound = false;
      fileSystems[i].problems.push_back(e.name + ": cannot be checked: " + x.what());
    }
  });
  for (std::size_t i = 0; i < report.entries.size(); ++i) {
    const ImageReport& e = report.entries[i];
    if (!checked(e)) continue;
    if (!report.flashImage) CheckHeader(e, product, &problems);
    const FileSystemFindings& fs = fileSystems[i];
    problems.insert(problems.end(), fs.problems.begin(), fs.problems.end());
    const bool readable = fs.sound && CheckContents(e, &problems);
    if (readable && product && IsCustomImage(report, e)) CheckProductStamp(report, e, *product, &problems);
  }
  return problems;
}

// Hardware named by the ProductDefinition of the package's custom image;
// "" when there is none to read.
std::string StampedHardware(const PackageReport& report) {
  for (const ImageReport& e : report.entries) {
    if (!IsCustomImage(report, e) || e.payloadPath.empty()) continue;
    if (e.fsKind == fsimage::kImageKindCramfs) {
      std::vector<std::string> found = e.fsProblems;
      if (!e.fsChecked) fsimage::CheckCramfsImage(e.payloadPath, &found);
      if (!found.empty()) continue;
    }
    const std::string tree = platform::JoinPath(report.scratch->path(), "stamp-tree");
    std::string error;
    if (!ExtractPayload(e, tree, &error)) continue;
    std::string text;
    Json::Value root;
    if (package::ReadDescriptionText(platform::JoinPath(tree, kProductDefinitionName), &text) &&
        package::ParseJsonObject(text, &root) && root.isMember("Hardware") && root["Hardware"].isString())
      return root["Hardware"].asString();
  }
  return "";
}

// True when every image of the package has a partition in the product that
// starts at its header's load address.
bool LayoutFits(const PackageReport& report, const products::ProductProfile& product) {
  int placed = 0;
  for (const ImageReport& e : report.entries) {
    if (!e.image) continue;
    const products::PartitionSpec* spec = PartitionOfEntry(product, e.name);
    if (spec == nullptr || spec->end == 0 || spec->start != e.header.loadAddress) return false;
    ++placed;
  }
  return placed > 0;
}

}  // namespace

bool RecogniseProduct(const std::string& path, const products::ProductList& products,
                      products::ProductProfile* product, std::string* why) {
  PackageReport report;
  std::string error;
  if (!InspectPackage(path, nullptr, &report, &error)) {
    *why = error;
    return false;
  }
  return RecogniseProduct(report, products, product, why);
}

bool RecogniseProduct(const PackageReport& report, const products::ProductList& products,
                      products::ProductProfile* product, std::string* why) {
  if (report.flashImage) {
    *why = "a flash image needs --product";
    return false;
  }
  products::ProductList candidates;
  const std::string hardware = StampedHardware(report);
  if (!hardware.empty())
    for (const products::ProductProfile& p : products)
      if (p.hardware == hardware) candidates.push_back(p);
  if (candidates.size() == 1) {
    *product = candidates.front();
    return true;
  }
  // No stamp, or one several products share: the layout decides.
  products::ProductList fitting;
  for (const products::ProductProfile& p : candidates.empty() ? products : candidates)
    if (LayoutFits(report, p)) fitting.push_back(p);
  if (fitting.size() == 1) {
    *product = fitting.front();
    return true;
  }
  *why = fitting.empty() ? "no known product fits the package"
                         : std::to_string(fitting.size()) + " products fit the package";
  if (!hardware.empty()) *why += " (its custom partition names hardware \"" + hardware + "\")";
  return false;
}

bool InspectForCommand(const std::vector<std::string>& args, const std::string& path,
                       products::ProductProfile* storage, const products::ProductProfile** product,
                       PackageReport* report, std::string* error) {
  if (!ProductOption(args, storage, product, error)) return false;
  if (*product != nullptr) return InspectPackage(path, *product, report, error);
  if (!InspectPackage(path, nullptr, report, error)) return false;
  std::string unknown;
  if (RecogniseProduct(*report, products::LoadProductProfiles(platform::GetProgramDirectory()), storage, &unknown)) {
    PlaceInProduct(*storage, report);
    *product = storage;
  }
  return true;
}

std::vector<std::string> VerifyPackage(const std::string& path, const products::ProductProfile* product,
                                       unsigned workers) {
  try {
    PackageReport report;
    std::string error;
    if (!InspectPackage(path, product, &report, &error, workers)) return {ReadFailure(path, error)};
    return Verify(report, product, workers);
  } catch (const std::exception& e) {
    return {path + ": cannot be checked: " + e.what()};
  }
}

std::vector<std::string> VerifyRecognising(const std::string& path, const products::ProductList& products,
                                           std::string* note, unsigned workers) {
  note->clear();
  try {
    PackageReport report;
    std::string error;
    if (!InspectPackage(path, nullptr, &report, &error, workers)) {
      *note = error;
      return {ReadFailure(path, error)};
    }
    products::ProductProfile product;
    if (!RecogniseProduct(report, products, &product, note)) return Verify(report, nullptr, workers);
    note->clear();
    PlaceInProduct(product, &report);
    return Verify(report, &product, workers);
  } catch (const std::exception& e) {
    return {path + ": cannot be checked: " + e.what()};
  }
}

package::OutputVerifier MakeOutputVerifier() {
  return [](const std::string& path, const products::ProductProfile* product, std::string* problems) {
    const std::vector<std::string> found = VerifyPackage(path, product);
    problems->clear();
    for (const std::string& line : found) *problems += (problems->empty() ? "" : "\n") + line;
    return found.empty();
  };
}

}  // namespace check
