#include "firmsmith/check/package_inspect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <sstream>
#include <vector>

#include "common/platform/cli.h"
#include "common/platform/fd.h"
#include "common/platform/files.h"
#include "common/platform/message_sink.h"
#include "common/platform/progdir.h"
#include "firmsmith/check/image_entry.h"
#include "firmsmith/check/partition_files.h"
#include "firmsmith/check/side_by_side.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/cramfs_format.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "firmsmith/fsimage/external_tools.h"
#include "firmsmith/fsimage/image_probe.h"
#include "common/platform/file_ops.h"
#include "firmsmith/package/layout/flash_image.h"
#include "firmsmith/package/layout/install_desc.h"
#include "firmsmith/package/layout/json_file.h"
#include "firmsmith/package/make/make_options.h"

namespace check {
namespace {

constexpr std::uint8_t kErasedByte = 0xFF;
constexpr std::uint64_t kNodeAlignment = 4;
// An erased tail is looked for from the end in reads of this size.
constexpr std::size_t kErasedScanChunk = 256 * 1024;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

const char* SectionOf(const products::ProductProfile& product, const products::PartitionSpec* spec) {
  for (const products::NamedPartition& np : products::NamedPartitions(product))
    if (np.spec == spec) return np.section;
  return "";
}

void SetPartition(const products::ProductProfile& product, const products::PartitionSpec* spec,
                  ImageReport* image) {
  image->hasPartition = true;
  image->partition = SectionOf(product, spec);
  image->partitionStart = spec->start;
  image->partitionEnd = spec->end;
  image->freeRoom = static_cast<std::int64_t>(spec->end) - static_cast<std::int64_t>(spec->start) -
                    static_cast<std::int64_t>(image->payloadSize);
}

void ReadInstallDesc(const std::string& folder, PackageReport* report) {
  std::string text;
  report->descPresent = package::ReadDescriptionText(platform::JoinPath(folder, package::kInstallDescName), &text);
  if (!report->descPresent) return;
  report->descValid = package::ParseJsonObject(text, &report->desc);
  if (!report->descValid) return;
  const Json::Value& d = report->desc;
  if (d.isMember("Hardware") && d["Hardware"].isString()) report->hardware = d["Hardware"].asString();
  if (d.isMember("Vendor") && d["Vendor"].isString()) report->vendor = d["Vendor"].asString();
  if (!d.isMember("UpgradeCommand") || !d["UpgradeCommand"].isArray()) return;
  report->commandsValid = true;
  for (const Json::Value& c : d["UpgradeCommand"]) {
    BurnCommand command;
    if (c.isObject() && c.isMember("Command") && c["Command"].isString()) command.command = c["Command"].asString();
    if (c.isObject() && c.isMember("FileName") && c["FileName"].isString()) command.fileName = c["FileName"].asString();
    report->commands.push_back(command);
  }
}

}  // namespace

const products::PartitionSpec* PartitionOfEntry(const products::ProductProfile& product,
                                                const std::string& name) {
  for (int slot = 0; slot < package::kSlotCount; ++slot) {
    const std::string base = package::DefaultImageName(slot, product);
    if (package::ImageStem(base).size() <= 2) continue;  // no stem ("-x" of an empty web name)
    if (package::IsImageOfSlot(slot, base, name)) return package::SlotPartition(product, slot);
  }
  return nullptr;
}

namespace {

// Every entry but InstallDesc in name order, as a listing of the unpacked
// package would give them: the image entries the unpack diverted into
// their payloads, and the files it wrote.
bool InspectUpgradePackage(const std::string& folder, const products::ProductProfile* product,
                           std::map<std::string, ImageReport> images, PackageReport* report,
                           std::string* error) {
  ReadInstallDesc(folder, report);
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolder(folder, &entries); !listed)
    return *error = listed.message, false;
  for (const platform::FolderEntry& e : entries) {
    if (e.isDirectory || e.name == package::kInstallDescName || images.count(e.name)) continue;
    ImageReport entry;
    entry.name = e.name;
    entry.size = platform::FileSize(platform::JoinPath(folder, e.name));
    images.emplace(e.name, std::move(entry));
  }
  for (auto& [name, image] : images) report->entries.push_back(std::move(image));
  if (product) PlaceInProduct(*product, report);
  return true;
}

// A cramfs image read out of a flash partition is followed by the rest of
// the partition, which is no part of it: cut there, the readers do not warn
// of bytes past the file system's end.
void CutToCramfsSize(const std::string& path) {
  std::string why;
  platform::UniqueFd fd = platform::OpenRegular(path, O_RDWR, 0, &why);
  std::uint8_t head[fsimage::cramfs::kSuperSize + 8] = {};
  if (!fd.valid() || platform::ReadFull(fd.get(), head, sizeof head) != static_cast<ssize_t>(sizeof head)) return;
  if (fsimage::cramfs::GetLe32(head + fsimage::cramfs::kSuperMagic) != fsimage::cramfs::kMagic ||
      !(fsimage::cramfs::GetLe32(head + fsimage::cramfs::kSuperFlags) & fsimage::cramfs::kFlagFsidVersion2))
    return;
  const std::uint32_t size = fsimage::cramfs::GetLe32(head + fsimage::cramfs::kSuperSize);
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && size >= fsimage::cramfs::kImageAlignment && size < st.st_size)
    (void)::ftruncate(fd.get(), static_cast<off_t>(size));
}

