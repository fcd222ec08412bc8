// The password of a device command. Never an empty one by accident: it comes
// from the command's option, else from the environment variable (an
// explicitly empty value counts as given), else, when standard input is a
// terminal, from a prompt that does not echo; otherwise the command fails
// before it connects, so that no empty guess counts against the account.
#pragma once

#include <string>

#include "common/platform/status.h"

namespace platform {

inline constexpr const char* kNoPasswordGiven = "no password given";

// `option`: the value of --password, or nullptr when absent; `variable`: the
// environment variable's name. Fails with "no password given (...)" when
// there is no terminal to ask, or with the reason the terminal could not be
// read.
Status ResolvePassword(const std::string* option, const char* variable, std::string* password);

}  // namespace platform
