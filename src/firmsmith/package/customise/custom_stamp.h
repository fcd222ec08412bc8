// ProductDefinition at the top of a custom partition: the check that the
// package was made for the chosen product, and the stamp of what a rework
// changed and when.
#pragma once

#include <string>

#include "firmsmith/package/make/make_operation.h"

namespace package {

inline constexpr const char* kProductDefinitionName = "ProductDefinition";
// The key ends with a full-width exclamation mark, as the translations have it.
inline constexpr const char* kOtherHardwareKey = "alarm_selectdevtype_diffrent！";
inline constexpr const char* kProductDefinitionNotJsonKey =
    "Firmsmith.The ProductDefinition of the custom partition is not valid JSON.";

// True when `partition`/ProductDefinition names `hardware`. Otherwise one box:
// the system's reason followed by "\n" and the translation of
// "alarm_readProduct" when the file cannot be opened, kProductDefinitionNotJsonKey
// when it is no JSON object, kOtherHardwareKey when it names other hardware.
bool CheckProductDefinition(const std::string& partition, const std::string& hardware,
                            const MakeEnvironment& environment);

// ORs `bits` into UpdataType (0 when absent or null), sets UpdataTime to the
// local time as "%Y-%m-%d %X" and rewrites the file with the styled writer.
// False when the file cannot be read, parsed or written.
bool StampProductDefinition(const std::string& partition, int bits);

}  // namespace package
