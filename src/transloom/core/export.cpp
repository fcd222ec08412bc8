#include "transloom/core/export.h"

#include <algorithm>
#include <new>
#include <vector>

#include "common/devlink/language_ids.h"
#include "common/platform/debuglog.h"
#include "common/platform/file_ops.h"
#include "common/uitext/language_table.h"
#include "transloom/core/file_names.h"
#include "transloom/core/session.h"
#include "transloom/workbook/workbook.h"

namespace transloom {
namespace {

constexpr std::uint32_t kReplyBufferSize = 655360;
constexpr int kExportWaitMs = 1000;

}  // namespace

bool WriteExportWorkbook(const std::string& path, bool english, const LanguageMap& language,
                         const LanguageMap& englishReference, std::string* why) {
  workbook::Workbook book;
  // Cells outside our rows and columns stay as the translator left them; a
  // file we cannot read is simply written anew. An .xlsx file is always
  // written anew: its writer makes new files only.
  if (!workbook::IsXlsxPath(path)) book.Load(path);
  workbook::Sheet* sheet = book.GetSheet(0);
  workbook::Status status;
  if (sheet == nullptr) sheet = book.AddSheet(kNewSheetName, &status);
  if (sheet == nullptr) {
    *why = path + ": " + status.message;
    return false;
  }
  int row = 0;
  for (const auto& [key, text] : language) {
    status = sheet->WriteText(row, 0, key);
    if (status && english) status = sheet->WriteText(row, 1, text);
    if (status && !english) {
      auto it = englishReference.find(key);
      status = sheet->WriteText(row, 1, it == englishReference.end() ? std::string() : it->second);
      if (status) status = sheet->WriteText(row, 2, text);
    }
    if (!status) {
      *why = path + ": " + status.message;
      return false;
    }
    ++row;
  }
  status = book.Save(path);
  if (!status) {
    *why = status.message;
    return false;
  }
  return true;
}

bool ToolSession::FetchLanguage(const std::string& name, LanguageMap* map) {
  try {
    std::vector<char> buffer(kReplyBufferSize, 0);
    std::uint32_t dwReturned = 0;
    const std::int32_t result = RunDeviceCall(
        [&] {
          return DL_GetConfig(m_lLoginID, CMD_LANG_EXPORT, devlink::NameToLanguageId(name),
                              buffer.data(), kReplyBufferSize, &dwReturned, kExportWaitMs);
        },
        false);
    if (result == DL_ERR_BUFFER_TOO_SMALL) {
      // Nothing was read: the language is larger than the tool takes.
      ShowText(uitext::GetString("Transloom.TooLarge") + "\n> " +
               std::to_string(kReplyBufferSize) + " bytes");
      return Fail("language " + name + " on the device is larger than the limit of " +
                  std::to_string(kReplyBufferSize) + " bytes");
    }
    if (result < 0) {
      TellDeviceFailure(result, "Transloom.ExportFailed");
      return Fail("the device did not give language " + name + " (" + DeviceResultText(result) +
                  ")");
    }
    dwReturned = std::min(dwReturned, kReplyBufferSize);
    const std::string text = RepairUtf8(std::string_view(buffer.data(), dwReturned));
    ParseLanguageText(text, map);
    return Succeed();
  } catch (const std::bad_alloc&) {
    Tell("Transloom.NoMemory");
    return Fail("out of memory reading language " + name);
  }
}

bool ToolSession::OnExportExcel(const std::string& selected) {
  if (!IsLoggedIn()) {
    Tell("Transloom.PleaseLogin");
    return Fail("not logged in");
  }
  if (selected.empty()) {
    Tell("Transloom.selectlang");
    return Fail("no language chosen");
  }
  if (!FetchLanguage(selected, &m_mapLanguage)) return false;
  const bool english = selected == kEnglish;
  // The English texts serve as the reference column of every other language.
  if (!english && !FetchLanguage(kEnglish, &m_mapEnglish)) return false;

  m_strFileName = ExportFileName(m_strDeviceIP, LocalTimeNow(), selected);
  const std::optional<std::string> path = ChooseSavePath(m_strFileName);
  if (!path) return Fail("no file chosen");
  if (workbook::IsXlsxPath(*path) && platform::FileExists(*path) && !ConfirmReplaceXlsx(*path))
    return Fail(*path + " exists and was not replaced (an .xlsx export keeps none of its cells)");

  std::string why;
  bool saved = false;
  try {
    saved = WriteExportWorkbook(*path, english, m_mapLanguage, m_mapEnglish, &why);
  } catch (const std::bad_alloc&) {
    why = *path + ": out of memory";
  }
  if (!saved) {
    platform::DebugOutput("Transloom export: %s\n", why.c_str());
    Tell("Transloom.SaveFailed");
    return Fail(why);
  }
  ShowText(uitext::GetString("Transloom.ExportOK") + "\n" + *path);
  return Succeed();
}

}  // namespace transloom
