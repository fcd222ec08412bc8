// Socket helpers with deadlines, shared by the client library and the device
// simulator: every wait is a poll() bounded by the caller's deadline, so no
// call can block longer than its wait time whatever the peer does. A wait
// also ends early when `cancelFd` (>= 0; the read end of a pipe) becomes
// readable: that is how another thread interrupts a login.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "common/devlink/wire.h"
#include "common/platform/fd.h"

namespace devlink::net {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
Deadline DeadlineAfter(int milliseconds);
// Milliseconds left until the deadline, at least 0.
int RemainingMs(Deadline deadline);

using platform::UniqueFd;

enum class IoResult { kOk, kTimeout, kClosed, kError, kMalformed, kCancelled };

// Parses a dotted IPv4 address and port into `addr`.
bool MakeAddress(const std::string& ip, std::uint16_t port, sockaddr_in* addr);

enum class ConnectResult { kConnected, kRefused, kTimeout, kError, kCancelled };
// Non-blocking connect bounded by the deadline; the socket stays non-blocking.
ConnectResult ConnectBefore(const sockaddr_in& addr, Deadline deadline, UniqueFd* out,
                            int cancelFd = -1);

IoResult SendAll(int fd, const std::uint8_t* data, std::size_t size, Deadline deadline,
                 int cancelFd = -1);
inline IoResult SendAll(int fd, const std::vector<std::uint8_t>& bytes, Deadline deadline,
                        int cancelFd = -1) {
  return SendAll(fd, bytes.data(), bytes.size(), deadline, cancelFd);
}
// Reads until the decoder yields a frame, the peer closes, the stream is
// malformed or the deadline passes.
IoResult ReceiveFrame(int fd, wire::FrameDecoder* decoder, wire::Frame* frame, Deadline deadline,
                      int cancelFd = -1);

// Waits until the deadline or until `cancelFd` is readable; true when
// cancelled. With cancelFd < 0 it just sleeps.
bool PauseUnlessCancelled(Deadline deadline, int cancelFd);

}  // namespace devlink::net
