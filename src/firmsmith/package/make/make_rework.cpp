// Rework of an existing upgrade package (unpack, rebuild the ticked
// partitions, rewrite InstallDesc, repack) or of a flash image (rebuild the
// ticked partitions and write them in place). Whatever is written goes
// beside the input under a temporary name, is checked there and only then
// replaces the input; the input as it was is kept as "<input>.prev", and the
// state before the first rework as "<input>.bak", which is never replaced.
// With an output path of the operator's the result goes there instead and
// the input, ".bak" and ".prev" stay as they are.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "common/uitext/language_table.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/package/customise/custom_partition.h"
#include "firmsmith/package/layout/flash_image.h"
#include "firmsmith/package/layout/install_desc.h"
#include "firmsmith/package/layout/raw_data.h"
#include "firmsmith/package/layout/unpack_check.h"
#include "firmsmith/package/make/build_queue.h"
#include "firmsmith/package/make/make_run_folders.h"
#include "firmsmith/package/make/make_steps.h"

namespace package {
namespace {

constexpr const char* kNoInstallDescKey = "Firmsmith.The upgrade file holds no InstallDesc.";
constexpr const char* kBadInstallDescKey = "Firmsmith.The InstallDesc of the upgrade file is not valid JSON.";
constexpr const char* kNoTemplateKey = "Firmsmith.The boot logo header template imgH.data is missing or empty.";
constexpr const char* kNoLogoFileKey = "Firmsmith.Cannot open the boot logo file.";
constexpr const char* kBackupFailedKey = "Firmsmith.Cannot write the backup of the original file.";
constexpr const char* kRomfsMisplacedKey =
    "Firmsmith.The root file system image does not start where the product's ROMFS partition starts.";
constexpr const char* kRomfsNoEndKey =
    "Firmsmith.The root file system image carries no partition end; choose the product.";
// Shown untranslated, as the device makers' tools always have.
constexpr const char* kUbootLogoTooBigText = "UBOOTLOGO图片文件需低于56kB";

// The flash image is read and replaced where it stands: never through a
// link (its replacement would take the link's place), never a folder, FIFO
// or device.
bool FlashImageUsable(const std::string& path, std::string* why) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return *why = platform::ErrnoReason("cannot open " + path), false;
  if (S_ISLNK(st.st_mode)) return *why = path + ": a symbolic link, which is never followed", false;
  if (!S_ISREG(st.st_mode)) return *why = path + ": not a regular file (a folder, a FIFO or a device)", false;
  return true;
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class Rework {
 public:
  Rework(const MakeOptions& options, const MakeEnvironment& environment)
      : o_(options),
        env_(environment),
        customiser_(environment.customiser ? *environment.customiser : DefaultPartitionCustomiser()),
        network_(options.kind == PackageKind::NetworkUpgrades),
        input_(options.originalFile),
        result_(options.outputPath.empty() ? options.originalFile : options.outputPath) {}

  bool Run();

 private:
  // A failure of a slot's preparation is shown only once every earlier
  // slot is complete: an earlier build's or wrap's failure, which a run of
  // one build at a time would have met first, is then the one shown.
  bool EarlierSlotsDone() { return queue_.CompleteAll(); }
  bool Fail(const std::string& key, const std::string& caption = "", const std::string& reason = "") {
    if (!EarlierSlotsDone()) return false;
    ShowFailureKey(env_, key, caption, reason);
    return false;
  }
  bool FailAndDropWork(const std::string& key, const std::string& caption = "",
                       const std::string& reason = "") {
    if (!EarlierSlotsDone()) return false;
    platform::RemoveTree(work_);
    return Fail(key, caption, reason);
  }
  // An image of the unpacked package as the operator knows it: the input
  // and the entry's name (the work folder goes with a failed run).
  std::string EntryOfInput(const std::string& unpackedPath) const {
    return input_ + ": " + platform::BaseName(unpackedPath);
  }
  bool SkipSlot(int slot) const;
  bool ReplacedFromSource(int slot) const;
  bool CheckInputImages();
  bool ProcessSlot(int slot);
  bool NeedsEarlierSlots(int slot) const;
  std::string StagingFolder(int slot) const;
  bool ListInInstallDesc(int slot, const std::string& imageFile);
  bool SlotBounds(int slot, const std::string& output, std::uint32_t* start, std::uint32_t* end);
  bool NeighbourLoadAddress(int slot, std::uint32_t* address);
  bool PrepareRawData(int slot, std::string* dataFile);
  bool PrepareBuild(int slot, const std::string& base, const std::string& output, BuildJob* job);
  bool CompleteSlot(int slot, const std::string& base, const std::string& output,
                    const std::string& fsImage, bool headerRoom, std::uint32_t start,
                    std::uint32_t end, const platform::Status& built);
  bool PatchFlash(int slot, const std::string& fsImage, std::uint32_t start, std::uint32_t end);
  bool BackupsAreOurs();
  bool KeepBackups();
  bool CheckAndReplace(platform::OutputFile* written, const products::ProductProfile* layout);

  const MakeOptions& o_;
  const MakeEnvironment& env_;
  const PartitionCustomiser& customiser_;
  const bool network_;
  const std::string input_;
  // Where the reworked file goes: the input, or the operator's output path.
  const std::string result_;
  // The unpacked package in the run's work folder beside the input.
  std::string work_;
  std::string desc_;
  // The run's temporary folder: intermediate images and staged trees.
  std::string temp_;
  // The flash image being patched, until it has been checked and replaces
  // the input.
  platform::OutputFile flashCopy_;
  bool flashCopyMade_ = false;
  // The slots' builds; last, so that its builds are over before anything
  // they use goes.
  BuildQueue queue_{env_};
};

bool Rework::SkipSlot(int slot) const {
  if (!o_.SlotTicked(slot)) return true;
  const SlotRule& rule = SlotRuleOf(slot);
  if (!rule.inRework) return true;
  if (rule.reworkSwitch != nullptr && !(o_.*rule.reworkSwitch)) return true;
  if (rule.source == SlotSource::kBootLogoData) return o_.ubootLogoPath.empty();
  // Rework-only partitions built from a folder need that folder.
  return rule.reworkOnly && rule.source == SlotSource::kFolder && o_.slots[slot].sourcePath.empty();
}

// True when the run replaces the slot's image without reading it: from the
// operator's folder or from generated data.
bool Rework::ReplacedFromSource(int slot) const {
  if (SkipSlot(slot)) return false;
  const SlotRule& rule = SlotRuleOf(slot);
  return rule.source != SlotSource::kFolder || !o_.slots[slot].sourcePath.empty();
}

bool Rework::CheckInputImages() {
  // Entries the run replaces from a folder need no check: that is how an
  // operator mends a broken partition. Everything else is carried into the
  // new package or unpacked, and must not come out with fresh CRCs.
  std::set<std::string> replaced;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (!ReplacedFromSource(slot)) continue;
    const std::string name = FindExistingImage(work_, slot, SlotBaseName(o_, slot));
    if (!name.empty()) replaced.insert(name);
  }
  // Restoring the defaults drops the boot loader and its environment.
  if (!SkipSlot(kSlotMtd)) replaced.insert({kBootLoaderImage, kBootEnvImage});
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolder(work_, &entries); !listed)
    return FailAndDropWork("alarm_extract", "alarm_make", listed.message);
  for (const platform::FolderEntry& e : entries) {
    if (e.isDirectory || !EndsWith(e.name, ".img") || replaced.count(e.name)) continue;
    const std::string damage = ImageDamage(platform::JoinPath(work_, e.name));
    if (damage.empty()) continue;
    platform::RemoveTree(work_);
    ShowFailureKey(env_, kDamagedPartitionKey, "alarm_make", input_ + ": " + e.name + ": " + damage,
                   e.name);
    return false;
  }
  return true;
}

