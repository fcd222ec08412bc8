// firmsmith-cli image-wrap / image-strip / image-info: the partition image
// header in front of every package image.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/platform/cli.h"
#include "firmsmith/fsimage/image_header.h"

namespace {

// Decimal or 0x-hexadecimal, within 32 bits.
bool ParseFlashOffset(const std::string& text, std::uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  *value = static_cast<std::uint32_t>(v);
  return true;
}

int RunImageWrap(const std::vector<std::string>& args) {
  if (args.size() != 4)
    return platform::CliUsage("usage: image-wrap IN OUT START END",
                              platform::kCliUsageErrorOfResultCommand);
  std::uint32_t start = 0, end = 0;
  if (!ParseFlashOffset(args[2], &start) || !ParseFlashOffset(args[3], &end))
    return platform::CliUsage("START and END must be decimal or 0x-hexadecimal 32-bit numbers",
                              platform::kCliUsageErrorOfResultCommand);
  platform::Status why;
  int rc = fsimage::MakeImage(args[0], args[1], start, end, &why);
  switch (rc) {
    case 0:
      return 0;
    case -2:
      platform::CliFail(args[0] + ": image is larger than the partition (END - START)", why);
      return 2;
    case -3:
      platform::CliFail(args[0] + ": cannot open the input", why);
      return 3;
    default:
      return platform::CliFail("cannot wrap " + args[0] + " into " + args[1], why);
  }
}

int RunImageStrip(const std::vector<std::string>& args) {
  if (args.size() != 2) return platform::CliUsage("usage: image-strip IMG OUT");
  platform::Status why;
  if (fsimage::StripImageHeader(args[0], args[1], &why) != 0)
    return platform::CliFail("cannot strip the header of " + args[0] + " into " + args[1], why);
  return 0;
}

int RunImageInfo(const std::vector<std::string>& args) {
  if (args.size() != 1)
    return platform::CliUsage("usage: image-info IMG", platform::kCliUsageErrorOfResultCommand);
  fsimage::ImageHeader h;
  fsimage::ImageCheck check;
  platform::Status why;
  if (!fsimage::VerifyImage(args[0], &h, &check, &why))
    return platform::CliFail(args[0] + ": cannot read a 64-byte image header", why);
  char when[64] = "?";
  std::time_t t = static_cast<std::time_t>(h.time);
  std::tm tm {};
  if (gmtime_r(&t, &tm) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
  std::printf("magic:        0x%08x (%s)\n", h.magic, check.magicOk ? "ok" : "wrong");
  std::printf("header crc:   0x%08x (%s)\n", h.headerCrc, check.headerCrcOk ? "ok" : "wrong");
  std::printf("time:         %u (%s)\n", h.time, when);
  std::printf("data size:    %u\n", h.dataSize);
  std::printf("load address: 0x%08x\n", h.loadAddress);
  std::printf("entry point:  0x%08x\n", h.entryPoint);
  std::printf("data crc:     0x%08x (%s)\n", h.dataCrc,
              !check.dataComplete ? "data short" : check.dataCrcOk ? "ok" : "wrong");
  std::printf("os:           %u\n", h.os);
  std::printf("architecture: %u\n", h.arch);
  std::printf("image type:   %u\n", h.type);
  std::printf("compression:  %u\n", h.compression);
  std::printf("name:         %s\n", h.name.c_str());
  bool ok = check.magicOk && check.headerCrcOk && check.dataComplete && check.dataCrcOk;
  std::printf("crc check:    %s\n", ok ? "both correct" : "FAILED");
  return ok ? 0 : 2;
}

const platform::CliRegistration kImageWrap{
    {"image-wrap", "IN OUT START END",
     "Put the 64-byte partition header in front of a file-system image (exit 2: too big, "
     "3: no input, 64: usage).",
     RunImageWrap}};
const platform::CliRegistration kImageStrip{
    {"image-strip", "IMG OUT", "Write the file-system image behind the partition header.",
     RunImageStrip}};
const platform::CliRegistration kImageInfo{
    {"image-info", "IMG",
     "Print the partition header fields and check both CRCs (exit 2: a check failed, "
     "64: usage).",
     RunImageInfo}};

}  // namespace
