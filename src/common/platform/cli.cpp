#include "common/platform/cli.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/platform/debuglog.h"

#ifndef FS_VERSION
#define FS_VERSION "unknown"
#endif

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

bool IsOneOf(const std::string& arg, const char* const (&names)[2]) {
  return arg == names[0] || arg == names[1];
}

void PrintHelp(FILE* out) {
  std::vector<CliCommand> commands = Registry();
  std::sort(commands.begin(), commands.end(),
            [](const CliCommand& a, const CliCommand& b) { return std::strcmp(a.name, b.name) < 0; });
  std::fprintf(out, "usage: %s [-v|-q] COMMAND [ARGS]\n\ncommands:\n", ToolName());
  for (const CliCommand& c : commands) {
    std::fprintf(out, "  %s %s\n      %s\n", c.name, c.usage, c.summary);
  }
  std::fprintf(out,
               "\noptions (before or after the command):\n"
               "  -v, --verbose  traces (inode listings, extracted entries) on standard error\n"
               "  -q, --quiet    no warnings; errors only\n"
               "  -h, --help     this help, or with a command that command's help\n"
               "  --version      the version\n"
               "\nExit status: 0 success, 1 failure, 2 usage error (unless a command says "
               "otherwise).\n"
               "'%s COMMAND --help' shows one command's usage.\n",
               ToolName());
}

void PrintCommandHelp(const CliCommand& c) {
  std::printf("usage: %s %s %s\n  %s\n", ToolName(), c.name, c.usage, c.summary);
  if (c.details != nullptr) std::printf("\n%s\n", c.details);
  std::printf("\n  -v, --verbose  traces on standard error\n  -q, --quiet    no warnings\n");
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
  // The common options may stand anywhere, as scripts put them.
  std::vector<std::string> args;
  bool help = false, version = false;
  Verbosity verbosity = Verbosity::kNormal;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (IsOneOf(a, kCliVerbose)) {
      verbosity = Verbosity::kVerbose;
    } else if (IsOneOf(a, kCliQuiet)) {
      verbosity = Verbosity::kQuiet;
    } else if (a == "-h" || a == "--help") {
      help = true;
    } else if (a == "--version") {
      version = true;
    } else {
      args.push_back(a);
    }
  }
  SetVerbosity(verbosity);
  if (version) {
    std::printf("%s %s\n", toolName, FS_VERSION);
    return 0;
  }
  if (args.empty()) {
    PrintHelp(help ? stdout : stderr);
    return help ? 0 : kCliUsageError;
  }
  for (const CliCommand& c : Registry()) {
    if (args[0] != c.name) continue;
    if (help) {
      PrintCommandHelp(c);
      return 0;
    }
    args.erase(args.begin());
    return c.run(args);
  }
  if (help) {
    PrintHelp(stdout);
    return 0;
  }
  return CliUsage("unknown command '" + args[0] + "' (see --help)");
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