bool Rework::Run() {
  if (input_.empty()) {
    SinkOf(env_).ShowMessage("alarm_filedir", kApplicationTitle);
    return false;
  }
  // Before anything is written: the result must have a place to go.
  if (o_.outputPath.empty()) {
    if (!BackupsAreOurs()) return false;
  } else if (std::string why; !OutputPathUsable(o_.outputPath, o_.replaceOutput, input_, &why)) {
    return Fail(kOutputExistsKey, "", why);
  }
  // Both folders are this run's alone (a link or another user's folder by
  // the same name is never used) and go when the run ends.
  platform::Status made = env_.run ? env_.run->Work(input_, &work_)
                                   : platform::Status::Fail("no make run for " + input_);
  if (made) made = MakeTemporaryFolder(env_, &temp_);
  if (!made) return Fail("create_error", "", made.message);
  desc_ = platform::JoinPath(work_, kInstallDescName);

  if (network_) {
    platform::Status unpacked;
    ReportStep(env_, MakeStep::kUnpacking, platform::BaseName(input_));
    if (fsimage::UnpackArchive(input_, work_, &unpacked, fsimage::kNoExtractBudget,
                               StepCounter(env_, MakeStep::kUnpacking, platform::BaseName(input_))) != 0 ||
        !UnpackedCompletely(input_, work_))
      return FailAndDropWork("alarm_extract", "alarm_make",
                             unpacked ? "cannot unpack " + input_ : unpacked.message);
    switch (const DescResult checked = CheckInstallDesc(desc_)) {
      case DescResult::kOk: break;
      case DescResult::kMissing:
        return FailAndDropWork(kNoInstallDescKey, "alarm_make", DescResultReason(input_, desc_, checked));
      default: return FailAndDropWork(kBadInstallDescKey, "alarm_make", DescResultReason(input_, desc_, checked));
    }
    if (!CheckInputImages()) return false;
    if (o_.oemDevType) {
      if (const DescResult r = ReplaceOemDevType(desc_, o_.oemDevTypeText); r != DescResult::kOk)
        return FailAndDropWork(kBadInstallDescKey, "alarm_make", DescResultReason(input_, desc_, r));
    }
  } else if (std::string why; !FlashImageUsable(input_, &why)) {
    return FailAndDropWork("open_original_file", "", why);
  }

  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (SkipSlot(slot)) continue;
    if (!ProcessSlot(slot)) return false;
  }
  if (!EarlierSlotsDone()) return false;

  if (network_) {
    // Text edits splice commands in; whatever the original held, the result
    // must still be a description the device can parse.
    if (const DescResult r = CheckInstallDesc(desc_); r != DescResult::kOk)
      return FailAndDropWork(kBadInstallDescKey, "alarm_make", DescResultReason(input_, desc_, r));
    // Packed beside the input; the input is replaced only once the new
    // package is complete and has passed its check.
    platform::OutputFile packed;
    if (platform::Status created = packed.Create(result_); !created)
      return Fail("make_updatefile_failed", "", created.message);
    struct stat st {};
    if (::stat(input_.c_str(), &st) == 0) ::fchmod(packed.fd(), st.st_mode & 07777);
    platform::Status packedWhy;
    ReportStep(env_, MakeStep::kPacking, platform::BaseName(result_));
    fsimage::PackOptions pack;
    pack.scratchParent = temp_;
    // Partitions the rework left alone keep the input's deflate data.
    pack.reuseFrom = input_;
    pack.count = StepCounter(env_, MakeStep::kPacking, platform::BaseName(result_));
    if (fsimage::PackFolder(work_, packed.partPath(), &packedWhy, pack) != 0)
      return Fail("make_updatefile_failed", "",
                  packedWhy ? "cannot pack " + work_ + " into " + packed.partPath() : packedWhy.message);
    // A reworked package keeps the bounds its images had, which need not be
    // the product's: only its structure is checked.
    if (!CheckAndReplace(&packed, nullptr)) return false;
  } else if (flashCopyMade_) {
    // A flash image is laid out by the product.
    if (!CheckAndReplace(&flashCopy_, &o_.selectedProduct)) return false;
  }
  platform::RemoveTree(work_);
  ShowWrittenKey(env_, "alarm_make", input_);
  return true;
}

