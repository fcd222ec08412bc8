// firmsmith-cli: every capability of Firmsmith for automation and tests.
// Each subcommand is a cmd_*.cpp file of this folder.
#include "common/platform/cli.h"

int main(int argc, char** argv) { return platform::RunCli("firmsmith-cli", argc, argv); }
