// Hostile peers on both sides: malformed frames sent to the simulator with a
// raw socket, and malformed replies given to the client by a scripted device.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "common/devlink/devlink.h"
#include "common/devlink/login_proof.h"
#include "common/devlink/wire.h"
#include "devsim_runner.h"
#include "fake_device.h"
#include "raw_client.h"
#include "test_support.h"

namespace {

using namespace devlink::wire;
using testsupport::FakeDevice;
using testsupport::RawConnection;
using testsupport::Begin;
using testsupport::RawLogin;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

Bytes RawHeader(std::uint32_t magic, std::uint8_t version, std::uint8_t type,
                std::uint16_t flags, std::uint32_t length) {
  FrameHeader h;
  h.version = version;
  h.type = type;
  h.flags = flags;
  h.length = length;
  Bytes b(kHeaderSize);
  WriteHeader(h, b.data());
  for (int i = 0; i < 4; ++i) b[kMagicOffset + i] = static_cast<std::uint8_t>(magic >> (24 - 8 * i));
  return b;
}

// --- the simulator given malformed frames -------------------------------

enum class Then { kClosed, kStaysOpen };

struct RawCase {
  const char* name;
  Bytes (*build)(RawConnection& c);  // may log in first; returns the hostile bytes
  std::int32_t errorStatus;          // status of the Error frame expected, 0 for none
  Then then;
};

const RawCase kRawCases[] = {
    {"BadMagic",
     [](RawConnection&) {
       const std::string http = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
       return Bytes(http.begin(), http.end());
     },
     DL_ERR_PROTOCOL, Then::kClosed},
    {"HugeLength", [](RawConnection&) { return RawHeader(kMagic, 1, 5, 0, 0xFFFFFFF0u); },
     DL_ERR_PROTOCOL, Then::kClosed},
    {"BadVersion", [](RawConnection&) { return RawHeader(kMagic, 9, 1, 0, 0); }, DL_ERR_PROTOCOL,
     Then::kClosed},
    {"FlagsSet", [](RawConnection&) { return RawHeader(kMagic, 1, 1, 1, 0); }, DL_ERR_PROTOCOL,
     Then::kClosed},
    {"TruncatedHeader",
     [](RawConnection& c) {
       Bytes b = RawHeader(kMagic, 1, 1, 0, 0);
       b.resize(11);
       c.Send(b);
       c.CloseWrite();
       return Bytes{};
     },
     0, Then::kClosed},
    {"TruncatedPayload",
     [](RawConnection& c) {
       Bytes b = Begin("admin");
       b.pop_back();
       c.Send(b);
       c.CloseWrite();
       return Bytes{};
     },
     0, Then::kClosed},
    {"UnknownType", [](RawConnection&) { return RawHeader(kMagic, 1, 99, 0, 0); },
     DL_ERR_NOT_SUPPORTED, Then::kStaysOpen},
    {"DeviceMessageSentToDevice",
     [](RawConnection&) { return EncodeFrame(MessageType::kLoginResult, 1, 1, 0, {}); },
     DL_ERR_PROTOCOL, Then::kStaysOpen},
    {"ConfigBeforeLogin",
     [](RawConnection&) {
       return EncodeFrame(MessageType::kGetConfig, 0, 1, 0,
                          PayloadWriter().I32(CMD_CONFIG_EXPORT).I32(-1).Take());
     },
     DL_ERR_INVALID_HANDLE, Then::kStaysOpen},
    {"ProofWithoutChallenge",
     [](RawConnection&) { return EncodeFrame(MessageType::kLoginProof, 0, 1, 0, Bytes(32, 1)); },
     DL_ERR_PROTOCOL, Then::kClosed},
    {"ShortProof",
     [](RawConnection& c) {
       c.Send(Begin("admin"));
       return EncodeFrame(MessageType::kLoginProof, 0, 2, 0, Bytes(31, 1));
     },
     DL_ERR_PROTOCOL, Then::kClosed},
    {"UserLengthPastPayload",
     [](RawConnection&) {
       return EncodeFrame(MessageType::kLoginBegin, 0, 1, 0, Bytes{0x00, 0x40, 'a', 'd'});
     },
     DL_ERR_PROTOCOL, Then::kClosed},
    {"SecondLoginBegin",
     [](RawConnection& c) {
       c.Send(Begin("admin"));
       return Begin("admin", 2);
     },
     DL_ERR_PROTOCOL, Then::kClosed},
    {"GarbageAfterLogin",
     [](RawConnection& c) {
       EXPECT_NE(0u, RawLogin(c));
       Bytes junk(1000);
       for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<std::uint8_t>(i * 37);
       return junk;
     },
     DL_ERR_PROTOCOL, Then::kClosed},
    {"WrongSessionAfterLogin",
     [](RawConnection& c) {
       const std::uint32_t session = RawLogin(c);
       return c.Seal(EncodeFrame(MessageType::kGetConfig, session + 1, 3, 0,
                                 PayloadWriter().I32(CMD_CONFIG_EXPORT).I32(-1).Take()));
     },
     DL_ERR_INVALID_HANDLE, Then::kStaysOpen},
    {"ShortConfigRequestAfterLogin",
     [](RawConnection& c) {
       const std::uint32_t session = RawLogin(c);
       return c.Seal(EncodeFrame(MessageType::kGetConfig, session, 3, 0, Bytes{0, 0, 0}));
     },
     DL_ERR_PROTOCOL, Then::kStaysOpen},
};

class SimulatorGivenMalformedFrames : public ::testing::TestWithParam<RawCase> {};

TEST_P(SimulatorGivenMalformedFrames, AnswersOrHangsUpAndGrantsNothing) {
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::CopyDevsimState(dir / "state"));
  testsupport::DevsimRunner devsim;
  std::string error;
  ASSERT_TRUE(devsim.Start(dir / "state", &error)) << error;

