#include "common/platform/cli.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

std::vector<CliCommand>& Registry() {
  static std::vector<CliCommand> commands;
  return commands;
}

const char*& ToolName() {
  static const char* name = "cli";
  return name;
}

void PrintHelp(FILE* out) {
  std::vector<CliCommand> commands = Registry();
  std::sort(commands.begin(), commands.end(),
            [](const CliCommand& a, const CliCommand& b) { return std::strcmp(a.name, b.name) < 0; });
  std::fprintf(out, "usage: %s COMMAND [ARGS]\n\ncommands:\n", ToolName());
  for (const CliCommand& c : commands) {
    std::fprintf(out, "  %s %s\n      %s\n", c.name, c.usage, c.summary);
  }
  std::fprintf(out, "\n'%s COMMAND --help' shows one command's usage.\n", ToolName());
}

}  // namespace

CliRegistration::CliRegistration(const CliCommand& command) { Registry().push_back(command); }

int CliFail(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", ToolName(), message.c_str());
  return kCliFailure;
}

int CliFail(const std::string& message, const Status& why) {
  CliFail(message);
  if (!why.ok && !why.message.empty() && message.find(why.message) == std::string::npos)
    std::fprintf(stderr, "%s: %s\n", ToolName(), why.message.c_str());
  return kCliFailure;
}

int CliUsage(const std::string& message, int status) {
  CliFail(message);
  return status;
}

int RunCli(const char* toolName, int argc, char** argv) {
  ToolName() = toolName;
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    PrintHelp(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const CliCommand& c : Registry()) {
    if (std::strcmp(c.name, argv[1]) != 0) continue;
    std::vector<std::string> args(argv + 2, argv + argc);
    if (CliHasFlag(args, "--help")) {
      std::printf("usage: %s %s %s\n  %s\n", toolName, c.name, c.usage, c.summary);
      return 0;
    }
    return c.run(args);
  }
  return CliUsage(std::string("unknown command '") + argv[1] + "' (see --help)");
}

bool CliHasFlag(const std::vector<std::string>& args, const std::string& flag) {
  return std::find(args.begin(), args.end(), flag) != args.end();
}

const std::string* CliOption(const std::vector<std::string>& args, const std::string& option) {
  for (std::size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == option) return &args[i + 1];
  return nullptr;
}

std::vector<std::string> CliPositionals(const std::vector<std::string>& args,
                                        const std::vector<std::string>& valued) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (std::find(valued.begin(), valued.end(), a) != valued.end()) {
      ++i;  // skip its value
      continue;
    }
    if (a.size() > 1 && a[0] == '-' && a[1] == '-') continue;
    out.push_back(a);
  }
  return out;
}

}  // namespace platform
