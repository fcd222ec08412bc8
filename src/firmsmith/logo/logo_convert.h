// Logo fitting: before the logo partition is built, every bitmap in the logo
// folder is fitted to the product's logo size and the folder is left holding
// one "logo.bmp" at 16 bits per pixel (5-5-5). Decoding and scaling use
// QtGui's QImage (no QGuiApplication needed); the 16-bit BMP is written here.
#pragma once

#include <QImage>
#include <string>

namespace shell {

// Fits every file of `folder` (with or without a trailing "/") to width x
// height, in name order, and leaves "logo.bmp" made from the first one:
// - exactly the logo size: the file itself becomes logo.bmp (copied, never
//   over an existing logo.bmp);
// - at least the logo size both ways: scaled (colour averaging) to it;
// - at most the logo size both ways: centred on a canvas filled with the
//   picture's top-left colour;
// - larger one way and smaller the other: scaled down to fit, aspect kept,
//   then centred like a small picture.
// Every source file and intermediate "<title>_new.bmp" is removed. False at
// the first file that is not a loadable BMP or cannot be converted or
// written; that file and the later ones stay as they are, and *why (when
// given) says which and why, naming the file by its name in the folder.
bool ConvertLogoFolder(const std::string& folder, int width, int height, std::string* why = nullptr);

// Decodes any picture QImage reads, scales it to width x height with colour
// averaging at 16 bits per pixel and saves it in the format of the target's
// extension (".bmp": our 16-bit BMP).
bool ScalePicture(const std::string& source, const std::string& target, int width, int height);

// Writes a canvasWidth x canvasHeight 16-bit BMP filled with the colour of the
// picture's top-left pixel, the picture (pictureWidth x pictureHeight of
// `picture`) copied unscaled with its top-left corner at
// ((canvasWidth - pictureWidth) / 2, (canvasHeight - pictureHeight) / 2).
bool WriteCenteredBitmap(const QImage& picture, int pictureWidth, int pictureHeight,
                         const std::string& target, int canvasWidth, int canvasHeight);

// Writes `image` as an uncompressed 16-bit 5-5-5 BMP, rows bottom-up, each
// row padded to a multiple of 4 bytes.
bool WriteBitmap16(const QImage& image, const std::string& target);

}  // namespace shell
