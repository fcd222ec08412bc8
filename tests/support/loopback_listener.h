// A listening socket on 127.0.0.1 that nobody answers on, for tests that a
// command gives up before it connects: Connections() counts what reached it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "common/platform/fd.h"

namespace testsupport {

class LoopbackListener {
 public:
  bool Start() {
    fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd_.valid()) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(fd_.get(), 8) != 0 ||
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
      return false;
    port_ = ntohs(address.sin_port);
    return true;
  }
  std::uint16_t port() const { return port_; }
  // Connections accepted so far (each closed at once).
  int Connections() {
    for (;;) {
      platform::UniqueFd accepted(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!accepted.valid()) return count_;
      ++count_;
    }
  }

 private:
  platform::UniqueFd fd_;
  std::uint16_t port_ = 0;
  int count_ = 0;
};

}  // namespace testsupport
