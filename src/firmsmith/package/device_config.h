// Default configuration read from a running device through devlink: the
// custom configuration (checked against the chosen product's hardware) and,
// with CopyUsers, the device's accounts.
#pragma once

#include <string>

#include "firmsmith/package/custom_partition.h"

namespace package {

// The package maker's message for a failed DL_Login, chosen by its error code.
const char* DeviceLoginMessageKey(int error);

// Logs into the device of the options and fills `customConfig` (a real
// folder of the unpacked partition). Replies are kept under `tempFolder`
// ("configExport", "customDevice"). False after one box; on every failure
// the work folder of the request is removed first.
bool FetchDeviceConfigs(const CustomisationRequest& request, const std::string& tempFolder,
                        const std::string& customConfig);

}  // namespace package
