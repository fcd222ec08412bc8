// Times writing and reading a 70,000-row workbook (65,536 rows on the first
// sheet, the rest on a second; three columns of mixed-script text and
// numbers) and xlrd's reading of the same file. Run by bench/workbook.sh.
#include <chrono>
#include <cstdio>
#include <string>

#include "peer_tools.h"
#include "test_support.h"
#include "transloom/workbook/workbook.h"
#include "workbook_fixtures.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "/tmp/workbook-bench.xls";
  const int rows = 70000;

  auto start = std::chrono::steady_clock::now();
  workbook::Workbook book;
  if (!workbooktest::FillBook({{{"Sheet1", workbook::kMaxRows}, {"Sheet2", rows - workbook::kMaxRows}}},
                              &book)) {
    std::fprintf(stderr, "cannot fill the workbook\n");
    return 1;
  }
  const double fill = Seconds(start);
  start = std::chrono::steady_clock::now();
  const workbook::Status saved = book.Save(path);
  const double write = Seconds(start);
  if (!saved) {
    std::fprintf(stderr, "%s\n", saved.message.c_str());
    return 1;
  }

  start = std::chrono::steady_clock::now();
  workbook::Workbook back;
  const workbook::Status loaded = back.Load(path);
  std::size_t cells = 0;
  for (int s = 0; s < back.SheetCount(); ++s) cells += back.GetSheet(s)->Cells().size();
  const double read = Seconds(start);
  if (!loaded) {
    std::fprintf(stderr, "%s\n", loaded.message.c_str());
    return 1;
  }

  // xlrd's time from open to the last cell value, measured inside Python so
  // that interpreter start-up does not count.
  static const char kScript[] = R"PY(
import sys, time, xlrd
t = time.perf_counter()
book = xlrd.open_workbook(sys.argv[1])
n = 0
for sheet in book.sheets():
    for r in range(sheet.nrows):
        for v in sheet.row_values(r):
            n += 1
print("%.6f %d" % (time.perf_counter() - t, n))
)PY";
  const testsupport::CommandResult peer =
      testsupport::RunCommand({workbooktest::kSystemPython, "-c", kScript, path});
  double xlrd = 0;
  long xlrdCells = 0;
  if (peer.status != 0 || std::sscanf(peer.out.c_str(), "%lf %ld", &xlrd, &xlrdCells) != 2) {
    std::fprintf(stderr, "xlrd failed: %s\n", peer.err.c_str());
    return 1;
  }

  std::printf("workbook: %d rows on %d sheets, %zu cells, file %s\n", rows, back.SheetCount(), cells,
              path.c_str());
  std::printf("fill (ours, in memory)     %8.3f s\n", fill);
  std::printf("write (ours)               %8.3f s\n", write);
  std::printf("read (ours)                %8.3f s\n", read);
  std::printf("read (xlrd, %ld values)  %8.3f s\n", xlrdCells, xlrd);
  std::printf("ratio xlrd read / our read %8.1f\n", read > 0 ? xlrd / read : 0.0);
  std::printf("ratio xlrd read / our write%8.1f\n", write > 0 ? xlrd / write : 0.0);
  return 0;
}
