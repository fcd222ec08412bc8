#include "firmsmith/fsimage/image_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "common/platform/debuglog.h"
#include "common/platform/fd.h"
#include "common/platform/file_ops.h"

namespace fsimage {
namespace {

// The device reads every header word big-endian.
std::uint32_t GetBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  // zlib takes uInt lengths; feed large buffers in slices.
  while (size > 0) {
    uInt slice = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
    crc = ::crc32(crc, data, slice);
    data += slice;
    size -= slice;
  }
  return static_cast<std::uint32_t>(crc);
}

constexpr std::size_t kCopyChunk = 64 * 1024;

// Hands a reason to the caller (when it asked for one) and to the debug
// channel; returns `rc`.
int Fail(platform::Status* why, platform::Status status, int rc) {
  platform::DebugOutput("%s\n", status.message.c_str());
  if (why != nullptr) *why = std::move(status);
  return rc;
}

// Opens an image file and reads its header bytes; invalid when either fails.
platform::UniqueFd OpenImage(const std::string& path, std::uint8_t* bytes, platform::Status* why) {
  std::string reason;
  platform::UniqueFd fd = platform::OpenRegularForReading(path, &reason);
  if (!fd.valid()) {
    Fail(why, platform::Status::Fail(reason), 0);
    return fd;
  }
  ssize_t got = platform::ReadFullAt(fd.get(), bytes, IH_SIZE, 0);
  if (got < 0) {
    Fail(why, platform::FailErrno("cannot read " + path), 0);
    fd.Reset();
  } else if (got != static_cast<ssize_t>(IH_SIZE)) {
    Fail(why,
         platform::Status::Fail(path + ": " + std::to_string(got) +
                                " bytes, shorter than the 64-byte image header"),
         0);
    fd.Reset();
  }
  return fd;
}

}  // namespace

ImageHeader DecodeImageHeader(const std::uint8_t* bytes) {
  ImageHeader h;
  h.magic = GetBe32(bytes + IH_MAGIC_OFFSET);
  h.headerCrc = GetBe32(bytes + IH_HCRC_OFFSET);
  h.time = GetBe32(bytes + IH_TIME_OFFSET);
  h.dataSize = GetBe32(bytes + IH_SIZE_OFFSET);
  h.loadAddress = GetBe32(bytes + IH_LOAD_OFFSET);
  h.entryPoint = GetBe32(bytes + IH_EP_OFFSET);
  h.dataCrc = GetBe32(bytes + IH_DCRC_OFFSET);
  h.os = bytes[IH_OS_OFFSET];
  h.arch = bytes[IH_ARCH_OFFSET];
  h.type = bytes[IH_TYPE_OFFSET];
  h.compression = bytes[IH_COMP_OFFSET];
  const char* name = reinterpret_cast<const char*>(bytes + IH_NAME_OFFSET);
  h.name.assign(name, ::strnlen(name, IH_NMLEN));
  return h;
}

std::uint32_t ComputeHeaderCrc(const std::uint8_t* bytes) {
  std::uint8_t copy[IH_SIZE];
  std::memcpy(copy, bytes, IH_SIZE);
  PutBe32(copy + IH_HCRC_OFFSET, 0);
  return Crc32(copy, IH_SIZE);
}

void EncodeImageHeader(const ImageHeader& header, std::uint8_t* out) {
  std::memset(out, 0, IH_SIZE);
  PutBe32(out + IH_MAGIC_OFFSET, header.magic);
  PutBe32(out + IH_TIME_OFFSET, header.time);
  PutBe32(out + IH_SIZE_OFFSET, header.dataSize);
  PutBe32(out + IH_LOAD_OFFSET, header.loadAddress);
  PutBe32(out + IH_EP_OFFSET, header.entryPoint);
  PutBe32(out + IH_DCRC_OFFSET, header.dataCrc);
  out[IH_OS_OFFSET] = header.os;
  out[IH_ARCH_OFFSET] = header.arch;
  out[IH_TYPE_OFFSET] = header.type;
  out[IH_COMP_OFFSET] = header.compression;
  std::memcpy(out + IH_NAME_OFFSET, header.name.data(),
              header.name.size() < IH_NMLEN ? header.name.size() : IH_NMLEN);
  PutBe32(out + IH_HCRC_OFFSET, Crc32(out, IH_SIZE));
}

