// The one subcommand mechanism of our command-line tools (firmsmith-cli,
// transloom-cli). Each subcommand lives in its own source file of the tool and
// registers itself with a static CliRegistration; main() calls RunCli.
//
// Conventions: exit status 0 on success, 1 on failure, 2 on a usage error
// (as diff and grep do). A failure prints the command's message on standard
// error, then the reason line naming the file and the cause. Standard output
// carries only a command's result. Before or after the command name:
// -v/--verbose shows traces on standard error, -q/--quiet hides warnings;
// -h/--help and --version answer for the tool and for every command.
#pragma once

#include <string>
#include <vector>

#include "common/platform/status.h"

namespace platform {

struct CliCommand {
  const char* name;     // "products"
  const char* usage;    // "[--json]"
  const char* summary;  // one line for --help
  int (*run)(const std::vector<std::string>& args);  // args after the name
  // More lines for "COMMAND --help" (what each argument means); may be null.
  const char* details = nullptr;
};

struct CliRegistration {
  explicit CliRegistration(const CliCommand& command);
};

// Dispatches the command of argv to its run function, with the common
// options taken out; prints --help (fits a screen) and --version.
int RunCli(const char* toolName, int argc, char** argv);

// The common options, taken out of the arguments before a command sees them.
inline constexpr const char* kCliVerbose[] = {"-v", "--verbose"};
inline constexpr const char* kCliQuiet[] = {"-q", "--quiet"};

inline constexpr int kCliFailure = 1;
inline constexpr int kCliUsageError = 2;
// For the commands whose 2 already means a result (image-wrap, image-info).
inline constexpr int kCliUsageErrorOfResultCommand = 64;

// Prints "<tool>: <message>" on standard error and returns kCliFailure.
int CliFail(const std::string& message);
// The same, followed by "<tool>: <reason>" when the failure carries a reason
// that the message does not already hold.
int CliFail(const std::string& message, const Status& why);
// Prints "<tool>: <message>" (what was wrong with the arguments) on standard
// error and returns `status`.
int CliUsage(const std::string& message, int status = kCliUsageError);

// Small argument helpers for the commands.
bool CliHasFlag(const std::vector<std::string>& args, const std::string& flag);
// The value after `option` ("--out DIR"), or nullptr when absent.
const std::string* CliOption(const std::vector<std::string>& args, const std::string& option);
// Arguments that are neither options nor option values, in order. `valued`
// names the options that take a value.
std::vector<std::string> CliPositionals(const std::vector<std::string>& args,
                                        const std::vector<std::string>& valued);

}  // namespace platform
