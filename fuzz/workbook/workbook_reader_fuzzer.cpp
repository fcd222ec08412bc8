// Feeds arbitrary bytes to Workbook::LoadFromMemory. Whatever loads must
// save, and the saved file must load again with the same cells.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "transloom/workbook/workbook.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  workbook::Workbook book;
  if (!book.LoadFromMemory(data, size).ok) return 0;
  std::vector<std::uint8_t> saved;
  // A file may carry what we refuse to write (over-long texts or sheet
  // names); that is a clear error, not a fault.
  if (!book.SaveToMemory(&saved).ok) return 0;
  workbook::Workbook again;
  if (!again.LoadFromMemory(saved.data(), saved.size()).ok) __builtin_trap();
  if (again.SheetCount() != book.SheetCount()) __builtin_trap();
  for (int s = 0; s < book.SheetCount(); ++s) {
    if (again.GetSheet(s)->Name() != book.GetSheet(s)->Name()) __builtin_trap();
    if (again.GetSheet(s)->Cells().size() != book.GetSheet(s)->Cells().size()) __builtin_trap();
  }
  return 0;
}
