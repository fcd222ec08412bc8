// A raw image of the whole flash chip (package kind "Burning_piecefile"):
// partitions are read out of it at their flash offsets and rebuilt ones are
// written back in place.
#pragma once

#include <cstdint>
#include <string>

namespace package {

inline constexpr std::uint64_t kMebibyte = 1048576;

enum class FlashResult {
  kOk,
  kOpenFlashFailed,  // "open_original_file"
  kCreateFailed,     // "create_error"
  kBadFlashSize,     // "original_file_error"
  kFlashTooSmall,    // "product_error"
  kOpenImageFailed,  // "open_cramfs_file"
  kImageTooBig,      // "cramfs_filesize"
  kWriteFailed,
};

// The message key the operator is shown for a result.
const char* FlashResultKey(FlashResult result);

// Flash images are 8, 16 or 32 MiB, counted in whole MiB.
bool FlashSizeAccepted(std::uint64_t size);

// Copies bytes [start, end) of the flash image (as far as it has them) into a
// new file at `destination`, a working copy in a folder of the run's own
// (not flushed to disk; removed when the copy fails). The flash image must
// be a regular file (a link to one is read); the copy is never made through
// a link. *why (when given) gets the reason of a failure, naming the file.
FlashResult ReadPartitionFromFlash(const std::string& flashImage, const std::string& destination,
                                   std::uint32_t start, std::uint32_t end, std::string* why = nullptr);

// Writes the file-system image at offset `start` of the flash image after the
// checks: flash size, partition inside the flash, image no larger than the
// partition. Bytes of the partition behind the image keep their content,
// unless `eraseRest`: a jffs2 partition must not keep the old nodes behind
// a new image (their higher versions would win on the device), so the rest
// is set to 0xFF, erased flash. Nothing is written unless every check
// passed. *why (when given) gets the reason of a failure, naming the file.
FlashResult PatchFlashImage(const std::string& flashImage, const std::string& fsImage,
                            std::uint32_t start, std::uint32_t end, bool eraseRest = false,
                            std::string* why = nullptr);

}  // namespace package
