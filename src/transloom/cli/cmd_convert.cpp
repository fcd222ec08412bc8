// transloom-cli convert FILE.xls [--strings-dir DIR]: a workbook into the
// device language file <DIR>/<Language>; DIR defaults to StringPath of the
// Config.ini beside the program. Needs no device.
#include "common/platform/cli.h"
#include "transloom/cli/tool_cli.h"

namespace {

int RunConvert(const std::vector<std::string>& args) {
  std::string error;
  if (!transloomcli::CheckArguments(args, 1, &error)) return platform::CliUsage(error);
  for (const char* option : {"--ip", "--port", "--user", "--password", "--language", "--out"})
    if (platform::CliOption(args, option))
      return platform::CliUsage(std::string(option) + " does not apply to convert");
  transloomcli::LoadUiTexts();
  transloomcli::CliSession session;
  session.path = platform::CliPositionals(args, transloomcli::kValuedOptions)[0];
  if (const std::string* dir = platform::CliOption(args, "--strings-dir"))
    session.stringsFolder = *dir;
  return transloomcli::Finish(session, session.OnCreateLanguage());
}

const platform::CliRegistration kConvert{
    {"convert", "FILE.xls|FILE.xlsx [--strings-dir DIR]",
     "Convert a workbook into a device language file in the strings folder.", RunConvert}};

}  // namespace
