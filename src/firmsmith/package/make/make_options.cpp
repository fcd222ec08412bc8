#include "firmsmith/package/make/make_options.h"

namespace package {
namespace {

using P = products::ProductProfile;
using S = SlotSource;
using I = InPlaceRework;
constexpr int kJffs2 = products::kFsJffs2;

// clang-format off
//  base name          partition     source          loose  forced  rework mark   needs  header root   small  logo   new    rework in place         switch
//                                                                 only   only   start
const SlotRule kSlotRules[kSlotCount] = {
  {nullptr,          &P::web,       S::kFolder,       false, 0,      false, false, false, true,  false, false, false, true,  true,  I::kNone, nullptr},
  {"logo-x.cramfs",  &P::logo,      S::kFolder,       false, 0,      false, false, false, true,  false, true,  true,  true,  true,  I::kNone, nullptr},
  {"user-x.cramfs",  &P::user,      S::kFolder,       false, 0,      false, false, false, true,  false, false, false, true,  true,  I::kUserGainLine, nullptr},
  {"romfs-x.cramfs", &P::romfs,     S::kFolder,       false, kJffs2, false, false, false, true,  true,  false, false, true,  true,  I::kNone, nullptr},
  {"custom-x.cramfs",&P::custom,    S::kFolder,       false, 0,      false, false, false, true,  false, false, false, true,  true,  I::kCustomPartition, nullptr},
  {"",               nullptr,       S::kNone,         false, 0,      false, true,  false, false, false, false, false, false, false, I::kNone, nullptr},
  {"mtd-x",          &P::mtd,       S::kErasedData,   true,  0,      true,  true,  true,  false, false, false, false, false, true,  I::kNone, &MakeOptions::restoreDefaults},
  {"ubootlogo-x",    &P::ubootLogo, S::kBootLogoData, true,  0,      true,  true,  false, false, false, false, false, false, true,  I::kNone, &MakeOptions::ubootLogo},
  {"app-x.cramfs",   &P::oemApp,    S::kFolder,       false, 0,      false, false, false, true,  false, false, false, true,  false, I::kNone, nullptr},
  {"ylk-x.jffs2",    &P::oemYlk,    S::kFolder,       false, 0,      false, false, false, true,  false, false, false, true,  true,  I::kNone, nullptr},
  {"romfs2-x",       &P::romfs2,    S::kFolder,       true,  kJffs2, true,  false, false, false, false, false, false, false, true,  I::kNone, &MakeOptions::romfs2},
  {"param-x",        &P::param,     S::kFolder,       true,  kJffs2, true,  false, false, false, false, false, false, false, true,  I::kNone, &MakeOptions::param},
};
// clang-format on

bool WildcardMatch(const char* pattern, const char* text) {
  if (*pattern == '\0') return *text == '\0';
  if (*pattern == '*') {
    for (const char* t = text;; ++t) {
      if (WildcardMatch(pattern + 1, t)) return true;
      if (*t == '\0') return false;
    }
  }
  return *text != '\0' && *pattern == *text && WildcardMatch(pattern + 1, text + 1);
}

}  // namespace

const SlotRule& SlotRuleOf(int slot) {
  static const SlotRule kNoSlot{"", nullptr, S::kNone, false, 0, false, false, false,
                                false, false, false, false, false, false, I::kNone, nullptr};
  return slot >= 0 && slot < kSlotCount ? kSlotRules[slot] : kNoSlot;
}

std::string DefaultImageName(int slot, const products::ProductProfile& product) {
  const SlotRule& rule = SlotRuleOf(slot);
  if (rule.baseName == nullptr) return product.webName + "-x.cramfs";
  // Slot 8 (app-x) has its name only through its own box.
  return rule.baseName;
}

std::string ImageStem(const std::string& baseName) {
  const std::size_t cut = baseName.find("-x");
  return cut == std::string::npos ? "" : baseName.substr(0, cut + 2);
}

bool IsImageOfSlot(int slot, const std::string& baseName, const std::string& entryName) {
  const std::string stem = ImageStem(baseName);
  if (stem.empty()) return false;
  const std::string pattern = stem + (SlotRuleOf(slot).looseName ? "*.img" : ".*.img");
  return WildcardMatch(pattern.c_str(), entryName.c_str());
}

void TickSlot(MakeOptions* options, int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  PartitionSlot& s = options->slots[slot];
  s.value = slot + 1;
  if (!SlotRuleOf(slot).markOnly) s.imageName = DefaultImageName(slot, options->selectedProduct);
}

const products::PartitionSpec* SlotPartition(const products::ProductProfile& product, int slot) {
  const SlotRule& rule = SlotRuleOf(slot);
  return rule.partition ? &(product.*rule.partition) : nullptr;
}

}  // namespace package