// How many bytes at the start of a flash partition's copy the file system
// takes, as its image did in the package it came from: up to the last byte
// that is not erased flash (0xFF), rounded up to the 4 bytes every jffs2
// node is aligned to (cramfs and squashfs images end in zero padding). Read
// from the end, so an erased tail is all that is read twice.
platform::Status PayloadLength(const std::string& path, std::uint64_t* length) {
  std::string why;
  platform::UniqueFd fd = platform::OpenRegularForReading(path, &why);
  if (!fd.valid()) return platform::Status::Fail(why);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return platform::FailErrno("cannot read " + path);
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t end = size;
  std::vector<std::uint8_t> chunk(kErasedScanChunk);
  while (end > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), end));
    const ssize_t got = platform::ReadFullAt(fd.get(), chunk.data(), want, static_cast<off_t>(end - want));
    if (got != static_cast<ssize_t>(want)) return platform::FailErrno("cannot read " + path, got < 0 ? errno : EIO);
    std::size_t kept = want;
    while (kept > 0 && chunk[kept - 1] == kErasedByte) --kept;
    end -= want - kept;
    if (kept > 0) break;
  }
  *length = std::min<std::uint64_t>((end + kNodeAlignment - 1) / kNodeAlignment * kNodeAlignment, size);
  return platform::Status::Ok();
}

// One partition of the flash image copied out into the scratch folder and
// measured; "" or the one line why it cannot be.
std::string ReadFlashPartition(const std::string& path, const products::ProductProfile& product,
                               const products::NamedPartition& np, const std::string& scratch,
                               ImageReport* image) {
  image->name = np.section;
  image->payloadPath = platform::JoinPath(scratch, std::string(np.section) + ".part");
  std::string why;
  if (package::ReadPartitionFromFlash(path, image->payloadPath, np.spec->start, np.spec->end, &why) !=
      package::FlashResult::kOk)
    return "cannot read partition " + image->name + " of " + path + ": " + why;
  image->size = platform::FileSize(image->payloadPath);
  image->fsKind = fsimage::DetectImageKind(fsimage::kProbeBareImage, image->payloadPath, "", 0);
  if (image->fsKind == fsimage::kImageKindCramfs) CutToCramfsSize(image->payloadPath);
  if (platform::Status measured = PayloadLength(image->payloadPath, &image->payloadSize); !measured)
    return measured.message;
  SetPartition(product, np.spec, image);
  return "";
}

