// What the device subcommands of transloom-cli share: the UI texts of the
// program folder, the login options, and a ToolSession whose file choosers
// answer with the paths given on the command line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/platform/message_sink.h"
#include "transloom/core/session.h"

namespace transloomcli {

inline constexpr const char* kDeviceUsage =
    "--ip ADDRESS [--port N] [--user NAME] [--password TEXT | $TRANSLOOM_PASSWORD | prompt]";
// Options that take a value, for platform::CliPositionals, and those that
// stand alone.
extern const std::vector<std::string> kValuedOptions;
extern const std::vector<std::string> kFlagOptions;

// Reports like the dialog's message boxes, on standard error. The import's
// confirmation is the command itself, so questions are answered OK unseen.
class CliMessageSink : public platform::StderrMessageSink {
 public:
  platform::MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                      platform::MessageButtons buttons) override;
};

class CliSession : public transloom::ToolSession {
 public:
  CliSession();

  // The file the choosers answer with; a save without one takes the
  // offered default name.
  std::optional<std::string> path;
  // Overrides StringPath of Config.ini when set.
  std::optional<std::string> stringsFolder;
  // --force: an export may replace an existing .xlsx file.
  bool force = false;

 protected:
  std::optional<std::string> ChooseOpenPath() override;
  std::optional<std::string> ChooseSavePath(const std::string& defaultName) override;
  std::string StringsFolder() const override;
  bool ConfirmReplaceXlsx(const std::string& path) override;

 private:
  CliMessageSink sink_;
};

// Loads the UI texts (Config.ini and .lang beside the program), once.
void LoadUiTexts();

// Reads --ip, --port, --user and --password (else $TRANSLOOM_PASSWORD, else a
// prompt on a terminal); false with the reason when --ip is missing or not a
// dotted IPv4 address, or when no password is given and none can be asked.
bool ParseLoginOptions(const std::vector<std::string>& args, transloom::LoginInput* input,
                       std::string* error);

// Checks that args hold exactly `positionals` plain arguments and only known
// options; false with the reason otherwise.
bool CheckArguments(const std::vector<std::string>& args, std::size_t positionals,
                    std::string* error);

// Logs in with the options of args, runs `operation` on the session, logs
// out and releases the device library. Exit status 0 only when both the login
// and the operation succeed; a failure also prints its reason.
int RunOnDevice(const std::vector<std::string>& args, CliSession& session,
                const std::function<bool(CliSession&)>& operation);

// The exit status of a finished operation: 0, or 1 after printing why.
int Finish(const CliSession& session, bool ok);

}  // namespace transloomcli
