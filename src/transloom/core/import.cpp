#include "transloom/core/import.h"

#include <new>
#include <map>
#include <vector>

#include "common/devlink/language_ids.h"
#include "common/devlink/wire.h"
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
// The most one request can carry to the device.
constexpr std::size_t kMaxImportBytes = devlink::wire::kMaxPayload - 8 - devlink::wire::kTagSize;

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

bool CheckImportRows(const workbook::Sheet& sheet, int textColumn, std::string* why) {
  constexpr std::size_t kRowsNamed = 10;
  std::vector<std::string> problems;
  std::size_t more = 0;
  auto note = [&](int row, const std::string& what) {
    if (problems.size() < kRowsNamed)
      problems.push_back("row " + std::to_string(row + 1) + ": " + what);
    else
      ++more;
  };
  std::map<std::string, int> keys;
  bool anyKey = false, anyText = false;
  const int rows = sheet.UsedRows();
  for (int row = 0; row < rows; ++row) {
    const std::string key = sheet.CellText(row, 0);
    if (key.empty()) continue;
    const std::string text = sheet.CellText(row, textColumn);
    anyKey = true;
    anyText = anyText || !text.empty();
    std::string what;
    auto add = [&what](const std::string& reason) { what += what.empty() ? reason : ", " + reason; };
    if (key.find_first_of("\r\n") != std::string::npos) add("line break in the key");
    if (key.find('=') != std::string::npos) add("\"=\" in the key");
    if (text.find_first_of("\r\n") != std::string::npos) add("line break in the text");
    // The key itself may hold a line break: name the row it first came in.
    if (const auto [it, added] = keys.try_emplace(key, row); !added)
      add("same key as row " + std::to_string(it->second + 1));
    if (!what.empty()) note(row, what);
  }
  if (!problems.empty()) {
    *why = "cells a device language line cannot carry: ";
    for (std::size_t i = 0; i < problems.size(); ++i) *why += (i ? "; " : "") + problems[i];
    if (more > 0) *why += "; and " + std::to_string(more) + " more rows";
    return false;
  }
  if (anyKey && !anyText) {
    *why = "the text column (column " + std::to_string(textColumn + 1) +
           ") is empty in every row";
    return false;
  }
  return true;
}

bool ReadWorkbookText(const std::string& path, std::string* text, std::string* why,
                      bool* refused) {
  if (refused) *refused = false;
  try {
    workbook::Workbook book;
    const workbook::Status loaded = book.Load(path);
    if (!loaded) {
      *why = loaded.message;
      return false;
    }
    const workbook::Sheet* sheet = book.GetSheet(0);
    // A workbook without a sheet reads like one empty sheet.
    if (sheet == nullptr) {
      text->clear();
      return true;
    }
    const int column = TextColumnForPath(path);
    if (!CheckImportRows(*sheet, column, why)) {
      *why = path + ": " + *why;
      if (refused) *refused = true;
      return false;
    }
    *text = BuildImportText(*sheet, column);
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
  bool refused = false;
  // An unreadable workbook ends the import without a message; cells the
  // device cannot carry are named, and nothing is sent.
  if (!ReadWorkbookText(*path, &strImport, &why, &refused)) {
    if (refused) ShowText(uitext::GetString("Transloom.CellsRefused") + "\n" + why);
    return Fail(why);
  }
  if (strImport.size() > kMaxImportBytes) {
    ShowText(uitext::GetString("Transloom.TooLarge") + "\n" + std::to_string(strImport.size()) +
             " bytes > " + std::to_string(kMaxImportBytes) + " bytes");
    return Fail(*path + ": the language text is " + std::to_string(strImport.size()) +
                " bytes, over the limit of " + std::to_string(kMaxImportBytes) +
                " bytes; nothing was sent");
  }

  const std::string language = WorkbookLanguageName(*path);
  const int number = devlink::NameToLanguageId(language);
  const std::int32_t result = RunDeviceCall(
      [&] {
        return DL_SetConfig(m_lLoginID, CMD_LANG_IMPORT, number, strImport.data(),
                            static_cast<std::uint32_t>(strImport.size()), kImportWaitMs);
      },
      false);
  if (result < 0) {
    TellDeviceFailure(result, "Transloom.ImportFailed");
    return Fail("the device refused " + *path + " as language " + std::to_string(number) +
                " (" + DeviceResultText(result) + ")");
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
    result = RunDeviceCall(
        [&] {
          return DL_GetConfig(m_lLoginID, CMD_LANG_DELETE, -1, buffer.data(), kDeleteBufferSize,
                              &dwReturned, kDeleteWaitMs);
        },
        false);
  } catch (const std::bad_alloc&) {
    Tell("Transloom.NoMemory");
    return Fail("out of memory");
  }
  if (result <= 0) {
    TellDeviceFailure(result, "Transloom.DeleteLangFailed");
    return Fail("the device did not delete the language (" + DeviceResultText(result) + ")");
  }
  Tell("Transloom.DeleteLangSuccess,Please Reboot");
  return Succeed();
}

}  // namespace transloom
