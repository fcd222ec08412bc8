#include "firmsmith/package/custom_partition.h"

namespace package {
namespace {

class UnavailableCustomiser : public PartitionCustomiser {
 public:
  bool PrepareCustomPartition(const CustomisationRequest& request, std::string*) const override {
    return Refuse(request);
  }
  bool PrepareUserPartition(const CustomisationRequest& request, std::string*) const override {
    return Refuse(request);
  }
  bool AppendGainLine(const CustomisationRequest& request, const std::string&) const override {
    return Refuse(request);
  }

 private:
  static bool Refuse(const CustomisationRequest& request) {
    ShowMessageKey(*request.environment, kCustomisationUnavailableKey, "alarm_make");
    return false;
  }
};

}  // namespace

const PartitionCustomiser& DefaultPartitionCustomiser() {
  static const UnavailableCustomiser customiser;
  return customiser;
}

}  // namespace package