bool ReadImageHeader(const std::string& path, ImageHeader* header, platform::Status* why) {
  std::uint8_t bytes[IH_SIZE];
  if (!OpenImage(path, bytes, why).valid()) return false;
  *header = DecodeImageHeader(bytes);
  return true;
}

bool VerifyImage(const std::string& path, ImageHeader* header, ImageCheck* check,
                 platform::Status* why) {
  std::uint8_t bytes[IH_SIZE];
  platform::UniqueFd fd = OpenImage(path, bytes, why);
  if (!fd.valid()) return false;
  *header = DecodeImageHeader(bytes);
  *check = ImageCheck();
  check->magicOk = header->magic == IH_MAGIC;
  check->headerCrcOk = ComputeHeaderCrc(bytes) == header->headerCrc;

  uLong crc = ::crc32(0L, Z_NULL, 0);
  std::vector<std::uint8_t> chunk(kCopyChunk);
  std::uint64_t remaining = header->dataSize;
  off_t offset = static_cast<off_t>(IH_SIZE);
  while (remaining > 0) {
    std::size_t want = remaining < chunk.size() ? static_cast<std::size_t>(remaining) : chunk.size();
    ssize_t got = platform::ReadFullAt(fd.get(), chunk.data(), want, offset);
    if (got < 0) {
      Fail(why, platform::FailErrno("cannot read " + path), 0);
      return false;
    }
    if (got != static_cast<ssize_t>(want)) return true;
    crc = ::crc32(crc, chunk.data(), static_cast<uInt>(want));
    remaining -= want;
    offset += static_cast<off_t>(want);
  }
  check->dataComplete = true;
  check->dataCrcOk = static_cast<std::uint32_t>(crc) == header->dataCrc;
  return true;
}

namespace {

// A wrap reads its payload in pieces of this size, whatever the image size:
// its memory stays fixed, and a piece stays in the cache between the CRC and
// the write.
constexpr std::size_t kWrapChunk = 256 * 1024;

// Wraps the payload that starts `from` bytes into the open file `in` (stat
// `st`): checks it as MakeImage does, then reads it once, adding each chunk
// to the data CRC and writing it behind the header of `out`; the header goes
// to offset 0 last, so an image that was not finished carries no valid
// header. With `out` < 0 nothing is copied and the header goes into the
// first IH_SIZE bytes of `in` itself.
int WrapOpenFiles(int in, const std::string& input, off_t from, const struct stat& st, int out,
                  const std::string& output, std::uint32_t start, std::uint32_t end,
                  platform::Status* why) {
  if (!S_ISREG(st.st_mode))
    return Fail(why, platform::Status::Fail(input + ": not a regular file"), -1);
  if (st.st_size < from)
    return Fail(why,
                platform::Status::Fail(input + ": " + std::to_string(st.st_size) +
                                       " bytes, shorter than the room for the 64-byte image header"),
                -1);
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size - from);
  if (size > kMaxWrappedImageSize)
    return Fail(why,
                platform::Status::Fail(input + ": " + std::to_string(size) +
                                       " bytes, more than the largest image (" +
                                       std::to_string(kMaxWrappedImageSize) + " bytes)"),
                -1);
  const auto length = static_cast<std::uint32_t>(size);

  // Unsigned on purpose: a product whose end lies below its start never
  // reports "too big"; one with start = end = 0 rejects every non-empty image.
  if (static_cast<std::uint32_t>(end - start) < length) {
    platform::DebugOutput("Too Big!\n");
    if (why != nullptr)
      *why = platform::Status::Fail(input + ": image of " + std::to_string(length) +
                                    " bytes is larger than the partition of " +
                                    std::to_string(static_cast<std::uint32_t>(end - start)) +
                                    " bytes");
    return -2;
  }

