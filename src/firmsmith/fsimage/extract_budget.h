// How much one extraction may write. A small hostile image or reply can
// describe gigabytes (shared cramfs blocks, a ZIP of deflated zeros, a jffs2
// node of "zero" compression), and a ratio cannot tell it from a sound image:
// erased flash deflates about 1000:1. So every extraction of a cramfs or jffs2
// image, or of a device's configuration reply, stops at a fixed budget of
// bytes, read from [Limits] ExtractBudgetMiB of the program folder's
// Config.ini, and keeps nothing of what it wrote.
#pragma once

#include <cstdint>
#include <string>

#include "common/platform/profile.h"

namespace fsimage {

inline constexpr std::uint64_t kBytesPerMiB = 1048576;
inline constexpr std::uint64_t kDefaultExtractBudgetMiB = 256;
inline constexpr std::uint64_t kDefaultExtractBudget = kDefaultExtractBudgetMiB * kBytesPerMiB;
// No budget: what a whole package unpack uses (its entries are bounded one by one).
inline constexpr std::uint64_t kNoExtractBudget = UINT64_MAX;
inline constexpr const char kLimitsSection[] = "Limits";
inline constexpr const char kExtractBudgetKey[] = "ExtractBudgetMiB";

// The budget in bytes from `programDirectory` (ending with "/") Config.ini;
// a missing file or key, or a value below 1, gives the default.
inline std::uint64_t ReadExtractBudget(const std::string& programDirectory) {
  const int mib = platform::ReadProfileInt(programDirectory + "Config.ini", kLimitsSection, kExtractBudgetKey,
                                           static_cast<int>(kDefaultExtractBudgetMiB));
  return mib < 1 ? kDefaultExtractBudget : static_cast<std::uint64_t>(mib) * kBytesPerMiB;
}

// "<what>: unpacks to more than the extraction budget of N MiB ([Limits]
// ExtractBudgetMiB in Config.ini); nothing of it was kept".
inline std::string OverBudgetMessage(const std::string& what, std::uint64_t budget);

// "the extraction budget of N MiB ([Limits] ExtractBudgetMiB in Config.ini)".
inline std::string ExtractBudgetText(std::uint64_t budget) {
  return "the extraction budget of " + std::to_string(budget / kBytesPerMiB) + " MiB ([" + kLimitsSection + "] " +
         kExtractBudgetKey + " in Config.ini)";
}

inline std::string OverBudgetMessage(const std::string& what, std::uint64_t budget) {
  return what + ": unpacks to more than " + ExtractBudgetText(budget) + "; nothing of it was kept";
}

}  // namespace fsimage
