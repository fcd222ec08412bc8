#include "firmsmith/factory/flash_build.h"

#include <cstring>
#include <exception>
#include <map>
#include <vector>

#include "common/platform/fd.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "firmsmith/check/package_inspect.h"
#include "firmsmith/check/package_verify.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/products/flash_layout.h"

namespace factory {
namespace {

using platform::Status;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The checks the flash-image kind makes before it writes a partition, and
// those of the header that tell the image was made for this partition.
Status CheckImage(const std::string& package, const check::ImageReport& e, const products::ProductProfile& product,
                  std::uint32_t chipBytes) {
  const std::string name = package + ": " + e.name;
  if (e.name == kBootEnvironmentImage)
    return Status::Fail(name + ": the boot loader's environment does not go into a factory image");
  if (!e.hasPartition || e.partitionEnd <= e.partitionStart)
    return Status::Fail(name + ": product " + product.name + " has no partition for this image");
  const fsimage::ImageHeader& h = e.header;
  if (!e.image || !e.headerCheck.magicOk || !e.headerCheck.headerCrcOk)
    return Status::Fail(name + ": no sound partition header");
  if (!e.headerCheck.dataComplete || !e.headerCheck.dataCrcOk || h.dataSize != e.payloadSize)
    return Status::Fail(name + ": its data does not match the header's size and CRC");
  if (h.loadAddress != e.partitionStart || h.entryPoint != e.partitionEnd)
    return Status::Fail(name + ": header bounds " + check::Hex32(h.loadAddress) + "-" + check::Hex32(h.entryPoint) +
                        " are not those of partition " + e.partition + " " + check::Hex32(e.partitionStart) + "-" +
                        check::Hex32(e.partitionEnd));
  if (e.partitionEnd > chipBytes)
    return Status::Fail(name + ": partition " + e.partition + " ends past the " + std::to_string(chipBytes >> 20) +
                        " MiB chip");
  if (e.payloadSize > std::uint64_t{e.partitionEnd} - e.partitionStart)
    return Status::Fail(name + ": " + std::to_string(e.payloadSize) + " bytes do not fit partition " + e.partition +
                        " (" + std::to_string(e.partitionEnd - e.partitionStart) + " bytes)");
  return Status::Ok();
}

Status Build(const FlashBuildRequest& request, const products::ProductProfile& product) {
  const products::FlashLayout layout = products::MakeFlashLayout(product);
  if (layout.partitions.empty()) return Status::Fail("product " + product.name + " has no partitions");
  if (layout.chipBytes == 0)
    return Status::Fail("product " + product.name + ": its last partition ends at " + check::Hex32(layout.lastEnd) +
                        ", beyond the largest chip of 32 MiB");
  if (platform::FileExists(request.output) && !request.replace)
    return Status::Fail(request.output + ": already exists (--force replaces it)");
  if (platform::SameFile(request.output, request.package) || platform::SameFile(request.output, request.bootLoader))
    return Status::Fail(request.output + ": is an input of the build");

  std::vector<std::uint8_t> boot;
  if (Status read = platform::ReadFileBytes(request.bootLoader, &boot); !read) return read;
  if (boot.empty()) return Status::Fail(request.bootLoader + ": the boot loader file is empty");
  const products::LayoutPartition& lowest = layout.partitions.front();
  if (boot.size() > lowest.start)
    return Status::Fail(request.bootLoader + ": " + std::to_string(boot.size()) + " bytes run into partition " +
                        lowest.section + ", which starts at " + check::Hex32(lowest.start));

  check::PackageReport report;
  std::string error;
  if (!check::InspectPackage(request.package, &product, &report, &error)) return Status::Fail(error);
  if (report.flashImage) return Status::Fail(request.package + ": not an upgrade package");

  std::vector<std::uint8_t> chip(layout.chipBytes, kErasedByte);
  std::memcpy(chip.data(), boot.data(), boot.size());
  std::map<std::string, std::string> placed;  // partition -> entry
  for (const check::ImageReport& e : report.entries) {
    if (!EndsWith(e.name, ".img")) continue;  // only images are burnt
    if (Status checked = CheckImage(request.package, e, product, layout.chipBytes); !checked) return checked;
    if (placed.count(e.partition))
      return Status::Fail(request.package + ": " + placed[e.partition] + " and " + e.name +
                          " both belong to partition " + e.partition);
    placed[e.partition] = e.name;
    std::vector<std::uint8_t> payload;
    if (Status read = platform::ReadFileBytes(e.payloadPath, &payload); !read) return read;
    if (payload.size() != e.payloadSize) return Status::Fail(request.package + ": " + e.name + ": changed while read");
    std::memcpy(chip.data() + e.partitionStart, payload.data(), payload.size());
  }
  if (placed.empty()) return Status::Fail(request.package + ": holds no partition image");

  platform::OutputFile out;
  Status status = out.Create(request.output);
  if (status) status = out.Write(chip.data(), chip.size());
  if (!status) return status;
  const std::vector<std::string> problems = check::VerifyPackage(out.partPath(), &product);
  if (!problems.empty())
    return Status::Fail(request.output + ": was written but does not pass its check: " + problems.front());
  return out.Commit();
}

}  // namespace

platform::Status BuildFlashImage(const FlashBuildRequest& request, const products::ProductProfile& product) {
  try {
    return Build(request, product);
  } catch (const std::exception& e) {
    return Status::Fail(request.output + ": cannot be built: " + e.what());
  }
}

}  // namespace factory
