#include "transloom/core/import.h"

#include <new>
#include <vector>

#include "common/devlink/language_ids.h"
#include "common/uitext/language_table.h"
#include "transloom/core/file_names.h"
#include "transloom/core/session.h"
#include "transloom/workbook/workbook.h"

namespace transloom {
namespace {

constexpr int kImportWaitMs = 15000;
constexpr int kDeleteWaitMs = 5000;
constexpr std::uint32_t kDeleteBufferSize = 655360;
constexpr const char* kApplicationName = "Transloom";

}  // namespace

std::string BuildImportText(const workbook::Sheet& sheet, int textColumn) {
  std::string text;
  const int rows = sheet.UsedRows();
  for (int row = 0; row < rows; ++row) {
    const std::string key = sheet.CellText(row, 0);
    if (key.empty()) continue;
    text += key;
    text += '=';
    text += sheet.CellText(row, textColumn);
    text += "\r\n";
  }
  return text;
}

bool ReadWorkbookText(const std::string& path, std::string* text, std::string* why) {
  try {
    workbook::Workbook book;
    const workbook::Status loaded = book.Load(path);
    if (!loaded) {
      *why = loaded.message;
      return false;
    }
    const workbook::Sheet* sheet = book.GetSheet(0);
    // A workbook without a sheet reads like one empty sheet.
    *text = sheet == nullptr ? std::string() : BuildImportText(*sheet, TextColumnForPath(path));
    return true;
  } catch (const std::bad_alloc&) {
    *why = path + ": out of memory";
    return false;
  }
}

bool ToolSession::OnImportToDevice() {
  if (!IsLoggedIn()) {
    Tell("Transloom.PleaseLogin");
    return Fail("not logged in");
  }
  const std::optional<std::string> path = ChooseOpenPath();
  if (!path) return Fail("no file chosen");
  if (sink()->ShowMessage(uitext::GetString("Transloom.YESorNO?"), kApplicationName,
                          platform::MessageButtons::OkCancel) != platform::MessageAnswer::Ok)
    return Fail("import not confirmed");

  std::string strImport, why;
  // An unreadable workbook ends the import without a message.
  if (!ReadWorkbookText(*path, &strImport, &why)) return Fail(why);

  const std::string language = WorkbookLanguageName(*path);
  const int number = devlink::NameToLanguageId(language);
  const std::int32_t result =
      DL_SetConfig(m_lLoginID, CMD_LANG_IMPORT, number, strImport.data(),
                   static_cast<std::uint32_t>(strImport.size()), kImportWaitMs);
  if (result < 0) {
    Tell("Transloom.ImportFailed");
    return Fail("the device refused " + *path + " as language " + std::to_string(number) +
                " (result " + std::to_string(result) + ")");
  }
  Tell("Transloom.ImportOK,Please Reboot");
  return Succeed();
}

bool ToolSession::OnDeleteLanguage() {
  if (!IsLoggedIn()) {
    Tell("Transloom.PleaseLogin");
    return Fail("not logged in");
  }
  std::int32_t result = 0;
  try {
    std::vector<char> buffer(kDeleteBufferSize, 0);
    std::uint32_t dwReturned = 0;
    result = DL_GetConfig(m_lLoginID, CMD_LANG_DELETE, -1, buffer.data(), kDeleteBufferSize,
                          &dwReturned, kDeleteWaitMs);
  } catch (const std::bad_alloc&) {
    Tell("Transloom.NoMemory");
    return Fail("out of memory");
  }
  if (result <= 0) {
    Tell("Transloom.DeleteLangFailed");
    return Fail("the device did not delete the language (result " + std::to_string(result) + ")");
  }
  Tell("Transloom.DeleteLangSuccess,Please Reboot");
  return Succeed();
}

}  // namespace transloom
