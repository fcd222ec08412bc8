// transloom-cli languages: logs in and prints the device's languages, one a
// line, in the order of the dialog's list.
#include <cstdio>

#include "common/platform/cli.h"
#include "transloom/cli/tool_cli.h"

namespace {

int RunLanguages(const std::vector<std::string>& args) {
  std::string error;
  if (!transloomcli::CheckArguments(args, 0, &error)) return platform::CliUsage(error);
  transloomcli::CliSession session;
  return transloomcli::RunOnDevice(args, session, [](transloomcli::CliSession& s) {
    for (const std::string& name : s.Languages()) std::printf("%s\n", name.c_str());
    return true;
  });
}

const platform::CliRegistration kLanguages{{"languages", transloomcli::kDeviceUsage,
                                            "Log in and list the device's languages.",
                                            RunLanguages}};

}  // namespace