bool Rework::BackupsAreOurs() {
  // A backup planted by someone else (a link, a folder, another user's
  // file) would stand in for the real one, or lead our copy elsewhere.
  for (const char* suffix : {".bak", ".prev"}) {
    const std::string path = input_ + suffix;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      return Fail(kBackupFailedKey, "", platform::ErrnoReason("cannot examine " + path));
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
      return Fail(kBackupFailedKey, "",
                  path + ": not a regular file of this user (a link, a folder or another user's file); "
                         "nothing was written");
  }
  return true;
}

bool Rework::KeepBackups() {
  // ".bak" is the input as it was before its first rework (the vendor's
  // original, or the chip as read out) and is never replaced; ".prev" is the
  // input as it was before this run.
  if (!BackupsAreOurs()) return false;
  // Both are taken as second names of the input where they can be (the
  // checked output then replaces the input by a rename), so a large input is
  // not copied; ".prev" is a copy when ".bak" was just made, so the two never
  // share one file.
  const std::string backup = input_ + ".bak";
  if (!platform::FileExists(backup)) {
    if (platform::Status kept = platform::LinkOrCopyFile(input_, backup, false); !kept)
      return Fail(kBackupFailedKey, "", kept.message);
  }
  if (platform::Status kept = platform::LinkOrCopyFile(input_, input_ + ".prev"); !kept)
    return Fail(kBackupFailedKey, "", kept.message);
  return true;
}

