#include "firmsmith/logo/logo_convert.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/platform/files.h"

namespace shell {
namespace {

// BMP file header (14 bytes) + BITMAPINFOHEADER (40 bytes).
constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::size_t kPixelDataOffset = kFileHeaderSize + kInfoHeaderSize;  // 54
constexpr std::uint16_t kBitsPerPixel = 16;
constexpr std::uint32_t kCompressionNone = 0;  // BI_RGB: 16 bits read as 5-5-5
constexpr std::uint16_t kPlanes = 1;
// A logo canvas beyond this is a mistake in the product file, not a logo.
constexpr std::uint64_t kMaxCanvasBytes = 256ull * 1024 * 1024;

constexpr const char* kLogoFileName = "logo.bmp";
constexpr const char* kIntermediateSuffix = "_new.bmp";

void PutLe16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
  out[at] = static_cast<std::uint8_t>(v);
  out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// 8 bits per channel down to 5, as a 16-bit section stores them.
std::uint16_t ToRgb555(QRgb c) {
  return static_cast<std::uint16_t>(((qRed(c) >> 3) << 10) | ((qGreen(c) >> 3) << 5) |
                                    (qBlue(c) >> 3));
}

bool CanvasSizeAcceptable(int width, int height) {
  return width > 0 && height > 0 &&
         static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 2 <=
             kMaxCanvasBytes;
}

bool HasBmpExtension(const std::string& path) {
  return QString::fromStdString(path).endsWith(QStringLiteral(".bmp"), Qt::CaseInsensitive);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The first bitmap handled becomes the logo: a present logo.bmp is kept.
bool CopyUnlessExists(const std::string& from, const std::string& to) {
  if (Exists(to)) return true;
  std::vector<std::uint8_t> bytes;
  return platform::ReadFileBytes(from, &bytes) && platform::WriteFileAtomic(to, bytes);
}

std::string FileTitle(const std::string& name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// Fits a picture that is larger than the canvas one way and smaller the
// other: scaled down with its aspect kept until it fits, then centred.
bool WriteFittedBitmap(const QImage& picture, const std::string& target, int width, int height) {
  double scale = std::min(static_cast<double>(width) / picture.width(),
                          static_cast<double>(height) / picture.height());
  int w = std::clamp(static_cast<int>(std::lround(picture.width() * scale)), 1, width);
  int h = std::clamp(static_cast<int>(std::lround(picture.height() * scale)), 1, height);
  QImage scaled = picture.convertToFormat(QImage::Format_RGB32)
                      .scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  if (scaled.isNull()) return false;
  return WriteCenteredBitmap(scaled, w, h, target, width, height);
}

}  // namespace

bool WriteBitmap16(const QImage& image, const std::string& target) {
  if (image.isNull() || !CanvasSizeAcceptable(image.width(), image.height())) return false;
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  if (rgb.isNull()) return false;
  const auto width = static_cast<std::size_t>(rgb.width());
  const auto height = static_cast<std::size_t>(rgb.height());
  // Rows are padded to a multiple of 4 bytes, as every BMP reader expects;
  // for an even width the padding is empty and the file is W * H * 2 + 54.
  const std::size_t stride = (width * 2 + 3) / 4 * 4;
  const std::size_t fileSize = kPixelDataOffset + stride * height;

  std::vector<std::uint8_t> out(fileSize, 0);
  out[0] = 'B';
  out[1] = 'M';
  PutLe32(out, 2, static_cast<std::uint32_t>(fileSize));
  PutLe32(out, 10, static_cast<std::uint32_t>(kPixelDataOffset));
  PutLe32(out, 14, static_cast<std::uint32_t>(kInfoHeaderSize));
  PutLe32(out, 18, static_cast<std::uint32_t>(width));
  PutLe32(out, 22, static_cast<std::uint32_t>(height));  // positive: bottom row first
  PutLe16(out, 26, kPlanes);
  PutLe16(out, 28, kBitsPerPixel);
  PutLe32(out, 30, kCompressionNone);
  // Image size, resolutions and colour counts stay 0.
  for (std::size_t row = 0; row < height; ++row) {
    const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(static_cast<int>(height - 1 - row)));
    std::size_t at = kPixelDataOffset + row * stride;
    for (std::size_t x = 0; x < width; ++x, at += 2) PutLe16(out, at, ToRgb555(line[x]));
  }
  return platform::WriteFileAtomic(target, out).ok;
}

bool WriteCenteredBitmap(const QImage& picture, int pictureWidth, int pictureHeight,
                         const std::string& target, int canvasWidth, int canvasHeight) {
  if (picture.isNull() || !CanvasSizeAcceptable(canvasWidth, canvasHeight)) return false;
  const QImage source = picture.convertToFormat(QImage::Format_RGB32);
  QImage canvas(canvasWidth, canvasHeight, QImage::Format_RGB32);
  if (source.isNull() || canvas.isNull()) return false;
  canvas.fill(source.pixel(0, 0));

  const int w = std::min(pictureWidth, source.width());
  const int h = std::min(pictureHeight, source.height());
  // Integer division truncating toward zero, as the canvas has always been laid out.
  const int left = (canvasWidth - pictureWidth) / 2;
  const int top = (canvasHeight - pictureHeight) / 2;
  for (int y = 0; y < h; ++y) {
    const int cy = top + y;
    if (cy < 0 || cy >= canvasHeight) continue;
    const auto* from = reinterpret_cast<const QRgb*>(source.constScanLine(y));
    auto* to = reinterpret_cast<QRgb*>(canvas.scanLine(cy));
    for (int x = 0; x < w; ++x) {
      const int cx = left + x;
      if (cx >= 0 && cx < canvasWidth) to[cx] = from[x];
    }
  }
  return WriteBitmap16(canvas, target);
}

bool ScalePicture(const std::string& source, const std::string& target, int width, int height) {
  if (!CanvasSizeAcceptable(width, height)) return false;
  QImage picture;
  if (!picture.load(QString::fromStdString(source))) return false;
  // Qt's smooth scaling averages the source area behind each target pixel
  // when it shrinks, like a halftone stretch.
  QImage scaled = picture.convertToFormat(QImage::Format_RGB32)
                      .scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  if (scaled.isNull()) return false;
  if (HasBmpExtension(target)) return WriteBitmap16(scaled, target);
  QImage sixteen = scaled.convertToFormat(QImage::Format_RGB555);
  return !sixteen.isNull() && sixteen.save(QString::fromStdString(target));
}

bool ConvertLogoFolder(const std::string& folder, int width, int height, std::string* why) {
  const auto fail = [why](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  if (!CanvasSizeAcceptable(width, height))
    return fail("logo size " + std::to_string(width) + "x" + std::to_string(height) + " out of range");
  const std::string dir = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  const std::string logo = dir + kLogoFileName;
  // The listing is taken once: files made on the way are not visited.
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolder(dir, &entries); !listed) return fail(listed.message);
  for (const platform::FolderEntry& entry : entries) {
    if (entry.isDirectory) continue;
    const std::string path = dir + entry.name;
    const std::string intermediate = dir + FileTitle(entry.name) + kIntermediateSuffix;

    QImage picture;
    if (!picture.load(QString::fromStdString(path), "BMP")) return fail(entry.name + ": not a loadable bitmap");
    const int w = picture.width(), h = picture.height();
    if (w == width && h == height) {
      if (path != logo) {
        if (!CopyUnlessExists(path, logo)) return fail(entry.name + ": cannot be written as " + kLogoFileName);
        ::unlink(path.c_str());
      }
      continue;
    }
    bool written;
    if (w >= width && h >= height)
      written = ScalePicture(path, intermediate, width, height);
    else if (w <= width && h <= height)
      written = WriteCenteredBitmap(picture, w, h, intermediate, width, height);
    else
      written = WriteFittedBitmap(picture, intermediate, width, height);
    // The source goes only once its replacement is safely written.
    if (!written) {
      ::unlink(intermediate.c_str());
      return fail(entry.name + ": cannot be converted to " + std::to_string(width) + "x" + std::to_string(height));
    }
    ::unlink(path.c_str());
    if (!CopyUnlessExists(intermediate, logo)) return fail(entry.name + ": cannot be written as " + kLogoFileName);
    ::unlink(intermediate.c_str());
  }
  return true;
}

}  // namespace shell
