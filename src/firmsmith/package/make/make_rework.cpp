// Rework of an existing upgrade package (unpack, rebuild the ticked
// partitions, rewrite InstallDesc, repack) or of a flash image (rebuild the
// ticked partitions and write them in place).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/platform/debuglog.h"
#include "common/platform/files.h"
#include "common/uitext/language_table.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/package/customise/custom_partition.h"
#include "common/platform/file_ops.h"
#include "firmsmith/package/layout/flash_image.h"
#include "firmsmith/package/layout/install_desc.h"
#include "firmsmith/package/make/make_steps.h"
#include "firmsmith/package/layout/raw_data.h"
#include "firmsmith/package/layout/unpack_check.h"

namespace package {
namespace {

constexpr const char* kNoInstallDescKey = "Firmsmith.The upgrade file holds no InstallDesc.";
constexpr const char* kBadInstallDescKey = "Firmsmith.The InstallDesc of the upgrade file is not valid JSON.";
constexpr const char* kNoTemplateKey = "Firmsmith.The boot logo header template imgH.data is missing or empty.";
constexpr const char* kNoLogoFileKey = "Firmsmith.Cannot open the boot logo file.";
constexpr const char* kBackupFailedKey = "Firmsmith.Cannot write the backup of the original file.";
// Shown untranslated, as the device makers' tools always have.
constexpr const char* kUbootLogoTooBigText = "UBOOTLOGO图片文件需低于56kB";

class Rework {
 public:
  Rework(const MakeOptions& options, const MakeEnvironment& environment)
      : o_(options),
        env_(environment),
        customiser_(environment.customiser ? *environment.customiser : DefaultPartitionCustomiser()),
        network_(options.kind == PackageKind::NetworkUpgrades),
        input_(options.originalFile),
        work_(WorkFolderFor(options.originalFile)),
        desc_(platform::JoinPath(work_, kInstallDescName)) {}
  ~Rework() {
    if (!flashCopy_.empty()) ::unlink(flashCopy_.c_str());
  }
  Rework(const Rework&) = delete;
  Rework& operator=(const Rework&) = delete;

  bool Run();

 private:
  bool Fail(const std::string& key, const std::string& caption = "") {
    ShowMessageKey(env_, key, caption);
    return false;
  }
  bool FailAndDropWork(const std::string& key, const std::string& caption = "") {
    platform::RemoveTree(work_);
    return Fail(key, caption);
  }
  bool SkipSlot(int slot) const;
  bool ProcessSlot(int slot);
  bool ListInInstallDesc(int slot, const std::string& imageFile);
  bool NeighbourLoadAddress(int slot, std::uint32_t* address);
  bool PrepareRawData(int slot, std::string* dataFile);
  bool PatchFlash(const std::string& fsImage, std::uint32_t start, std::uint32_t end);
  bool ReplaceFlashImage();
  bool PackAndReplaceInput();

