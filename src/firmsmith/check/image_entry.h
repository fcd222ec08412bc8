// An image entry ("*.img") of a package, inflated once: its 64-byte header
// decoded and checked as the bytes arrive, the bytes behind it written
// straight to its payload file, their CRC-32 taken on the way. No unpacked
// copy of the image is written, and none is read back.
#pragma once

#include <map>
#include <string>

#include "firmsmith/check/package_inspect.h"
#include "firmsmith/fsimage/archive.h"

namespace check {

// What UnpackArchive is given as `divert`: each image entry at the top of
// the package goes to `payloads`/<name>, and (*images)[name] receives its
// report (size, header, header check, payload size, path and kind) once the
// entry is whole and its ZIP CRC-32 right. An image entry shorter than a
// header has no payload: it is written to `unpacked`/<name> as any other
// entry. `images` and the folders outlive the unpack.
fsimage::EntryDivert DivertImageEntries(const std::string& unpacked, const std::string& payloads,
                                        std::map<std::string, ImageReport>* images);

}  // namespace check
