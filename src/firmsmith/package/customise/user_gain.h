// The audio line-in gain line of the user partition: one "himm" register
// write appended to etc/loadmod, which the device runs at start-up.
#pragma once

#include <cstdint>
#include <string>

#include "firmsmith/package/customise/custom_partition.h"

namespace package {

inline constexpr const char* kDefaultGainRegisterAddress = "0x20050068";
inline constexpr const char* kDefaultGainBaseValue = "0x50320000";
inline constexpr const char* kDefaultGainCode = "01011";  // "0db"

// The 28 line-in gain labels, -16.5 dB to 24 dB in steps of 1.5 dB; the
// codes of Config.ini [register] are keyed by them.
inline constexpr const char* kGainLabels[] = {
    "-16.5db", "-15db", "-13.5db", "-12db", "-10.5db", "-9db", "-7.5db", "-6db", "-4.5db", "-3db",
    "-1.5db",  "0db",   "1.5db",   "3db",   "4.5db",   "6db",  "7.5db",  "9db",  "10.5db", "12db",
    "13.5db",  "15db",  "16.5db",  "18db",  "19.5db",  "21db", "22.5db", "24db",
};

// A gain code written as binary digits, most significant first; any other
// character (or more bits than a codec field holds) gives 0.
int GainCodeFromDigits(const std::string& digits);

// The code of a gain label ("0db") in `configIni` [register], default "01011".
int GainCodeOf(const std::string& configIni, const std::string& label);

// The bytes appended: "\nhimm <address> 0x<V>" and one zero byte, where
// V = base | left << 10 | right << 2.
std::string GainLineBytes(const std::string& address, std::uint32_t base, int left, int right);

// Appends the gain line of the options (codes and register from
// <programDirectory>Config.ini) to `folder`/etc/loadmod when that file exists.
// A loadmod that is a link is not followed. False when appending failed,
// with *why (when given) naming the file and the cause.
bool AppendGainLineTo(const std::string& folder, const MakeOptions& options,
                      const std::string& programDirectory, std::string* why = nullptr);

}  // namespace package
