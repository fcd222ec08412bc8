// The main dialog's flash layout bar: the chosen product's partitions, filled
// by the exact sizes of the original file's images and by the estimated
// sizes of the folders chosen for the partitions.
#include <QCheckBox>
#include <QLineEdit>

#include "common/platform/file_ops.h"
#include "firmsmith/check/package_inspect.h"
#include "firmsmith/shell/firmsmith_dlg.h"
#include "firmsmith/shell/flash_layout_bar.h"

namespace shell {
namespace {

// The section name of the product partition a slot stands for, or "".
std::string SectionOfSlot(const products::ProductProfile& product, int slot) {
  const products::PartitionSpec* spec = package::SlotPartition(product, slot);
  for (const products::NamedPartition& np : products::NamedPartitions(product))
    if (np.spec == spec) return np.section;
  return "";
}

}  // namespace

void CFirmsmithDlg::UpdateFlashLayout() {
  if (c_.layoutBar == nullptr) return;
  if (!ProductSelected()) {
    c_.layoutBar->SetFlashLayout({});
    return;
  }
  products::FlashLayout layout = products::MakeFlashLayout(selectedProduct_);

  if (originalFileLoaded_) {
    // The original file is read once per file and product, not per keystroke.
    const std::string path = c_.originalFile->text().trimmed().toStdString();
    const std::string key = path + '\n' + selectedProduct_.name;
    if (key != inspectedKey_) {
      inspectedKey_ = key;
      originalFills_.clear();
      if (platform::IsRegularFile(path)) {
        check::PackageReport report;
        std::string error;
        check::TraceToStderr quiet;
        if (check::InspectPackage(path, &selectedProduct_, &report, &error)) {
          for (const check::ImageReport& image : report.entries)
            // Of a flash image only the file systems fill their partitions;
            // an erased one holds no image.
            if (image.hasPartition && !(report.flashImage && image.payloadSize == 0))
              originalFills_[image.partition] =
                  report.flashImage || image.payloadSize != 0 ? image.payloadSize : image.size;
        }
      }
    }
    for (const auto& [section, bytes] : originalFills_)
      if (products::LayoutPartition* p = layout.Find(section)) p->fill = bytes;
  }

  // A folder replaces the partition's image: its source size is the estimate.
  const auto estimate = [&](int slot, const QCheckBox* check, const QLineEdit* path) {
    const std::string folder = path->text().trimmed().toStdString();
    if (!check->isChecked() || folder.empty()) return;
    products::LayoutPartition* p = layout.Find(SectionOfSlot(selectedProduct_, slot));
    std::uint64_t bytes = 0;
    if (p == nullptr || !products::SourceFolderBytes(folder, &bytes)) return;
    p->fill = bytes;
    p->estimated = true;
  };
  for (const PartitionRow& row : c_.rows) estimate(row.slot, row.check, row.path);
  estimate(package::kSlotRomfs2, c_.romfs2.check, c_.romfs2.path);
  estimate(package::kSlotParam, c_.param.check, c_.param.path);
  c_.layoutBar->SetFlashLayout(std::move(layout));
}

}  // namespace shell
