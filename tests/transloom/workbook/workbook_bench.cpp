// Times writing and reading a 70,000-row workbook (65,536 rows on the first
// sheet, the rest on a second; three columns of mixed-script text and
// numbers) and xlrd's reading of the same file. Run by bench/workbook.sh.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <string>

#include "peer_tools.h"
#include "test_support.h"
#include "transloom/workbook/workbook.h"
#include "workbook_fixtures.h"

namespace {

// Wall-clock and CPU seconds of one step: on a shared machine the CPU time
// is the steadier figure.
struct Clock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = CpuNow();
  static double CpuNow() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  }
  double Wall() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(); }
  double Cpu() const { return CpuNow() - cpu; }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "/tmp/workbook-bench.xls";
  const int rows = 70000;

  Clock fillClock;
  workbook::Workbook book;
  if (!workbooktest::FillBook({{{"Sheet1", workbook::kMaxRows}, {"Sheet2", rows - workbook::kMaxRows}}},
                              &book)) {
    std::fprintf(stderr, "cannot fill the workbook\n");
    return 1;
  }
  const double fill = fillClock.Wall();
  Clock writeClock;
  const workbook::Status saved = book.Save(path);
  const double write = writeClock.Wall(), writeCpu = writeClock.Cpu();
  if (!saved) {
    std::fprintf(stderr, "%s\n", saved.message.c_str());
    return 1;
  }

  Clock readClock;
  workbook::Workbook back;
  const workbook::Status loaded = back.Load(path);
  std::size_t cells = 0;
  for (int s = 0; s < back.SheetCount(); ++s) cells += back.GetSheet(s)->Cells().size();
  const double read = readClock.Wall(), readCpu = readClock.Cpu();
  if (!loaded) {
    std::fprintf(stderr, "%s\n", loaded.message.c_str());
    return 1;
  }

  // xlrd's time from open to the last cell value, measured inside Python so
  // that interpreter start-up does not count.
  static const char kScript[] = R"PY(
import sys, time, xlrd
t = time.perf_counter()
c = time.process_time()
book = xlrd.open_workbook(sys.argv[1])
n = 0
for sheet in book.sheets():
    for r in range(sheet.nrows):
        for v in sheet.row_values(r):
            n += 1
print("%.6f %.6f %d" % (time.perf_counter() - t, time.process_time() - c, n))
)PY";
  const testsupport::CommandResult peer =
      testsupport::RunCommand({workbooktest::kSystemPython, "-c", kScript, path});
  double xlrd = 0, xlrdCpu = 0;
  long xlrdCells = 0;
  if (peer.status != 0 || std::sscanf(peer.out.c_str(), "%lf %lf %ld", &xlrd, &xlrdCpu, &xlrdCells) != 3) {
    std::fprintf(stderr, "xlrd failed: %s\n", peer.err.c_str());
    return 1;
  }

  std::printf("workbook: %d rows on %d sheets, %zu cells, file %s\n", rows, back.SheetCount(), cells,
              path.c_str());
  std::printf("%-28s %8s %8s\n", "", "wall s", "cpu s");
  std::printf("%-28s %8.3f\n", "fill (ours, in memory)", fill);
  std::printf("%-28s %8.3f %8.3f\n", "write (ours)", write, writeCpu);
  std::printf("%-28s %8.3f %8.3f\n", "read (ours)", read, readCpu);
  std::printf("%-28s %8.3f %8.3f   (%ld values)\n", "read (xlrd)", xlrd, xlrdCpu, xlrdCells);
  std::printf("%-28s %8.1f %8.1f\n", "ratio xlrd read / our read", xlrd / read, xlrdCpu / readCpu);
  std::printf("%-28s %8.1f %8.1f\n", "ratio xlrd read / our write", xlrd / write, xlrdCpu / writeCpu);
  return 0;
}
