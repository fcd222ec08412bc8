// Internal to fs_fsimage: ZIP archives opened for reading through zziplib,
// owned so that every early return closes them.
#pragma once

#include <zzip/zzip.h>

#include <memory>
#include <string>

namespace fsimage {

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
// missing. Null when it is not a readable archive.
ZzipDir OpenZipArchive(const std::string& path);

}  // namespace fsimage
