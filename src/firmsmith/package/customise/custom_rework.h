// The customiser the make operation uses: unpacks the custom or user
// partition of the input, applies the operator's options and hands back the
// tree to rebuild.
#pragma once

#include "firmsmith/package/customise/custom_partition.h"

namespace package {

class InPlaceCustomiser : public PartitionCustomiser {
 public:
  // Unpack, product check, strings and pictures, configuration files, stamp.
  bool PrepareCustomPartition(const CustomisationRequest& request, std::string* folder) const override;
  // Unpack the user partition and append the gain line.
  bool PrepareUserPartition(const CustomisationRequest& request, std::string* folder) const override;
  // Append the gain line to the operator's user folder, in place.
  bool AppendGainLine(const CustomisationRequest& request, const std::string& userFolder) const override;
};

// A customisation step's fatal failure: removes the work folder of the
// request (the rework cannot go on from it), shows `key`, returns false.
bool FailAndDropWork(const CustomisationRequest& request, const char* key);
// The same with the reason as the box's detail (none when empty).
bool FailAndDropWork(const CustomisationRequest& request, const char* key, const std::string& reason);

}  // namespace package
