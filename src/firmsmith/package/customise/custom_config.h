// The default configuration files of a custom partition reworked in place
// ("CustomConfig"): configs from a folder or a running device, app download
// links, cloud server, online upgrade and device model.
#pragma once

#include <string>

#include "firmsmith/package/customise/custom_partition.h"

namespace package {

inline constexpr const char* kCustomConfigFolder = "CustomConfig";
inline constexpr const char* kNoCustomConfigKey = "create_error,CustomConfig NotExist";
// Config.ini setting of the address put before the iOS app text.
inline constexpr const char* kAppStoreSection = "custom";
inline constexpr const char* kAppStoreKey = "AppStoreLinkPrefix";
inline constexpr const char* kDefaultAppStorePrefix = "https://apps.apple.com/app/";

// True when an enabled app link has text; otherwise "InputLink" is shown.
bool CheckAppLinks(const MakeOptions& options, const MakeEnvironment& environment);

// Applies the configuration options to the unpacked partition `partition`;
// `tempFolder` holds the device replies. Returns false after one box (the
// work folder removed where the failure calls for it); *bits gets the update
// bits of the options applied.
bool ApplyCustomConfigs(const CustomisationRequest& request, const std::string& tempFolder,
                        const std::string& partition, int* bits);

}  // namespace package
