// Feeds arbitrary bytes as an archive to UnpackArchive and to the probe's
// archive mode. The destination holds symbolic links pointing out of it; after
// every run nothing may exist outside the destination but the archive.
// Run with -close_fd_mask=1: the unpacker lists each entry on standard output.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/image_probe.h"
#include "fuzz_work_folder.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& work = FuzzWorkFolder("unpack-fuzz");
  const std::string archive = work + "/archive.zip";
  const std::string dest = work + "/dest";
  FuzzWriteFile(archive, data, size);
  ::mkdir(dest.c_str(), 0755);
  ::symlink("..", (dest + "/up").c_str());
  ::symlink("/", (dest + "/root").c_str());
  ::symlink(archive.c_str(), (dest + "/archive.zip").c_str());

  fsimage::UnpackArchive(archive, dest);
  int kind = fsimage::DetectImageKind(fsimage::kProbeArchiveEntry, archive, "i", 1);
  if (kind < -1 || kind > 2) __builtin_trap();

  // Nothing but the archive and the destination may be in the work folder,
  // and the archive must be untouched.
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(work, ec)) {
    const std::string name = e.path().filename().string();
    if (name != "archive.zip" && name != "dest") __builtin_trap();
  }
  if (fs::file_size(archive, ec) != size) __builtin_trap();
  fs::remove_all(dest, ec);
  return 0;
}
