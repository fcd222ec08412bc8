// The folder tree an external tool builds an image from, read as the tool
// will read it: the builders check beforehand that every entry can be read
// (the tools turn an unreadable file into an empty or a missing one without
// failing) and compare the image the tool wrote with this list afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/platform/status.h"

namespace fsimage {

// Entry types, written as the first letter of an "ls -l" mode.
inline constexpr char kTypeFile = '-';
inline constexpr char kTypeFolder = 'd';
inline constexpr char kTypeLink = 'l';
inline constexpr char kTypeCharDevice = 'c';
inline constexpr char kTypeBlockDevice = 'b';
inline constexpr char kTypeFifo = 'p';
inline constexpr char kTypeSocket = 's';

struct SourceEntry {
  std::string path;        // below the root, "/"-joined, e.g. "etc/init.d/rcS"
  char type = kTypeFile;   // one of the kType letters
  std::uint64_t size = 0;  // bytes of a regular file
  std::string linkTarget;  // of a symbolic link
  // Attributes, as a listing of an image or the folder gives them:
  // permission bits with the set-id and sticky
  // bits (07777), owner, and the device number of a device.
  std::uint32_t mode = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  // Set on an entry the image must hold with exactly these attributes.
  bool attributesKnown = false;
};

// Every entry below `folder` (the root itself not included), folders before
// their contents, in name order. Links are recorded, never followed. A folder
// that cannot be listed, a regular file that cannot be opened for reading or
// a link that cannot be read fails, naming it.
platform::Status ReadSourceTree(const std::string& folder, std::vector<SourceEntry>* entries);

// Compares what an image holds (`image`, as its reader lists it) with the
// source it was built from: every source entry present with its type, every
// regular file with its size, every link with its target, an entry whose
// attributes are known with its mode, owner and device number, and nothing
// else.
// The first difference fails, naming the image and the entry.
platform::Status CompareImageWithSource(const std::string& imagePath,
                                        const std::vector<SourceEntry>& image,
                                        const std::vector<SourceEntry>& source);

// The entry type letter of an st_mode.
char TypeOfMode(unsigned mode);

}  // namespace fsimage
