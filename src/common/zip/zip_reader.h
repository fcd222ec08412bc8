// ZIP archives opened for reading through zziplib, owned so that every early
// return closes them, and a checked reading of the central directory.
#pragma once

#include <zzip/zzip.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/platform/status.h"

namespace zipfile {

struct ZzipDirCloser {
  void operator()(ZZIP_DIR* dir) const { zzip_dir_close(dir); }
};
struct ZzipFileCloser {
  void operator()(ZZIP_FILE* file) const { zzip_file_close(file); }
};
using ZzipDir = std::unique_ptr<ZZIP_DIR, ZzipDirCloser>;
using ZzipFile = std::unique_ptr<ZZIP_FILE, ZzipFileCloser>;

// Opens exactly `path` as a ZIP archive: a regular file only, and without
// zziplib's habit of trying "<path>.zip" and the like when `path` is
// missing. Null when it is not a readable archive, with the reason in *why
// (when given).
ZzipDir OpenZipArchive(const std::string& path, platform::Status* why = nullptr);

// One entry as the archive's central directory describes it.
struct ZipEntryInfo {
  std::string name;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t size = 0;
  std::uint64_t localHeaderOffset = 0;
  std::uint16_t internalAttributes = 0;  // bit 0: the writer judged the data text
};

// "entry NAME of ARCHIVE", as failures name an entry: the name comes from
// the archive, so its control characters are shown escaped and the message
// stays one line.
std::string ShownEntry(const std::string& name, const std::string& archive);

// Reads the central directory of the archive at `path` (ZIP64 records
// included) and refuses, naming the entry, what no unpack may pass: an
// encrypted entry, a compression method other than stored or deflated, two
// entries of the same name, an entry larger than `maxEntrySize`, and entries
// whose data overlap or share a local header (the way a "ZIP bomb" packs
// one stretch of data many times).
platform::Status ReadZipDirectory(const std::string& path, std::uint64_t maxEntrySize,
                                  std::vector<ZipEntryInfo>* entries);

// Where the data of `entry` begin in the archive open as `fd` (`path` names
// it in failures): past its local header with the header's own name and
// extra field. Fails when no local header lies where the directory says.
platform::Status EntryDataOffset(int fd, const std::string& path, const ZipEntryInfo& entry,
                                 std::uint64_t* offset);

}  // namespace zipfile
