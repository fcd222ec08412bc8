// A new upgrade package built from the operator's partition folders:
// "<product>_all.bin" in the program folder, or the operator's output path.
#include <unistd.h>

#include <string>

#include "common/platform/files.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/package/customise/custom_partition.h"
#include "common/platform/file_ops.h"
#include "firmsmith/package/layout/install_desc.h"
#include "firmsmith/package/make/build_queue.h"
#include "firmsmith/package/make/make_plan.h"
#include "firmsmith/package/make/make_run_folders.h"
#include "firmsmith/package/make/make_steps.h"

namespace package {
bool BuildPackageFromFolders(const MakeOptions& o, const MakeEnvironment& env) {
  const products::ProductProfile& product = o.selectedProduct;
  if (product.name.empty()) {
    ShowMessageKey(env, "alarm_productmodel");
    return false;
  }
  if (std::string why; !o.outputPath.empty() && !OutputPathUsable(o.outputPath, o.replaceOutput, "", &why)) {
    ShowFailureKey(env, kOutputExistsKey, "", why);
    return false;
  }
  // The run's own temporary folder, with the distribution folder in it: a
  // run started in the same second never shares them, and both go when the
  // run ends.
  std::string temp;
  platform::Status ready = MakeTemporaryFolder(env, &temp);
  const std::string dist = platform::JoinPath(temp, kDistributionFolder);
  if (ready) ready = platform::MakeFolders(dist);
  if (!ready) {
    ShowFailureKey(env, "create_error", "", ready.message);
    return false;
  }
  const std::string desc = platform::JoinPath(dist, kInstallDescName);
  if (!WriteFreshInstallDesc(desc, product.hardware, product.vendor)) {
    ShowFailureKey(env, "create_error", "", "cannot write " + desc);
    return false;
  }
  const PartitionCustomiser& customiser =
      env.customiser ? *env.customiser : DefaultPartitionCustomiser();

  // Completions run here, in slot order: the image wrapped into the
  // distribution folder and listed in InstallDesc.
  BuildQueue queue(env);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const SlotRule& rule = SlotRuleOf(slot);
    if (!rule.inNewPackage || !o.SlotTicked(slot)) continue;
    const bool gainLine = rule.inPlace == InPlaceRework::kUserGainLine && o.lineInGain;
    // Steps that show messages of their own wait for the earlier slots, so
    // that what the operator sees comes in the order of one build at a time;
    // logo fitting shows only its failure, and holds that back instead.
    if (gainLine && !queue.CompleteAll()) return false;
    const std::string base = SlotBaseName(o, slot);
    std::string source = o.slots[slot].sourcePath;
    if (rule.fitsLogo) {
      std::string fitted;
      if (!PrepareLogoFolder(source, product, temp, env, &fitted, [&queue] { return queue.CompleteAll(); }))
        return false;
      source = fitted;
    }
    if (gainLine) {
      CustomisationRequest request;
      request.options = &o;
      request.environment = &env;
      request.start = product.user.start;
      request.end = product.user.end;
      if (!customiser.AppendGainLine(request, source)) return false;
    }
    std::string manifest;  // of a copy staged by the ignore rule
    if (rule.inPlace == InPlaceRework::kCustomPartition) {
      std::string buildFolder;
      if (platform::Status applied = ApplyIgnoreRule(source, product.custom.ignore, false, temp, &buildFolder);
          !applied) {
        if (!queue.CompleteAll()) return false;
        ShowFailureKey(env, "create_error", "", applied.message);
        return false;
      }
      if (buildFolder != source) manifest = ManifestBeside(o.slots[slot].fs, buildFolder);
      source = buildFolder;
    }
    BuildJob job;
    job.fs = o.slots[slot].fs;
    job.smallBlocks = rule.smallBlocks;
    job.sourceFolder = source;
    job.imagePath = platform::JoinPath(temp, base);
    job.manifest = manifest;
    // Our own writer builds the image behind room for its header: the
    // distribution folder lies in the temporary folder, so wrapping it is a
    // rename rather than a copy.
    const bool headerRoom = BuildsInProcess(job.fs);
    if (headerRoom) job.imageOffset = fsimage::IH_SIZE;
    const products::PartitionSpec spec = *SlotPartition(product, slot);
    const std::string output = platform::JoinPath(dist, base + ".img");
    const std::string fsImage = job.imagePath;
    const bool added = queue.Add(job, [&env, &desc, base, spec, output, fsImage, headerRoom](const platform::Status& built) {
      if (!built) {
        // Reported like a failed rebuild: an image that was not built must
        // not be listed in the package.
        ShowFailureKey(env, "alarm_makeerror", "alarm_make", built.message, base);
        return false;
      }
      const std::uint64_t size = ImageSizeOf(fsImage, headerRoom);
      platform::Status wrapped;
      ReportStep(env, MakeStep::kWrapping, platform::BaseName(output));
      const int r = headerRoom ? fsimage::WrapImageInPlace(fsImage, output, spec.start, spec.end, &wrapped)
                               : fsimage::MakeImage(fsImage, output, spec.start, spec.end, &wrapped);
      if (r == -2) {
        ::unlink(output.c_str());
        ShowFailureKey(env, "alarm_file", "",
                       base + ": image of " + std::to_string(size) + " bytes, room for " +
                           std::to_string(std::uint64_t{spec.end} - spec.start) + " bytes");
        return false;
      }
      if (r != 0) {
        ::unlink(output.c_str());
        ShowFailureKey(env, "create_error", "", wrapped ? "cannot write " + output : wrapped.message);
        return false;
      }
      const DescResult listed = AppendBuildCommand(desc, base + ".img");
      if (listed != DescResult::kOk && listed != DescResult::kUnchanged) {
        ShowFailureKey(env, "create_error", "", "cannot rewrite " + desc);
        return false;
      }
      return true;
    });
    if (!added) return false;
  }
  if (!queue.CompleteAll()) return false;

  const std::string packagePath =
      o.outputPath.empty() ? env.programDirectory + NewPackageFileName(product.name) : o.outputPath;
  // Packed beside its final name and checked there, so an older package of
  // the product stays whole when packing or the check fails.
  platform::OutputFile packed;
  platform::Status status = packed.Create(packagePath);
  platform::Status packedWhy;
  ReportStep(env, MakeStep::kPacking, platform::BaseName(packagePath));
  fsimage::PackOptions pack;
  pack.scratchParent = temp;  // beside the distribution folder, never in it
  pack.count = StepCounter(env, MakeStep::kPacking, platform::BaseName(packagePath));
  if (status && fsimage::PackFolder(dist, packed.partPath(), &packedWhy, pack) != 0)
    status = packedWhy ? platform::Status::Fail("cannot pack " + dist + " into " + packed.partPath())
                       : packedWhy;
  if (!status) {
    ShowFailureKey(env, "make_updatefile_failed", "", status.message);
    return false;
  }
  if (!VerifyWrittenOutput(env, packed.partPath(), packagePath, &product)) return false;
  if (platform::Status committed = packed.Commit(o.outputPath.empty() || o.replaceOutput); !committed) {
    ShowFailureKey(env, "make_updatefile_failed", "", committed.message);
    return false;
  }
  ShowWrittenKey(env, "package_success", packagePath, packagePath);
  return true;
}

}  // namespace package
