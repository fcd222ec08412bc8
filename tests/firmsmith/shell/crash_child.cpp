// A program that installs the crash handler and then fails the way its first
// argument says. Run by crash_report_test from a folder of its own.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "firmsmith/shell/crash_report.h"

extern "C" void InstallForeignHandlers();  // in a shared library, like a late plug-in would

namespace {

void Foreign(int) { ::_exit(3); }

// Read through a volatile pointer so the compiler cannot see it is null.
int* volatile g_nowhere = nullptr;

[[gnu::noinline]] void Segv() { *g_nowhere = 1; }

[[gnu::noinline]] int Fpe(int d) {
  volatile int z = d;
  return 10 / z;
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "segv";
  shell::InstallCrashHandler();
  if (std::strcmp(mode, "segv") == 0) Segv();
  if (std::strcmp(mode, "abort") == 0) std::abort();
  if (std::strcmp(mode, "fpe") == 0) std::printf("%d\n", Fpe(0));
  if (std::strcmp(mode, "other-handlers") == 0) {
    // Every way of replacing the handler after installation must fail.
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = Foreign;
    int rc = sigaction(SIGSEGV, &sa, &old);
    std::printf("sigaction=%d old-empty=%d\n", rc, old.sa_handler == SIG_DFL ? 1 : 0);
    std::printf("signal-old-empty=%d\n", signal(SIGSEGV, Foreign) == SIG_DFL ? 1 : 0);
    InstallForeignHandlers();
    signal(SIGUSR1, Foreign);  // other signals still pass through
    std::fflush(stdout);
    Segv();
  }
  if (std::strcmp(mode, "usr1") == 0) {
    signal(SIGUSR1, Foreign);
    raise(SIGUSR1);
  }
  return 0;
}
