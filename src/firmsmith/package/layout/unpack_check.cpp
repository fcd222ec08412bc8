#include "firmsmith/package/layout/unpack_check.h"

#include <zzip/zzip.h>

#include <map>
#include <memory>

#include "common/platform/files.h"
#include "common/platform/file_ops.h"
#include "firmsmith/fsimage/image_header.h"

namespace package {

bool UnpackedCompletely(const std::string& archive, const std::string& folder) {
  if (!platform::IsRegularFile(archive)) return false;
  zzip_error_t error = ZZIP_NO_ERROR;
  std::unique_ptr<ZZIP_DIR, int (*)(ZZIP_DIR*)> dir(zzip_dir_open(archive.c_str(), &error),
                                                     zzip_dir_close);
  if (!dir) return false;
  std::map<std::string, long long> sizes;
  std::map<std::string, int> seen;
  ZZIP_DIRENT entry;
  while (zzip_dir_read(dir.get(), &entry)) {
    if (!entry.d_name) continue;
    const std::string name = entry.d_name;
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") continue;
    sizes[name] = entry.st_size;
    ++seen[name];
  }
  for (const auto& [name, size] : sizes) {
    if (seen[name] != 1) continue;
    const std::string path = platform::JoinPath(folder, name);
    if (!platform::IsRegularFile(path) || platform::FileSize(path) != static_cast<std::uint64_t>(size)) return false;
  }
  return true;
}

std::string ImageDamage(const std::string& path) {
  fsimage::ImageHeader header;
  fsimage::ImageCheck check;
  if (!fsimage::VerifyImage(path, &header, &check)) return "shorter than an image header";
  if (!check.magicOk) return "no partition image header (bad magic)";
  if (!check.headerCrcOk) return "header CRC wrong";
  if (!check.dataComplete)
    return "data shorter than the " + std::to_string(header.dataSize) + " bytes its header gives";
  if (!check.dataCrcOk) return "data CRC wrong";
  return "";
}

std::vector<std::string> ArchiveEntryNames(const std::string& archive) {
  std::vector<std::string> names;
  if (!platform::IsRegularFile(archive)) return names;
  zzip_error_t error = ZZIP_NO_ERROR;
  std::unique_ptr<ZZIP_DIR, int (*)(ZZIP_DIR*)> dir(zzip_dir_open(archive.c_str(), &error),
                                                     zzip_dir_close);
  if (!dir) return names;
  ZZIP_DIRENT entry;
  while (zzip_dir_read(dir.get(), &entry))
    if (entry.d_name) names.push_back(entry.d_name);
  return names;
}

}  // namespace package
