#include "firmsmith/package/customise/custom_rework.h"

#include "firmsmith/package/customise/custom_config.h"
#include "firmsmith/package/customise/custom_stamp.h"
#include "firmsmith/package/customise/custom_strings.h"
#include "common/platform/file_ops.h"
#include "firmsmith/package/make/partition_unpack.h"
#include "firmsmith/package/customise/user_gain.h"

namespace package {
namespace {

constexpr const char* kGainLineFailedKey = "Firmsmith.The line-in gain could not be written to etc/loadmod.";
constexpr const char* kStampFailedKey = "Firmsmith.The ProductDefinition of the custom partition could not be rewritten.";

}  // namespace

bool FailAndDropWork(const CustomisationRequest& request, const char* key) {
  if (!request.workFolder.empty()) platform::RemoveTree(request.workFolder);
  ShowMessageKey(*request.environment, key);
  return false;
}

bool FailAndDropWork(const CustomisationRequest& request, const char* key, const std::string& reason) {
  if (reason.empty()) return FailAndDropWork(request, key);
  if (!request.workFolder.empty()) platform::RemoveTree(request.workFolder);
  ShowFailureKey(*request.environment, key, "", reason);
  return false;
}

bool InPlaceCustomiser::PrepareCustomPartition(const CustomisationRequest& request,
                                               std::string* folder) const {
  const MakeOptions& o = *request.options;
  const MakeEnvironment& env = *request.environment;
  if (!CheckAppLinks(o, env)) {
    if (!request.workFolder.empty()) platform::RemoveTree(request.workFolder);
    return false;
  }
  UnpackedPartition unpacked;
  if (!UnpackPartitionForRework(request, "custom", o.slots[kSlotCustom].fs, &unpacked)) return false;
  if (!CheckProductDefinition(unpacked.folder, o.selectedProduct.hardware, env)) {
    if (!request.workFolder.empty()) platform::RemoveTree(request.workFolder);
    return false;
  }
  platform::Status copied;
  int bits = ApplyStringsAndPictures(o, env.programDirectory, unpacked.folder, &copied);
  if (!copied) {
    if (!request.workFolder.empty()) platform::RemoveTree(request.workFolder);
    ShowFailureKey(env, "create_error", "", copied.message);
    return false;
  }
  int configBits = 0;
  if (!ApplyCustomConfigs(request, platform::ParentFolder(unpacked.root), unpacked.folder, &configBits))
    return false;
  bits |= configBits;
  if (!StampProductDefinition(unpacked.folder, bits)) return FailAndDropWork(request, kStampFailedKey);
  *folder = unpacked.folder;
  return true;
}

bool InPlaceCustomiser::PrepareUserPartition(const CustomisationRequest& request,
                                             std::string* folder) const {
  const MakeOptions& o = *request.options;
  UnpackedPartition unpacked;
  if (!UnpackPartitionForRework(request, "user", o.slots[kSlotUser].fs, &unpacked)) return false;
  std::string why;
  if (!AppendGainLineTo(unpacked.folder, o, request.environment->programDirectory, &why))
    return FailAndDropWork(request, kGainLineFailedKey, why);
  *folder = unpacked.folder;
  return true;
}

bool InPlaceCustomiser::AppendGainLine(const CustomisationRequest& request,
                                       const std::string& userFolder) const {
  std::string why;
  if (AppendGainLineTo(userFolder, *request.options, request.environment->programDirectory, &why))
    return true;
  ShowFailureKey(*request.environment, kGainLineFailedKey, "", why);
  return false;
}

}  // namespace package