bool Rework::CheckAndReplace(platform::OutputFile* written, const products::ProductProfile* layout) {
  if (!VerifyWrittenOutput(env_, written->partPath(), result_, layout)) return false;
  // With an output path of its own the input stays as it is: no backups.
  if (o_.outputPath.empty() && !KeepBackups()) return false;
  if (platform::Status committed = written->Commit(o_.outputPath.empty() || o_.replaceOutput); !committed)
    return Fail("make_updatefile_failed", "", committed.message);
  return true;
}

bool Rework::ListInInstallDesc(int slot, const std::string& imageFile) {
  DescResult r = DescResult::kUnchanged;
  if (SlotRuleOf(slot).source == SlotSource::kErasedData) {
    r = AddMtdCommand(desc_, work_, imageFile);
  } else if (!InstallDescListsImage(desc_, imageFile)) {
    r = InsertReworkCommand(desc_, imageFile, SlotRuleOf(slot).looseName);
  }
  if (r == DescResult::kOk || r == DescResult::kUnchanged) return true;
  return FailAndDropWork(kBadInstallDescKey, "alarm_make", DescResultReason(input_, desc_, r));
}

bool Rework::NeighbourLoadAddress(int slot, std::uint32_t* address) {
  // This board's user partition ends where the package's custom image
  // starts, and its custom partition where the logo image starts.
  const int neighbour = SlotRuleOf(slot).inPlace == InPlaceRework::kUserGainLine ? kSlotCustom : kSlotLogo;
  const std::string base = DefaultImageName(neighbour, o_.selectedProduct);
  std::string name = FindExistingImage(work_, neighbour, base);
  if (name.empty()) name = base + ".img";
  const std::string path = platform::JoinPath(work_, name);
  if (!platform::IsRegularFile(path)) {
    if (!EarlierSlotsDone()) return false;
    SinkOf(env_).ShowFailure(path, "loss file", path + ": missing");
    return false;
  }
  fsimage::ImageHeader header;
  if (!fsimage::ReadImageHeader(path, &header))
    return Fail("readfile", "alarm_make", EntryOfInput(path) + " is shorter than an image header");
  *address = header.loadAddress;
  return true;
}

