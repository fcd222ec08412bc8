#include "transloom/cli/tool_cli.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/platform/cli.h"
#include "common/platform/password.h"
#include "common/uitext/language_table.h"

namespace transloomcli {

const std::vector<std::string> kValuedOptions = {
    "--ip", "--port", "--user", "--password", "--language", "--out", "--strings-dir"};
const std::vector<std::string> kFlagOptions = {"--force"};

platform::MessageAnswer CliMessageSink::ShowMessage(const std::string& text,
                                                    const std::string& caption,
                                                    platform::MessageButtons buttons) {
  if (buttons == platform::MessageButtons::OkCancel) return platform::MessageAnswer::Ok;
  return StderrMessageSink::ShowMessage(text, caption, buttons);
}

CliSession::CliSession() : ToolSession(&sink_) {}

std::optional<std::string> CliSession::ChooseOpenPath() { return path; }

std::optional<std::string> CliSession::ChooseSavePath(const std::string& defaultName) {
  return path ? path : std::optional<std::string>(defaultName);
}

bool CliSession::ConfirmReplaceXlsx(const std::string&) { return force; }

std::string CliSession::StringsFolder() const {
  return stringsFolder ? *stringsFolder : ToolSession::StringsFolder();
}

void LoadUiTexts() {
  static bool loaded = false;
  if (loaded) return;
  uitext::CMultiLanguage::GetInstance()->LoadLanguage();
  loaded = true;
}

bool ParseLoginOptions(const std::vector<std::string>& args, transloom::LoginInput* input,
                       std::string* error) {
  const std::string* ip = platform::CliOption(args, "--ip");
  if (ip == nullptr) {
    *error = "--ip ADDRESS is required";
    return false;
  }
  in_addr parsed{};
  if (inet_pton(AF_INET, ip->c_str(), &parsed) != 1) {
    *error = "--ip " + *ip + ": not a dotted IPv4 address";
    return false;
  }
  input->ip = *ip;
  // The same start values as the dialog's fields.
  const std::string* port = platform::CliOption(args, "--port");
  input->portText = port ? *port : "34567";
  const std::string* user = platform::CliOption(args, "--user");
  input->user = user ? *user : "admin";
  if (platform::Status given = platform::ResolvePassword(platform::CliOption(args, "--password"),
                                                         "TRANSLOOM_PASSWORD", &input->password);
      !given) {
    *error = given.message;
    return false;
  }
  return true;
}

bool CheckArguments(const std::vector<std::string>& args, std::size_t positionals,
                    std::string* error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0) continue;
    if (std::find(kFlagOptions.begin(), kFlagOptions.end(), a) != kFlagOptions.end()) continue;
    bool known = false;
    for (const std::string& o : kValuedOptions) known = known || a == o;
    if (!known) {
      *error = "unknown option " + a;
      return false;
    }
    if (i + 1 >= args.size()) {
      *error = a + " needs a value";
      return false;
    }
    ++i;
  }
  const std::size_t given = platform::CliPositionals(args, kValuedOptions).size();
  if (given != positionals) {
    *error = "expected " + std::to_string(positionals) + " file argument(s), got " +
             std::to_string(given);
    return false;
  }
  return true;
}

int Finish(const CliSession& session, bool ok) {
  if (ok) return 0;
  return platform::CliFail(session.LastProblem().empty() ? "failed" : session.LastProblem());
}

int RunOnDevice(const std::vector<std::string>& args, CliSession& session,
                const std::function<bool(CliSession&)>& operation) {
  transloom::LoginInput input;
  std::string error;
  if (!ParseLoginOptions(args, &input, &error)) return platform::CliUsage(error);
  LoadUiTexts();
  transloom::ToolSession::StartDeviceLibrary();
  bool ok = session.OnLogin(input);
  if (ok) ok = operation(session);
  const int status = Finish(session, ok);
  session.EndDeviceLibrary();
  return status;
}

}  // namespace transloomcli
