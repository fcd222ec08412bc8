// Stands for a library loaded after start-up that tries to take over crashes.
#include <signal.h>
#include <unistd.h>

namespace {
void Foreign(int) { ::_exit(4); }
}  // namespace

extern "C" void InstallForeignHandlers() {
  struct sigaction sa {};
  sa.sa_handler = Foreign;
  sigaction(SIGSEGV, &sa, nullptr);
  sigaction(SIGABRT, &sa, nullptr);
  signal(SIGSEGV, Foreign);
}
