#include "common/net/ping.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>

#include "common/platform/fd.h"
#include "common/platform/profile.h"

namespace shell {
namespace {

std::uint16_t GetLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
void PutLe16(std::uint16_t v, std::uint8_t* p) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr std::size_t kMinIpHeader = 20;
// Received length minus this is the "bytes=" of the transcript (IPv4 header
// and ICMP header of a raw datagram).
constexpr std::size_t kIpAndIcmpHeaders = 28;

// Length of an IPv4 header at `p` (low four bits of the first byte, in 32-bit
// words), or 0 when it cannot be one.
std::size_t IpHeaderLength(const std::uint8_t* p, std::size_t available) {
  if (available < 1) return 0;
  const std::size_t len = static_cast<std::size_t>(p[0] & 0x0F) * 4;
  return len >= kMinIpHeader ? len : 0;
}

class SocketGuard {
 public:
  explicit SocketGuard(int fd) : fd_(fd) {}
  ~SocketGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  SocketGuard(const SocketGuard&) = delete;
  SocketGuard& operator=(const SocketGuard&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

timeval ToTimeval(long ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

}  // namespace

std::uint16_t IcmpChecksum(const std::uint8_t* data, std::size_t size) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < size; i += 2) sum += GetLe16(data + i);
  if (i < size) sum += data[i];
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<std::uint16_t>(~sum);
}

std::array<std::uint8_t, kEchoRequestSize> BuildEchoRequest(std::uint16_t identifier,
                                                            std::uint16_t sequence) {
  std::array<std::uint8_t, kEchoRequestSize> r{};
  r[0] = kIcmpEchoRequest;
  r[1] = 0;
  PutLe16(identifier, &r[kIcmpIdOffset]);
  PutLe16(sequence, &r[kIcmpSequenceOffset]);
  for (std::size_t i = kIcmpHeaderSize; i < r.size(); ++i) r[i] = kEchoPayloadByte;
  PutLe16(IcmpChecksum(r.data(), r.size()), &r[kIcmpChecksumOffset]);
  return r;
}

bool MatchesEchoAnswer(const std::uint8_t* data, std::size_t size, bool withIpHeader,
                       std::uint16_t identifier, std::uint16_t sequence) {
  std::size_t icmp = 0;
  if (withIpHeader) {
    icmp = IpHeaderLength(data, size);
    if (icmp == 0) return false;
  }
  if (size < icmp + kIcmpHeaderSize) return false;
  const std::uint8_t* message = data + icmp;
  const std::uint8_t* carrier;  // the ICMP header that holds id and sequence
  if (message[0] == kIcmpEchoReply) {
    carrier = message;
  } else if (message[0] == kIcmpTimeExceeded) {
    // The router quotes our request: its IP header, then its first 8 bytes.
    const std::size_t inner = icmp + kIcmpHeaderSize;
    const std::size_t innerIp = IpHeaderLength(data + inner, size - inner);
    if (innerIp == 0 || size < inner + innerIp + kIcmpHeaderSize) return false;
    carrier = data + inner + innerIp;
  } else {
    return false;
  }
  return GetLe16(carrier + kIcmpIdOffset) == identifier &&
         GetLe16(carrier + kIcmpSequenceOffset) == sequence;
}

bool PingHost(const std::string& host, int timeoutMs) {
  return PingHost(host, timeoutMs, std::cout, std::cerr);
}

bool PingHost(const std::string& host, int timeoutMs, std::ostream& out, std::ostream& err) {
  if (host.empty()) return false;
  // A zero socket time-out would mean "wait forever".
  const long timeout = timeoutMs < 1 ? 1 : timeoutMs;

  sockaddr_in target{};
  target.sin_family = AF_INET;
  if (::inet_pton(AF_INET, host.c_str(), &target.sin_addr) == 1) {
    out << "Pinging " << host << " with 32 bytes of data:\n";
  } else {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_RAW;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
      out << "Ping request could not find host " << host << ". "
          << "Please check the name and try again." << std::endl;
      return false;
    }
    target.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &target.sin_addr, text, sizeof text);
    out << "\nPinging " << host << " [" << text << "]" << " with 32 bytes of data:" << std::endl;
  }
  char targetText[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, &target.sin_addr, targetText, sizeof targetText);

