// The reachability probe: the pure request and matching against crafted
// datagrams, and real probes on 127.0.0.1 and inside network namespaces made
// by the test (nothing else is ever pinged).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "common/net/ping.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Network-order one's-complement sum, the way a receiver checks it.
std::uint16_t NetworkSum(const std::uint8_t* p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += (p[i] << 8) | p[i + 1];
  if (n % 2) sum += p[n - 1] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

TEST(PingRequestTest, HasTheLayoutAndAChecksumTheReceiverAccepts) {
  const auto r = shell::BuildEchoRequest(0x1234, 0);
  ASSERT_EQ(40u, r.size());
  EXPECT_EQ(8, r[0]);
  EXPECT_EQ(0, r[1]);
  EXPECT_EQ(0x34, r[4]);
  EXPECT_EQ(0x12, r[5]);
  EXPECT_EQ(0, r[6]);
  EXPECT_EQ(0, r[7]);
  for (std::size_t i = 8; i < 40; ++i) EXPECT_EQ(0x45, r[i]);
  EXPECT_EQ(0xFFFF, NetworkSum(r.data(), r.size()));
  // Independent of the identifier's value.
  for (std::uint16_t id : {0x0000, 0xFFFF, 0x8001, 0x00FF}) {
    const auto q = shell::BuildEchoRequest(id, 0);
    EXPECT_EQ(0xFFFF, NetworkSum(q.data(), q.size())) << id;
  }
}

TEST(PingRequestTest, ChecksumAddsAnOddTrailingByteAsIs) {
  const std::uint8_t three[] = {0x01, 0x02, 0x03};
  // 0x0201 + 0x03 = 0x0204, inverted.
  EXPECT_EQ(static_cast<std::uint16_t>(~0x0204), shell::IcmpChecksum(three, 3));
  const std::uint8_t carry[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00};
  // 0xFFFF + 0xFFFF + 0x0002 = 0x20000 -> 0x0002, inverted.
  EXPECT_EQ(static_cast<std::uint16_t>(~0x0002), shell::IcmpChecksum(carry, sizeof carry));
}

Bytes IpHeader(std::size_t words = 5) {
  Bytes h(words * 4, 0);
  h[0] = static_cast<std::uint8_t>(0x40 | words);
  return h;
}

Bytes Icmp(std::uint8_t type, std::uint16_t id, std::uint16_t seq, std::size_t payload = 32) {
  Bytes m(8 + payload, 0x45);
  m[0] = type;
  m[1] = 0;
  m[4] = static_cast<std::uint8_t>(id);
  m[5] = static_cast<std::uint8_t>(id >> 8);
  m[6] = static_cast<std::uint8_t>(seq);
  m[7] = static_cast<std::uint8_t>(seq >> 8);
  return m;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes TimeExceeded(std::uint16_t id, std::uint16_t seq, std::size_t innerWords = 5) {
  return Join({IpHeader(), Icmp(11, 0, 0, 0), IpHeader(innerWords), Icmp(8, id, seq, 0)});
}

struct DatagramCase {
  const char* name;
  Bytes datagram;
  bool withIpHeader;
  bool matches;
};

class PingMatchTest : public ::testing::TestWithParam<DatagramCase> {};

TEST_P(PingMatchTest, MatchesOnlyAnswersToOurRequest) {
  const Bytes& d = GetParam().datagram;
  EXPECT_EQ(GetParam().matches,
            shell::MatchesEchoAnswer(d.data(), d.size(), GetParam().withIpHeader, 0xBEEF, 0));
}

Bytes Cut(Bytes b, std::size_t n) {
  b.resize(n);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, PingMatchTest,
    ::testing::Values(
        DatagramCase{"EchoReply", Join({IpHeader(), Icmp(0, 0xBEEF, 0)}), true, true},
        DatagramCase{"EchoReplyAfterIpOptions", Join({IpHeader(15), Icmp(0, 0xBEEF, 0)}), true,
                     true},
        DatagramCase{"EchoReplyHeaderOnly", Join({IpHeader(), Icmp(0, 0xBEEF, 0, 0)}), true, true},
        DatagramCase{"OtherIdentifier", Join({IpHeader(), Icmp(0, 0xBEEE, 0)}), true, false},
        DatagramCase{"IdentifierBytesSwapped", Join({IpHeader(), Icmp(0, 0xEFBE, 0)}), true,
                     false},
        DatagramCase{"OtherSequence", Join({IpHeader(), Icmp(0, 0xBEEF, 1)}), true, false},
        DatagramCase{"OurOwnRequestLoopedBack", Join({IpHeader(), Icmp(8, 0xBEEF, 0)}), true,
                     false},
        DatagramCase{"Unreachable", Join({IpHeader(), Icmp(3, 0xBEEF, 0)}), true, false},
        DatagramCase{"TimeExceededQuotingOurRequest", TimeExceeded(0xBEEF, 0), true, true},
        DatagramCase{"TimeExceededInnerOptions", TimeExceeded(0xBEEF, 0, 6), true, true},
        DatagramCase{"TimeExceededForAnotherPing", TimeExceeded(0x1111, 0), true, false},
        DatagramCase{"TimeExceededCutInQuotedHeader", Cut(TimeExceeded(0xBEEF, 0), 50), true,
                     false},
        DatagramCase{"TimeExceededCutBeforeQuote", Cut(TimeExceeded(0xBEEF, 0), 28), true, false},
        DatagramCase{"ShorterThanHeaders", Cut(Join({IpHeader(), Icmp(0, 0xBEEF, 0)}), 27), true,
                     false},
        DatagramCase{"IhlBelowMinimum",
                     [] {
                       Bytes b = Join({IpHeader(), Icmp(0, 0xBEEF, 0)});
                       b[0] = 0x44;
                       return b;
                     }(),
                     true, false},
        DatagramCase{"IhlPastTheEnd", Cut(Join({IpHeader(15), Icmp(0, 0xBEEF, 0)}), 60), true,
                     false},
        DatagramCase{"Empty", Bytes{}, true, false},
        DatagramCase{"DatagramSocketReply", Icmp(0, 0xBEEF, 0), false, true},
        DatagramCase{"DatagramSocketOtherId", Icmp(0, 0x0001, 0), false, false},
        DatagramCase{"DatagramSocketShort", Cut(Icmp(0, 0xBEEF, 0), 7), false, false}),
    [](const auto& info) { return info.param.name; });

bool CanOpenIcmpSocket() {
  for (int type : {SOCK_RAW, SOCK_DGRAM}) {
    const int fd = ::socket(AF_INET, type, IPPROTO_ICMP);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
  }
  return false;
}

TEST(PingHostTest, LoopbackAnswers) {
  if (!CanOpenIcmpSocket())
    GTEST_SKIP() << "neither a raw nor a datagram ICMP socket is permitted for this user";
  std::ostringstream out, err;
  EXPECT_TRUE(shell::PingHost("127.0.0.1", 1000, out, err));
  const std::string t = out.str();
  EXPECT_EQ(0u, t.find("Pinging 127.0.0.1 with 32 bytes of data:\n\nReplay from 127.0.0.1: bytes=32"))
      << t;
  EXPECT_NE(std::string::npos,
            t.find("\n\nPing statistics for 127.0.0.1:\n\tPackets: Sent = 1, Received = 1, "
                   "Lost = 0 (0% loss),\n\n"))
      << t;
  EXPECT_EQ("", err.str());
}

TEST(PingHostTest, NoHostIsFalseWithoutTranscript) {
  std::ostringstream out, err;
  EXPECT_FALSE(shell::PingHost("", 1000, out, err));
  EXPECT_EQ("", out.str());
}

// Runs `script` in a fresh network namespace with only a loopback device.
testsupport::CommandResult InNamespace(const std::string& script) {
  return testsupport::RunCommand({"unshare", "-n", "sh", "-c", script});
}

bool NamespacesPermitted(std::string* why) {
  if (!testsupport::HaveProgram("unshare")) {
    *why = "unshare is not installed";
    return false;
  }
  const auto r = InNamespace("ip link set lo up");
  if (r.status != 0) {
    *why = "network namespaces are not permitted here: " + r.err;
    return false;
  }
  return true;
}

long ElapsedMs(const std::string& err) {
  const auto at = err.find("elapsed_ms=");
  return at == std::string::npos ? -1 : std::atol(err.c_str() + at + 11);
}

TEST(PingHostTest, SilentHostTimesOutAfterAboutTheTimeOut) {
  std::string why;
  if (!NamespacesPermitted(&why)) GTEST_SKIP() << why;
  // 127.0.0.1 of a private namespace that ignores echo requests.
  const auto r = InNamespace(std::string("ip link set lo up && sysctl -q -w "
                                         "net.ipv4.icmp_echo_ignore_all=1 && exec ") +
                             PING_PROBE_PATH + " 127.0.0.1 700");
  if (r.status != 0 && r.status != 1) GTEST_SKIP() << "namespace setup failed: " << r.err;
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_EQ("Pinging 127.0.0.1 with 32 bytes of data:\n\nRequest time out.\n\nPing statistics "
            "for 127.0.0.1:\n\tPackets: Sent = 1, Received = 0, Lost = 1 (100% loss),\n\n",
            r.out);
  const long elapsed = ElapsedMs(r.err);
  EXPECT_GE(elapsed, 690);
  EXPECT_LE(elapsed, 700 + 400);
}

TEST(PingHostTest, UnresolvableNameIsFalseAndSendsNothing) {
  std::string why;
  if (!NamespacesPermitted(&why)) GTEST_SKIP() << why;
  // Inside the namespace no name server is reachable, so the lookup stays
  // on this machine; the ICMP counters show that no echo went out.
  const auto r = InNamespace(std::string("ip link set lo up; ") + PING_PROBE_PATH +
                             " no-such-host.invalid 500; echo status=$?; grep Icmp: "
                             "/proc/net/snmp");
  EXPECT_EQ(0u, r.out.find("Ping request could not find host no-such-host.invalid. Please check "
                           "the name and try again.\nstatus=1\n"))
      << r.out << r.err;
  // Column OutEchos of the second Icmp: line.
  std::istringstream lines(r.out.substr(r.out.find("Icmp:")));
  std::string names, values;
  std::getline(lines, names);
  std::getline(lines, values);
  std::istringstream n(names), v(values);
  std::string name, value;
  long outEchos = -1;
  while (n >> name && v >> value)
    if (name == "OutEchos") outEchos = std::atol(value.c_str());
  EXPECT_EQ(0, outEchos) << r.out;
}

TEST(PingHostTest, LoopbackOfANamespaceAnswersThroughTheProbeProgram) {
  std::string why;
  if (!NamespacesPermitted(&why)) GTEST_SKIP() << why;
  const auto r = InNamespace(std::string("ip link set lo up && exec ") + PING_PROBE_PATH +
                             " 127.0.0.1 1000");
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("\nReplay from 127.0.0.1: bytes=32 time")) << r.out;
}

TEST(PingHostTest, UnprivilegedProcessUsesTheDatagramSocket) {
  std::string why;
  if (!NamespacesPermitted(&why)) GTEST_SKIP() << why;
  if (!testsupport::HaveProgram("setpriv")) GTEST_SKIP() << "setpriv is not installed";
  // As "nobody" no raw socket is allowed; the namespace's ping_group_range
  // admits every group to datagram ICMP sockets.
  const auto r = InNamespace(std::string("ip link set lo up && sysctl -q -w "
                                         "net.ipv4.ping_group_range='0 2147483647' && exec "
                                         "setpriv --reuid=65534 --regid=65534 --clear-groups ") +
                             PING_PROBE_PATH + " 127.0.0.1 1000");
  if (r.err.find("Permission denied") != std::string::npos)
    GTEST_SKIP() << "the probe program is not reachable for nobody: " << r.err;
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("\nReplay from 127.0.0.1: bytes=32 time")) << r.out;
}

TEST(DeploymentSettingsTest, ReadsTheKeysWithSafeDefaults) {
  testsupport::TempDir dir;
  const std::string ini = dir / "Config.ini";
  shell::DeploymentSettings none = shell::LoadDeploymentSettings(ini);
  EXPECT_EQ("", none.probeAddress);  // no probe unless the deployment names one
  EXPECT_EQ(shell::kDefaultCloudServerHost, none.cloudServerHost);
  testsupport::WriteFile(ini, "[deployment]\n ProbeAddress = 127.0.0.1 \nCLOUDSERVERHOST=c.example.org\n");
  const shell::DeploymentSettings s = shell::LoadDeploymentSettings(ini);
  EXPECT_EQ("127.0.0.1", s.probeAddress);
  EXPECT_EQ("c.example.org", s.cloudServerHost);
}

}  // namespace
