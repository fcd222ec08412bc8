// transloom-cli export --language NAME [--out FILE.xls|FILE.xlsx [--force]] +
// login options: one device language with its English reference into a
// workbook; without --out, into the name the dialog offers, in the current
// folder. An existing .xlsx file is replaced only with --force.
#include <cstdio>

#include "common/platform/cli.h"
#include "common/platform/file_ops.h"
#include "transloom/cli/tool_cli.h"
#include "transloom/workbook/workbook.h"

namespace {

int RunExport(const std::vector<std::string>& args) {
  std::string error;
  if (!transloomcli::CheckArguments(args, 0, &error)) return platform::CliUsage(error);
  const std::string* language = platform::CliOption(args, "--language");
  if (language == nullptr) return platform::CliUsage("--language NAME is required");
  transloomcli::CliSession session;
  if (const std::string* out = platform::CliOption(args, "--out")) session.path = *out;
  session.force = platform::CliHasFlag(args, "--force");
  // Nothing of an existing .xlsx file would be kept: refuse before logging in.
  if (session.path && workbook::IsXlsxPath(*session.path) &&
      platform::FileExists(*session.path) && !session.force)
    return platform::CliFail(*session.path +
                             " exists: an .xlsx export writes a new file and keeps none of its "
                             "cells; give --force to replace it");
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
     "--language NAME [--out FILE.xls|FILE.xlsx [--force]] --ip ADDRESS [--port N] [--user NAME] "
     "[--password TEXT | $TRANSLOOM_PASSWORD | prompt]",
     "Export a device language and its English reference into a workbook.", RunExport}};

}  // namespace
