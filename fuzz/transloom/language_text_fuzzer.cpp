// The language tool's readers of untrusted bytes: a device's language reply
// (UTF-8 repair, then key=text lines), its language list record, and the
// import text of a workbook. The first byte picks the reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/devlink/devlink.h"
#include "transloom/core/import.h"
#include "transloom/core/language_map.h"
#include "transloom/core/session.h"
#include "transloom/workbook/workbook.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void LanguageReply(std::string_view bytes) {
  const std::string text = transloom::RepairUtf8(bytes);
  Check(transloom::RepairUtf8(text) == text);  // repaired text is valid UTF-8
  transloom::LanguageMap map;
  transloom::ParseLanguageText(text, &map);
  for (const auto& [key, value] : map) {
    Check(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
    Check(key.size() + value.size() < text.size());
  }
}

void LanguageList(std::string_view bytes) {
  LanguageListRecord record{};
  const std::size_t size = std::min(bytes.size(), sizeof record);
  std::memcpy(&record, bytes.data(), size);
  for (const std::string& name :
       transloom::LanguageNamesOfRecord(record, static_cast<std::uint32_t>(size)))
    Check(!name.empty() && name.size() <= 3 * DL_LANGUAGE_NAME_SIZE);
}

void WorkbookText(std::string_view bytes) {
  workbook::Workbook book;
  if (!book.LoadFromMemory(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
    return;
  if (const workbook::Sheet* sheet = book.GetSheet(0)) {
    for (int column : {1, 2}) {
      const std::string text = transloom::BuildImportText(*sheet, column);
      Check(text.empty() || text.size() >= 3);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: LanguageReply(bytes); break;
    case 1: LanguageList(bytes); break;
    default: WorkbookText(bytes); break;
  }
  return 0;
}
