#include "common/devlink/socket_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace devlink::net {

Deadline DeadlineAfter(int milliseconds) {
  return Clock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
}

int RemainingMs(Deadline deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

bool MakeAddress(const std::string& ip, std::uint16_t port, sockaddr_in* addr) {
  *addr = sockaddr_in{};
  addr->sin_family = AF_INET;
  addr->sin_port = htons(port);
  return ::inet_pton(AF_INET, ip.c_str(), &addr->sin_addr) == 1;
}

namespace {

enum class Wait { kReady, kTimeout, kCancelled };

// Waits for `events` on fd, or for cancelFd to become readable. Retries
// after signals.
Wait WaitFor(int fd, short events, Deadline deadline, short* revents, int cancelFd) {
  pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
  const nfds_t count = cancelFd >= 0 ? 2 : 1;
  const int n =
      platform::RetryOnInterrupt([&] { return ::poll(p, count, RemainingMs(deadline)); });
  if (n == 0) return Wait::kTimeout;
  if (n > 0 && count == 2 && p[1].revents != 0) return Wait::kCancelled;
  *revents = n > 0 ? p[0].revents : POLLERR;
  return Wait::kReady;
}

}  // namespace

bool PauseUnlessCancelled(Deadline deadline, int cancelFd) {
  if (cancelFd < 0) {
    std::this_thread::sleep_until(deadline);
    return false;
  }
  pollfd p{cancelFd, POLLIN, 0};
  return platform::RetryOnInterrupt([&] { return ::poll(&p, 1, RemainingMs(deadline)); }) > 0;
}

ConnectResult ConnectBefore(const sockaddr_in& addr, Deadline deadline, UniqueFd* out,
                            int cancelFd) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return ConnectResult::kError;
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == ECONNREFUSED) return ConnectResult::kRefused;
    if (errno != EINPROGRESS) return ConnectResult::kError;
    short revents = 0;
    switch (WaitFor(fd.get(), POLLOUT, deadline, &revents, cancelFd)) {
      case Wait::kTimeout: return ConnectResult::kTimeout;
      case Wait::kCancelled: return ConnectResult::kCancelled;
      case Wait::kReady: break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return ConnectResult::kError;
    if (err == ECONNREFUSED) return ConnectResult::kRefused;
    if (err == ETIMEDOUT) return ConnectResult::kTimeout;
    if (err != 0) return ConnectResult::kError;
  }
  *out = std::move(fd);
  return ConnectResult::kConnected;
}

IoResult SendAll(int fd, const std::uint8_t* data, std::size_t size, Deadline deadline,
                 int cancelFd) {
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = platform::RetryOnInterrupt(
        [&] { return ::send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT); });
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      short revents = 0;
      const Wait w = WaitFor(fd, POLLOUT, deadline, &revents, cancelFd);
      if (w != Wait::kReady) return w == Wait::kTimeout ? IoResult::kTimeout : IoResult::kCancelled;
      if (revents & (POLLERR | POLLNVAL)) return IoResult::kError;
      continue;
    }
    return n == 0 ? IoResult::kClosed : IoResult::kError;
  }
  return IoResult::kOk;
}

IoResult ReceiveFrame(int fd, wire::FrameDecoder* decoder, wire::Frame* frame, Deadline deadline,
                      int cancelFd) {
  std::uint8_t chunk[16384];
  for (;;) {
    switch (decoder->Next(frame)) {
      case wire::FrameDecoder::Result::kFrame: return IoResult::kOk;
      case wire::FrameDecoder::Result::kMalformed: return IoResult::kMalformed;
      case wire::FrameDecoder::Result::kNeedMore: break;
    }
    const ssize_t n =
        platform::RetryOnInterrupt([&] { return ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT); });
    if (n > 0) {
      decoder->Feed(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return IoResult::kClosed;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return IoResult::kError;
    short revents = 0;
    const Wait w = WaitFor(fd, POLLIN, deadline, &revents, cancelFd);
    if (w != Wait::kReady) return w == Wait::kTimeout ? IoResult::kTimeout : IoResult::kCancelled;
    if ((revents & (POLLERR | POLLNVAL)) && !(revents & POLLIN)) return IoResult::kError;
  }
}

}  // namespace devlink::net
