// Step events of a make run, for whoever shows progress (the window's
// progress panel, the command line on a terminal). Events come from the
// thread that runs the operation, in the order the steps happen; a receiver
// that draws must hand them over to its own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace package {

enum class MakeStep {
  kUnpacking,  // the input package, or a partition customised in place
  kBuilding,   // a partition's file system from its folder
  kWrapping,   // a file-system image into its 64-byte-header image
  kPatching,   // an image written into the flash image at its partition
  kPacking,    // the images into the upgrade package
  kChecking,   // the written package or flash image, before it replaces anything
};

struct MakeProgress {
  MakeStep step = MakeStep::kUnpacking;
  std::string subject;      // the file or partition the step works on
  std::string detail;       // the file system of a build ("cramfs"); else empty
  std::uint64_t done = 0;   // bytes done of `total` on long steps
  std::uint64_t total = 0;  // 0: the step carries no count
};

using MakeProgressCallback = std::function<void(const MakeProgress&)>;

// One line for the operator, e.g. "building web-x as cramfs"; a count adds
// " (40%)" when a total is known.
std::string DescribeProgress(const MakeProgress& progress);

}  // namespace package