// The bounds the slot's image is wrapped or patched with.
bool Rework::SlotBounds(int slot, const std::string& output, std::uint32_t* start,
                        std::uint32_t* end) {
  const SlotRule& rule = SlotRuleOf(slot);
  const products::PartitionSpec& spec = *SlotPartition(o_.selectedProduct, slot);
  *start = spec.start;
  *end = spec.end;
  fsimage::ImageHeader header;
  bool haveHeader = false;
  if (network_ && rule.readsHeader && platform::FileExists(output)) {
    if (!fsimage::ReadImageHeader(output, &header))
      return Fail("readfile", "alarm_make", EntryOfInput(output) + " is shorter than an image header");
    haveHeader = true;
  }
  if (rule.rootFileSystem && network_) {
    // The root file system may grow into its whole partition. With the
    // product's partition known, the old image must lie where it says;
    // without it, the old header's entry point is the only end there is.
    if (spec.end > spec.start) {
      if (haveHeader && header.loadAddress != spec.start)
        return FailAndDropWork(kRomfsMisplacedKey, "alarm_make",
                               EntryOfInput(output) + ": load address " + Hex(header.loadAddress) +
                                   ", the product's ROMFS partition starts at " + Hex(spec.start));
    } else if (haveHeader && header.entryPoint > header.loadAddress) {
      *start = header.loadAddress;
      *end = header.entryPoint;
    } else {
      return FailAndDropWork(kRomfsNoEndKey, "alarm_make",
                             EntryOfInput(output) + ": no product ROMFS partition and no partition end in the header");
    }
  }
  if (network_ && o_.selectedProduct.hardware == products::kNeighbourBoundsHardware &&
      rule.inPlace != InPlaceRework::kNone)
    return NeighbourLoadAddress(slot, end);
  return true;
}

bool Rework::PrepareRawData(int slot, std::string* dataFile) {
  const std::string& folder = temp_;
  if (SlotRuleOf(slot).source == SlotSource::kErasedData) {
    *dataFile = platform::JoinPath(folder, kMtdDataName);
    if (!WriteMtdData(*dataFile, o_.selectedProduct.mtd.start, o_.selectedProduct.mtd.end))
      return Fail("create_error", "", "cannot write " + *dataFile);
    return true;
  }
  const std::string templatePath = env_.programDirectory + kHeaderTemplateName;
  std::string templateText;
  const platform::Status read = platform::ReadFileText(templatePath, &templateText);
  const std::vector<std::uint8_t> headerTemplate = ParseHeaderTemplate(templateText);
  if (headerTemplate.empty())
    return Fail(kNoTemplateKey, "", read ? templatePath + ": no hexadecimal bytes" : read.message);
  *dataFile = platform::JoinPath(folder, kUbootLogoDataName);
  switch (WriteUbootLogoData(*dataFile, headerTemplate, o_.ubootLogoPath)) {
    case UbootLogoResult::kOk: return true;
    case UbootLogoResult::kLogoTooBig:
      if (!EarlierSlotsDone()) return false;
      platform::RemoveTree(work_);
      SinkOf(env_).ShowMessage(kUbootLogoTooBigText, uitext::GetString("alarm_make"));
      return false;
    case UbootLogoResult::kLogoUnreadable: return Fail(kNoLogoFileKey, "", "cannot read " + o_.ubootLogoPath);
    case UbootLogoResult::kCreateFailed: return Fail("create_error", "", "cannot write " + *dataFile);
  }
  return false;
}

