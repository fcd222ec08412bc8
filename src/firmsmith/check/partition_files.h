// The files of one partition image of a package or flash image (an
// ImageReport of package_inspect.h), for ls, extract, inspect and verify:
// cramfs by our reader, squashfs through "unsquashfs -lln" and unsquashfs,
// jffs2 by our node reader. Listing writes nothing; an extraction writes at
// most the extraction budget (extract_budget.h) and keeps nothing when it
// fails.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "firmsmith/check/package_inspect.h"
#include "firmsmith/fsimage/extract_budget.h"
#include "firmsmith/fsimage/source_tree.h"

namespace check {

// The image of `report` that `name` means: an entry's whole name
// ("custom-x.cramfs.img"), its name up to the first "." ("custom-x"), or the
// product partition it belongs to ("CUSTOM", any case; for a flash image
// the partition itself). nullptr with the reason in *error when none or
// several match.
const ImageReport* FindPartitionImage(const PackageReport& report, const std::string& name, std::string* error);

// Every entry below the image's root with type, permission bits, size
// (regular files; a link's target length for links) and link target. False
// with one line naming the entry and the cause in *error.
bool ListPayload(const ImageReport& image, std::vector<fsimage::SourceEntry>* files, std::string* error);

// Bytes an extraction of `files` writes: the sum of the regular files' sizes.
std::uint64_t UnpackedBytes(const std::vector<fsimage::SourceEntry>& files);

struct PayloadExtractOptions {
  bool createSpecialFiles = false;  // device nodes, FIFOs, sockets (else DEST.manifest)
  std::uint64_t budget = fsimage::kDefaultExtractBudget;
  unsigned workers = 1;  // threads inflating a cramfs image's blocks (0: one per core)
};

// Unpacks the payload into `destination`, which must not exist yet. False
// with the reason in *error; then nothing of the destination remains.
bool ExtractPayload(const ImageReport& image, const std::string& destination,
                    const PayloadExtractOptions& options, std::string* error);
// The same with the program folder's budget, without special files and on
// every core (its callers wait on it with nothing beside it).
bool ExtractPayload(const ImageReport& image, const std::string& destination, std::string* error);

// One line per entry: "<type> <mode> <size> <path>[ -> <target>]", e.g.
// "- 0644       6 etc/passwd", and as JSON objects.
std::string FilesText(const std::vector<fsimage::SourceEntry>& files);
Json::Value FilesJson(const std::vector<fsimage::SourceEntry>& files);

// What inspect and verify say of a payload's contents: "" when it lists and
// fits the budget, else the one-line reason an extraction would fail or be
// cut ("unpacks to N bytes, more than the extraction budget ...").
std::string ContentsProblem(const ImageReport& image, std::uint64_t budget, std::uint64_t* unpacked = nullptr,
                            std::size_t* count = nullptr);

// Fills the contents fields of `image` (contentsRead, contentsProblem,
// unpackedBytes, fileCount) as ContentsProblem gives them and, for a cramfs
// or jffs2 payload, fsChecked and fsProblems from the same walk (a cramfs
// one inflating its blocks on `workers` threads; 0: one per core).
void ReadContents(ImageReport* image, std::uint64_t budget, unsigned workers = 1);

}  // namespace check