  // Raw when permitted (root or CAP_NET_RAW), else the unprivileged ping
  // socket, which hands over the ICMP message without its IP header.
  bool raw = true;
  int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) {
    raw = false;
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  }
  if (fd < 0) {
    out << "Create socket error" << std::endl;
    return false;
  }
  SocketGuard sock(fd);

  timeval tv = ToTimeval(timeout);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    err << "failed to set recv timeout: " << errno << std::endl;
    return false;
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    err << "failed to set send timeout: " << errno << std::endl;
    return false;
  }

  std::uint16_t identifier = static_cast<std::uint16_t>(::getpid() & 0xFFFF);
  const std::uint16_t sequence = 0;
  const auto request = BuildEchoRequest(identifier, sequence);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point sent = Clock::now();
  if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&target),
               sizeof target) != static_cast<ssize_t>(request.size())) {
    out << "\nDestination host unreachable.";
    return false;
  }
  if (!raw) {
    // The kernel puts the socket's own identifier into datagram-socket
    // requests; replies carry that one (the port field, as stored).
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
      const auto* b = reinterpret_cast<const std::uint8_t*>(&local.sin_port);
      identifier = GetLe16(b);
    }
  }

  // Every unrelated datagram starts another wait, but never past the
  // time-out as a whole: a busy network cannot keep the caller waiting.
  const Clock::time_point deadline = sent + std::chrono::milliseconds(timeout);
  bool matched = false;
  std::uint8_t buffer[1024];
  sockaddr_in from{};
  ssize_t received = 0;
  long roundTrip = 0;
  for (;;) {
    const long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      out << "\nRequest time out.";
      break;
    }
    tv = ToTimeval(left);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    socklen_t fromLen = sizeof from;
    const ssize_t n = platform::RetryOnInterrupt([&] {
      return ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    });
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        out << "\nRequest time out.";
        break;
      }
      err << "\nFailed to call recvfrom\n" << "error code:" << errno << std::endl;
      return false;
    }
    if (MatchesEchoAnswer(buffer, static_cast<std::size_t>(n), raw, identifier, sequence)) {
      matched = true;
      received = n;
      roundTrip = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count());
      break;
    }
  }

  if (matched) {
    char source[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &from.sin_addr, source, sizeof source);
    // A datagram socket's message lacks the 20-byte IP header.
    const long bytes = static_cast<long>(received) + (raw ? 0 : 20) -
                       static_cast<long>(kIpAndIcmpHeaders);
    out << "\nReplay from " << source << ": bytes=" << bytes;
    if (roundTrip != 0) {
      out << " time=" << roundTrip << "ms";
    } else {
      out << " time<1 " << "ms";
    }
  }
  const int r = matched ? 1 : 0;
  out << "\n\nPing statistics for " << targetText << ":\n"
      << "\tPackets: Sent = " << 1 << ", Received = " << r << ", Lost = " << 1 - r << " ("
      << (matched ? 0 : 100) << "% loss),\n"
      << std::endl;
  return matched;
}

DeploymentSettings LoadDeploymentSettings(const std::string& configIniPath) {
  const platform::Profile profile = platform::Profile::Load(configIniPath);
  DeploymentSettings s;
  s.probeAddress = profile.Get(kDeploymentSection, kProbeAddressKey, "");
  s.cloudServerHost = profile.Get(kDeploymentSection, kCloudServerHostKey, kDefaultCloudServerHost);
  if (s.cloudServerHost.empty()) s.cloudServerHost = kDefaultCloudServerHost;
  return s;
}

}  // namespace shell