  const MakeOptions& o_;
  const MakeEnvironment& env_;
  const PartitionCustomiser& customiser_;
  const bool network_;
  const std::string input_;
  const std::string work_;
  const std::string desc_;
  std::string flashCopy_;  // the flash image being patched, until it replaces the input
};

bool Rework::SkipSlot(int slot) const {
  if (!o_.SlotTicked(slot)) return true;
  switch (slot) {
    case kSlotApp:
    case kSlotStrings: return true;
    case kSlotMtd: return !o_.restoreDefaults;
    case kSlotUbootLogo: return !o_.ubootLogo || o_.ubootLogoPath.empty();
    case kSlotRomfs2: return !o_.romfs2 || o_.slots[kSlotRomfs2].sourcePath.empty();
    case kSlotParam: return !o_.param || o_.slots[kSlotParam].sourcePath.empty();
    default: return false;
  }
}

bool Rework::Run() {
  if (input_.empty()) {
    SinkOf(env_).ShowMessage("alarm_filedir", kApplicationTitle);
    return false;
  }
  // The work folder is ours alone; whatever an earlier failed run left in it
  // must not end up in this package.
  platform::RemoveTree(work_);
  if (!platform::MakeFolders(work_)) return Fail("create_error");

  if (network_) {
    if (fsimage::UnpackArchive(input_, work_) != 0 || !UnpackedCompletely(input_, work_))
      return FailAndDropWork("alarm_extract", "alarm_make");
    switch (CheckInstallDesc(desc_)) {
      case DescResult::kOk: break;
      case DescResult::kMissing: return FailAndDropWork(kNoInstallDescKey, "alarm_make");
      default: return FailAndDropWork(kBadInstallDescKey, "alarm_make");
    }
    if (o_.oemDevType && ReplaceOemDevType(desc_, o_.oemDevTypeText) != DescResult::kOk)
      return FailAndDropWork(kBadInstallDescKey, "alarm_make");
  } else if (!platform::IsRegularFile(input_)) {
    return FailAndDropWork("open_original_file");
  }

  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (SkipSlot(slot)) continue;
    if (!ProcessSlot(slot)) return false;
  }

