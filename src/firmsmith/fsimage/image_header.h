// The 64-byte partition image header in front of every "*.img" entry of an
// upgrade package: the legacy U-Boot image header, every 32-bit field
// big-endian, carrying the partition's flash bounds as load address (start)
// and entry point (end). The device's upgrade code places and checks the
// image by it. This file is the one place that knows the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/platform/status.h"

namespace fsimage {

// Layout: offsets and widths of the header fields.
inline constexpr std::size_t IH_SIZE = 64;
inline constexpr std::size_t IH_MAGIC_OFFSET = 0;
inline constexpr std::size_t IH_HCRC_OFFSET = 4;   // CRC-32 of the header with this field 0
inline constexpr std::size_t IH_TIME_OFFSET = 8;   // seconds since 1970, low 32 bits
inline constexpr std::size_t IH_SIZE_OFFSET = 12;  // data bytes behind the header
inline constexpr std::size_t IH_LOAD_OFFSET = 16;  // partition start
inline constexpr std::size_t IH_EP_OFFSET = 20;    // partition end
inline constexpr std::size_t IH_DCRC_OFFSET = 24;  // CRC-32 of the data
inline constexpr std::size_t IH_OS_OFFSET = 28;
inline constexpr std::size_t IH_ARCH_OFFSET = 29;
inline constexpr std::size_t IH_TYPE_OFFSET = 30;
inline constexpr std::size_t IH_COMP_OFFSET = 31;
inline constexpr std::size_t IH_NAME_OFFSET = 32;
inline constexpr std::size_t IH_NMLEN = 32;

// Values we write.
inline constexpr std::uint32_t IH_MAGIC = 0x27051956;
inline constexpr std::uint8_t IH_OS_LINUX = 5;
inline constexpr std::uint8_t IH_ARCH_ARM = 2;
inline constexpr std::uint8_t IH_TYPE_KERNEL = 2;
inline constexpr std::uint8_t IH_COMP_GZIP = 1;  // written for every image, whatever the payload
inline constexpr const char* IH_NAME_LINUX = "Linux";

// The largest file-system image MakeImage wraps: header and image once had
// to fit one 0xA000000-byte buffer.
inline constexpr std::uint64_t kMaxWrappedImageSize = 0xA000000 - IH_SIZE;  // 167,772,096

struct ImageHeader {
  std::uint32_t magic = 0;
  std::uint32_t headerCrc = 0;
  std::uint32_t time = 0;
  std::uint32_t dataSize = 0;
  std::uint32_t loadAddress = 0;
  std::uint32_t entryPoint = 0;
  std::uint32_t dataCrc = 0;
  std::uint8_t os = 0;
  std::uint8_t arch = 0;
  std::uint8_t type = 0;
  std::uint8_t compression = 0;
  std::string name;  // up to the first zero byte of the 32-byte field
};

// Decodes the first IH_SIZE bytes of `bytes`.
ImageHeader DecodeImageHeader(const std::uint8_t* bytes);
// Writes the header into out[0..IH_SIZE), header CRC computed and filled in
// (the `headerCrc` member is ignored); the name is cut to IH_NMLEN bytes.
void EncodeImageHeader(const ImageHeader& header, std::uint8_t* out);
// CRC-32 of the IH_SIZE header bytes with the header-CRC field taken as 0.
std::uint32_t ComputeHeaderCrc(const std::uint8_t* bytes);

// Reads the header at the start of a file. False when the file cannot be
// read or is shorter than IH_SIZE bytes. In every function below, *why (when
// given) receives the reason of a failure, naming the file.
bool ReadImageHeader(const std::string& path, ImageHeader* header, platform::Status* why = nullptr);

// What VerifyImage found out about an image file.
struct ImageCheck {
  bool magicOk = false;
  bool headerCrcOk = false;
  bool dataComplete = false;  // the file holds at least dataSize bytes behind the header
  bool dataCrcOk = false;     // CRC-32 of those dataSize bytes matches
};
// Reads the header of the image file and checks it and its data. False when
// the file cannot be read or is shorter than IH_SIZE bytes.
bool VerifyImage(const std::string& path, ImageHeader* header, ImageCheck* check,
                 platform::Status* why = nullptr);

// Writes header + the bare image at `input` to `output`, with load address
// `start` and entry point `end`. 0 success; -1 output not creatable, input
// not a readable regular file, larger than kMaxWrappedImageSize, not read or
// not written completely, or input and output the same file; -2 the image is
// larger than the unsigned 32-bit difference end - start ("Too Big!"); -3 the
// input cannot be opened (the output is then left empty). Diagnostic lines go
// to the debug channel.
int MakeImage(const std::string& input, const std::string& output, std::uint32_t start,
              std::uint32_t end, platform::Status* why = nullptr);

// The wrap of an image that was built IH_SIZE bytes into `file`, the room
// in front of it left for the header, so that wrapping copies nothing: the
// image is checked as MakeImage checks its input (results and diagnostic
// lines as there, the time field from `file`), its CRC computed in one
// read, the header written into the room and `file` renamed to `output`.
// Where `output` lies on another file system, the image is copied behind a
// header into `output` as MakeImage does and `file` stays. -3: `file`
// cannot be opened.
int WrapImageInPlace(const std::string& file, const std::string& output, std::uint32_t start,
                     std::uint32_t end, platform::Status* why = nullptr);

// Writes everything behind the first IH_SIZE bytes of `image` to `output`.
// 0 when all of it was copied; -1 when the image cannot be read, is shorter
// than IH_SIZE bytes, is the output file itself, or the output cannot be
// written.
int StripImageHeader(const std::string& image, const std::string& output,
                     platform::Status* why = nullptr);

}  // namespace fsimage
