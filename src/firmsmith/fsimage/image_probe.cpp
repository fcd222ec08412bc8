#include "firmsmith/fsimage/image_probe.h"


#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "firmsmith/fsimage/cramfs_format.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/fsimage/jffs2_format.h"
#include "firmsmith/fsimage/jffs2_reader.h"
#include "common/platform/fd.h"
#include "common/zip/zip_reader.h"

namespace fsimage {
using zipfile::OpenZipArchive;
using zipfile::ZzipDir;
using zipfile::ZzipFile;

namespace {

// Reads exactly `size` bytes at `offset`; false when they are not all there.
using ReadAt = std::function<bool(std::uint64_t offset, char* out, std::size_t size)>;

// The squashfs magic at the file-system start, else the cramfs signature
// 16 bytes further on, else a jffs2 node header (either byte order, its
// header CRC correct, so that two stray bytes are no jffs2 image).
int Classify(const ReadAt& read, std::uint64_t fsStart) {
  char magic[kSquashfsMagicLength];
  if (read(fsStart, magic, sizeof magic) && std::memcmp(magic, kSquashfsMagic, sizeof magic) == 0)
    return kImageKindSquashfs;
  char signature[cramfs::kSignatureLength];
  if (read(fsStart + cramfs::kSuperSignature, signature, sizeof signature) &&
      std::memcmp(signature, cramfs::kSignature, sizeof signature) == 0)
    return kImageKindCramfs;
  std::uint8_t node[jffs2::kHeaderSize];
  if (read(fsStart, reinterpret_cast<char*>(node), sizeof node) && IsJffs2NodeHeader(node, sizeof node))
    return kImageKindJffs2;
  return kImageKindNone;
}

bool ParseOffset(const std::string& text, std::uint64_t* offset) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *offset = v;
  return true;
}

int DetectInFile(const std::string& path, std::uint64_t fsStart, platform::Status* why) {
  std::string reason;
  platform::UniqueFd fd = platform::OpenRegularForReading(path, &reason);
  if (!fd.valid()) {
    if (why != nullptr) *why = platform::Status::Fail(reason);
    return kImageKindNone;
  }
  int readError = 0;
  ReadAt read = [&fd, &readError](std::uint64_t offset, char* out, std::size_t size) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX) - size) return false;
    ssize_t got = platform::ReadFullAt(fd.get(), out, size, static_cast<off_t>(offset));
    if (got < 0) readError = errno;
    return got == static_cast<ssize_t>(size);
  };
  int kind = Classify(read, fsStart);
  // A short file holds no signature; a file that cannot be read is no answer.
  if (readError != 0 && why != nullptr) *why = platform::FailErrno("cannot read " + path, readError);
  return kind;
}

int DetectInArchive(const std::string& path, const std::string& key, int match,
                    platform::Status* why) {
  ZzipDir dir = OpenZipArchive(path, why);
  if (!dir) return kImageKindArchiveError;
  ZZIP_DIRENT entry;
  while (zzip_dir_read(dir.get(), &entry)) {
    if (entry.d_name == nullptr) continue;
    std::string name = entry.d_name;
    bool matches = match == 1 ? name.find(key) != std::string::npos : name == key;
    if (!matches) continue;
    ZzipFile file(zzip_file_open(dir.get(), name.c_str(), 0));
    if (!file) continue;
    ReadAt read = [&file](std::uint64_t offset, char* out, std::size_t size) {
      if (offset > static_cast<std::uint64_t>(INT32_MAX)) return false;
      if (zzip_seek(file.get(), static_cast<zzip_off_t>(offset), SEEK_SET) < 0) return false;
      std::size_t done = 0;
      while (done < size) {
        zzip_ssize_t n = zzip_file_read(file.get(), out + done, size - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
      }
      return true;
    };
    int kind = Classify(read, IH_SIZE);
    if (kind != kImageKindNone) return kind;
  }
  return kImageKindNone;
}

}  // namespace

int DetectImageKind(int mode, const std::string& path, const std::string& key, int match,
                    platform::Status* why) {
  if (why != nullptr) *why = platform::Status::Ok();
  if (path.empty()) return kImageKindNone;
  switch (mode) {
    case kProbeArchiveEntry:
      if (key.empty()) return kImageKindNone;
      return DetectInArchive(path, key, match, why);
    case kProbeAtOffset: {
      std::uint64_t offset = 0;
      if (!ParseOffset(key, &offset)) return kImageKindNone;
      return DetectInFile(path, offset, why);
    }
    case kProbeBehindHeader:
      return DetectInFile(path, IH_SIZE, why);
    case kProbeBareImage:
      return DetectInFile(path, 0, why);
    default:
      return kImageKindNone;
  }
}

}  // namespace fsimage
