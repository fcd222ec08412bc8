// Arbitrary datagrams through the probe's answer matching, both with and
// without an IPv4 header in front.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/net/ping.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy so the sanitizer sees any read past the datagram.
  std::vector<std::uint8_t> copy(data, data + size);
  shell::MatchesEchoAnswer(copy.data(), copy.size(), true, 0xBEEF, 0);
  shell::MatchesEchoAnswer(copy.data(), copy.size(), false, 0xBEEF, 0);
  return 0;
}
