// Where the running program lives. Every file of the tools (Config.ini,
// Language, Products, bin, TempStrings, the external tools) is found from it.
#pragma once

#include <string>

namespace platform {

// Full real path of the running executable (symbolic links resolved).
std::string GetExecutablePath();

// The executable's folder, always ending with "/". Computed once, then cached.
std::string GetProgramDirectory();

}  // namespace platform