  RawConnection c(devsim.port());
  ASSERT_TRUE(c.connected());
  const Bytes hostile = GetParam().build(c);
  bool closed = false;
  c.Send(hostile);
  const auto start = Clock::now();
  std::vector<Frame> replies = c.Read(8, 2000, &closed);
  for (const Frame& f : replies) {
    // No reply to a hostile frame grants a session.
    if (f.type() == MessageType::kLoginResult) {
      EXPECT_NE(0, f.header.status);
    }
    EXPECT_NE(MessageType::kGetConfigReply, f.type());
  }
  if (GetParam().errorStatus != 0) {
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(MessageType::kError, replies.back().type());
    EXPECT_EQ(GetParam().errorStatus, replies.back().header.status);
  }
  if (GetParam().then == Then::kClosed) {
    EXPECT_TRUE(closed || c.PeerClosed(2000)) << "the simulator kept a broken stream open";
    EXPECT_LT(MsSince(start), 3000);
  } else {
    EXPECT_FALSE(closed);
  }
  // The simulator is still there and serves a real client.
  EXPECT_TRUE(devsim.Running());
  DL_Init(0, 0);
  DL_SetConnectTime(2000, 1);
  int loginError = 0;
  const std::int32_t h =
      DL_Login("127.0.0.1", devsim.port(), "admin", "admin123", nullptr, &loginError, 0);
  EXPECT_GT(h, 0) << loginError;
  DL_Cleanup();
}

INSTANTIATE_TEST_SUITE_P(Frames, SimulatorGivenMalformedFrames, ::testing::ValuesIn(kRawCases),
                         [](const auto& info) { return info.param.name; });

// --- the client given malformed replies ---------------------------------

Bytes GoodChallenge(std::uint32_t iterations = devlink::login::kMinIterations) {
  return PayloadWriter()
      .Bytes(Bytes(kNonceSize, 1).data(), kNonceSize)
      .U32(iterations)
      .Text("0123456789abcdef")
      .Take();
}

struct LoginReplyCase {
  const char* name;
  void (*reply)(FakeDevice& self, int fd, const Frame& begin);
  int error;  // expected nError
};

