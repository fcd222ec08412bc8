// The diagnostic channels of our programs, all on standard error so that
// standard output carries only a command's result:
// - traces (the cramfs writer's inode listing, the archive's "extract:"
//   lines): shown with -v/--verbose or when FIRMSMITH_DEBUG is set;
// - debug lines (sizes, "MakeImage before!", the ping transcript): shown only
//   when the environment variable FIRMSMITH_DEBUG is set to a non-empty value;
// - warnings (an extractor's "file extends past end of filesystem"): shown
//   unless -q/--quiet asked for errors alone.
#pragma once

namespace platform {

enum class Verbosity { kQuiet, kNormal, kVerbose };

// Set once by the command line before any work starts; kNormal otherwise.
void SetVerbosity(Verbosity verbosity);
Verbosity GetVerbosity();

bool DebugEnabled();
void DebugOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

bool TraceEnabled();
void TraceOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints "warning: <text>" unless quiet.
void WarningOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform
