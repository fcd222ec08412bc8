#include "firmsmith/package/customise/custom_partition.h"

#include "firmsmith/package/customise/custom_rework.h"

namespace package {

const PartitionCustomiser& DefaultPartitionCustomiser() {
  static const InPlaceCustomiser customiser;
  return customiser;
}

}  // namespace package
