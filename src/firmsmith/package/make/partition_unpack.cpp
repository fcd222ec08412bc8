#include "firmsmith/package/make/partition_unpack.h"

#include "common/platform/debuglog.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/cramfs_reader.h"
#include "firmsmith/fsimage/external_tools.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/fsimage/image_probe.h"
#include "common/platform/file_ops.h"
#include "firmsmith/package/layout/flash_image.h"

namespace package {

bool UnpackPartitionForRework(const CustomisationRequest& request, const std::string& name, int fs,
                              UnpackedPartition* out) {
  const MakeEnvironment& env = *request.environment;
  const MakeOptions& o = *request.options;
  const std::string temp = MakeTemporaryFolder(env);
  out->root = platform::JoinPath(temp, name + "_cramfs_root");
  // Runs within the same second share the temporary folder: a tree left by
  // the previous one must not be merged into this partition.
  if (temp.empty() || !platform::RemoveTree(out->root) || !platform::MakeFolders(out->root)) {
    ShowMessageKey(env, "create_error");
    return false;
  }
  out->payload = platform::JoinPath(out->root, name + ".cramfs");
  if (o.kind == PackageKind::NetworkUpgrades) {
    if (fsimage::StripImageHeader(request.imagePath, out->payload) != 0) {
      ShowMessageKey(env, "readfile", "alarm_make");
      return false;
    }
  } else {
    const FlashResult r = ReadPartitionFromFlash(request.imagePath, out->payload, request.start, request.end);
    if (r != FlashResult::kOk) {
      ShowMessageKey(env, FlashResultKey(r));
      return false;
    }
  }
  Pause(env, 1.0);
  out->detectedKind = fsimage::DetectImageKind(fsimage::kProbeBareImage, out->payload, "", 0);
  out->folder = platform::JoinPath(out->root, name);
  Pause(env, 2.0);
  bool unpacked = true;
  if (fs == products::kFsSquashfs) {
    unpacked = fsimage::ExtractSquashfsImage(out->payload, out->folder, SinkOf(env)) == 1 &&
               platform::IsDirectory(out->folder);
  } else if (fs == products::kFsCramfs) {
    std::string why;
    unpacked = fsimage::ExtractCramfsImage(out->payload, out->folder, &why) == 0;
    if (!unpacked) platform::DebugOutput("cramfs extraction failed: %s\n", why.c_str());
  }
  Pause(env, 2.0);
  if (!unpacked) {
    ShowMessageKey(env, "readfile", "alarm_make");
    return false;
  }
  return true;
}

}  // namespace package
