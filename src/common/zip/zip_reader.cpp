#include "common/zip/zip_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <utility>

#include "common/platform/fd.h"
#include "common/platform/printable.h"

namespace zipfile {

ZzipDir OpenZipArchive(const std::string& path, platform::Status* why) {
  std::string reason;
  platform::UniqueFd fd = platform::OpenRegularForReading(path, &reason);
  if (!fd.valid()) {
    if (why != nullptr) *why = platform::Status::Fail(reason);
    return ZzipDir();
  }
  zzip_error_t error = ZZIP_NO_ERROR;
  // zziplib owns the descriptor from here on, and closes it also when the
  // file is no archive.
  ZzipDir dir(zzip_dir_fdopen(fd.Release(), &error));
  if (!dir && why != nullptr)
    *why = platform::Status::Fail("cannot read the archive " + path + ": " +
                                  (error == ZZIP_OUTOFMEM ? "out of memory"
                                   : error == ZZIP_DIR_READ || error == ZZIP_DIR_SEEK
                                       ? "read error"
                                       : "not a ZIP archive or its directory is damaged"));
  return dir;
}

}  // namespace zipfile

namespace zipfile {
namespace {

// ZIP layout (APPNOTE): records and the offsets of the fields we read.
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kEndTotalEntries = 10;
constexpr std::size_t kEndDirectorySize = 12;
constexpr std::size_t kEndDirectoryOffset = 16;
constexpr std::size_t kEndCommentLength = 20;
constexpr std::size_t kMaxComment = 0xFFFF;

constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64LocatorEndOffset = 8;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64EndTotalEntries = 32;
constexpr std::size_t kZip64EndDirectorySize = 40;
constexpr std::size_t kZip64EndDirectoryOffset = 48;

constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kCentralFlags = 8;
constexpr std::size_t kCentralMethod = 10;
constexpr std::size_t kCentralCrc = 16;
constexpr std::size_t kCentralCompressedSize = 20;
constexpr std::size_t kCentralSize32 = 24;
constexpr std::size_t kCentralNameLength = 28;
constexpr std::size_t kCentralExtraLength = 30;
constexpr std::size_t kCentralCommentLength = 32;
constexpr std::size_t kCentralInternalAttributes = 36;
constexpr std::size_t kCentralLocalOffset = 42;

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kLocalNameLength = 26;
constexpr std::size_t kLocalExtraLength = 28;

constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
std::uint64_t Le64(const std::uint8_t* p) {
  return std::uint64_t{Le32(p)} | (std::uint64_t{Le32(p + 4)} << 32);
}

class ArchiveBytes {
 public:
  explicit ArchiveBytes(const std::string& path) : path_(path) {}
  platform::Status Open() {
    std::string reason;
    fd_ = platform::OpenRegularForReading(path_, &reason);
    if (!fd_.valid()) return platform::Status::Fail(reason);
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) return platform::FailErrno("cannot read " + path_);
    size_ = static_cast<std::uint64_t>(st.st_size);
    return platform::Status::Ok();
  }
  std::uint64_t size() const { return size_; }
  // Exactly `size` bytes at `offset`, or a failure naming the archive.
  platform::Status Read(std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>* out) {
    if (offset > size_ || size > size_ - offset) return Damaged("a record lies past its end");
    out->resize(size);
    const ssize_t got = platform::ReadFullAt(fd_.get(), out->data(), size, static_cast<off_t>(offset));
    if (got < 0) return platform::FailErrno("cannot read " + path_);
    if (got != static_cast<ssize_t>(size)) return Damaged("it shrank while being read");
    return platform::Status::Ok();
  }
  platform::Status Damaged(const std::string& what) const {
    return platform::Status::Fail("cannot read the archive " + path_ + ": " + what);
  }

