#include "firmsmith/package/layout/input_probe.h"

#include <string>
#include <vector>

#include "firmsmith/fsimage/image_probe.h"
#include "firmsmith/package/layout/unpack_check.h"

namespace package {
namespace {

int FsOfKind(int kind) {
  if (kind == fsimage::kImageKindSquashfs) return products::kFsSquashfs;
  if (kind == fsimage::kImageKindJffs2) return products::kFsJffs2;
  return products::kFsCramfs;
}

// The kind of the first entry that is an image of the slot by its whole
// name ("user-x.*.img" is never "360user-x.*.img").
int ProbeSlotImage(const std::string& package, const std::vector<std::string>& entries, int slot,
                   const std::string& baseName) {
  for (const std::string& name : entries) {
    if (!IsImageOfSlot(slot, baseName, name)) continue;
    const int kind = fsimage::DetectImageKind(fsimage::kProbeArchiveEntry, package, name, 0);
    if (kind != fsimage::kImageKindNone) return kind;
  }
  return fsimage::kImageKindNone;
}

}  // namespace

void DetectInputFileSystems(MakeOptions* o) {
  const std::string& path = o->originalFile;
  if (o->kind == PackageKind::NetworkUpgrades) {
    const std::vector<std::string> entries = ArchiveEntryNames(path);
    const products::ProductProfile& p = o->selectedProduct;
    for (int slot : {kSlotCustom, kSlotLogo, kSlotRomfs, kSlotUser, kSlotApp})
      o->slots[slot].fs = FsOfKind(ProbeSlotImage(path, entries, slot, DefaultImageName(slot, p)));
    int web = ProbeSlotImage(path, entries, kSlotWeb, "web-x.cramfs");
    if (web == fsimage::kImageKindNone) web = ProbeSlotImage(path, entries, kSlotWeb, "360user-x.cramfs");
    o->slots[kSlotWeb].fs = FsOfKind(web);
    o->slots[kSlotYlk].fs = products::kFsJffs2;
    return;
  }
  const products::ProductProfile& p = o->selectedProduct;
  if (p.name.empty()) return;
  for (int slot : {kSlotCustom, kSlotLogo, kSlotUser, kSlotWeb, kSlotApp, kSlotYlk}) {
    const int kind = fsimage::DetectImageKind(fsimage::kProbeAtOffset, path,
                                              std::to_string(SlotPartition(p, slot)->start), 0);
    o->slots[slot].fs = FsOfKind(kind);
  }
}

}  // namespace package
