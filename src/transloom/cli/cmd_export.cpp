// transloom-cli export --language NAME [--out FILE.xls] + login options: one
// device language with its English reference into a workbook; without
// --out, into the name the dialog offers, in the current folder.
#include <cstdio>

#include "common/platform/cli.h"
#include "transloom/cli/tool_cli.h"

namespace {

int RunExport(const std::vector<std::string>& args) {
  std::string error;
  if (!transloomcli::CheckArguments(args, 0, &error)) return platform::CliUsage(error);
  const std::string* language = platform::CliOption(args, "--language");
  if (language == nullptr) return platform::CliUsage("--language NAME is required");
  transloomcli::CliSession session;
  if (const std::string* out = platform::CliOption(args, "--out")) session.path = *out;
  return transloomcli::RunOnDevice(args, session, [&](transloomcli::CliSession& s) {
    // The dialog offers only the device's own languages; so do we.
    bool offered = false;
    for (const std::string& name : s.Languages()) offered = offered || name == *language;
    if (!s.OnExportExcel(offered ? *language : std::string())) return false;
    std::printf("%s\n", s.path ? s.path->c_str() : s.m_strFileName.c_str());
    return true;
  });
}

const platform::CliRegistration kExport{
    {"export",
     "--language NAME [--out FILE.xls] --ip ADDRESS [--port N] [--user NAME] [--password TEXT | "
     "$TRANSLOOM_PASSWORD | prompt]",
     "Export a device language and its English reference into a workbook.", RunExport}};

}  // namespace
