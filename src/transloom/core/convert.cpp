#include "transloom/core/convert.h"

#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "common/platform/run_folder.h"
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

std::string LanguageBackupFolder(const std::string& configFolder) {
  return platform::JoinPath(configFolder, "LanguageBackup");
}

bool CreateLanguageFile(const std::string& workbookPath, const std::string& stringPath,
                        std::string* target, std::string* why, const std::string& backupFolder,
                        bool* refused) {
  std::string importText;
  if (!ReadWorkbookText(workbookPath, &importText, why, refused)) return false;
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
  // A conversion killed earlier left "<Language>.tmp-*" here, which a later
  // build would ship as one more language.
  platform::SweepStaleRunFiles(stringPath, {});
  if (!backupFolder.empty()) platform::SweepStaleRunFiles(backupFolder, {});
  if (!backupFolder.empty() && platform::IsRegularFile(*target)) {
    const std::string backup = platform::JoinPath(backupFolder, language);
    platform::Status kept = platform::MakeFolders(platform::ParentFolder(backup));
    if (kept) kept = platform::CopyFileReplacing(*target, backup);
    if (!kept) {
      *why = "cannot keep a backup of " + *target + ": " + kept.message;
      return false;
    }
  }
  if (platform::Status s = platform::WriteFileAtomic(*target, DeviceLanguageFileBytes(importText));
      !s) {
    *why = s.message.empty() ? *target + ": cannot write the file" : s.message;
    return false;
  }
  return true;
}

std::string ToolSession::StringsFolder() const { return ReadStringPath(ConfigFolder()); }

bool ToolSession::OnCreateLanguage() {
  const std::optional<std::string> path = ChooseOpenPath();
  if (!path) return Fail("no file chosen");
  std::string target, why;
  bool refused = false;
  // Success and refused cells are reported to the operator; every other end
  // is silent.
  if (!CreateLanguageFile(*path, StringsFolder(), &target, &why,
                          LanguageBackupFolder(ConfigFolder()), &refused)) {
    if (refused) ShowText(uitext::GetString("Transloom.CellsRefused") + "\n" + why);
    return Fail(why);
  }
  ShowText(uitext::GetString("Transloom.CreateOk") + "\n" + target);
  return Succeed();
}

}  // namespace transloom
