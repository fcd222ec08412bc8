// ping_probe HOST TIMEOUT_MS: one PingHost; the transcript goes to standard
// output, "elapsed_ms=N" to standard error; exit status 0 when answered.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "common/net/ping.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const auto start = std::chrono::steady_clock::now();
  const bool answered = shell::PingHost(argv[1], std::atoi(argv[2]));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "elapsed_ms=%lld\n", static_cast<long long>(ms));
  return answered ? 0 : 1;
}
