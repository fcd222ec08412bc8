// The option model of one make run: everything the main dialog (or a job
// file) hands to the make operation. A plain record; the make operation reads
// nothing else from the operator.
//
// The twelve partition slots keep the dialog's own encoding: a slot is ticked
// when its value equals its index + 1. Slots 5, 6 and 7 are shared: their
// marks stand for the Strings, Pictures and Configs options in validation and
// for the mtd-x and boot-logo partitions in the rework loop, which tells them
// apart through the switches below.
#pragma once

#include <array>
#include <string>

#include "firmsmith/products/product_profile.h"

namespace package {

enum class PackageKind { NetworkUpgrades = 0, BurningPiecefile = 1 };

enum SlotIndex : int {
  kSlotWeb = 0,
  kSlotLogo = 1,
  kSlotUser = 2,
  kSlotRomfs = 3,
  kSlotCustom = 4,
  kSlotStrings = 5,    // Strings option; no partition of its own
  kSlotMtd = 6,        // Pictures option; restore-defaults partition mtd-x
  kSlotUbootLogo = 7,  // Configs option; boot-loader logo ubootlogo-x
  kSlotApp = 8,
  kSlotYlk = 9,
  kSlotRomfs2 = 10,
  kSlotParam = 11,
};
inline constexpr int kSlotCount = 12;

struct PartitionSlot {
  int value = 0;          // index + 1 when ticked, 0 otherwise
  std::string imageName;  // image base name ("user-x.cramfs"); empty when cleared
  std::string sourcePath; // slots 5/6/7: strings, pictures, configs folder
  int fs = products::kFsCramfs;  // file-system choice (products::FsType)
};

struct MakeOptions {
  PackageKind kind = PackageKind::NetworkUpgrades;
  std::string originalFile;
  bool originalFileLoaded = false;  // an input file counts as chosen
  products::ProductProfile selectedProduct;  // empty name: none

  std::array<PartitionSlot, kSlotCount> slots;

  // Customisation of the custom partition.
  bool strings = false;
  bool fullLanguageStrings = false;  // languages staged into "TempStrings"
  // Where they were staged when not "<program folder>TempStrings": a
  // folder of the run's own, so that runs at the same time never share one.
  std::string stagedStringsFolder;
  bool koreanFonts = false;
  bool pictures = false;
  bool configs = false;
  bool fromDevice = true;  // the dialog keeps it checked
  std::string deviceIp;    // dotted IPv4 text
  std::string devicePort = "34567";
  std::string userName = "admin";
  std::string password;
  bool copyUsers = false;
  bool appDownloadLink = false;
  bool ios = false;
  std::string iosLink;
  bool android = false;
  std::string androidLink;
  bool sn = false;
  bool other = false;
  std::string otherName;
  std::string otherContent;
  bool cloudServer = false;
  std::string cloudAddress;
  std::string cloudPort = "8000";
  bool deviceModel = false;
  std::string deviceModelText;
  bool closeOnlineUpgrade = false;

  // User partition gain line.
  bool lineInGain = false;
  std::string lineInLeft = "0db";   // gain labels
  std::string lineInRight = "0db";

  bool oemDevType = false;
  std::string oemDevTypeText;  // two characters

  bool restoreDefaults = false;    // adds mtd-x
  bool unmountPartitions = false;  // hidden in the dialog, always off there
  bool ubootLogo = false;
  std::string ubootLogoPath;       // JPEG file
  bool romfs2 = false;
  bool param = false;

  // Where the result goes instead: a new package instead of
  // "<program folder><product>_all.bin", a reworked input instead of the
  // input itself (which then stays untouched, without ".bak" or ".prev").
  // Empty: the usual places. An existing file there is replaced only with
  // `replaceOutput`.
  std::string outputPath;
  bool replaceOutput = false;

  bool SlotTicked(int slot) const {
    return slot >= 0 && slot < kSlotCount && slots[slot].value == slot + 1;
  }
};

// Where a slot's file-system image comes from.
enum class SlotSource {
  kNone,           // an option of the custom partition, no partition of its own
  kFolder,         // a folder of the operator, or the partition customised in place
  kErasedData,     // generated erased flash (mtd-x)
  kBootLogoData,   // generated boot-loader logo data (ubootlogo-x)
};

// What the make operation may do to a partition unpacked from the input
// when the slot has no folder of its own.
enum class InPlaceRework { kNone, kCustomPartition, kUserGainLine };

// One row per slot: everything that differs from slot to slot. The make
// operation, the job file, inspect/verify and the dialog read these columns
// instead of comparing slot numbers.
struct SlotRule {
  const char* baseName;  // image base name; nullptr: "<webName>-x.cramfs", "" none
  products::PartitionSpec products::ProductProfile::*partition;  // nullptr: none
  SlotSource source;
  // An existing image is found as "<stem>*.img" (loose) rather than
  // "<stem>.*.img", and its command is inserted in the loose layout.
  bool looseName;
  int forcedFs;          // file system a rework always builds; 0: the slot's choice
  bool reworkOnly;       // only with an input file (its switch needs one)
  bool markOnly;         // ticking sets the mark alone; a switch names the image
  bool needsStart;       // its switch needs a non-zero partition start too
  bool readsHeader;      // a rework reads the existing image header first
  bool rootFileSystem;   // may use its whole partition; bounds checked against the header
  bool smallBlocks;      // squashfs with 4 KiB blocks
  bool fitsLogo;         // pictures fitted to the product's logo size first
  bool inNewPackage;     // built when a package is made from folders
  bool inRework;         // rebuilt when an input file is reworked
  InPlaceRework inPlace;
  // The switch without which a rework-only slot is skipped (nullptr: none).
  bool MakeOptions::*reworkSwitch;
};

const SlotRule& SlotRuleOf(int slot);

// The image base name a slot gets when it is ticked ("" for slot 5 and 8,
// whose names the dialog never sets from their own boxes).
std::string DefaultImageName(int slot, const products::ProductProfile& product);

// The stem every image of the slot's partition starts with ("user-x"), from
// its base name; "" when the name has no "-x".
std::string ImageStem(const std::string& baseName);
// True when `entryName` is an image of the slot: "<stem>.<word>.img", or for
// loose names "<stem><anything>.img". Whole names: "360user-x.cramfs.img" is
// never an image of "user-x".
bool IsImageOfSlot(int slot, const std::string& baseName, const std::string& entryName);

// Ticks a slot the way its dialog box does: mark and base name. Slots 5, 6, 7
// get only the mark (their names come from the mtd and boot-logo switches).
void TickSlot(MakeOptions* options, int slot);

// The product partition behind a slot, nullptr for slot 5.
const products::PartitionSpec* SlotPartition(const products::ProductProfile& product, int slot);

}  // namespace package
