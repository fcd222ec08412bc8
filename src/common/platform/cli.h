// The one subcommand mechanism of our command-line tools (firmsmith-cli,
// transloom-cli). Each subcommand lives in its own source file of the tool and
// registers itself with a static CliRegistration; main() calls RunCli.
//
// Conventions: exit status 0 on success, non-zero on failure with one line of
// error text on standard error naming the file and the reason.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct CliCommand {
  const char* name;     // "products"
  const char* usage;    // "[--json]"
  const char* summary;  // one line for --help
  int (*run)(const std::vector<std::string>& args);  // args after the name
};

struct CliRegistration {
  explicit CliRegistration(const CliCommand& command);
};

// Dispatches argv[1] to its command; prints --help (fits a screen).
int RunCli(const char* toolName, int argc, char** argv);

// Prints "<tool>: <message>" on standard error and returns 1.
int CliFail(const std::string& message);

// Small argument helpers for the commands.
bool CliHasFlag(const std::vector<std::string>& args, const std::string& flag);
// The value after `option` ("--out DIR"), or nullptr when absent.
const std::string* CliOption(const std::vector<std::string>& args, const std::string& option);
// Arguments that are neither options nor option values, in order. `valued`
// names the options that take a value.
std::vector<std::string> CliPositionals(const std::vector<std::string>& args,
                                        const std::vector<std::string>& valued);

}  // namespace platform
