// Feeds an arbitrary InstallDesc through every edit the make operation
// applies to a package's description. Whatever went in, nothing may crash,
// and a JSON edit that reports success must leave a JSON object.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/platform/files.h"
#include "firmsmith/package/layout/install_desc.h"
#include "firmsmith/package/layout/json_file.h"

namespace {

std::string Folder() {
  static std::string folder = [] {
    // tmpfs: the edits sync what they write, which a disk makes slow.
    char tmpl[] = "/dev/shm/fuzz-desc-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    return std::string(made ? made : "/tmp");
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string out;
  package::AppendBuildCommandText(text, "user-x.cramfs.img", &out);
  package::InsertReworkCommandText(text, "custom-x.cramfs.img", size % 2 == 1, &out);

  const std::string path = platform::JoinPath(Folder(), "InstallDesc");
  platform::WriteFileAtomic(path, text);
  Json::Value after;
  std::string written;
  if (package::AddMtdCommand(path, Folder()) == package::DescResult::kOk) {
    platform::ReadFileText(path, &written);
    if (!package::ParseJsonObject(written, &after)) std::abort();
  }
  platform::WriteFileAtomic(path, text);
  if (package::ReplaceOemDevType(path, "QZ") == package::DescResult::kOk) {
    platform::ReadFileText(path, &written);
    if (!package::ParseJsonObject(written, &after)) std::abort();
  }
  return 0;
}
