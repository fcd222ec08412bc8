// The crash report: on a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT) the process writes "CrashDumpFile.dmp" beside its executable,
// replacing an older one, and ends at once with exit status 255.
//
// The dump is a text report an engineer can work from: signal, code and
// fault address, the registers of the failing thread, a backtrace with
// module-relative addresses, and the process's memory map.
//
// Once installed the handler is locked in: a later sigaction()/signal() call
// anywhere in the process for one of those signals installs nothing and
// reports an empty previous handler, so no library loaded later can take the
// crash away from us.
#pragma once

#include <string>

namespace shell {

void InstallCrashHandler();

// The file the handler writes: the executable's folder + "CrashDumpFile.dmp".
std::string CrashDumpPath();

}  // namespace shell
