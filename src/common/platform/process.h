// Starting other programs without a shell: the external file-system tools
// (waited for) and the language tool (left running). Arguments travel as a
// vector, so a path with blanks or shell characters stays one argument.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// Splits a parameter string into arguments the way the tools' command lines
// are written: blanks and tabs separate arguments, a double quote opens or
// closes a quoted stretch in which blanks are kept, and the quotes themselves
// are removed. A pair of quotes with nothing between them is an empty
// argument.
std::vector<std::string> SplitParameters(const std::string& parameters);

// Full path of a tool: the program folder first (the tools are shipped beside
// the executable), then each folder of PATH, then the usual system-tool
// folders (/usr/local/sbin, /usr/sbin, /sbin), which ordinary users often lack
// on PATH. Only executable regular files count. "" when the tool is nowhere.
std::string FindTool(const std::string& name);

struct ProcessResult {
  bool started = false;  // false: the program could not be started at all
  int exitStatus = -1;   // exit code, or 128 + signal number
  std::string error;     // why it could not be started
  // What the program wrote on its standard output and error, joined; only
  // the last kKeptOutput bytes of a long chatter.
  std::string output;
};

inline constexpr std::size_t kKeptOutput = 64 * 1024;

// Runs `program` (a path) with `args` (argv[1..]), with standard input from
// /dev/null and its standard output and error collected in `output`, so that
// a tool neither waits for a terminal nor mixes its chatter into our own
// output, and its complaints can be shown when it fails. The program gets our
// environment with glibc malloc tunables added (GLIBC_TUNABLES, the
// operator's own after ours) that spare the tools a mapping per buffer.
// Blocks until the program ends.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args);

// RunProgram with the program's standard output written to `standardOutput`
// (a descriptor of the caller, e.g. a file being filled), whole: for a
// listing or a file's contents, which must not be cut. Only the standard
// error is collected in `output`.
ProcessResult RunProgramWithOutputTo(const std::string& program, const std::vector<std::string>& args,
                                     int standardOutput);

// The last `count` non-empty lines of a program's output, joined by "; " so
// that they fit a one-line reason.
std::string LastLines(const std::string& output, int count);

// Starts `program` with `args` in `workingFolder` (empty: ours) and returns
// at once; the program's exit is collected in the background so that it never
// lingers as a zombie. False, with the reason in *error, when it cannot start.
bool StartProgram(const std::string& program, const std::vector<std::string>& args,
                  const std::string& workingFolder, std::string* error);

}  // namespace platform
