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

  bool SlotTicked(int slot) const {
    return slot >= 0 && slot < kSlotCount && slots[slot].value == slot + 1;
  }
};

// The image base name a slot gets when it is ticked ("" for slot 5 and 8,
// whose names the dialog never sets from their own boxes).
std::string DefaultImageName(int slot, const products::ProductProfile& product);

// Ticks a slot the way its dialog box does: mark and base name. Slots 5, 6, 7
// get only the mark (their names come from the mtd and boot-logo switches).
void TickSlot(MakeOptions* options, int slot);

// The product partition behind a slot, nullptr for slot 5.
const products::PartitionSpec* SlotPartition(const products::ProductProfile& product, int slot);

}  // namespace package