 private:
  std::string path_;
  platform::UniqueFd fd_;
  std::uint64_t size_ = 0;
};

struct Directory {
  std::uint64_t entries = 0;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;
};

platform::Status FindDirectory(ArchiveBytes& archive, Directory* directory) {
  const std::uint64_t tail = std::min<std::uint64_t>(archive.size(), kEndSize + kMaxComment);
  std::vector<std::uint8_t> bytes;
  if (platform::Status read = archive.Read(archive.size() - tail, tail, &bytes); !read) return read;
  std::size_t end = std::string::npos;
  for (std::size_t at = bytes.size() >= kEndSize ? bytes.size() - kEndSize + 1 : 0; at-- > 0;) {
    if (Le32(bytes.data() + at) == kEndSignature &&
        at + kEndSize + Le16(bytes.data() + at + kEndCommentLength) <= bytes.size()) {
      end = at;
      break;
    }
  }
  if (end == std::string::npos) return archive.Damaged("no end of central directory record");
  const std::uint8_t* e = bytes.data() + end;
  directory->entries = Le16(e + kEndTotalEntries);
  directory->size = Le32(e + kEndDirectorySize);
  directory->offset = Le32(e + kEndDirectoryOffset);
  const std::uint64_t endOffset = archive.size() - tail + end;
  if (endOffset >= kZip64LocatorSize) {
    std::vector<std::uint8_t> locator;
    if (platform::Status read = archive.Read(endOffset - kZip64LocatorSize, kZip64LocatorSize, &locator); !read)
      return read;
    if (Le32(locator.data()) == kZip64LocatorSignature) {
      std::vector<std::uint8_t> record;
      if (platform::Status read = archive.Read(Le64(locator.data() + kZip64LocatorEndOffset), kZip64EndSize, &record);
          !read)
        return read;
      if (Le32(record.data()) != kZip64EndSignature) return archive.Damaged("broken ZIP64 end record");
      directory->entries = Le64(record.data() + kZip64EndTotalEntries);
      directory->size = Le64(record.data() + kZip64EndDirectorySize);
      directory->offset = Le64(record.data() + kZip64EndDirectoryOffset);
    }
  }
  if (directory->offset > archive.size() || directory->size > archive.size() - directory->offset)
    return archive.Damaged("the central directory lies past its end");
  return platform::Status::Ok();
}

// Values of 0xFFFFFFFF stand for the ZIP64 extra field's, in its order.
void ApplyZip64Extra(const std::uint8_t* extra, std::size_t length, ZipEntryInfo* entry,
                     bool sizeWide, bool compressedWide, bool offsetWide) {
  for (std::size_t at = 0; at + 4 <= length;) {
    const std::uint16_t id = Le16(extra + at);
    const std::uint16_t size = Le16(extra + at + 2);
    const std::size_t end = std::min(length, at + 4 + size);
    if (id == kZip64ExtraId) {
      std::size_t field = at + 4;
      auto take = [&](bool wide, std::uint64_t* value) {
        if (!wide || field + 8 > end) return;
        *value = Le64(extra + field);
        field += 8;
      };
      take(sizeWide, &entry->size);
      take(compressedWide, &entry->compressedSize);
      take(offsetWide, &entry->localHeaderOffset);
    }
    at = end;
  }
}

}  // namespace

std::string ShownEntry(const std::string& name, const std::string& archive) {
  return "entry " + platform::Printable(name) + " of " + archive;
}