const LoginReplyCase kLoginReplies[] = {
    {"BadMagic",
     [](FakeDevice&, int fd, const Frame&) { FakeDevice::Send(fd, Bytes(24, 'x')); },
     DL_LOGIN_NET_ERROR},
    {"HugeLength",
     [](FakeDevice&, int fd, const Frame&) {
       FakeDevice::Send(fd, RawHeader(kMagic, 1, 2, 0, 0x7FFFFFFF));
       FakeDevice::HoldOpen(fd, 3000);
     },
     DL_LOGIN_NET_ERROR},
    {"TruncatedHeaderThenSilence",
     [](FakeDevice&, int fd, const Frame&) {
       FakeDevice::Send(fd, Bytes(10, 0x44));
       FakeDevice::HoldOpen(fd, 3000);
     },
     DL_ERR_TIMEOUT},
    {"ReplyToAnotherRequestThenSilence",
     [](FakeDevice&, int fd, const Frame& begin) {
       FakeDevice::Send(fd, EncodeFrame(MessageType::kChallenge, 0, begin.header.sequence + 5, 0,
                                        Bytes(kNonceSize, 1)));
       FakeDevice::HoldOpen(fd, 3000);
     },
     DL_ERR_TIMEOUT},
    {"ShortNonce",
     [](FakeDevice&, int fd, const Frame& begin) {
       FakeDevice::Send(fd, EncodeFrame(MessageType::kChallenge, 0, begin.header.sequence, 0,
                                        Bytes(kNonceSize - 1, 1)));
     },
     DL_LOGIN_NET_ERROR},
    {"WrongMessageType",
     [](FakeDevice&, int fd, const Frame& begin) {
       FakeDevice::Send(
           fd, EncodeFrame(MessageType::kGetConfigReply, 0, begin.header.sequence, 0, {}));
     },
     DL_LOGIN_NET_ERROR},
    {"HangUp", [](FakeDevice&, int, const Frame&) {}, DL_LOGIN_NET_ERROR},
    {"RefusedWithCode",
     [](FakeDevice&, int fd, const Frame& begin) {
       FakeDevice::Send(fd, EncodeFrame(MessageType::kError, 0, begin.header.sequence,
                                        DL_LOGIN_BLACKLIST, {}));
     },
     DL_LOGIN_BLACKLIST},
    {"SessionZero",
     [](FakeDevice& self, int fd, const Frame& begin) {
       FakeDevice::Send(fd, EncodeFrame(MessageType::kChallenge, 0, begin.header.sequence, 0,
                                        GoodChallenge()));
       Frame proof;
       if (!self.ReadFrame(fd, &proof)) return;
       FakeDevice::Send(fd, EncodeFrame(MessageType::kLoginResult, 0, proof.header.sequence, 0,
                                        PayloadWriter().Text("a").Text("b").Text("c").U32(1).Take()));
     },
     DL_LOGIN_NET_ERROR},
    // A device that does not know the verifier cannot sign the exchange:
    // its welcome, however well formed, is refused.
    {"ForgedServerSignature",
     [](FakeDevice& self, int fd, const Frame& begin) {
       FakeDevice::Send(fd, EncodeFrame(MessageType::kChallenge, 0, begin.header.sequence, 0,
                                        GoodChallenge()));
       Frame proof;
       if (!self.ReadFrame(fd, &proof)) return;
       FakeDevice::Send(fd, EncodeFrame(MessageType::kLoginResult, 9, proof.header.sequence, 0,
                                        PayloadWriter()
                                            .Text("a").Text("b").Text("c").U32(1).U32(120000)
                                            .Bytes(Bytes(kProofSize, 5).data(), kProofSize)
                                            .Take()));
     },
     DL_LOGIN_NET_ERROR},
    // Too few iterations would make a recorded exchange cheap to guess from.
    {"IterationsBelowTheMinimum",
     [](FakeDevice&, int fd, const Frame& begin) {
       FakeDevice::Send(fd, EncodeFrame(MessageType::kChallenge, 0, begin.header.sequence, 0,
                                        GoodChallenge(devlink::login::kMinIterations - 1)));
       FakeDevice::HoldOpen(fd, 1000);
     },
     DL_LOGIN_NET_ERROR},
};

class ClientGivenMalformedLoginReplies : public ::testing::TestWithParam<LoginReplyCase> {};

TEST_P(ClientGivenMalformedLoginReplies, FailsWithinTheWait) {
  const auto reply = GetParam().reply;
  FakeDevice fake([reply](FakeDevice& self, int fd) {
    Frame begin;
    if (self.ReadFrame(fd, &begin)) reply(self, fd, begin);
  });
  DL_Init(0, 0);
  DL_SetConnectTime(500, 1);
  int error = 12345;
  const auto start = Clock::now();
  EXPECT_EQ(0, DL_Login("127.0.0.1", fake.port(), "admin", "pw", nullptr, &error, 0));
  EXPECT_LE(MsSince(start), 500 + 400);
  EXPECT_EQ(GetParam().error, error);
  DL_Cleanup();
}

INSTANTIATE_TEST_SUITE_P(Replies, ClientGivenMalformedLoginReplies,
                         ::testing::ValuesIn(kLoginReplies),
                         [](const auto& info) { return info.param.name; });

struct ConfigReplyCase {
  const char* name;
  int command;
  std::uint32_t bufferSize;
  Bytes (*reply)(const Frame& request);  // empty: never answer
  std::int32_t result;
  std::int32_t next;  // result of a second call on the same session
};

Bytes ReplyWith(const Frame& req, std::int32_t status, Bytes payload,
                MessageType type = MessageType::kGetConfigReply) {
  return EncodeFrame(type, req.header.session, req.header.sequence, status, payload);
}

