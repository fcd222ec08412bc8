// transloom-cli delete + login options: removes the imported language from
// the device.
#include "common/platform/cli.h"
#include "transloom/cli/tool_cli.h"

namespace {

int RunDelete(const std::vector<std::string>& args) {
  std::string error;
  if (!transloomcli::CheckArguments(args, 0, &error)) return platform::CliUsage(error);
  transloomcli::CliSession session;
  return transloomcli::RunOnDevice(
      args, session, [](transloomcli::CliSession& s) { return s.OnDeleteLanguage(); });
}

const platform::CliRegistration kDelete{{"delete", transloomcli::kDeviceUsage,
                                         "Delete the imported language from the device.",
                                         RunDelete}};

}  // namespace