  uLong crc = ::crc32(0L, Z_NULL, 0);
  std::vector<std::uint8_t> chunk(kWrapChunk);
  for (std::uint32_t done = 0; done < length;) {
    const std::size_t want = std::min<std::size_t>(chunk.size(), length - done);
    const ssize_t got = platform::ReadFullAt(in, chunk.data(), want, from + static_cast<off_t>(done));
    if (got < 0) return Fail(why, platform::FailErrno("cannot read " + input), -1);
    if (got != static_cast<ssize_t>(want))
      return Fail(why, platform::Status::Fail("cannot read " + input + ": it shrank while being read"),
                  -1);
    crc = ::crc32(crc, chunk.data(), static_cast<uInt>(want));
    if (out >= 0 &&
        !platform::WriteFullAt(out, chunk.data(), want, static_cast<off_t>(IH_SIZE + done)))
      return Fail(why, platform::FailErrno("cannot write " + output), -1);
    done += static_cast<std::uint32_t>(want);
  }
  // The header states the size fstat gave; bytes that arrived since would
  // be left out of the image without a word.
  std::uint8_t more = 0;
  const ssize_t extra = platform::ReadFullAt(in, &more, 1, from + static_cast<off_t>(length));
  if (extra < 0) return Fail(why, platform::FailErrno("cannot read " + input), -1);
  if (extra > 0)
    return Fail(why, platform::Status::Fail("cannot read " + input + ": it grew while being read"), -1);

  ImageHeader header;
  header.magic = IH_MAGIC;
  header.time = static_cast<std::uint32_t>(st.st_mtime);
  header.dataSize = length;
  header.loadAddress = start;
  header.entryPoint = end;
  header.dataCrc = static_cast<std::uint32_t>(crc);
  header.os = IH_OS_LINUX;
  header.arch = IH_ARCH_ARM;
  header.type = IH_TYPE_KERNEL;
  header.compression = IH_COMP_GZIP;
  header.name = IH_NAME_LINUX;
  std::uint8_t bytes[IH_SIZE];
  EncodeImageHeader(header, bytes);
  if (!platform::WriteFullAt(out >= 0 ? out : in, bytes, IH_SIZE, 0))
    return Fail(why, platform::FailErrno("cannot write " + (out >= 0 ? output : input)), -1);
  return 0;
}

