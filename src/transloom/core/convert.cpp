#include "transloom/core/convert.h"

#include "common/platform/files.h"
#include "common/platform/profile.h"
#include "common/uitext/language_table.h"
#include "transloom/core/file_names.h"
#include "transloom/core/import.h"
#include "transloom/core/session.h"

namespace transloom {
namespace {

// The device expects the byte order mark and an empty first line.
constexpr char kFileHeader[] = "\xEF\xBB\xBF\r\n";
constexpr std::size_t kStringPathBuffer = 260;

}  // namespace

std::string DeviceLanguageFileBytes(const std::string& importText) {
  return std::string(kFileHeader) + importText;
}

std::string ReadStringPath(const std::string& configFolder) {
  return platform::ReadProfileString(platform::JoinPath(configFolder, "Config.ini"), "Path",
                                     "StringPath", "", kStringPathBuffer);
}

bool CreateLanguageFile(const std::string& workbookPath, const std::string& stringPath,
                        std::string* target, std::string* why) {
  std::string importText;
  if (!ReadWorkbookText(workbookPath, &importText, why)) return false;
  const std::string language = WorkbookLanguageName(workbookPath);
  if (language.empty()) {
    *why = workbookPath + ": no language name between the last '_' and '.xls'";
    return false;
  }
  if (stringPath.empty()) {
    *why = "no strings folder (StringPath in Config.ini is empty)";
    return false;
  }
  // The name comes from a file name the operator picked; it must not lead
  // the file out of the strings folder.
  if (!IsNameInsideFolder(language)) {
    *why = workbookPath + ": language name '" + language + "' leaves the strings folder";
    return false;
  }
  *target = stringPath + "/" + language;
  if (!platform::WriteFileAtomic(*target, DeviceLanguageFileBytes(importText))) {
    *why = *target + ": cannot write the file";
    return false;
  }
  return true;
}

std::string ToolSession::StringsFolder() const { return ReadStringPath(ConfigFolder()); }

bool ToolSession::OnCreateLanguage() {
  const std::optional<std::string> path = ChooseOpenPath();
  if (!path) return Fail("no file chosen");
  std::string target, why;
  // Only success is reported to the operator; every other end is silent.
  if (!CreateLanguageFile(*path, StringsFolder(), &target, &why)) return Fail(why);
  ShowText(uitext::GetString("Transloom.CreateOk") + "\n" + target);
  return Succeed();
}

}  // namespace transloom
