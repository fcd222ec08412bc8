// transloom-cli import FILE.xls + login options: sends an edited workbook to
// the device as the language its file name ends with.
#include "common/platform/cli.h"
#include "transloom/cli/tool_cli.h"

namespace {

int RunImport(const std::vector<std::string>& args) {
  std::string error;
  if (!transloomcli::CheckArguments(args, 1, &error)) return platform::CliUsage(error);
  transloomcli::CliSession session;
  session.path = platform::CliPositionals(args, transloomcli::kValuedOptions)[0];
  return transloomcli::RunOnDevice(
      args, session, [](transloomcli::CliSession& s) { return s.OnImportToDevice(); });
}

const platform::CliRegistration kImport{
    {"import",
     "FILE.xls|FILE.xlsx --ip ADDRESS [--port N] [--user NAME] [--password TEXT | "
     "$TRANSLOOM_PASSWORD | prompt]",
     "Import a workbook (\"..._<Language>.xls\") into the device.", RunImport}};

}  // namespace
