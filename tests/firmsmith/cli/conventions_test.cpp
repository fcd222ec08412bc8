// The conventions around both command-line tools: bash completion from the
// program folder completes commands and options, and the man pages laid
// beside the programs describe every command.
#include <gtest/gtest.h>

#include <sstream>

#include "test_support.h"

namespace {

using testsupport::CommandResult;
using testsupport::RunCommand;

// Runs the completion function for the words typed so far (the last one is
// being completed) and returns the candidates, one per line.
std::string Complete(const std::vector<std::string>& words) {
  std::string array;
  for (const std::string& w : words) array += " '" + w + "'";
  const std::string script = "source \"$0\"\nCOMP_WORDS=(" + array + ")\nCOMP_CWORD=" +
                             std::to_string(words.size() - 1) +
                             "\n_firmsmith_tools\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
  const CommandResult r = RunCommand(
      {"/bin/bash", "-c", script, testsupport::AppDir() + "/completion/firmsmith-tools.bash"});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

TEST(Conventions, BashCompletionOfCommandsAndOptions) {
  const std::string firmsmith = testsupport::AppDir() + "/firmsmith-cli";
  const std::string transloom = testsupport::AppDir() + "/bin/transloom-cli";
  const struct {
    std::vector<std::string> words;
    std::string expected;
  } cases[] = {
      {{firmsmith, "ma"}, "make\n"},
      {{firmsmith, "image-i"}, "image-info\n"},
      {{firmsmith, "-v", "fetch"}, "fetch-config\n"},
      {{firmsmith, "make", "job.ini", "--dr"}, "--dry-run\n"},
      {{firmsmith, "logo-fit", "--o"}, "--out\n"},
      {{firmsmith, "--vers"}, "--version\n"},
      {{transloom, "exp"}, "export\n"},
      {{transloom, "export", "--lang"}, "--language\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Complete(c.words), c.expected) << c.words.back();
}

TEST(Conventions, ManPagesDescribeEveryCommand) {
  for (const std::string& tool : {std::string("firmsmith-cli"), std::string("bin/transloom-cli")}) {
    const std::string name = tool.substr(tool.find('/') + 1);
    const std::string page = testsupport::ReadFile(testsupport::AppDir() + "/man/man1/" + name + ".1");
    ASSERT_FALSE(page.empty()) << name;
    EXPECT_NE(page.find(".TH " ), std::string::npos);
    // Every command of --help appears (help2man escapes '-' as '\-').
    const CommandResult help = RunCommand({testsupport::AppDir() + "/" + tool, "--help"});
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.size() <= 2 || line.rfind("  ", 0) != 0 || line[2] == ' ' || line[2] == '-') continue;
      std::string command = line.substr(2, line.find(' ', 2) - 2);
      for (std::size_t at = command.find('-'); at != std::string::npos; at = command.find('-', at + 2))
        command.replace(at, 1, "\\-");
      EXPECT_NE(page.find(command), std::string::npos) << name << ": " << command;
    }
    // man itself can render it.
    const CommandResult rendered = RunCommand({"man", "-l", testsupport::AppDir() + "/man/man1/" + name + ".1"},
                                              "", {{"MANPAGER", "cat"}, {"PAGER", "cat"}});
    EXPECT_EQ(rendered.status, 0) << rendered.err;
  }
}

}  // namespace
