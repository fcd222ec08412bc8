// A make run worked out without doing it (firmsmith-cli make --dry-run): the
// same checks a run starts with, then what it would build and write. Nothing
// is written outside a private temporary folder, which is gone afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmsmith/package/make/make_operation.h"

namespace package {

struct PlannedPartition {
  std::string image;       // "user-x.cramfs.img"
  std::string source;      // the folder, or what the image is made from
  std::string fileSystem;  // "cramfs", "squashfs", "jffs2"; "raw" for generated data
  std::uint32_t start = 0;
  std::uint32_t end = 0;
};

struct MakePlan {
  std::string kind;   // what the run is
  std::string input;  // empty for a new package
  std::vector<PlannedPartition> partitions;
  // The InstallDesc commands added ("+ ...") or dropped ("- ..."), and a
  // changed DevID; empty for a flash image.
  std::vector<std::string> installDesc;
  std::string output;  // the file the run writes or replaces
};

// Where the run writes its result: the operator's output path, else the input
// for a rework, else
// "<program folder><product>_all.bin".
std::string MakeOutputPath(const MakeOptions& options, const MakeEnvironment& environment);
// The product's new-package file name; a '/' never leads anywhere else.
std::string NewPackageFileName(const std::string& productName);

// Validates the options as the make operation does (its message box goes
// to the environment's sink), reads the input (a package is unpacked into a
// private temporary folder, its images' CRCs and InstallDesc checked) and
// fills *plan. False with the reason in *problem (empty when a box told it).
bool PlanMakeRun(const MakeOptions& options, const MakeEnvironment& environment, MakePlan* plan,
                 std::string* problem);

// The plan as lines for the operator.
std::string FormatMakePlan(const MakePlan& plan);

}  // namespace package
