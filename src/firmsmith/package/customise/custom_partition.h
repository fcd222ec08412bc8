// The seam through which the make operation has the custom and user
// partitions customised in place: the custom partition (strings, fonts,
// pictures, default configuration, app links, cloud server, online upgrade,
// device model, product stamp) and the user partition's line-in gain line.
//
// The make operation calls these steps where it needs a partition tree it
// cannot take from an operator folder. An implementation unpacks the
// partition, changes it and hands back the folder to rebuild; on failure it
// shows its own message box (removing the work folder where its messages say
// so) and returns false, which ends the run.
//
// UnpackPartitionForRework (partition_unpack.h) takes a partition out of the
// input and unpacks it, with the fixed pauses; Pause() and the message
// helpers of make_operation.h serve the rest.
//
// DefaultPartitionCustomiser() is InPlaceCustomiser (custom_rework.h).
#pragma once

#include <cstdint>
#include <string>

#include "firmsmith/package/make/make_operation.h"

namespace package {

struct CustomisationRequest {
  const MakeOptions* options = nullptr;
  const MakeEnvironment* environment = nullptr;
  std::string workFolder;  // the unpacked package (kind Network_upgrades)
  // Kind Network_upgrades: the partition's image in the work folder (its
  // matched name). Kind Burning_piecefile: the flash image.
  std::string imagePath;
  std::uint32_t start = 0;  // the partition's flash bounds
  std::uint32_t end = 0;
};

class PartitionCustomiser {
 public:
  virtual ~PartitionCustomiser() = default;
  // Rework, custom-x ticked without a custom folder: unpack the custom
  // partition, apply the customisation options, set *folder to the tree.
  virtual bool PrepareCustomPartition(const CustomisationRequest& request,
                                      std::string* folder) const = 0;
  // Rework, user-x ticked with LineInGain and without a user folder: unpack
  // the user partition, append the gain line, set *folder to the tree.
  virtual bool PrepareUserPartition(const CustomisationRequest& request,
                                    std::string* folder) const = 0;
  // Build from folders, user-x with LineInGain: append the gain line to the
  // operator's user folder.
  virtual bool AppendGainLine(const CustomisationRequest& request,
                              const std::string& userFolder) const = 0;
};

// The customiser the make operation uses when the environment names none.
const PartitionCustomiser& DefaultPartitionCustomiser();

}  // namespace package
