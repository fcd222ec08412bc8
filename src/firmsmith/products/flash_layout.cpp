#include "firmsmith/products/flash_layout.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "common/platform/fd.h"
#include "common/platform/files.h"

namespace products {
namespace {

constexpr Colour kChipColour{0xee, 0xee, 0xee};
constexpr Colour kEdgeColour{0x55, 0x55, 0x55};
constexpr Colour kPartColour{0xc6, 0xdb, 0xef};
constexpr Colour kFillColour{0x4c, 0xaf, 0x50};
constexpr Colour kOverColour{0xd3, 0x2f, 0x2f};
constexpr Colour kTextColour{0x20, 0x20, 0x20};

// Drawing metrics of the picture.
constexpr double kMargin = 8;
constexpr double kTitleHeight = 22;
constexpr double kBarMaxWidth = 110;
constexpr double kLabelGap = 14;
constexpr int kFolderDepthLimit = 64;

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

platform::Status AddFolderBytes(int dirFd, const std::string& shown, int depth,
                                std::uint64_t* bytes) {
  if (depth > kFolderDepthLimit) return platform::Status::Fail(shown + ": folders nested too deep");
  std::vector<platform::FolderEntry> entries;
  platform::Status listed = platform::ListFolderAt(dirFd, shown, &entries);
  if (!listed) return listed;
  for (const platform::FolderEntry& e : entries) {
    const std::string path = shown + "/" + e.name;
    platform::UniqueFd fd(platform::RetryOnInterrupt(
        [&] { return ::openat(dirFd, e.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC |
                                                         (e.isDirectory ? O_DIRECTORY : O_PATH)); }));
    if (!fd.valid()) {
      if (errno == ELOOP) continue;  // a link: not part of the image's bytes
      return platform::FailErrno("cannot open " + path);
    }
    if (e.isDirectory) {
      platform::Status sub = AddFolderBytes(fd.get(), path, depth + 1, bytes);
      if (!sub) return sub;
      continue;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return platform::FailErrno("cannot examine " + path);
    if (S_ISREG(st.st_mode)) *bytes += static_cast<std::uint64_t>(st.st_size);
  }
  return platform::Status::Ok();
}

}  // namespace

LayoutPartition* FlashLayout::Find(const std::string& section) {
  for (LayoutPartition& p : partitions)
    if (p.section == section) return &p;
  return nullptr;
}

std::uint32_t ChipBytesFor(std::uint32_t lastEnd) {
  for (std::uint32_t chip : kChipSizes)
    if (lastEnd <= chip) return chip;
  return 0;
}

FlashLayout MakeFlashLayout(const ProductProfile& product) {
  FlashLayout layout;
  layout.product = product.name;
  for (const NamedPartition& np : NamedPartitions(product)) {
    if (np.spec->end <= np.spec->start) continue;  // absent, or cannot be drawn
    LayoutPartition p;
    p.section = np.section;
    p.name = p.section == "WEB" && !product.webName.empty() ? product.webName : Lower(np.section);
    p.start = np.spec->start;
    p.end = np.spec->end;
    layout.lastEnd = std::max(layout.lastEnd, p.end);
    layout.partitions.push_back(p);
  }
  std::stable_sort(layout.partitions.begin(), layout.partitions.end(),
                   [](const LayoutPartition& a, const LayoutPartition& b) { return a.start < b.start; });
  layout.chipBytes = ChipBytesFor(layout.lastEnd);
  return layout;
}

platform::Status SourceFolderBytes(const std::string& folder, std::uint64_t* bytes) {
  *bytes = 0;
  platform::UniqueFd dir(platform::RetryOnInterrupt(
      [&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!dir.valid()) return platform::FailErrno("cannot open " + folder);
  return AddFolderBytes(dir.get(), folder, 0, bytes);
}

std::string SizeText(std::uint64_t bytes) {
  char buf[32];
  constexpr std::uint64_t kKiB = 1024, kMiB = 1024 * 1024;
  if (bytes >= kMiB) {
    if (bytes % kMiB == 0)
      std::snprintf(buf, sizeof buf, "%llu MiB", static_cast<unsigned long long>(bytes / kMiB));
    else
      std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / kMiB);
  } else if (bytes >= kKiB) {
    std::snprintf(buf, sizeof buf, "%.0f KiB", static_cast<double>(bytes) / kKiB);
  } else {
    std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
  }
  return buf;
}

LayoutPicture DrawFlashLayout(const FlashLayout& layout, double width, double height) {
  LayoutPicture pic;
  pic.width = width;
  pic.height = height;
  const double lineHeight = pic.fontSize + 3;
  const std::uint32_t span = layout.chipBytes != 0 ? layout.chipBytes : layout.lastEnd;
  const std::string chipText = layout.chipBytes != 0
                                   ? SizeText(layout.chipBytes) + " chip"
                                   : "ends at " + Hex(layout.lastEnd) + ", beyond 32 MiB";
  pic.texts.push_back({kMargin, kMargin + pic.fontSize,
                       (layout.product.empty() ? std::string("no product") : layout.product) +
                           (span != 0 ? ": " + chipText : std::string()),
                       kTextColour, true});
  if (span == 0) return pic;

  const double barX = kMargin;
  const double barW = std::min(kBarMaxWidth, width * 0.22);
  const double top = kMargin + kTitleHeight;
  const double barH = std::max(1.0, height - top - kMargin);
  const double scale = barH / span;
  pic.rects.push_back({"chip", barX, top, barW, barH, kChipColour, kEdgeColour, true,
                       "chip, " + SizeText(span)});

  std::vector<double> labelY;
  std::vector<double> centreY;
  for (const LayoutPartition& p : layout.partitions) {
    const double y = top + p.start * scale;
    const double h = std::max(1.0, p.size() * scale);
    const std::string where = p.name + " " + Hex(p.start) + "-" + Hex(p.end) + ", " +
                              SizeText(p.size());
    pic.rects.push_back({"part-" + p.section, barX, y, barW, h, kPartColour, kEdgeColour, true,
                         where});
    if (p.fill) {
      const double ratio =
          p.size() == 0 ? 1.0 : std::min(1.0, static_cast<double>(*p.fill) / p.size());
      pic.rects.push_back({"fill-" + p.section, barX, y, std::max(1.0, barW * ratio), h,
                           p.fits() ? kFillColour : kOverColour, {}, false,
                           (p.estimated ? "about " : "") + SizeText(*p.fill) +
                               (p.fits() ? " of " : ", more than ") + SizeText(p.size())});
    }
    centreY.push_back(y + h / 2);
    labelY.push_back(y + h / 2 + pic.fontSize / 3);
  }
  // Labels keep a line apart, pushed down, then pulled back up from the bottom.
  for (std::size_t i = 1; i < labelY.size(); ++i)
    labelY[i] = std::max(labelY[i], labelY[i - 1] + lineHeight);
  double limit = height - kMargin / 2;
  for (std::size_t i = labelY.size(); i-- > 0;) {
    labelY[i] = std::min(labelY[i], limit);
    limit = labelY[i] - lineHeight;
  }
  const double labelX = barX + barW + kLabelGap;
  for (std::size_t i = 0; i < layout.partitions.size(); ++i) {
    const LayoutPartition& p = layout.partitions[i];
    char offset[16];
    std::snprintf(offset, sizeof offset, "0x%x", p.start);
    std::string text = p.name + " " + offset + " " + SizeText(p.size());
    if (p.fill) {
      const unsigned percent =
          p.size() == 0 ? 0 : static_cast<unsigned>((*p.fill * 100 + p.size() - 1) / p.size());
      text += std::string(" ") + (p.estimated ? "~" : "") + std::to_string(percent) + "%";
      if (!p.fits()) text += " does not fit";
    }
    pic.lines.push_back({barX + barW, centreY[i], labelX - 3, labelY[i] - pic.fontSize / 3,
                         kEdgeColour});
    pic.texts.push_back({labelX, labelY[i], text, p.fits() ? kTextColour : kOverColour, false});
  }
  return pic;
}

}  // namespace products