// The output a copying wrap writes, created (or emptied) before anything is read.
platform::UniqueFd CreateWrapOutput(const std::string& output) {
  return platform::UniqueFd(::open(output.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
}

// WrapOpenFiles into the new file `out`, closed when it is whole.
int WrapIntoOutput(int in, const std::string& input, off_t from, const struct stat& st,
                   platform::UniqueFd out, const std::string& output, std::uint32_t start,
                   std::uint32_t end, platform::Status* why) {
  if (!out.valid()) return Fail(why, platform::FailErrno("cannot create " + output), -1);
  if (int rc = WrapOpenFiles(in, input, from, st, out.get(), output, start, end, why); rc != 0) return rc;
  if (::close(out.Release()) != 0) return Fail(why, platform::FailErrno("cannot write " + output), -1);
  return 0;
}

}  // namespace

int MakeImage(const std::string& input, const std::string& output, std::uint32_t start,
              std::uint32_t end, platform::Status* why) {
  platform::DebugOutput("MakeImage before!\n");
  // Truncating the output first would destroy an input of the same name.
  if (platform::SameFile(input, output))
    return Fail(why, platform::Status::Fail("cannot wrap " + input + " into itself"), -1);

  platform::UniqueFd out = CreateWrapOutput(output);
  if (!out.valid()) return Fail(why, platform::FailErrno("cannot create " + output), -1);
  platform::UniqueFd in(::open(input.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!in.valid()) return Fail(why, platform::FailErrno("cannot open " + input), -3);

  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return Fail(why, platform::FailErrno("cannot read " + input), -1);
  if (int rc = WrapIntoOutput(in.get(), input, 0, st, std::move(out), output, start, end, why); rc != 0)
    return rc;
  platform::DebugOutput("Firmsmith Success!\n");
  platform::DebugOutput("MakeImage after!\n");
  return 0;
}

int WrapImageInPlace(const std::string& file, const std::string& output, std::uint32_t start,
                     std::uint32_t end, platform::Status* why) {
  platform::DebugOutput("MakeImage before!\n");
  if (platform::SameFile(file, output))
    return Fail(why, platform::Status::Fail("cannot wrap " + file + " into itself"), -1);
  std::string reason;
  platform::UniqueFd in = platform::OpenRegular(file, O_RDWR | O_NOFOLLOW, 0, &reason);
  if (!in.valid()) return Fail(why, platform::Status::Fail(reason), -3);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return Fail(why, platform::FailErrno("cannot read " + file), -1);
  const off_t from = static_cast<off_t>(IH_SIZE);

  // A rename moves nothing only within one file system; elsewhere the
  // image is copied behind a header of its own, as MakeImage does.
  std::string folder = platform::ParentFolder(output);
  struct stat there {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &there) != 0)
    return Fail(why, platform::FailErrno("cannot create " + output), -1);
  bool moved = false;
  if (there.st_dev == st.st_dev) {
    if (int rc = WrapOpenFiles(in.get(), file, from, st, -1, output, start, end, why); rc != 0) return rc;
    if (::close(in.Release()) != 0) return Fail(why, platform::FailErrno("cannot write " + file), -1);
    if (::rename(file.c_str(), output.c_str()) == 0) {
      moved = true;
    } else if (errno != EXDEV) {
      return Fail(why, platform::FailErrno("cannot move " + file + " to " + output), -1);
    } else {
      in = platform::OpenRegular(file, O_RDONLY | O_NOFOLLOW, 0, &reason);
      if (!in.valid()) return Fail(why, platform::Status::Fail(reason), -1);
    }
  }
  if (!moved) {
    // The header room keeps its zeros or holds the header just written;
    // either way the copy starts behind it, with the time found at first.
    if (int rc = WrapIntoOutput(in.get(), file, from, st, CreateWrapOutput(output), output, start, end, why);
        rc != 0)
      return rc;
  }
  platform::DebugOutput("Firmsmith Success!\n");
  platform::DebugOutput("MakeImage after!\n");
  return 0;
}

int StripImageHeader(const std::string& image, const std::string& output, platform::Status* why) {
  if (platform::SameFile(image, output))
    return Fail(why, platform::Status::Fail("cannot strip " + image + " into itself"), -1);
  std::string reason;
  platform::UniqueFd in = platform::OpenRegularForReading(image, &reason);
  if (!in.valid()) return Fail(why, platform::Status::Fail(reason), -1);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return Fail(why, platform::FailErrno("cannot read " + image), -1);
  if (st.st_size < static_cast<off_t>(IH_SIZE))
    return Fail(why,
                platform::Status::Fail(image + ": " + std::to_string(st.st_size) +
                                       " bytes, shorter than the 64-byte image header"),
                -1);
  platform::UniqueFd out(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!out.valid()) return Fail(why, platform::FailErrno("cannot create " + output), -1);

  // Copy exactly the length seen at the start: a file that shrinks meanwhile
  // is an incomplete copy, not a success.
  std::uint64_t remaining = static_cast<std::uint64_t>(st.st_size) - IH_SIZE;
  off_t offset = static_cast<off_t>(IH_SIZE);
  std::vector<std::uint8_t> chunk(kCopyChunk);
  while (remaining > 0) {
    std::size_t want = remaining < chunk.size() ? static_cast<std::size_t>(remaining) : chunk.size();
    ssize_t got = platform::ReadFullAt(in.get(), chunk.data(), want, offset);
    if (got < 0) return Fail(why, platform::FailErrno("cannot read " + image), -1);
    if (got != static_cast<ssize_t>(want))
      return Fail(why, platform::Status::Fail("cannot read " + image + ": it shrank while being read"),
                  -1);
    if (!platform::WriteFull(out.get(), chunk.data(), want))
      return Fail(why, platform::FailErrno("cannot write " + output), -1);
    remaining -= want;
    offset += static_cast<off_t>(want);
  }
  if (::close(out.Release()) != 0) return Fail(why, platform::FailErrno("cannot write " + output), -1);
  return 0;
}

}  // namespace fsimage
