#include "firmsmith/package/make/make_progress.h"

namespace package {

std::string DescribeProgress(const MakeProgress& p) {
  std::string line;
  switch (p.step) {
    case MakeStep::kUnpacking: line = "unpacking " + p.subject; break;
    case MakeStep::kBuilding:
      line = "building " + p.subject + (p.detail.empty() ? "" : " as " + p.detail);
      break;
    case MakeStep::kWrapping: line = "wrapping " + p.subject; break;
    case MakeStep::kPatching: line = "writing " + p.subject + " into the flash image"; break;
    case MakeStep::kPacking: line = "packing " + p.subject; break;
    case MakeStep::kChecking: line = "checking " + p.subject; break;
  }
  if (p.total != 0) {
    const std::uint64_t done = p.done > p.total ? p.total : p.done;
    line += " (" + std::to_string(done * 100 / p.total) + "%)";
  }
  return line;
}

}  // namespace package