// The partitions are independent: they are copied out and measured side by
// side, each into its own report, kept in the product's partition order.
bool InspectFlashImage(const std::string& path, const products::ProductProfile& product, unsigned workers,
                       PackageReport* report, std::string* error) {
  report->flashImage = true;
  const std::vector<products::NamedPartition> all = products::NamedPartitions(product);
  std::vector<const products::NamedPartition*> present;
  for (const products::NamedPartition& np : all)
    if (np.spec->end > np.spec->start) present.push_back(&np);
  report->entries.resize(present.size());
  std::vector<std::string> failures(present.size());
  ForEachSideBySide(present.size(), workers, [&](std::size_t i) {
    failures[i] = ReadFlashPartition(path, product, *present[i], report->scratch->path(), &report->entries[i]);
  });
  // The first failure in partition order, as one after another would stop.
  for (const std::string& failure : failures)
    if (!failure.empty()) return *error = failure, false;
  return true;
}

std::string TimeText(std::uint32_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (!::gmtime_r(&t, &tm)) return "";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

}  // namespace

TraceToStderr::TraceToStderr() {
  std::fflush(stdout);
  saved_ = ::dup(STDOUT_FILENO);
  if (saved_ >= 0 && ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    ::close(saved_);
    saved_ = -1;
  }
}

TraceToStderr::~TraceToStderr() {
  if (saved_ < 0) return;
  std::fflush(stdout);
  ::dup2(saved_, STDOUT_FILENO);
  ::close(saved_);
}

const char* ImageKindName(int kind) {
  switch (kind) {
    case fsimage::kImageKindCramfs: return "cramfs";
    case fsimage::kImageKindSquashfs: return "squashfs";
    case fsimage::kImageKindJffs2: return "jffs2";
    default: return "none";
  }
}

std::string Hex32(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", value);
  return buf;
}

void PlaceInProduct(const products::ProductProfile& product, PackageReport* report) {
  for (ImageReport& image : report->entries) {
    if (!EndsWith(image.name, ".img")) continue;
    if (const products::PartitionSpec* spec = PartitionOfEntry(product, image.name)) SetPartition(product, spec, &image);
  }
}

bool FindProduct(const std::string& name, products::ProductProfile* product, std::string* error) {
  // A product file given by its path serves products that are not installed.
  if (EndsWith(name, ".ini") && platform::IsRegularFile(name)) {
    *product = products::LoadProductProfile(name);
    if (!product->name.empty()) return true;
    *error = name + ": no product in this file";
    return false;
  }
  for (const products::ProductProfile& p : products::LoadProductProfiles(platform::GetProgramDirectory())) {
    if (p.name == name) {
      *product = p;
      return true;
    }
  }
  *error = "no product named " + name + " in " + platform::GetProgramDirectory() + "Products";
  return false;
}

bool ProductOption(const std::vector<std::string>& args, products::ProductProfile* storage,
                   const products::ProductProfile** product, std::string* error) {
  *product = nullptr;
  const std::string* name = platform::CliOption(args, "--product");
  if (!name) return true;
  if (!FindProduct(*name, storage, error)) return false;
  *product = storage;
  return true;
}

namespace {
// Unpacks the package or reads the flash image's partitions.
bool Read(const std::string& path, const products::ProductProfile* product, unsigned workers,
          PackageReport* report, std::string* error);
}  // namespace

