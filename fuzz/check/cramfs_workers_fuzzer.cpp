// Differential: CheckCramfsImage and ListAndCheckCramfsImage must give the
// same result, findings (in order), listing and first finding whether the
// blocks are inflated on the caller's thread alone or on 2 or 4 workers.
// Run with -close_fd_mask=2: the reader's warnings go to standard error.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../fsimage/fuzz_work_folder.h"
#include "firmsmith/fsimage/cramfs_reader.h"

namespace {

struct Outcome {
  int checkResult = 0;
  std::vector<std::string> checkProblems;
  int bothResult = 0;
  std::vector<fsimage::CramfsListedEntry> entries;
  std::string why;
  std::vector<std::string> problems;
};

bool Same(const fsimage::CramfsListedEntry& a, const fsimage::CramfsListedEntry& b) {
  return a.path == b.path && a.mode == b.mode && a.uid == b.uid && a.gid == b.gid && a.size == b.size &&
         a.linkTarget == b.linkTarget;
}

bool Same(const Outcome& a, const Outcome& b) {
  if (a.checkResult != b.checkResult || a.checkProblems != b.checkProblems) return false;
  if (a.bothResult != b.bothResult || a.why != b.why || a.problems != b.problems) return false;
  if (a.entries.size() != b.entries.size()) return false;
  for (std::size_t i = 0; i < a.entries.size(); ++i)
    if (!Same(a.entries[i], b.entries[i])) return false;
  return true;
}

Outcome Run(const std::string& image, unsigned workers) {
  Outcome o;
  o.checkResult = fsimage::CheckCramfsImage(image, &o.checkProblems, workers);
  o.bothResult = fsimage::ListAndCheckCramfsImage(image, &o.entries, &o.why, &o.problems, workers);
  return o;
}

void Report(const char* what, const Outcome& o) {
  std::fprintf(stderr, "%s: check %d, both %d, why \"%s\", %zu entries\n", what, o.checkResult, o.bothResult,
               o.why.c_str(), o.entries.size());
  for (const std::string& p : o.checkProblems) std::fprintf(stderr, "  check: %s\n", p.c_str());
  for (const std::string& p : o.problems) std::fprintf(stderr, "  both: %s\n", p.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string image = FuzzWorkFolder("cramfs-workers-fuzz") + "/image";
  FuzzWriteFile(image, data, size);
  const Outcome one = Run(image, 1);
  // The check and the combined walk agree with each other too.
  if (one.checkResult != one.bothResult || one.checkProblems != one.problems) {
    Report("one worker", one);
    __builtin_trap();
  }
  for (unsigned workers : {2u, 4u}) {
    const Outcome many = Run(image, workers);
    if (!Same(one, many)) {
      Report("one worker", one);
      Report(workers == 2 ? "two workers" : "four workers", many);
      __builtin_trap();
    }
  }
  return 0;
}
