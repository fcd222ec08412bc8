#include "firmsmith/package/make/partition_unpack.h"

#include <vector>

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
  std::string temp;
  platform::Status ready = MakeTemporaryFolder(env, &temp);
  out->root = platform::JoinPath(temp, name + "_cramfs_root");
  // The folder is the run's own, but a partition unpacked twice in one run
  // must not be merged with its first tree.
  if (ready) ready = platform::RemoveTree(out->root);
  if (ready) ready = platform::MakeFolders(out->root);
  if (!ready) {
    ShowFailureKey(env, "create_error", "", ready.message);
    return false;
  }
  out->payload = platform::JoinPath(out->root, name + ".cramfs");
  if (o.kind == PackageKind::NetworkUpgrades) {
    platform::Status stripped;
    if (fsimage::StripImageHeader(request.imagePath, out->payload, &stripped) != 0) {
      ShowFailureKey(env, "readfile", "alarm_make",
                     stripped ? "cannot take the image out of " + request.imagePath : stripped.message);
      return false;
    }
  } else {
    std::string why;
    const FlashResult r = ReadPartitionFromFlash(request.imagePath, out->payload, request.start, request.end, &why);
    if (r != FlashResult::kOk) {
      ShowFailureKey(env, FlashResultKey(r), "", why);
      return false;
    }
    // A flash image that ends before the partition starts gives an empty
    // copy, which is no damaged partition but a flash image too small.
    platform::InputFile copy;
    if (platform::Status opened = copy.Open(out->payload); !opened) {
      ShowFailureKey(env, FlashResultKey(FlashResult::kCreateFailed), "", opened.message);
      return false;
    }
    if (copy.size() == 0 && request.end > request.start) {
      ShowFailureKey(env, FlashResultKey(FlashResult::kFlashTooSmall), "",
                     request.imagePath + ": ends before the partition's start at byte " +
                         std::to_string(request.start));
      return false;
    }
  }
  Pause(env, 1.0);
  out->detectedKind = fsimage::DetectImageKind(fsimage::kProbeBareImage, out->payload, "", 0);
  out->folder = platform::JoinPath(out->root, name);
  Pause(env, 2.0);
  // A damaged partition must stop the run: extracted leniently and rebuilt,
  // it would come back with empty files and fresh, valid CRCs.
  std::string damage;
  if (fs == products::kFsSquashfs) {
    platform::Status extracted;
    const int unpacked = fsimage::ExtractSquashfsImage(out->payload, out->folder, SinkOf(env), &extracted);
    Pause(env, kToolSettleSeconds);
    if (unpacked != 1 || !platform::IsDirectory(out->folder))
      damage = extracted ? "unsquashfs could not read " + out->payload : extracted.message;
  } else if (fs == products::kFsCramfs) {
    std::vector<std::string> problems;
    // The run waits on this check: its blocks are inflated on every core.
    if (fsimage::CheckCramfsImage(out->payload, &problems, 0) != 0)
      damage = out->payload + ": " + (problems.empty() ? "not a sound cramfs image" : problems.front());
    else {
      fsimage::CramfsExtractOptions options;
      options.budget = fsimage::ReadExtractBudget(env.programDirectory);
      options.workers = 0;  // as the check above: the run waits on it
      if (fsimage::ExtractCramfsImage(out->payload, out->folder, options, &damage) != 0 && damage.empty())
        damage = "cannot unpack " + out->payload;
    }
  }
  Pause(env, 2.0);
  if (!damage.empty()) {
    ShowFailureKey(env, kDamagedPartitionKey, "alarm_make", damage, name + "-x");
    return false;
  }
  return true;
}

}  // namespace package
