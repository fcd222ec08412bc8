// transloom-cli: the language tool's capabilities for automation and tests.
// Each subcommand is a cmd_*.cpp file of this folder.
#include "common/platform/cli.h"

int main(int argc, char** argv) { return platform::RunCli("transloom-cli", argc, argv); }