const ConfigReplyCase kConfigReplies[] = {
    {"LargerThanBuffer", CMD_LANG_EXPORT, 16,
     [](const Frame& r) { return ReplyWith(r, 0, Bytes(17, 'z')); }, DL_ERR_BUFFER_TOO_SMALL, 1},
    {"ExactlyTheBuffer", CMD_LANG_EXPORT, 16,
     [](const Frame& r) { return ReplyWith(r, 0, Bytes(16, 'z')); }, 1, 1},
    {"ListOfWrongSize", CMD_LANG_LIST, sizeof(LanguageListRecord),
     [](const Frame& r) { return ReplyWith(r, 0, Bytes(100, 'n')); }, DL_ERR_PROTOCOL, 1},
    {"PositiveStatus", CMD_CONFIG_EXPORT, 64,
     [](const Frame& r) { return ReplyWith(r, 7, {}); }, DL_ERR_DEVICE, 1},
    {"ErrorFrame", CMD_CONFIG_EXPORT, 64,
     [](const Frame& r) { return ReplyWith(r, DL_ERR_NOT_SUPPORTED, {}, MessageType::kError); },
     DL_ERR_NOT_SUPPORTED, 1},
    {"WrongType", CMD_CONFIG_EXPORT, 64,
     [](const Frame& r) { return ReplyWith(r, 0, {}, MessageType::kChallenge); },
     DL_ERR_PROTOCOL, DL_ERR_CONNECTION},
    {"BadMagic", CMD_CONFIG_EXPORT, 64, [](const Frame&) { return Bytes(40, 0xEE); },
     DL_ERR_PROTOCOL, DL_ERR_CONNECTION},
    {"NeverAnswered", CMD_CONFIG_EXPORT, 64, [](const Frame&) { return Bytes{}; }, DL_ERR_TIMEOUT,
     1},
};

class ClientGivenMalformedConfigReplies : public ::testing::TestWithParam<ConfigReplyCase> {};

TEST_P(ClientGivenMalformedConfigReplies, ReturnsAnErrorWithinTheWaitAndNeverOverflows) {
  const auto reply = GetParam().reply;
  FakeDevice fake([reply](FakeDevice& self, int fd) {
    if (!self.AcceptLogin(fd)) return;
    Frame req;
    if (!self.ReadFrame(fd, &req)) return;
    FakeDevice::Send(fd, self.Seal(reply(req)));
    // A second request is answered properly when the stream is still usable.
    if (!self.ReadFrame(fd, &req, 3000)) return;
    FakeDevice::Send(fd, self.Seal(ReplyWith(req, 0, Bytes{'o', 'k'})));
    FakeDevice::HoldOpen(fd, 3000);
  });
  DL_Init(0, 0);
  DL_SetConnectTime(1000, 1);
  int error = 0;
  const std::int32_t h = DL_Login("127.0.0.1", fake.port(), "admin", "pw", nullptr, &error, 0);
  ASSERT_GT(h, 0) << error;
  std::vector<std::uint8_t> memory(GetParam().bufferSize + 64, 0xA5);
  std::uint32_t returned = 0;
  const auto start = Clock::now();
  EXPECT_EQ(GetParam().result, DL_GetConfig(h, GetParam().command, -1, memory.data(),
                                            GetParam().bufferSize, &returned, 500));
  EXPECT_LE(MsSince(start), 500 + 300);
  for (std::size_t i = GetParam().bufferSize; i < memory.size(); ++i)
    ASSERT_EQ(0xA5, memory[i]) << "written past the buffer at " << i;
  if (GetParam().result < 0) {
    EXPECT_EQ(0u, returned);
  }
  std::uint8_t small[8];
  EXPECT_EQ(GetParam().next, DL_GetConfig(h, CMD_LANG_EXPORT, 0, small, sizeof small, &returned,
                                          500));
  DL_Cleanup();
}

INSTANTIATE_TEST_SUITE_P(Replies, ClientGivenMalformedConfigReplies,
                         ::testing::ValuesIn(kConfigReplies),
                         [](const auto& info) { return info.param.name; });

TEST(ClientGivenHostileList, ClampsTheCountAndTerminatesEveryName) {
  FakeDevice fake([](FakeDevice& self, int fd) {
    if (!self.AcceptLogin(fd)) return;
    Frame req;
    if (!self.ReadFrame(fd, &req)) return;
    Bytes record(sizeof(LanguageListRecord), 'N');  // no terminators anywhere
    record[0] = 0x88;                                // count 5000 little-endian
    record[1] = 0x13;
    record[2] = 0;
    record[3] = 0;
    FakeDevice::Send(fd, self.Seal(ReplyWith(req, 0, record)));
    FakeDevice::HoldOpen(fd, 2000);
  });
  DL_Init(0, 0);
  int error = 0;
  const std::int32_t h = DL_Login("127.0.0.1", fake.port(), "admin", "pw", nullptr, &error, 0);
  ASSERT_GT(h, 0);
  LanguageListRecord record;
  std::uint32_t returned = 0;
  ASSERT_GT(DL_GetConfig(h, CMD_LANG_LIST, -1, &record, sizeof record, &returned, 2000), 0);
  EXPECT_EQ(DL_MAX_LANGUAGES, record.count);
  for (int i = 0; i < record.count; ++i) EXPECT_EQ(63u, std::strlen(record.names[i]));
  DL_Cleanup();
}

}  // namespace
