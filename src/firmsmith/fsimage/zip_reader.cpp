#include "firmsmith/fsimage/zip_reader.h"

#include "common/platform/fd.h"

namespace fsimage {

ZzipDir OpenZipArchive(const std::string& path) {
  platform::UniqueFd fd = platform::OpenRegularForReading(path);
  if (!fd.valid()) return ZzipDir();
  zzip_error_t error = ZZIP_NO_ERROR;
  // zziplib owns the descriptor from here on, and closes it also when the
  // file is no archive.
  return ZzipDir(zzip_dir_fdopen(fd.Release(), &error));
}

}  // namespace fsimage