// The build of a slot that is made from a folder (the operator's, or the
// partition customised in place): the folder made ready, the job for the
// queue.
bool Rework::PrepareBuild(int slot, const std::string& base, const std::string& output, BuildJob* job) {
  const SlotRule& rule = SlotRuleOf(slot);
  const products::PartitionSpec& spec = *SlotPartition(o_.selectedProduct, slot);
  std::string source = o_.slots[slot].sourcePath;
  bool ownedByUs = false;
  // Staged copies of one slot stay apart from another's, whose build may
  // still be reading its own.
  const std::string staging = StagingFolder(slot);
  if (rule.fitsLogo && !source.empty()) {
    std::string fitted;
    if (!PrepareLogoFolder(source, o_.selectedProduct, staging, env_, &fitted,
                           [this] { return EarlierSlotsDone(); }))
      return false;
    ownedByUs = fitted != source;
    source = fitted;
  }
  if (source.empty() && rule.inPlace != InPlaceRework::kNone) {
    CustomisationRequest request;
    request.options = &o_;
    request.environment = &env_;
    request.workFolder = work_;
    request.imagePath = network_ ? output : input_;
    request.start = spec.start;
    request.end = spec.end;
    const bool custom = rule.inPlace == InPlaceRework::kCustomPartition;
    // A flash image's partition is unpacked as the file system its slot
    // says it holds; a package's image goes by its entry's name.
    if (custom || o_.lineInGain)
      ReportStep(env_, MakeStep::kUnpacking, network_ ? base : BuiltImageName(base, o_.slots[slot].fs));
    const bool prepared = custom ? customiser_.PrepareCustomPartition(request, &source)
                                 : (o_.lineInGain && customiser_.PrepareUserPartition(request, &source));
    if (!prepared) {
      if (!custom && !o_.lineInGain) return FailAndDropWork("alarm_update");
      return false;
    }
    ownedByUs = true;
  }
  std::string buildFolder;
  if (platform::Status applied =
          ApplyIgnoreRule(source, o_.selectedProduct.custom.ignore, ownedByUs, staging, &buildFolder);
      !applied)
    return FailAndDropWork("create_error", "", applied.message);
  job->fs = rule.forcedFs != 0 ? rule.forcedFs : o_.slots[slot].fs;
  job->smallBlocks = rule.smallBlocks;
  job->sourceFolder = buildFolder;
  // An image for a flash image is named after what it holds: no package
  // entry lends it a name.
  job->imagePath = platform::JoinPath(temp_, network_ ? base : BuiltImageName(base, job->fs));
  // A partition we unpacked, or a copy we staged, carries what it could not
  // hold as files in its manifest.
  const bool ours = ownedByUs || buildFolder != source;
  job->manifest = ours ? ManifestBeside(job->fs, buildFolder) : std::string();
  return true;
}

bool Rework::PatchFlash(int slot, const std::string& fsImage, std::uint32_t start, std::uint32_t end) {
  if (!flashCopyMade_) {
    // Partitions are written into a copy that replaces the flash image only
    // when every partition went in and the copy passed its check: a failed
    // run leaves the image as it was.
    if (platform::Status created = flashCopy_.Create(result_); !created)
      return Fail("create_error", "", created.message);
    platform::InputFile flash;
    if (platform::Status opened = flash.Open(input_); !opened)
      return Fail("open_original_file", "", opened.message);
    struct stat st {};
    if (::fstat(flash.fd(), &st) == 0) ::fchmod(flashCopy_.fd(), st.st_mode & 07777);
    std::vector<std::uint8_t> chunk(1 << 20);
    for (;;) {
      const ssize_t got = flash.Read(chunk.data(), chunk.size());
      if (got < 0) return Fail("open_original_file", "", platform::ErrnoReason("cannot read " + input_));
      if (got == 0) break;
      if (platform::Status w = flashCopy_.Write(chunk.data(), static_cast<std::size_t>(got)); !w)
        return Fail("create_error", "", w.message);
    }
    flashCopyMade_ = true;
  }
  // A jffs2 partition must not keep old nodes behind the new image.
  const bool jffs2 = (SlotRuleOf(slot).forcedFs != 0 ? SlotRuleOf(slot).forcedFs : o_.slots[slot].fs) ==
                     products::kFsJffs2;
  std::string why;
  const FlashResult r = PatchFlashImage(flashCopy_.partPath(), fsImage, start, end, jffs2, &why);
  if (r == FlashResult::kOk) return true;
  return Fail(FlashResultKey(r), "", why);
}

