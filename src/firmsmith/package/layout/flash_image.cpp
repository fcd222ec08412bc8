#include "firmsmith/package/layout/flash_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/platform/file_ops.h"

namespace package {
namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool WriteAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

}  // namespace

const char* FlashResultKey(FlashResult result) {
  switch (result) {
    case FlashResult::kOk: return "";
    case FlashResult::kOpenFlashFailed: return "open_original_file";
    case FlashResult::kCreateFailed: return "create_error";
    case FlashResult::kBadFlashSize: return "original_file_error";
    case FlashResult::kFlashTooSmall: return "product_error";
    case FlashResult::kOpenImageFailed: return "open_cramfs_file";
    case FlashResult::kImageTooBig: return "cramfs_filesize";
    case FlashResult::kWriteFailed: return "Firmsmith.Writing the flash burning image failed.";
  }
  return "";
}

bool FlashSizeAccepted(std::uint64_t size) {
  const std::uint64_t mib = size / kMebibyte;
  return mib == 8 || mib == 16 || mib == 32;
}

FlashResult ReadPartitionFromFlash(const std::string& flashImage, const std::string& destination,
                                   std::uint32_t start, std::uint32_t end) {
  platform::InputFile flash;
  if (!flash.Open(flashImage)) return FlashResult::kOpenFlashFailed;
  platform::OutputFile out;
  if (!out.Create(destination)) return FlashResult::kCreateFailed;
  std::uint64_t left = end > start ? end - start : 0;
  if (start >= flash.size()) left = 0;
  if (left > 0 && !flash.Seek(start)) return FlashResult::kOpenFlashFailed;
  std::vector<std::uint8_t> chunk(1 << 20);
  while (left > 0) {
    const std::size_t got =
        flash.Read(chunk.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size())));
    if (got == 0) break;
    if (!out.Write(chunk.data(), got)) return FlashResult::kCreateFailed;
    left -= got;
  }
  return out.Commit() ? FlashResult::kOk : FlashResult::kCreateFailed;
}

FlashResult PatchFlashImage(const std::string& flashImage, const std::string& fsImage,
                            std::uint32_t start, std::uint32_t end) {
  Fd flash;
  flash.fd = ::open(flashImage.c_str(), O_RDWR | O_CLOEXEC);
  struct stat st {};
  if (flash.fd < 0 || ::fstat(flash.fd, &st) != 0 || !S_ISREG(st.st_mode))
    return FlashResult::kOpenFlashFailed;
  const std::uint64_t flashSize = static_cast<std::uint64_t>(st.st_size);
  if (!FlashSizeAccepted(flashSize)) return FlashResult::kBadFlashSize;
  // A partition ending before it starts has no place in the flash either.
  if (flashSize < start || flashSize < end || end < start) return FlashResult::kFlashTooSmall;

  platform::InputFile image;
  if (!image.Open(fsImage)) return FlashResult::kOpenImageFailed;
  if (image.size() > std::uint64_t{end} - start) return FlashResult::kImageTooBig;

  std::vector<std::uint8_t> chunk(1 << 20);
  std::uint64_t offset = start;
  std::uint64_t left = image.size();
  while (left > 0) {
    const std::size_t got =
        image.Read(chunk.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size())));
    if (got == 0 || !WriteAt(flash.fd, chunk.data(), got, offset)) return FlashResult::kWriteFailed;
    offset += got;
    left -= got;
  }
  return ::fsync(flash.fd) == 0 ? FlashResult::kOk : FlashResult::kWriteFailed;
}

}  // namespace package
