// Default configuration read from a running device through devlink: the
// custom configuration (checked against the chosen product's hardware) and,
// with CopyUsers, the device's accounts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmsmith/package/customise/custom_partition.h"

namespace package {

// The package maker's message for a failed DL_Login, chosen by its error code.
const char* DeviceLoginMessageKey(int error);

// One zipped configuration read from a logged-in device: CMD_CONFIG_EXPORT
// (accounts and settings) or CMD_CUSTOM_CONFIG, each with its own wait. The
// DL_GetConfig result (>= 1 success); `reply` holds the bytes received.
std::int32_t ReadConfigReply(std::int32_t handle, int command, std::vector<std::uint8_t>* reply);

// Logs into the device of the options and fills `customConfig` (a real
// folder of the unpacked partition). Replies are kept under `tempFolder`
// ("configExport", "customDevice"). False after one box; on every failure
// the work folder of the request is removed first.
bool FetchDeviceConfigs(const CustomisationRequest& request, const std::string& tempFolder,
                        const std::string& customConfig);

// The reply of CMD_CUSTOM_CONFIG (`result` as DL_GetConfig gave it): unpacked
// under `tempFolder`/customDevice, its ProductType.ini checked against the
// product's hardware ("alarm_logindevtype_diffrent"), the rest copied into
// `customConfig`. A failed read is "alarm_devicenotsupport" when the device
// refused (a negative result other than a time-out), else
// "alarm_getcfg_error" (also for a reply that is no ZIP archive).
bool TakeCustomConfigReply(const CustomisationRequest& request, std::int32_t result,
                           const std::vector<std::uint8_t>& reply, const std::string& tempFolder,
                           const std::string& customConfig);

}  // namespace package
