// devsim --state DIR [--host 127.0.0.1] [--port N]: serves one simulated
// device over the devlink protocol until SIGTERM or SIGINT. The first line of
// standard output is "listening on HOST:PORT" (with the real port when
// --port 0 asked for a free one).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/devlink/devsim/device_state.h"
#include "common/devlink/devsim/server.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

int Usage() {
  std::fprintf(stderr,
               "usage: devsim --state DIR [--host 127.0.0.1] [--port N]\n"
               "Serves one simulated device; --port 0 picks a free port.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string stateDir, host = "127.0.0.1";
  long port = 34567;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return Usage(), 0;
    if (i + 1 >= argc) return Usage();
    const char* v = argv[++i];
    if (a == "--state") {
      stateDir = v;
    } else if (a == "--host") {
      host = v;
    } else if (a == "--port") {
      char* end = nullptr;
      port = std::strtol(v, &end, 10);
      if (*v == '\0' || *end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "devsim: bad port: %s\n", v);
        return 2;
      }
    } else {
      return Usage();
    }
  }
  if (stateDir.empty()) return Usage();

  devsim::DeviceState state;
  std::string error;
  if (!state.Load(stateDir, &error)) {
    std::fprintf(stderr, "devsim: %s\n", error.c_str());
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  devsim::Server server(&state);
  if (!server.Listen(host, static_cast<std::uint16_t>(port), &error)) {
    std::fprintf(stderr, "devsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s:%u\n", host.c_str(), static_cast<unsigned>(server.port()));
  std::fflush(stdout);
  server.Run(&g_stop);
  return 0;
}
