// The simulator's TCP side: one listening socket, one thread per connection
// (at most kMaxConnections at once, so memory stays bounded whatever the
// clients do), each connection one devlink session.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

#include "common/devlink/devsim/device_state.h"
#include "common/devlink/socket_io.h"

namespace devsim {

inline constexpr int kMaxConnections = 128;
// A connection must have logged in this long after it was accepted, whatever
// it sends meanwhile; then it is closed.
inline constexpr int kLoginDeadlineMs = 5000;
// Connections over the limit are told "busy" and kept only to read what the
// client still sends (so the answer is not lost to a reset); at most this
// many at once, each for at most kBusyLingerMs.
inline constexpr int kMaxBusyConnections = 512;
inline constexpr int kBusyLingerMs = 1000;

class Server {
 public:
  explicit Server(DeviceState* state) : state_(state) {}
  // Binds host:port (port 0 picks a free one) and listens.
  bool Listen(const std::string& host, std::uint16_t port, std::string* error);
  std::uint16_t port() const { return port_; }
  // Accepts and serves until `stop` becomes true; then closes every
  // connection and returns when all their threads have ended.
  void Run(const volatile std::sig_atomic_t* stop);

 private:
  DeviceState* state_;
  devlink::net::UniqueFd listener_;
  std::uint16_t port_ = 0;
};

// Serves one connection until it ends or `loginDeadline` passes before a
// login (exposed for tests of the protocol handling on a socket pair).
void ServeConnection(int fd, DeviceState* state, devlink::net::Deadline loginDeadline);

}  // namespace devsim