  if (network_) {
    // Text edits splice commands in; whatever the original held, the result
    // must still be a description the device can parse.
    if (CheckInstallDesc(desc_) != DescResult::kOk)
      return FailAndDropWork(kBadInstallDescKey, "alarm_make");
    if (!PackAndReplaceInput()) return false;
  } else if (!ReplaceFlashImage()) {
    return false;
  }
  platform::RemoveTree(work_);
  // A reworked package keeps the bounds its images had, which need not be
  // the product's: only its structure is checked. A flash image is laid out
  // by the product.
  const products::ProductProfile* layout = network_ ? nullptr : &o_.selectedProduct;
  if (!VerifyWrittenOutput(env_, input_, layout)) return false;
  ShowMessageKey(env_, "alarm_make");
  return true;
}

bool Rework::ListInInstallDesc(int slot, const std::string& imageFile) {
  DescResult r = DescResult::kUnchanged;
  if (slot == kSlotMtd) {
    r = AddMtdCommand(desc_, work_, imageFile);
  } else if (!InstallDescListsImage(desc_, imageFile)) {
    const bool loose = slot == kSlotUbootLogo || slot == kSlotRomfs2 || slot == kSlotParam;
    r = InsertReworkCommand(desc_, imageFile, loose);
  }
  if (r == DescResult::kOk || r == DescResult::kUnchanged) return true;
  return FailAndDropWork(kBadInstallDescKey, "alarm_make");
}

bool Rework::NeighbourLoadAddress(int slot, std::uint32_t* address) {
  // This board's user partition ends where the package's custom image
  // starts, and its custom partition where the logo image starts.
  const int neighbour = slot == kSlotUser ? kSlotCustom : kSlotLogo;
  const std::string base = DefaultImageName(neighbour, o_.selectedProduct);
  std::string name = FindExistingImage(work_, neighbour, base);
  if (name.empty()) name = base + ".img";
  const std::string path = platform::JoinPath(work_, name);
  std::uint32_t start = 0, end = 0;
  switch (ReadImageBounds(path, false, &start, &end)) {
    case BoundsResult::kOk:
      *address = start;
      return true;
    case BoundsResult::kNotOpened:
      SinkOf(env_).ShowMessage(path, "loss file");
      return false;
    case BoundsResult::kShort:
      return Fail("readfile", "alarm_make");
  }
  return false;
}

bool Rework::PrepareRawData(int slot, std::string* dataFile) {
  const std::string folder = MakeTemporaryFolder(env_);
  if (folder.empty()) return Fail("create_error");
  if (slot == kSlotMtd) {
    *dataFile = platform::JoinPath(folder, kMtdDataName);
    if (!WriteMtdData(*dataFile, o_.selectedProduct.mtd.start, o_.selectedProduct.mtd.end))
      return Fail("create_error");
    return true;
  }
  std::string templateText;
  platform::ReadFileText(env_.programDirectory + kHeaderTemplateName, &templateText);
  const std::vector<std::uint8_t> headerTemplate = ParseHeaderTemplate(templateText);
  if (headerTemplate.empty()) return Fail(kNoTemplateKey);
  *dataFile = platform::JoinPath(folder, kUbootLogoDataName);
  switch (WriteUbootLogoData(*dataFile, headerTemplate, o_.ubootLogoPath)) {
    case UbootLogoResult::kOk: return true;
    case UbootLogoResult::kLogoTooBig:
      platform::RemoveTree(work_);
      SinkOf(env_).ShowMessage(kUbootLogoTooBigText, uitext::GetString("alarm_make"));
      return false;
    case UbootLogoResult::kLogoUnreadable: return Fail(kNoLogoFileKey);
    case UbootLogoResult::kCreateFailed: return Fail("create_error");
  }
  return false;
}

bool Rework::PatchFlash(const std::string& fsImage, std::uint32_t start, std::uint32_t end) {
  if (flashCopy_.empty()) {
    // Partitions are written into a copy that replaces the flash image only
    // when every partition went in: a failed run leaves the image as it was.
    std::string copy = input_ + ".part-XXXXXX";
    const int fd = ::mkstemp(copy.data());
    if (fd < 0) return Fail("create_error");
    ::close(fd);
    flashCopy_ = copy;
    if (!platform::CopyFileReplacing(input_, flashCopy_)) return Fail("open_original_file");
  }
  const FlashResult r = PatchFlashImage(flashCopy_, fsImage, start, end);
  if (r == FlashResult::kOk) return true;
  return Fail(FlashResultKey(r));
}

bool Rework::ReplaceFlashImage() {
  if (flashCopy_.empty()) return true;
  // The backup holds the flash image as it was before this run, however
  // many partitions the run wrote.
  if (!platform::CopyFileReplacing(input_, input_ + ".bak")) return Fail(kBackupFailedKey);
  struct stat st {};
  if (::stat(input_.c_str(), &st) == 0) ::chmod(flashCopy_.c_str(), st.st_mode & 07777);
  if (::rename(flashCopy_.c_str(), input_.c_str()) != 0) return Fail("open_original_file");
  flashCopy_.clear();
  return true;
}

bool Rework::ProcessSlot(int slot) {
  const std::string base = SlotBaseName(o_, slot);
  std::string output = platform::JoinPath(work_, base + ".img");
  const products::PartitionSpec& spec = *SlotPartition(o_.selectedProduct, slot);
  const std::string& sourcePath = o_.slots[slot].sourcePath;

  std::uint32_t headerStart = 0, headerEnd = 0;
  BoundsResult headerBounds = BoundsResult::kNotOpened;
  if (network_) {
    const std::string existing = FindExistingImage(work_, slot, base);
    if (!existing.empty()) output = platform::JoinPath(work_, existing);
    const std::string imageFile = existing.empty() ? base + ".img" : existing;
    if (slot == kSlotCustom && sourcePath.empty() && !InstallDescListsImage(desc_, imageFile))
      return Fail("readfile", "alarm_noconfigimg");
    if (!ListInInstallDesc(slot, imageFile)) return false;
    if (slot != kSlotMtd && slot != kSlotUbootLogo && slot != kSlotRomfs2 && slot != kSlotParam) {
      headerBounds = ReadImageBounds(output, slot == kSlotLogo, &headerStart, &headerEnd);
      if (headerBounds == BoundsResult::kShort) return Fail("readfile", "alarm_make");
    }
  }

  std::uint32_t start = spec.start, end = spec.end;
  // romfs keeps the bounds its existing image was made with; without one
  // (or in a flash image) the product's bounds serve.
  if (slot == kSlotRomfs && headerBounds == BoundsResult::kOk) {
    start = headerStart;
    end = headerEnd;
  }
  if (network_ && o_.selectedProduct.hardware == "NVR-K7000-S" &&
      (slot == kSlotUser || slot == kSlotCustom)) {
    if (!NeighbourLoadAddress(slot, &end)) return false;
  }

  // The file-system image to wrap or patch in.
  std::string fsImage;
  std::string rawDataFile;
  if (slot == kSlotMtd || slot == kSlotUbootLogo) {
    if (!PrepareRawData(slot, &rawDataFile)) return false;
    fsImage = rawDataFile;
  } else {
    std::string source = sourcePath;
    bool ownedByUs = false;
    const std::string staging = env_.programDirectory + "tmp" + TimeStamp();
    if (slot == kSlotLogo && !source.empty()) {
      std::string fitted;
      if (!PrepareLogoFolder(source, o_.selectedProduct, staging, env_, &fitted)) return false;
      ownedByUs = fitted != source;
      source = fitted;
    }
    if (source.empty() && (slot == kSlotUser || slot == kSlotCustom)) {
      CustomisationRequest request;
      request.options = &o_;
      request.environment = &env_;
      request.workFolder = work_;
      request.imagePath = network_ ? output : input_;
      request.start = spec.start;
      request.end = spec.end;
      const bool prepared = slot == kSlotCustom
                                ? customiser_.PrepareCustomPartition(request, &source)
                                : (o_.lineInGain && customiser_.PrepareUserPartition(request, &source));
      if (!prepared) {
        if (slot == kSlotUser && !o_.lineInGain) return FailAndDropWork("alarm_update");
        return false;
      }
      ownedByUs = true;
    }
    std::string buildFolder;
    if (!ApplyIgnoreRule(source, o_.selectedProduct.custom.ignore, ownedByUs, staging, &buildFolder))
      return Fail("create_error");
    const int fs = (slot == kSlotRomfs || slot == kSlotRomfs2 || slot == kSlotParam)
                       ? products::kFsJffs2
                       : o_.slots[slot].fs;
    fsImage = env_.programDirectory + base;
    if (!BuildFileSystemImage(fs, slot == kSlotLogo, buildFolder, fsImage, env_)) {
      ::unlink(fsImage.c_str());
      platform::RemoveTree(work_);
      ShowFormattedKey(env_, "alarm_makeerror", base, "alarm_make");
      return false;
    }
  }

  if (network_) {
    const int r = fsimage::MakeImage(fsImage, output, start, end);
    ::unlink(fsImage.c_str());
    if (r != 0) {
      ::unlink(output.c_str());
      ShowFormattedKey(env_, "make_error", base, "alarm_make");
      return false;
    }
    return true;
  }
  const bool patched = PatchFlash(fsImage, start, end);
  ::unlink(fsImage.c_str());
  return patched;
}

bool Rework::PackAndReplaceInput() {
  // Pack beside the input and replace it only once the new package is
  // complete: a failed pack leaves the input as it was.
  std::string partial = input_ + ".part-XXXXXX";
  const int fd = ::mkstemp(partial.data());
  if (fd < 0) return Fail("make_updatefile_failed");
  struct stat st {};
  if (::stat(input_.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
  ::close(fd);
  if (fsimage::PackFolder(work_, partial) != 0) {
    ::unlink(partial.c_str());
    return Fail("make_updatefile_failed");
  }
  // An older backup is kept: it holds the package as it was before the
  // first rework.
  const std::string backup = input_ + ".bak";
  if (!platform::FileExists(backup) && !platform::CopyFileReplacing(input_, backup)) {
    ::unlink(partial.c_str());
    return Fail(kBackupFailedKey);
  }
  if (::rename(partial.c_str(), input_.c_str()) != 0) {
    ::unlink(partial.c_str());
    return Fail("make_updatefile_failed");
  }
  return true;
}

}  // namespace

bool ReworkPackage(const MakeOptions& options, const MakeEnvironment& environment) {
  return Rework(options, environment).Run();
}

}  // namespace package
