// What an upgrade package or a flash image holds, read with the package and
// image readers of fsimage/ and package/: InstallDesc, every entry with its
// partition header and file system, and, with a product, the partition each
// image belongs to and the room it leaves. The ground for inspect, verify and
// diff.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/platform/file_ops.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/products/product_profile.h"

namespace check {

// While alive, standard output goes to standard error: the readers trace
// what they unpack on standard output, which must carry only a command's
// report (JSON that scripts parse).
class TraceToStderr {
 public:
  TraceToStderr();
  ~TraceToStderr();
  TraceToStderr(const TraceToStderr&) = delete;
  TraceToStderr& operator=(const TraceToStderr&) = delete;

 private:
  int saved_ = -1;
};

struct BurnCommand {
  std::string command;   // "Burn" in every package we know
  std::string fileName;  // "" when the element names none
};

struct ImageReport {
  std::string name;        // entry name; for a flash image the partition's section
  std::uint64_t size = 0;  // bytes of the entry (flash: of the partition)
  bool image = false;      // an ".img" entry with a whole header
  fsimage::ImageHeader header;
  fsimage::ImageCheck headerCheck;
  std::string headerBytes;  // of an image entry: its first IH_SIZE bytes, as they are
  // Bytes behind the header; of a flash partition, the bytes its file
  // system takes from the partition's start (the erased rest left out).
  std::uint64_t payloadSize = 0;
  int fsKind = 0;                 // fsimage::ImageKind of the payload
  std::string payloadPath;        // the bare file-system image, in the report's scratch folder
  // The product's partition of this image (by entry name, or the flash
  // partition itself).
  bool hasPartition = false;
  std::string partition;  // section name: "CUSTOM", "USER", ...
  std::uint32_t partitionStart = 0;
  std::uint32_t partitionEnd = 0;
  std::int64_t freeRoom = 0;  // end - start - payload size; negative when it does not fit
  // The files of a cramfs, squashfs or jffs2 payload (partition_files.h):
  // how many and the bytes an extraction writes, or why an extraction would
  // fail or be cut by the budget ("" when it would not).
  bool contentsRead = false;
  std::size_t fileCount = 0;
  std::uint64_t unpackedBytes = 0;
  std::string contentsProblem;
  // The structural check of a cramfs or jffs2 payload, taken from the walk
  // that listed its files: CheckCramfsImage's lines, or the one line
  // CheckJffs2Image fails with; empty when sound.
  bool fsChecked = false;
  std::vector<std::string> fsProblems;
};

struct PackageReport {
  std::string path;
  bool flashImage = false;
  std::uint64_t fileSize = 0;
  // InstallDesc (upgrade packages).
  bool descPresent = false;
  bool descValid = false;  // a JSON object
  Json::Value desc;
  std::string hardware;
  std::string vendor;
  bool commandsValid = false;  // "UpgradeCommand" is an array
  std::vector<BurnCommand> commands;
  std::vector<ImageReport> entries;  // every entry but InstallDesc, in name order
  // The package's files (upgrade packages) but its image entries, which
  // were inflated straight into their payloads and header bytes.
  std::string unpackedFolder;
  std::shared_ptr<platform::TempFolder> scratch;  // removed when the last owner lets go
};

// Unpacks `path` (an upgrade package; with `product`, a file that is no ZIP
// archive is read as a flash image laid out by the product) and fills
// `report`. False with the reason in *error when the file is neither. The
// images' contents are read side by side on up to `workers` threads (0: one
// per core), each cramfs walk inflating its blocks on threads of its own
// (ThreadsInsideEach, side_by_side.h); the report is the same whatever the
// count.
bool InspectPackage(const std::string& path, const products::ProductProfile* product,
                    PackageReport* report, std::string* error, unsigned workers = 0);

// Places the entries of an upgrade package read without a product in the
// partitions of `product`, as InspectPackage with it would have.
void PlaceInProduct(const products::ProductProfile& product, PackageReport* report);

// The product named `name` among those of the program folder, or the one a
// product file (a path ending ".ini") describes.
bool FindProduct(const std::string& name, products::ProductProfile* product, std::string* error);

// The commands' "--product NAME|FILE.ini": *product stays nullptr without the
// option, else points at *storage filled by FindProduct.
bool ProductOption(const std::vector<std::string>& args, products::ProductProfile* storage,
                   const products::ProductProfile** product, std::string* error);

// The product's partition an entry belongs to, by its whole name as the make
// operation finds images ("custom-x.squashfs.img" -> CUSTOM;
// "360user-x.cramfs.img" is never USER); nullptr when none.
const products::PartitionSpec* PartitionOfEntry(const products::ProductProfile& product,
                                                const std::string& name);

// "cramfs", "squashfs" or "none".
const char* ImageKindName(int kind);
// "0x%08x".
std::string Hex32(std::uint32_t value);

// The report as JSON (what inspect --json prints) and as lines of text.
Json::Value ReportJson(const PackageReport& report);
std::string ReportText(const PackageReport& report);


}  // namespace check