platform::Status ReadZipDirectory(const std::string& path, std::uint64_t maxEntrySize,
                                  std::vector<ZipEntryInfo>* entries) {
  entries->clear();
  ArchiveBytes archive(path);
  if (platform::Status opened = archive.Open(); !opened) return opened;
  Directory directory;
  if (platform::Status found = FindDirectory(archive, &directory); !found) return found;
  std::vector<std::uint8_t> bytes;
  if (platform::Status read = archive.Read(directory.offset, static_cast<std::size_t>(directory.size), &bytes);
      !read)
    return read;

  std::set<std::string> names;
  std::size_t at = 0;
  for (std::uint64_t i = 0; i < directory.entries; ++i) {
    if (at + kCentralSize > bytes.size() || Le32(bytes.data() + at) != kCentralSignature)
      return archive.Damaged("central directory entry " + std::to_string(i + 1) + " is broken");
    const std::uint8_t* c = bytes.data() + at;
    const std::size_t nameLength = Le16(c + kCentralNameLength);
    const std::size_t extraLength = Le16(c + kCentralExtraLength);
    const std::size_t commentLength = Le16(c + kCentralCommentLength);
    if (at + kCentralSize + nameLength + extraLength + commentLength > bytes.size())
      return archive.Damaged("central directory entry " + std::to_string(i + 1) + " is cut short");
    ZipEntryInfo entry;
    entry.name.assign(reinterpret_cast<const char*>(c + kCentralSize), nameLength);
    entry.flags = Le16(c + kCentralFlags);
    entry.method = Le16(c + kCentralMethod);
    entry.crc = Le32(c + kCentralCrc);
    entry.compressedSize = Le32(c + kCentralCompressedSize);
    entry.size = Le32(c + kCentralSize32);
    entry.localHeaderOffset = Le32(c + kCentralLocalOffset);
    entry.internalAttributes = Le16(c + kCentralInternalAttributes);
    ApplyZip64Extra(c + kCentralSize + nameLength, extraLength, &entry, entry.size == 0xFFFFFFFFu,
                    entry.compressedSize == 0xFFFFFFFFu, entry.localHeaderOffset == 0xFFFFFFFFu);
    at += kCentralSize + nameLength + extraLength + commentLength;

    const std::string shown = ShownEntry(entry.name, path);
    if (entry.flags & kFlagEncrypted) return platform::Status::Fail(shown + " is encrypted");
    if (entry.method != kMethodStored && entry.method != kMethodDeflated)
      return platform::Status::Fail(shown + " uses compression method " + std::to_string(entry.method) +
                                    ", which cannot be read (only stored and deflated)");
    if (!names.insert(entry.name).second)
      return platform::Status::Fail(shown + " is there twice");
    if (entry.size > maxEntrySize)
      return platform::Status::Fail(shown + " holds " + std::to_string(entry.size) +
                                    " bytes, more than " + std::to_string(maxEntrySize));
    entries->push_back(std::move(entry));
  }

  // Every entry's local header and data must be its own: sorted by where
  // they start, each must end before the next begins and before the
  // central directory.
  std::vector<const ZipEntryInfo*> byOffset;
  for (const ZipEntryInfo& e : *entries) byOffset.push_back(&e);
  std::sort(byOffset.begin(), byOffset.end(), [](const ZipEntryInfo* a, const ZipEntryInfo* b) {
    return a->localHeaderOffset < b->localHeaderOffset;
  });
  std::uint64_t previousEnd = 0;
  const ZipEntryInfo* previous = nullptr;
  for (const ZipEntryInfo* e : byOffset) {
    const std::string shown = ShownEntry(e->name, path);
    if (previous != nullptr && e->localHeaderOffset == previous->localHeaderOffset)
      return platform::Status::Fail(shown + " shares its local header with " + platform::Printable(previous->name));
    if (previous != nullptr && e->localHeaderOffset < previousEnd)
      return platform::Status::Fail(shown + " overlaps the data of " + platform::Printable(previous->name));
    std::vector<std::uint8_t> local;
    if (platform::Status read = archive.Read(e->localHeaderOffset, kLocalSize, &local); !read)
      return platform::Status::Fail(shown + ": its local header lies past the end");
    if (Le32(local.data()) != kLocalSignature)
      return platform::Status::Fail(shown + ": no local header where the directory says");
    const std::uint64_t dataStart =
        e->localHeaderOffset + kLocalSize + Le16(local.data() + kLocalNameLength) + Le16(local.data() + kLocalExtraLength);
    previousEnd = dataStart + e->compressedSize;
    if (previousEnd > directory.offset)
      return platform::Status::Fail(shown + " overlaps the central directory");
    previous = e;
  }
  return platform::Status::Ok();
}

platform::Status EntryDataOffset(int fd, const std::string& path, const ZipEntryInfo& entry,
                                 std::uint64_t* offset) {
  std::uint8_t local[kLocalSize];
  const ssize_t got = platform::ReadFullAt(fd, local, sizeof local, static_cast<off_t>(entry.localHeaderOffset));
  if (got < 0) return platform::FailErrno("cannot read " + path);
  if (got != static_cast<ssize_t>(sizeof local) || Le32(local) != kLocalSignature)
    return platform::Status::Fail(ShownEntry(entry.name, path) + ": no local header where the directory says");
  *offset = entry.localHeaderOffset + kLocalSize + Le16(local + kLocalNameLength) + Le16(local + kLocalExtraLength);
  return platform::Status::Ok();
}

}  // namespace zipfile
