// Takes the custom or user partition out of the input for a rework in place:
// the package's image without its header (or the partition's bytes of a
// flash image) becomes "<temp>/<name>_cramfs_root/<name>.cramfs" (<temp>:
// the run's temporary folder, MakeTemporaryFolder), which is
// unpacked into "<temp>/<name>_cramfs_root/<name>" by the slot's file system
// (squashfs: the external unpacker; cramfs: our extractor; jffs2 and ext4
// are not unpacked). The fixed pauses of the devices' tools separate the
// steps: 1 s after the copy, 2 s after the probe, 2 s after the unpack.
#pragma once

#include <string>

#include "firmsmith/package/customise/custom_partition.h"

namespace package {

struct UnpackedPartition {
  std::string root;     // <temp>/<name>_cramfs_root
  std::string payload;  // root/<name>.cramfs
  std::string folder;   // root/<name>
  int detectedKind = 0; // fsimage::ImageKind of the payload
};

// `name` is "custom" or "user"; `fs` the slot's file-system choice. False
// after one message box: "readfile" / "alarm_make" when the image cannot be
// taken out or unpacked, the flash-image keys of ReadPartitionFromFlash
// ("product_error" too for a flash image that ends before the partition), or
// "create_error"; each with its reason naming the file.
bool UnpackPartitionForRework(const CustomisationRequest& request, const std::string& name, int fs,
                              UnpackedPartition* out);

}  // namespace package
