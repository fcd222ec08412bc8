#include "firmsmith/package/make/make_options.h"

namespace package {

std::string DefaultImageName(int slot, const products::ProductProfile& product) {
  switch (slot) {
    case kSlotWeb: return product.webName + "-x.cramfs";
    case kSlotLogo: return "logo-x.cramfs";
    case kSlotUser: return "user-x.cramfs";
    case kSlotRomfs: return "romfs-x.cramfs";
    case kSlotCustom: return "custom-x.cramfs";
    case kSlotMtd: return "mtd-x";
    case kSlotUbootLogo: return "ubootlogo-x";
    case kSlotApp: return "app-x.cramfs";
    case kSlotYlk: return "ylk-x.jffs2";
    case kSlotRomfs2: return "romfs2-x";
    case kSlotParam: return "param-x";
    default: return "";
  }
}

void TickSlot(MakeOptions* options, int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  PartitionSlot& s = options->slots[slot];
  s.value = slot + 1;
  if (slot != kSlotStrings && slot != kSlotMtd && slot != kSlotUbootLogo)
    s.imageName = DefaultImageName(slot, options->selectedProduct);
}

const products::PartitionSpec* SlotPartition(const products::ProductProfile& product, int slot) {
  switch (slot) {
    case kSlotWeb: return &product.web;
    case kSlotLogo: return &product.logo;
    case kSlotUser: return &product.user;
    case kSlotRomfs: return &product.romfs;
    case kSlotCustom: return &product.custom;
    case kSlotMtd: return &product.mtd;
    case kSlotUbootLogo: return &product.ubootLogo;
    case kSlotApp: return &product.oemApp;
    case kSlotYlk: return &product.oemYlk;
    case kSlotRomfs2: return &product.romfs2;
    case kSlotParam: return &product.param;
    default: return nullptr;
  }
}

}  // namespace package
