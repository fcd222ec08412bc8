// Feeds arbitrary bytes as a file to every mode of DetectImageKind, to
// StripImageHeader and to VerifyImage. The probe's offset (mode 1) comes from
// the first input byte, so offsets inside and past the file are both tried.
#include <cstdint>
#include <string>

#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/fsimage/image_probe.h"
#include "fuzz_work_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& work = FuzzWorkFolder("image-probe-fuzz");
  const std::string image = work + "/image";
  const std::string stripped = work + "/stripped";
  FuzzWriteFile(image, data, size);

  const std::string offset = std::to_string(size > 0 ? data[0] * 4u : 0u);
  for (int mode = -1; mode <= 4; ++mode) {
    int kind = fsimage::DetectImageKind(mode, image, mode == 1 ? offset : "img", 1);
    if (kind < -1 || kind > 2) __builtin_trap();
  }

  int rc = fsimage::StripImageHeader(image, stripped);
  if (rc == 0 && size < fsimage::IH_SIZE) __builtin_trap();
  fsimage::ImageHeader header;
  fsimage::ImageCheck check;
  if (fsimage::VerifyImage(image, &header, &check) != (size >= fsimage::IH_SIZE)) __builtin_trap();
  return 0;
}