bool InspectPackage(const std::string& path, const products::ProductProfile* product,
                    PackageReport* report, std::string* error, unsigned workers) {
  try {
    *report = PackageReport();
    report->path = path;
    if (!platform::IsRegularFile(path)) return *error = path + ": not a readable file", false;
    if (!Read(path, product, workers, report, error)) return false;
    // What an extraction of each file system would give, or why it fails.
    // The images are independent and each reads only its own payload, so
    // they are read side by side, each into its own ImageReport.
    const std::uint64_t budget = fsimage::ReadExtractBudget(platform::GetProgramDirectory());
    std::vector<ImageReport*> readable;
    for (ImageReport& image : report->entries)
      if (!image.payloadPath.empty() && image.fsKind != fsimage::kImageKindNone) readable.push_back(&image);
    // Largest first, so that no large image is left to one core at the end.
    std::stable_sort(readable.begin(), readable.end(),
                     [](const ImageReport* a, const ImageReport* b) { return a->payloadSize > b->payloadSize; });
    // An image walk inflates its blocks on threads of its own, so that the
    // last large image does not leave the other cores idle.
    const unsigned inside = ThreadsInsideEach(readable.size(), workers);
    ForEachSideBySide(readable.size(), workers, [&](std::size_t i) {
      ImageReport& image = *readable[i];
      try {
        ReadContents(&image, budget, inside);
      } catch (const std::exception& e) {
        image.contentsRead = true;
        image.contentsProblem = std::string("its files cannot be read: ") + e.what();
        image.fsChecked = false;
        image.fsProblems.clear();
      }
    });
    return true;
  } catch (const std::exception& e) {
    *error = path + ": " + e.what();
    return false;
  }
}

namespace {

// True when the file opens with a ZIP local header: then a failed unpack is
// the package's fault, never a sign of a flash image.
bool LooksLikeZip(const std::string& path) {
  std::string why;
  platform::UniqueFd fd = platform::OpenRegularForReading(path, &why);
  char head[4] = {};
  return fd.valid() && platform::ReadFull(fd.get(), head, sizeof head) == 4 && std::memcmp(head, "PK\3\4", 4) == 0;
}

bool Read(const std::string& path, const products::ProductProfile* product, unsigned workers,
          PackageReport* report, std::string* error) {
  report->fileSize = platform::FileSize(path);
  report->scratch = std::make_shared<platform::TempFolder>();
  if (platform::Status made = report->scratch->Create(std::string(), "firmsmith-check-"); !made)
    return *error = made.message, false;
  report->unpackedFolder = platform::JoinPath(report->scratch->path(), "package");
  const std::string payloads = platform::JoinPath(report->scratch->path(), "payload");
  if (!platform::MakeFolders(payloads)) return *error = "cannot create " + payloads, false;
  platform::Status unpacked;
  std::map<std::string, ImageReport> images;
  if (fsimage::UnpackArchive(path, report->unpackedFolder, &unpacked, fsimage::kNoExtractBudget,
                             fsimage::ByteCount(), DivertImageEntries(report->unpackedFolder, payloads, &images)) == 0)
    return InspectUpgradePackage(report->unpackedFolder, product, std::move(images), report, error);
  // The destination exists once the archive was opened: then the package
  // is a ZIP archive that could not be unpacked, no flash image.
  if (platform::FileExists(report->unpackedFolder) || LooksLikeZip(path))
    return *error = unpacked.ok ? path + ": cannot be unpacked" : unpacked.message, false;
  report->unpackedFolder.clear();
  if (!product) return *error = path + ": not an upgrade package (a flash image needs --product)", false;
  return InspectFlashImage(path, *product, workers, report, error);
}

}  // namespace

