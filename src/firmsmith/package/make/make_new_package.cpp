// A new upgrade package built from the operator's partition folders:
// "<product>_all.bin" in the program folder.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/platform/files.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/package/customise/custom_partition.h"
#include "common/platform/file_ops.h"
#include "firmsmith/package/layout/install_desc.h"
#include "firmsmith/package/make/make_steps.h"

namespace package {
namespace {

// A product name becomes a file name in the program folder; it must not
// lead anywhere else.
std::string PackageFileName(const std::string& productName) {
  std::string name = productName;
  for (char& c : name)
    if (c == '/') c = '_';
  if (name == "." || name == "..") name = "_";
  return name + "_all.bin";
}

}  // namespace

bool BuildPackageFromFolders(const MakeOptions& o, const MakeEnvironment& env) {
  const products::ProductProfile& product = o.selectedProduct;
  if (product.name.empty()) {
    ShowMessageKey(env, "alarm_productmodel");
    return false;
  }
  const std::string stamp = TimeStamp();
  const std::string temp = env.programDirectory + "tmp" + stamp;
  const std::string dist = env.programDirectory + "dist" + stamp;
  if (!platform::MakeFolders(temp) || !platform::MakeFolders(dist)) {
    ShowMessageKey(env, "create_error");
    return false;
  }
  platform::DeleteFilesInTree(temp);
  platform::DeleteFilesInTree(dist);
  const std::string desc = platform::JoinPath(dist, kInstallDescName);
  if (!WriteFreshInstallDesc(desc, product.hardware, product.vendor)) {
    ShowMessageKey(env, "create_error");
    return false;
  }
  const PartitionCustomiser& customiser =
      env.customiser ? *env.customiser : DefaultPartitionCustomiser();

  for (int slot = 0; slot <= kSlotYlk; ++slot) {
    if (slot == kSlotStrings || slot == kSlotMtd || slot == kSlotUbootLogo) continue;
    if (!o.SlotTicked(slot)) continue;
    const std::string base = SlotBaseName(o, slot);
    std::string source = o.slots[slot].sourcePath;
    if (slot == kSlotLogo) {
      std::string fitted;
      if (!PrepareLogoFolder(source, product, temp, env, &fitted)) return false;
      source = fitted;
    }
    if (slot == kSlotUser && o.lineInGain) {
      CustomisationRequest request;
      request.options = &o;
      request.environment = &env;
      request.start = product.user.start;
      request.end = product.user.end;
      if (!customiser.AppendGainLine(request, source)) return false;
    }
    if (slot == kSlotCustom) {
      std::string buildFolder;
      if (!ApplyIgnoreRule(source, product.custom.ignore, false, temp, &buildFolder)) {
        ShowMessageKey(env, "create_error");
        return false;
      }
      source = buildFolder;
    }
    const std::string fsImage = platform::JoinPath(temp, base);
    if (!BuildFileSystemImage(o.slots[slot].fs, slot == kSlotLogo, source, fsImage, env)) {
      // Reported like a failed rebuild: an image that was not built must not
      // be listed in the package.
      ShowFormattedKey(env, "alarm_makeerror", base, "alarm_make");
      return false;
    }
    const products::PartitionSpec& spec = *SlotPartition(product, slot);
    const std::string output = platform::JoinPath(dist, base + ".img");
    const int r = fsimage::MakeImage(fsImage, output, spec.start, spec.end);
    if (r == -2) {
      ::unlink(output.c_str());
      ShowMessageKey(env, "alarm_file");
      return false;
    }
    if (r != 0) {
      ::unlink(output.c_str());
      ShowMessageKey(env, "create_error");
      return false;
    }
    const DescResult listed = AppendBuildCommand(desc, base + ".img");
    if (listed != DescResult::kOk && listed != DescResult::kUnchanged) {
      ShowMessageKey(env, "create_error");
      return false;
    }
  }

  const std::string packagePath = env.programDirectory + PackageFileName(product.name);
  // Packed beside its final name, so an older package of the product stays
  // whole when packing fails.
  std::string partial = packagePath + ".part-XXXXXX";
  const int fd = ::mkstemp(partial.data());
  if (fd >= 0) {
    ::fchmod(fd, 0644);
    ::close(fd);
  }
  if (fd < 0 || fsimage::PackFolder(dist, partial) != 0 ||
      ::rename(partial.c_str(), packagePath.c_str()) != 0) {
    if (fd >= 0) ::unlink(partial.c_str());
    ShowMessageKey(env, "make_updatefile_failed");
    return false;
  }
  if (!VerifyWrittenOutput(env, packagePath, &product)) return false;
  ShowFormattedKey(env, "package_success", packagePath);
  return true;
}

}  // namespace package
