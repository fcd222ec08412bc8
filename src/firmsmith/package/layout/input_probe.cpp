#include "firmsmith/package/layout/input_probe.h"

#include <string>

#include "firmsmith/fsimage/image_probe.h"

namespace package {
namespace {

int FsOfKind(int kind) {
  return kind == fsimage::kImageKindSquashfs ? products::kFsSquashfs : products::kFsCramfs;
}

int ProbeEntry(const std::string& package, const char* key) {
  return fsimage::DetectImageKind(fsimage::kProbeArchiveEntry, package, key, 1);
}

}  // namespace

void DetectInputFileSystems(MakeOptions* o) {
  const std::string& path = o->originalFile;
  if (o->kind == PackageKind::NetworkUpgrades) {
    o->slots[kSlotCustom].fs = FsOfKind(ProbeEntry(path, "custom-x"));
    o->slots[kSlotLogo].fs = FsOfKind(ProbeEntry(path, "logo-x"));
    o->slots[kSlotRomfs].fs = FsOfKind(ProbeEntry(path, "romfs-x"));
    o->slots[kSlotUser].fs = FsOfKind(ProbeEntry(path, "user-x"));
    int web = ProbeEntry(path, "web-x");
    if (web == fsimage::kImageKindNone) web = ProbeEntry(path, "360user-x");
    o->slots[kSlotWeb].fs = FsOfKind(web);
    o->slots[kSlotApp].fs = FsOfKind(ProbeEntry(path, "app-x"));
    o->slots[kSlotYlk].fs = products::kFsJffs2;
    return;
  }
  const products::ProductProfile& p = o->selectedProduct;
  if (p.name.empty()) return;
  const struct {
    int slot;
    const products::PartitionSpec* spec;
  } probes[] = {{kSlotCustom, &p.custom}, {kSlotLogo, &p.logo},   {kSlotUser, &p.user},
                {kSlotWeb, &p.web},       {kSlotApp, &p.oemApp}, {kSlotYlk, &p.oemYlk}};
  for (const auto& probe : probes) {
    const int kind = fsimage::DetectImageKind(fsimage::kProbeAtOffset, path,
                                              std::to_string(probe.spec->start), 0);
    o->slots[probe.slot].fs = FsOfKind(kind);
  }
}

}  // namespace package
