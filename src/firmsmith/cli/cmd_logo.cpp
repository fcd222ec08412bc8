// firmsmith-cli logo-fit SRC WIDTH HEIGHT --out DEST_FOLDER: fit a picture
// (or the pictures of a folder, the first in name order decides) to a logo
// size. The fitting consumes the pictures it reads, so it works on a copy in a
// private folder: SRC stays as it is, DEST_FOLDER receives logo.bmp only.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/platform/cli.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"
// Before any Qt header: Qt's "slots" keyword macro would break the option model.
#include "firmsmith/package/make/make_steps.h"

#include "firmsmith/logo/logo_convert.h"

namespace {

constexpr std::size_t kBmpHeaderSize = 54;
constexpr int kLogoBitsPerPixel = 16;

std::uint32_t Le(const std::vector<std::uint8_t>& b, std::size_t at, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[at + i];
  return v;
}

// The fitted file is what the logo partition will carry: a 16-bit BMP of
// exactly the logo size, or nothing is written.
platform::Status CheckFittedLogo(const std::string& path, long width, long height) {
  std::vector<std::uint8_t> bytes;
  if (platform::Status read = platform::ReadFileBytes(path, &bytes); !read) return read;
  const std::size_t row = (static_cast<std::size_t>(width) * 2 + 3) / 4 * 4;
  if (bytes.size() != kBmpHeaderSize + row * static_cast<std::size_t>(height) || bytes[0] != 'B' ||
      bytes[1] != 'M' || Le(bytes, 18, 4) != static_cast<std::uint32_t>(width) ||
      Le(bytes, 22, 4) != static_cast<std::uint32_t>(height) ||
      Le(bytes, 28, 2) != kLogoBitsPerPixel)
    return platform::Status::Fail(path + ": the fitted picture is not a 16-bit bitmap of " +
                                  std::to_string(width) + "x" + std::to_string(height));
  return platform::Status::Ok();
}

int RunLogoFit(const std::vector<std::string>& args) {
  const std::vector<std::string> positionals = platform::CliPositionals(args, {"--out"});
  const std::string* out = platform::CliOption(args, "--out");
  if (positionals.size() != 3 || out == nullptr || out->empty())
    return platform::CliUsage("usage: logo-fit SRC WIDTH HEIGHT --out DEST_FOLDER");
  const std::string& source = positionals[0];
  char* end = nullptr;
  long width = std::strtol(positionals[1].c_str(), &end, 10);
  bool ok = !positionals[1].empty() && *end == '\0';
  long height = std::strtol(positionals[2].c_str(), &end, 10);
  ok = ok && !positionals[2].empty() && *end == '\0';
  if (!ok || width <= 0 || height <= 0 || width > 65535 || height > 65535)
    return platform::CliUsage("logo-fit: WIDTH and HEIGHT must be whole numbers from 1 to 65535");

  platform::TempFolder scratch;
  platform::Status status = scratch.Create(std::string(), "logo-fit-");
  const std::string work = platform::JoinPath(scratch.path(), "logo");
  if (status && platform::IsDirectory(source)) {
    status = package::CopyTree(source, work);
  } else if (status && platform::IsRegularFile(source)) {
    status = platform::MakeFolders(work);
    const std::string name = source.substr(source.find_last_of('/') + 1);
    if (status) status = platform::CopyFileReplacing(source, platform::JoinPath(work, name));
  } else if (status) {
    status = platform::FailErrno("cannot read " + source);
  }
  if (!status) return platform::CliFail("logo-fit: cannot copy the picture", status);
  if (std::string why; !shell::ConvertLogoFolder(work, static_cast<int>(width), static_cast<int>(height), &why)) {
    // The copy holds the picture, or the folder's files, under their own
    // names: the reason names the operator's file.
    const std::string folder = platform::IsDirectory(source) ? source : platform::ParentFolder(source);
    return platform::CliFail(folder.empty() ? why : platform::JoinPath(folder, why));
  }
  const std::string fitted = platform::JoinPath(work, "logo.bmp");
  status = CheckFittedLogo(fitted, width, height);
  if (status) status = platform::MakeFolders(*out);
  if (status) status = platform::CopyFileReplacing(fitted, platform::JoinPath(*out, "logo.bmp"));
  if (!status) return platform::CliFail("logo-fit: no logo.bmp written into " + *out, status);
  return 0;
}

const platform::CliRegistration kLogoFit{
    {"logo-fit", "SRC WIDTH HEIGHT --out DEST_FOLDER",
     "Fit a picture, or the first picture of a folder, to the logo size; writes a 16-bit "
     "DEST_FOLDER/logo.bmp and leaves SRC untouched.",
     RunLogoFit,
     "SRC is a picture file or a folder of pictures (the first in name order is used).\n"
     "WIDTH and HEIGHT are the product's logo size (see 'products').\n"
     "Example: logo-fit boot.bmp 1024 600 --out folders/logo"}};

}  // namespace
