// The simulator and the login under abuse, on loopback: floods of idle and
// chattering connections, guessing, replayed and downgraded proofs, frames
// altered after login. Every loop here is bounded and ends by itself.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "common/devlink/devlink.h"
#include "common/devlink/devsim/server.h"
#include "devsim_runner.h"
#include "fake_device.h"
#include "raw_client.h"
#include "test_support.h"

namespace {

using namespace devlink::wire;
using testsupport::RawBytes;
using testsupport::RawConnection;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class AbuseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::CopyDevsimState(state()));
    DL_Init(0, 0);
    DL_SetConnectTime(2000, 1);
  }
  void TearDown() override { DL_Cleanup(); }
  std::string state() const { return dir_ / "state"; }
  void StartDevice() {
    std::string error;
    ASSERT_TRUE(devsim_.Start(state(), &error)) << error;
  }
  int Login(const char* user, const char* password) {
    int error = 12345;
    const std::int32_t h = DL_Login("127.0.0.1", devsim_.port(), user, password, nullptr, &error, 0);
    if (h > 0) DL_Logout(h);
    return h > 0 ? 0 : error;
  }

  testsupport::TempDir dir_;
  testsupport::DevsimRunner devsim_;
};

struct FloodCase {
  const char* name;
  int idle;   // connections that send nothing
  int junk;   // connections that send an unknown frame every 500 ms
};

class FloodTest : public AbuseTest, public ::testing::WithParamInterface<FloodCase> {};