bool Rework::ProcessSlot(int slot) {
  const SlotRule& rule = SlotRuleOf(slot);
  if (NeedsEarlierSlots(slot) && !EarlierSlotsDone()) return false;
  const std::string base = SlotBaseName(o_, slot);
  std::string output = platform::JoinPath(work_, base + ".img");

  if (network_) {
    const std::string existing = FindExistingImage(work_, slot, base);
    if (!existing.empty()) output = platform::JoinPath(work_, existing);
    const std::string imageFile = existing.empty() ? base + ".img" : existing;
    if (rule.inPlace == InPlaceRework::kCustomPartition && o_.slots[slot].sourcePath.empty() &&
        !InstallDescListsImage(desc_, imageFile))
      return Fail("readfile", "alarm_noconfigimg");
    if (!ListInInstallDesc(slot, imageFile)) return false;
  }
  std::uint32_t start = 0, end = 0;
  if (!SlotBounds(slot, output, &start, &end)) return false;

  if (rule.source == SlotSource::kFolder) {
    BuildJob job;
    if (!PrepareBuild(slot, base, output, &job)) return false;
    // Our own writer builds the image behind room for its header, beside
    // the package folder (on its file system, outside what is packed), so
    // that wrapping it is a rename rather than a copy.
    const bool headerRoom = network_ && BuildsInProcess(job.fs);
    if (headerRoom) {
      job.imageOffset = fsimage::IH_SIZE;
      job.imagePath = platform::JoinPath(platform::ParentFolder(work_), base);
    }
    const std::string fsImage = job.imagePath;
    return queue_.Add(job, [this, slot, base, output, fsImage, headerRoom, start, end](
                               const platform::Status& built) {
      return CompleteSlot(slot, base, output, fsImage, headerRoom, start, end, built);
    });
  }
  std::string fsImage;
  if (!PrepareRawData(slot, &fsImage)) return false;
  return CompleteSlot(slot, base, output, fsImage, false, start, end, platform::Status::Ok());
}

// Steps that show messages of their own, or read what an earlier slot
// wrote, wait until every earlier slot is complete: their messages, and
// what they read, are those of a run of one build at a time.
bool Rework::NeedsEarlierSlots(int slot) const {
  const SlotRule& rule = SlotRuleOf(slot);
  if (rule.source != SlotSource::kFolder) return true;
  // Customised in place, or bounded by a neighbour's image. (Logo fitting
  // reads only its own folder, and holds back a failure of its own.)
  return rule.inPlace != InPlaceRework::kNone &&
         (o_.slots[slot].sourcePath.empty() ||
          (network_ && o_.selectedProduct.hardware == products::kNeighbourBoundsHardware));
}

std::string Rework::StagingFolder(int slot) const {
  return platform::JoinPath(temp_, "slot" + std::to_string(slot));
}

// The slot's built (or generated) file-system image wrapped into its image
// in the package, or patched into the flash copy; on the run's thread, in
// slot order.
bool Rework::CompleteSlot(int slot, const std::string& base, const std::string& output,
                          const std::string& fsImage, bool headerRoom, std::uint32_t start,
                          std::uint32_t end, const platform::Status& built) {
  if (!built) {
    ::unlink(fsImage.c_str());
    platform::RemoveTree(work_);
    ShowFailureKey(env_, "alarm_makeerror", "alarm_make", built.message,
                   network_ ? base : platform::BaseName(fsImage));
    return false;
  }
  // The staged copies of the slot's folder have served.
  platform::RemoveTree(StagingFolder(slot));
  if (network_) {
    const std::uint64_t size = ImageSizeOf(fsImage, headerRoom);
    platform::Status wrapped;
    ReportStep(env_, MakeStep::kWrapping, platform::BaseName(output));
    // In place, the built file becomes the output, and nothing is left to
    // remove unless it had to be copied.
    const int r = headerRoom ? fsimage::WrapImageInPlace(fsImage, output, start, end, &wrapped)
                             : fsimage::MakeImage(fsImage, output, start, end, &wrapped);
    ::unlink(fsImage.c_str());
    if (r != 0) {
      ::unlink(output.c_str());
      std::string reason = wrapped ? "cannot wrap " + fsImage + " into " + output : wrapped.message;
      if (r == -2)
        reason = base + ": image of " + std::to_string(size) + " bytes, room for " +
                 std::to_string(std::uint64_t{end} - start) + " bytes (" + Hex(start) + ".." +
                 Hex(end) + ")";
      ShowFailureKey(env_, "make_error", "alarm_make", reason, base);
      return false;
    }
    return true;
  }
  ReportStep(env_, MakeStep::kPatching, platform::BaseName(fsImage));
  const bool patched = PatchFlash(slot, fsImage, start, end);
  ::unlink(fsImage.c_str());
  return patched;
}

}  // namespace

bool ReworkPackage(const MakeOptions& options, const MakeEnvironment& environment) {
  return Rework(options, environment).Run();
}

}  // namespace package
