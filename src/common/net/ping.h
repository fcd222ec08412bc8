// Reachability probe: one ICMP echo exchange that tells whether a host
// answers, with a transcript in the manner of a command-line ping on the
// standard streams (diagnostics only; callers rely on the boolean).
//
// A raw ICMP socket is used when the process may open one; otherwise an
// unprivileged ICMP datagram socket (Linux "ping socket", allowed by
// net.ipv4.ping_group_range). The datagram matching is a pure function so
// that tests can feed it crafted packets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace shell {

// True when a matching echo reply or time-exceeded message arrived within
// `timeoutMs`. The whole wait is bounded by the time-out.
bool PingHost(const std::string& host, int timeoutMs);
// The same with the transcript streams chosen by the caller (tests).
bool PingHost(const std::string& host, int timeoutMs, std::ostream& out, std::ostream& err);

// --- the echo request and the matching of answers ---
inline constexpr std::size_t kEchoRequestSize = 40;
inline constexpr std::size_t kIcmpHeaderSize = 8;
inline constexpr std::size_t kEchoPayloadSize = 32;
inline constexpr std::uint8_t kEchoPayloadByte = 0x45;
inline constexpr std::uint8_t kIcmpEchoReply = 0;
inline constexpr std::uint8_t kIcmpEchoRequest = 8;
inline constexpr std::uint8_t kIcmpTimeExceeded = 11;
inline constexpr std::size_t kIcmpIdOffset = 4;
inline constexpr std::size_t kIcmpSequenceOffset = 6;
inline constexpr std::size_t kIcmpChecksumOffset = 2;

// RFC 1071 checksum over 16-bit words taken in little-endian order (an odd
// trailing byte added as is), carries folded twice, inverted. Stored
// little-endian at offset 2 it is the right checksum on the wire.
std::uint16_t IcmpChecksum(const std::uint8_t* data, std::size_t size);

// Type 8, code 0, checksum, identifier and sequence (both little-endian, as
// the matching reads them back), 32 bytes of 0x45.
std::array<std::uint8_t, kEchoRequestSize> BuildEchoRequest(std::uint16_t identifier,
                                                            std::uint16_t sequence);

// Whether a received datagram answers our request. `withIpHeader`: the
// datagram starts with the IPv4 header (raw sockets); datagram sockets hand
// over the ICMP message alone. Matches an echo reply carrying identifier and
// sequence, or a time-exceeded message whose quoted request carries them.
// Every length is checked before it is read.
bool MatchesEchoAnswer(const std::uint8_t* data, std::size_t size, bool withIpHeader,
                       std::uint16_t identifier, std::uint16_t sequence);

// --- deployment settings of the program folder's Config.ini ---
// [Deployment]
// ProbeAddress    = the address the main dialog probes (empty: no probe is
//                   sent and the check counts as unanswered)
// CloudServerHost = default cloud server host of the main dialog
struct DeploymentSettings {
  std::string probeAddress;
  std::string cloudServerHost;
};
inline constexpr char kDeploymentSection[] = "Deployment";
inline constexpr char kProbeAddressKey[] = "ProbeAddress";
inline constexpr char kCloudServerHostKey[] = "CloudServerHost";
inline constexpr char kDefaultCloudServerHost[] = "cloud.example.com";
DeploymentSettings LoadDeploymentSettings(const std::string& configIniPath);

}  // namespace shell