Json::Value ReportJson(const PackageReport& report) {
  Json::Value root(Json::objectValue);
  root["path"] = report.path;
  root["kind"] = report.flashImage ? "flash image" : "upgrade package";
  root["size"] = Json::UInt64(report.fileSize);
  if (!report.flashImage) {
    Json::Value desc(Json::objectValue);
    desc["present"] = report.descPresent;
    desc["valid"] = report.descValid;
    desc["hardware"] = report.hardware;
    desc["vendor"] = report.vendor;
    Json::Value commands(Json::arrayValue);
    for (const BurnCommand& c : report.commands) {
      Json::Value item;
      item["command"] = c.command;
      item["fileName"] = c.fileName;
      commands.append(item);
    }
    desc["commands"] = commands;
    root["installDesc"] = desc;
  }
  Json::Value entries(Json::arrayValue);
  for (const ImageReport& e : report.entries) {
    Json::Value item;
    item["name"] = e.name;
    item["size"] = Json::UInt64(e.size);
    if (e.image) {
      Json::Value h;
      h["magic"] = Hex32(e.header.magic);
      h["magicOk"] = e.headerCheck.magicOk;
      h["headerCrc"] = Hex32(e.header.headerCrc);
      h["headerCrcOk"] = e.headerCheck.headerCrcOk;
      h["time"] = e.header.time;
      h["timeText"] = TimeText(e.header.time);
      h["dataSize"] = e.header.dataSize;
      h["loadAddress"] = Hex32(e.header.loadAddress);
      h["entryPoint"] = Hex32(e.header.entryPoint);
      h["dataCrc"] = Hex32(e.header.dataCrc);
      h["dataCrcOk"] = e.headerCheck.dataComplete && e.headerCheck.dataCrcOk;
      h["name"] = e.header.name;
      item["header"] = h;
    }
    if (!e.payloadPath.empty()) item["fileSystem"] = ImageKindName(e.fsKind);
    if (e.contentsRead) {
      Json::Value c;
      c["ok"] = e.contentsProblem.empty();
      if (e.contentsProblem.empty()) {
        c["entries"] = Json::UInt64(e.fileCount);
        c["unpackedBytes"] = Json::UInt64(e.unpackedBytes);
      } else {
        c["problem"] = e.contentsProblem;
      }
      item["contents"] = c;
    }
    if (e.hasPartition) {
      Json::Value p;
      p["name"] = e.partition;
      p["start"] = Hex32(e.partitionStart);
      p["end"] = Hex32(e.partitionEnd);
      p["size"] = Json::Int64(static_cast<std::int64_t>(e.partitionEnd) - e.partitionStart);
      p["free"] = Json::Int64(e.freeRoom);
      item["partition"] = p;
    }
    entries.append(item);
  }
  root[report.flashImage ? "partitions" : "entries"] = entries;
  return root;
}

std::string ReportText(const PackageReport& report) {
  std::ostringstream out;
  out << report.path << ": " << (report.flashImage ? "flash image" : "upgrade package") << ", "
      << report.fileSize << " bytes\n";
  if (!report.flashImage) {
    if (!report.descPresent) {
      out << "InstallDesc: missing\n";
    } else if (!report.descValid) {
      out << "InstallDesc: not a JSON object\n";
    } else {
      out << "InstallDesc: hardware \"" << report.hardware << "\", vendor \"" << report.vendor << "\"\n";
      for (const BurnCommand& c : report.commands) out << "  " << c.command << " " << c.fileName << "\n";
    }
  }
  for (const ImageReport& e : report.entries) {
    out << e.name << ": " << e.size << " bytes\n";
    if (e.image) {
      const fsimage::ImageHeader& h = e.header;
      out << "  load " << Hex32(h.loadAddress) << ", entry " << Hex32(h.entryPoint) << ", data "
          << h.dataSize << " bytes, time " << TimeText(h.time) << "\n";
      out << "  magic " << (e.headerCheck.magicOk ? "ok" : "BAD") << ", header CRC " << Hex32(h.headerCrc)
          << (e.headerCheck.headerCrcOk ? " ok" : " BAD") << ", data CRC " << Hex32(h.dataCrc)
          << (e.headerCheck.dataComplete && e.headerCheck.dataCrcOk ? " ok" : " BAD") << "\n";
    }
    if (!e.payloadPath.empty()) out << "  file system " << ImageKindName(e.fsKind) << "\n";
    if (e.contentsRead && e.contentsProblem.empty())
      out << "  contents " << e.fileCount << " entries, " << e.unpackedBytes << " bytes unpacked\n";
    else if (e.contentsRead)
      out << "  contents FAILED: " << e.contentsProblem << "\n";
    if (e.hasPartition) {
      out << "  partition " << e.partition << " " << Hex32(e.partitionStart) << "-" << Hex32(e.partitionEnd);
      out << ", " << e.freeRoom << " bytes free";
      out << "\n";
    }
  }
  return out.str();
}

}  // namespace check