TEST_P(FloodTest, IsClosedAtTheLoginDeadlineAndARealClientGetsIn) {
  StartDevice();
  std::vector<std::unique_ptr<RawConnection>> conns;
  const auto floodStart = Clock::now();
  for (int i = 0; i < GetParam().idle + GetParam().junk; ++i) {
    conns.push_back(std::make_unique<RawConnection>(devsim_.port()));
    ASSERT_TRUE(conns.back()->connected()) << "connection " << i;
  }
  const long connectMs = MsSince(floodStart);

  // The chatter: unknown frames keep coming, which must not move the
  // deadline. Stops by itself after the deadline and a margin.
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    const RawBytes frame = EncodeFrame(static_cast<MessageType>(99), 0, 1, 0, {});
    while (!stop && MsSince(floodStart) < devsim::kLoginDeadlineMs + 2500) {
      for (int i = GetParam().idle; i < static_cast<int>(conns.size()); ++i)
        ::send(conns[i]->fd(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  });

  // Before the deadline a real client is served or told "busy", never a
  // network error.
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  const int during = Login("admin", "admin123");
  EXPECT_TRUE(during == 0 || during == DL_LOGIN_BUSY) << "login during the flood: " << during;

  // Every flooding connection ends: the busy ones at once, the served ones
  // at the deadline counted from accept.
  int closedEarly = 0, stillOpen = 0;
  std::vector<pollfd> fds;
  for (auto& c : conns) fds.push_back(pollfd{c->fd(), POLLIN, 0});
  std::vector<long> closedAt(conns.size(), -1);
  while (MsSince(floodStart) < connectMs + devsim::kLoginDeadlineMs + 3000) {
    for (auto& p : fds) p.revents = 0;
    ::poll(fds.data(), fds.size(), 100);
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (closedAt[i] >= 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n;
      while ((n = ::recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
      }
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        closedAt[i] = MsSince(floodStart);
        fds[i].events = 0;
      }
    }
    if (std::all_of(closedAt.begin(), closedAt.end(), [](long t) { return t >= 0; })) break;
  }
  stop = true;
  chatter.join();
  for (long t : closedAt) {
    if (t < 0) ++stillOpen;
    else if (t < 1000) ++closedEarly;  // turned away as busy
  }
  EXPECT_EQ(0, stillOpen) << "connections outlived the login deadline";
  // The served ones (at most the connection limit) lasted until the deadline.
  for (long t : closedAt) {
    if (t >= 1000) {
      EXPECT_GE(t, devsim::kLoginDeadlineMs - 300);
    }
  }
  EXPECT_LE(static_cast<int>(conns.size()) - closedEarly, devsim::kMaxConnections + 1);

  conns.clear();
  EXPECT_EQ(0, Login("admin", "admin123"));
}

INSTANTIATE_TEST_SUITE_P(Connections, FloodTest,
                         ::testing::Values(FloodCase{"TwoHundredIdle", 200, 0},
                                           FloodCase{"HundredThirtySendingJunk", 0, 130},
                                           FloodCase{"Both", 200, 130}),
                         [](const auto& info) { return info.param.name; });

TEST_F(AbuseTest, TenWrongProofsOnlyDelayTheAccount) {
  ASSERT_TRUE(testsupport::EditDeviceJson(state(), [](Json::Value& v) {
    v["MaxLoginFailures"] = 3;
    v["LoginBackoffMs"] = 20;
    // Long enough that one login, slow under sanitizers or load, cannot
    // outlast it before the "right away" check below.
    v["LoginBackoffMaxMs"] = 2000;
  }));
  StartDevice();
  int wrong = 0, held = 0;
  for (int attempt = 0; attempt < 400 && wrong < 10; ++attempt) {
    const int e = Login("translator", "guess");
    if (e == DL_LOGIN_PASSWORD) ++wrong;
    else if (e == DL_LOGIN_LOCKED) {
      ++held;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    } else {
      ADD_FAILURE() << "unexpected answer " << e;
      break;
    }
  }
  ASSERT_EQ(10, wrong);
  EXPECT_GT(held, 0) << "wrong proofs past the free ones were never held back";
  // Right away the back-off holds even the right password back...
  EXPECT_EQ(DL_LOGIN_LOCKED, Login("translator", "lang2026"));
  // ...and once it has passed the account works again.
  int e = -1;
  for (int i = 0; i < 100 && e != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    e = Login("translator", "lang2026");
  }
  EXPECT_EQ(0, e);
}

TEST_F(AbuseTest, BackOffIsStoredBeforeItIsReportedAndNoPasswordIsKept) {
  ASSERT_TRUE(testsupport::EditDeviceJson(state(), [](Json::Value& v) {
    v["MaxLoginFailures"] = 1;
    v["LoginBackoffMs"] = 60000;
  }));
  StartDevice();
  EXPECT_EQ(DL_LOGIN_PASSWORD, Login("translator", "wrong"));
  EXPECT_EQ(DL_LOGIN_PASSWORD, Login("translator", "wrong"));
  EXPECT_EQ(DL_LOGIN_LOCKED, Login("translator", "lang2026"));
  devsim_.Kill();  // as a crash would end it
  StartDevice();
  EXPECT_EQ(DL_LOGIN_LOCKED, Login("translator", "lang2026"));
  EXPECT_EQ(0, Login("admin", "admin123"));  // other users are not affected
  const std::string json = testsupport::ReadFile(state() + "/device.json");
  EXPECT_EQ(std::string::npos, json.find("\"Password\""));
  EXPECT_EQ(std::string::npos, json.find("lang2026"));
  EXPECT_NE(std::string::npos, json.find("RetryAfterMs"));
}

struct ProofCase {
  const char* name;
  // Runs an exchange against the device; returns the LoginResult status.
  std::int32_t (*run)(std::uint16_t port);
};

const ProofCase kProofCases[] = {
    {"Genuine",
     [](std::uint16_t port) {
       RawConnection c(port);
       testsupport::RawLoginTrace t;
       testsupport::RawLogin(c, "admin", "admin123", 0, &t);
       return t.status;
     }},
    {"OneIterationFewer",
     [](std::uint16_t port) {
       RawConnection probe(port);
       testsupport::RawLoginTrace first;
       testsupport::RawLogin(probe, "admin", "admin123", 0, &first);
       EXPECT_GE(first.iterations, 10000u);
       RawConnection c(port);
       testsupport::RawLoginTrace t;
       testsupport::RawLogin(c, "admin", "admin123", first.iterations - 1, &t);
       return t.status;
     }},
    {"ReplayedExchange",
     [](std::uint16_t port) {
       testsupport::RawLoginTrace recorded;
       {
         RawConnection c(port);
         EXPECT_NE(0u, testsupport::RawLogin(c, "admin", "admin123", 0, &recorded));
       }
       // The same two frames, byte for byte, on a new connection.
       RawConnection c(port);
       c.Send(recorded.begin);
       bool closed = false;
       if (c.Read(1, 3000, &closed).size() != 1) return std::int32_t{-1};
       c.Send(recorded.proof);
       const auto frames = c.Read(1, 3000, &closed);
       return frames.size() == 1 ? frames[0].header.status : std::int32_t{-1};
     }},
    {"WrongPassword",
     [](std::uint16_t port) {
       RawConnection c(port);
       testsupport::RawLoginTrace t;
       testsupport::RawLogin(c, "admin", "admin124", 0, &t);
       return t.status;
     }},
};

class ProofTest : public AbuseTest, public ::testing::WithParamInterface<ProofCase> {};

TEST_P(ProofTest, OnlyTheGenuineProofLogsIn) {
  StartDevice();
  const std::int32_t status = GetParam().run(devsim_.port());
  if (std::string(GetParam().name) == "Genuine") {
    EXPECT_EQ(0, status);
  } else {
    EXPECT_EQ(DL_LOGIN_PASSWORD, status);
  }
}

INSTANTIATE_TEST_SUITE_P(Exchanges, ProofTest, ::testing::ValuesIn(kProofCases),
                         [](const auto& info) { return info.param.name; });

struct AlterCase {
  const char* name;
  void (*alter)(RawBytes* sealed, const RawBytes& previous);
};

const AlterCase kAlterCases[] = {
    {"PayloadByte", [](RawBytes* f, const RawBytes&) { (*f)[kHeaderSize + 7] ^= 0x01; }},
    {"CommandChanged",
     [](RawBytes* f, const RawBytes&) { (*f)[kHeaderSize + 3] = CMD_LANG_DELETE; }},
    {"TagByte", [](RawBytes* f, const RawBytes&) { f->back() ^= 0x80; }},
    {"TagStripped",
     [](RawBytes* f, const RawBytes&) {
       f->resize(f->size() - kTagSize);
       (*f)[kLengthOffset + 3] = static_cast<std::uint8_t>((*f)[kLengthOffset + 3] - kTagSize);
     }},
    {"ReplayOfTheLastFrame", [](RawBytes* f, const RawBytes& previous) { *f = previous; }},
};

class AlteredFrameTest : public AbuseTest, public ::testing::WithParamInterface<AlterCase> {};

TEST_P(AlteredFrameTest, IsRefusedAndTheSessionEnds) {
  StartDevice();
  RawConnection c(devsim_.port());
  const std::uint32_t session = testsupport::RawLogin(c);
  ASSERT_NE(0u, session);
  // One genuine request first, so the replay case has something to replay.
  const RawBytes first = c.Seal(EncodeFrame(MessageType::kGetConfig, session, 3, 0,
                                            PayloadWriter().I32(CMD_LANG_EXPORT).I32(0).Take()));
  c.Send(first);
  bool closed = false;
  auto frames = c.Read(1, 3000, &closed);
  ASSERT_EQ(1u, frames.size());
  ASSERT_TRUE(c.auth().Open(&frames[0]));
  EXPECT_EQ(0, frames[0].header.status);

  RawBytes second = c.Seal(EncodeFrame(MessageType::kGetConfig, session, 4, 0,
                                       PayloadWriter().I32(CMD_LANG_EXPORT).I32(0).Take()));
  GetParam().alter(&second, first);
  c.Send(second);
  frames = c.Read(4, 3000, &closed);
  for (const Frame& f : frames) {
    EXPECT_NE(MessageType::kGetConfigReply, f.type()) << "an altered request was served";
  }
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(MessageType::kError, frames.back().type());
  EXPECT_EQ(DL_ERR_PROTOCOL, frames.back().header.status);
  EXPECT_TRUE(closed || c.PeerClosed(2000));
  // The device's languages are as they were (the delete never ran).
  EXPECT_EQ(0, Login("admin", "admin123"));
}

INSTANTIATE_TEST_SUITE_P(Frames, AlteredFrameTest, ::testing::ValuesIn(kAlterCases),
                         [](const auto& info) { return info.param.name; });

TEST(AlteredReplyTest, ClientRefusesAReplyChangedOnTheWay) {
  testsupport::FakeDevice fake([](testsupport::FakeDevice& self, int fd) {
    if (!self.AcceptLogin(fd)) return;
    Frame req;
    if (!self.ReadFrame(fd, &req)) return;
    RawBytes reply = self.Seal(EncodeFrame(MessageType::kGetConfigReply, req.header.session,
                                           req.header.sequence, 0, {'a', 'b', 'c', 'd'}));
    reply[kHeaderSize + 1] = 'X';  // a man in the middle rewrites the reply
    testsupport::FakeDevice::Send(fd, reply);
    testsupport::FakeDevice::HoldOpen(fd, 2000);
  });
  DL_Init(0, 0);
  int error = 0;
  const std::int32_t h = DL_Login("127.0.0.1", fake.port(), "admin", "pw", nullptr, &error, 0);
  ASSERT_GT(h, 0) << error;
  char buffer[16] = {};
  std::uint32_t returned = 0;
  EXPECT_EQ(DL_ERR_PROTOCOL,
            DL_GetConfig(h, CMD_LANG_EXPORT, 0, buffer, sizeof buffer, &returned, 2000));
  EXPECT_EQ(0u, returned);
  EXPECT_EQ(std::string(16, '\0'), std::string(buffer, sizeof buffer));
  DL_Cleanup();
}

}  // namespace
