// README.md as a new user reads it: every command of both tools is listed,
// and every command block marked "```sh runnable" runs as written, in order,
// from a folder laid out like the repository after `make build` (a copy of
// the sample installation and the demo data), with the device simulator
// started here for the language job.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "devsim_runner.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::RunCommand;

constexpr const char* kRunnableFence = "```sh runnable";

std::vector<std::string> RunnableBlocks(const std::string& readme) {
  std::vector<std::string> blocks;
  std::istringstream lines(readme);
  std::string line, block;
  bool inside = false;
  while (std::getline(lines, line)) {
    if (!inside && line == kRunnableFence) {
      inside = true;
      block.clear();
    } else if (inside && line == "```") {
      inside = false;
      blocks.push_back(block);
    } else if (inside) {
      block += line + "\n";
    }
  }
  EXPECT_FALSE(inside) << "a runnable block is not closed";
  return blocks;
}

// The command names a tool's --help lists.
std::vector<std::string> Commands(const std::string& tool) {
  const CommandResult help = RunCommand({tool, "--help"});
  EXPECT_EQ(help.status, 0) << help.err;
  std::vector<std::string> names;
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);)
    if (line.size() > 2 && line.rfind("  ", 0) == 0 && line[2] != ' ' && line[2] != '-')
      names.push_back(line.substr(2, line.find(' ', 2) - 2));
  return names;
}

TEST(Readme, ListsEveryCommandOfBothTools) {
  const std::string readme = testsupport::ReadFile(testsupport::SourceDir() + "/README.md");
  for (const std::string& tool : {testsupport::AppDir() + "/firmsmith-cli", testsupport::AppDir() + "/bin/transloom-cli"}) {
    const std::vector<std::string> names = Commands(tool);
    EXPECT_FALSE(names.empty()) << tool;
    for (const std::string& name : names) {
      // A table row names it in backquotes, with an example that runs it.
      EXPECT_NE(readme.find("| `" + name + "` |"), std::string::npos) << "no table row of " << name;
      EXPECT_NE(readme.find("-cli " + name + " "), std::string::npos) << "no example of " << name;
    }
  }
}

TEST(Readme, RunnableBlocksRunAsWritten) {
  const std::vector<std::string> blocks =
      RunnableBlocks(testsupport::ReadFile(testsupport::SourceDir() + "/README.md"));
  ASSERT_FALSE(blocks.empty());
  testsupport::TempDir root;
  fs::create_directories(root / "build");
  fs::create_directories(root / "data");
  fs::copy(testsupport::AppDir(), root / "build/app", fs::copy_options::recursive);
  fs::copy(testsupport::SourceDir() + "/data/demo", root / "data/demo", fs::copy_options::recursive);
  ASSERT_TRUE(testsupport::CopyDevsimState(root / "state"));
  testsupport::DevsimRunner device;
  std::string error;
  ASSERT_TRUE(device.Start(root / "state", &error)) << error;

  for (const std::string& block : blocks) {
    const CommandResult r = RunCommand({"/bin/bash", "-e", "-o", "pipefail", "-c", "cd \"$0\"\n" + block, root.path()},
                                       "", {{"DEVICE_PORT", std::to_string(device.port())}});
    EXPECT_EQ(r.status, 0) << block << "\nstdout:\n" << r.out << "stderr:\n" << r.err;
  }
  // What the jobs were for.
  // The rework went to its own output: the vendor's package is as it was made.
  EXPECT_EQ(testsupport::ReadFile(root / "vendor.bin"), testsupport::ReadFile(root / "build/app/KV-N1608W_all.bin"));
  EXPECT_FALSE(testsupport::FileExists(root / "vendor.bin.bak"));
  EXPECT_TRUE(testsupport::FileExists(root / "new-logo/logo.bmp"));
  EXPECT_TRUE(testsupport::FileExists(root / "data/demo/pictures/boot.bmp"));
  const CommandResult listed = RunCommand({"unzip", "-Z1", root / "customer.bin"});
  EXPECT_NE(listed.out.find("logo-x."), std::string::npos) << listed.out;
  EXPECT_GT(fs::file_size(root / "dev_Russian.xls"), 0u);
}

}  // namespace
