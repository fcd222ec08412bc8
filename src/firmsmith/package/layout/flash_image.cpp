#include "firmsmith/package/layout/flash_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/platform/fd.h"
#include "common/platform/file_ops.h"

namespace package {
namespace {

// Chunk size of the copies in and out of a flash image.
constexpr std::size_t kCopyBuffer = 1 << 20;

FlashResult Failed(FlashResult result, std::string* why, const std::string& reason) {
  if (why) *why = reason;
  return result;
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
                                   std::uint32_t start, std::uint32_t end, std::string* why) {
  // The operator names the flash image, so a link to it is read like the
  // file (a rework refuses one before it gets here, since it would replace
  // the link); only a regular file opens, never a FIFO that would hang us.
  std::string reason;
  platform::UniqueFd flash = platform::OpenRegularForReading(flashImage, &reason);
  if (!flash.valid()) return Failed(FlashResult::kOpenFlashFailed, why, reason);
  struct stat st {};
  if (::fstat(flash.get(), &st) != 0)
    return Failed(FlashResult::kOpenFlashFailed, why, platform::ErrnoReason("cannot examine " + flashImage));
  const std::uint64_t flashSize = static_cast<std::uint64_t>(st.st_size);
  // A working copy in a run's own folder: not renamed into place or flushed
  // to disk as a kept output would be; a copy cut short is removed.
  platform::UniqueFd out = platform::OpenRegular(
      destination, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644, &reason);
  if (!out.valid()) {
    if (errno == ELOOP) reason = destination + ": a symbolic link, which is never followed";
    return Failed(FlashResult::kCreateFailed, why, reason);
  }
  const FlashResult copied = [&] {
    std::uint64_t offset = start;
    std::uint64_t left = end > start && start < flashSize ? end - start : 0;
    std::vector<std::uint8_t> chunk(kCopyBuffer);
    while (left > 0) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
      const ssize_t got = platform::ReadFullAt(flash.get(), chunk.data(), want, static_cast<off_t>(offset));
      // A read error is no end of the partition.
      if (got < 0) return Failed(FlashResult::kOpenFlashFailed, why, platform::ErrnoReason("cannot read " + flashImage));
      if (got == 0) break;
      if (!platform::WriteFull(out.get(), chunk.data(), static_cast<std::size_t>(got)))
        return Failed(FlashResult::kCreateFailed, why, platform::ErrnoReason("cannot write " + destination));
      offset += static_cast<std::uint64_t>(got);
      left -= static_cast<std::uint64_t>(got);
    }
    if (::close(out.Release()) != 0)
      return Failed(FlashResult::kCreateFailed, why, platform::ErrnoReason("cannot write " + destination));
    return FlashResult::kOk;
  }();
  if (copied != FlashResult::kOk) ::unlink(destination.c_str());
  return copied;
}

FlashResult PatchFlashImage(const std::string& flashImage, const std::string& fsImage,
                            std::uint32_t start, std::uint32_t end, bool eraseRest,
                            std::string* why) {
  std::string reason;
  platform::UniqueFd flash = platform::OpenRegular(flashImage, O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0, &reason);
  struct stat st {};
  if (!flash.valid()) return Failed(FlashResult::kOpenFlashFailed, why, reason);
  if (::fstat(flash.get(), &st) != 0)
    return Failed(FlashResult::kOpenFlashFailed, why, platform::ErrnoReason("cannot examine " + flashImage));
  const std::uint64_t flashSize = static_cast<std::uint64_t>(st.st_size);
  if (!FlashSizeAccepted(flashSize))
    return Failed(FlashResult::kBadFlashSize, why,
                  flashImage + ": " + std::to_string(flashSize) + " bytes is not 8, 16 or 32 MiB");
  // A partition ending before it starts has no place in the flash either.
  if (flashSize < start || flashSize < end || end < start)
    return Failed(FlashResult::kFlashTooSmall, why,
                  flashImage + ": partition " + std::to_string(start) + ".." + std::to_string(end) +
                      " does not lie in its " + std::to_string(flashSize) + " bytes");

  platform::InputFile image;
  if (platform::Status opened = image.Open(fsImage); !opened)
    return Failed(FlashResult::kOpenImageFailed, why, opened.message);
  const std::uint64_t room = std::uint64_t{end} - start;
  if (image.size() > room)
    return Failed(FlashResult::kImageTooBig, why,
                  fsImage + ": image of " + std::to_string(image.size()) + " bytes, room for " +
                      std::to_string(room) + " bytes");

  std::vector<std::uint8_t> chunk(kCopyBuffer);
  std::uint64_t offset = start;
  std::uint64_t left = image.size();
  while (left > 0) {
    const ssize_t got =
        image.Read(chunk.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size())));
    if (got < 0) return Failed(FlashResult::kWriteFailed, why, platform::ErrnoReason("cannot read " + fsImage));
    if (got == 0) return Failed(FlashResult::kWriteFailed, why, fsImage + ": shorter than it was");
    if (!platform::WriteFullAt(flash.get(), chunk.data(), static_cast<std::size_t>(got),
                               static_cast<off_t>(offset)))
      return Failed(FlashResult::kWriteFailed, why, platform::ErrnoReason("cannot write " + flashImage));
    offset += static_cast<std::uint64_t>(got);
    left -= static_cast<std::uint64_t>(got);
  }
  if (eraseRest) {
    std::fill(chunk.begin(), chunk.end(), 0xFF);
    while (offset < end) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(end - offset, chunk.size()));
      if (!platform::WriteFullAt(flash.get(), chunk.data(), n, static_cast<off_t>(offset)))
        return Failed(FlashResult::kWriteFailed, why, platform::ErrnoReason("cannot write " + flashImage));
      offset += n;
    }
  }
  if (::fsync(flash.get()) != 0)
    return Failed(FlashResult::kWriteFailed, why, platform::ErrnoReason("cannot flush " + flashImage));
  return FlashResult::kOk;
}

}  // namespace package
