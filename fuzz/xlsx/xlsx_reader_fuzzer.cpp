// Feeds arbitrary bytes to Workbook::Load as an .xlsx file. Whatever loads
// must save as .xlsx, and the saved file must load again showing the same
// cells (the writer keeps what a spreadsheet shows: error cells become their
// text, empty texts no cell).
#include <cstdint>
#include <cstdio>
#include <string>

#include "../fsimage/fuzz_work_folder.h"
#include "transloom/workbook/workbook.h"

namespace {

std::size_t NonEmptyCells(const workbook::Sheet& sheet) {
  std::size_t n = 0;
  for (const auto& [key, cell] : sheet.Cells())
    if (cell.kind != workbook::CellKind::kText || !cell.text.empty()) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& work = FuzzWorkFolder("xlsx-fuzz");
  const std::string input = work + "/in.xlsx";
  const std::string output = work + "/out.xlsx";
  FuzzWriteFile(input, data, size);

  workbook::Workbook book;
  const workbook::Status loaded = book.Load(input);
  // A refusal is one line naming the file.
  if (!loaded.ok && (loaded.message.find(input) == std::string::npos || loaded.message.find('\n') != std::string::npos)) {
    std::fprintf(stderr, "refusal: %s\n", loaded.message.c_str());
    __builtin_trap();
  }
  if (!loaded.ok || book.SheetCount() == 0) return 0;

  const workbook::Status saved = book.Save(output);
  if (!saved.ok) {
    // Everything the reader accepts is within what the writer takes.
    std::fprintf(stderr, "save failed: %s\n", saved.message.c_str());
    __builtin_trap();
  }
  workbook::Workbook again;
  if (!again.Load(output).ok || again.SheetCount() != 1) __builtin_trap();
  const workbook::Sheet& was = *book.GetSheet(0);
  const workbook::Sheet& now = *again.GetSheet(0);
  if (now.Name() != was.Name()) __builtin_trap();
  if (now.Cells().size() != NonEmptyCells(was)) __builtin_trap();
  for (const auto& [key, cell] : was.Cells()) {
    const int row = workbook::Sheet::RowOf(key), column = workbook::Sheet::ColumnOf(key);
    if (now.CellText(row, column) != was.CellText(row, column)) __builtin_trap();
  }
  std::remove(output.c_str());
  return 0;
}
