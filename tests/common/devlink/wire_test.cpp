// The frame decoder and payload reader: the one place every byte from the
// network passes first.
#include <gtest/gtest.h>

#include <cstring>

#include "common/devlink/wire.h"

namespace {

using namespace devlink::wire;

std::vector<std::uint8_t> Header(std::uint32_t magic, std::uint8_t version, std::uint8_t type,
                                 std::uint16_t flags, std::uint32_t length) {
  std::vector<std::uint8_t> h(kHeaderSize, 0);
  auto put32 = [&h](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) h[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
  };
  put32(kMagicOffset, magic);
  h[kVersionOffset] = version;
  h[kTypeOffset] = type;
  h[kFlagsOffset] = static_cast<std::uint8_t>(flags >> 8);
  h[kFlagsOffset + 1] = static_cast<std::uint8_t>(flags);
  put32(kLengthOffset, length);
  return h;
}

TEST(WireTest, FrameRoundTripsWhenFedByteByByte) {
  const std::vector<std::uint8_t> payload = {1, 2, 3, 0, 255};
  const auto bytes = EncodeFrame(MessageType::kGetConfigReply, 0x01020304, 0xA0B0C0D0, -10005,
                                 payload);
  ASSERT_EQ(bytes.size(), kHeaderSize + payload.size());
  // Fields are big-endian on the wire.
  EXPECT_EQ(0x44, bytes[0]);
  EXPECT_EQ(0x01, bytes[kSessionOffset]);
  EXPECT_EQ(0xA0, bytes[kSequenceOffset]);
  FrameDecoder d;
  Frame f;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
    d.Feed(&bytes[i], 1);
    ASSERT_EQ(FrameDecoder::Result::kNeedMore, d.Next(&f)) << "after byte " << i;
  }
  d.Feed(&bytes.back(), 1);
  ASSERT_EQ(FrameDecoder::Result::kFrame, d.Next(&f));
  EXPECT_EQ(MessageType::kGetConfigReply, f.type());
  EXPECT_EQ(0x01020304u, f.header.session);
  EXPECT_EQ(0xA0B0C0D0u, f.header.sequence);
  EXPECT_EQ(-10005, f.header.status);
  EXPECT_EQ(payload, f.payload);
  EXPECT_EQ(FrameDecoder::Result::kNeedMore, d.Next(&f));
  EXPECT_EQ(0u, d.buffered());
}

TEST(WireTest, SeveralFramesInOneReadComeOutInOrder) {
  std::vector<std::uint8_t> stream;
  for (std::uint32_t seq = 1; seq <= 3; ++seq) {
    const auto f = EncodeFrame(MessageType::kSetConfig, 9, seq, 0,
                               std::vector<std::uint8_t>(seq * 10, static_cast<std::uint8_t>(seq)));
    stream.insert(stream.end(), f.begin(), f.end());
  }
  FrameDecoder d;
  d.Feed(stream.data(), stream.size());
  Frame f;
  for (std::uint32_t seq = 1; seq <= 3; ++seq) {
    ASSERT_EQ(FrameDecoder::Result::kFrame, d.Next(&f));
    EXPECT_EQ(seq, f.header.sequence);
    EXPECT_EQ(seq * 10, f.payload.size());
  }
  EXPECT_EQ(FrameDecoder::Result::kNeedMore, d.Next(&f));
}

struct BadHeader {
  const char* name;
  std::vector<std::uint8_t> bytes;
  HeaderError error;
};

class MalformedHeaderTest : public ::testing::TestWithParam<BadHeader> {};

TEST_P(MalformedHeaderTest, IsRefusedAndStaysRefused) {
  FrameDecoder d;
  d.Feed(GetParam().bytes.data(), GetParam().bytes.size());
  Frame f;
  EXPECT_EQ(FrameDecoder::Result::kMalformed, d.Next(&f));
  EXPECT_EQ(GetParam().error, d.error());
  // A broken stream does not resynchronise on a good frame that follows.
  const auto good = EncodeFrame(MessageType::kLogout, 0, 1, 0, {});
  d.Feed(good.data(), good.size());
  EXPECT_EQ(FrameDecoder::Result::kMalformed, d.Next(&f));
  EXPECT_EQ(0u, d.buffered());
}

INSTANTIATE_TEST_SUITE_P(
    Headers, MalformedHeaderTest,
    ::testing::Values(
        BadHeader{"BadMagic", Header(0x48545450, 1, 5, 0, 0), HeaderError::kBadMagic},
        BadHeader{"BadVersion", Header(kMagic, 2, 5, 0, 0), HeaderError::kBadVersion},
        BadHeader{"FlagsSet", Header(kMagic, 1, 5, 0x8000, 0), HeaderError::kBadFlags},
        BadHeader{"LengthOneAboveMax", Header(kMagic, 1, 5, 0, kMaxPayload + 1),
                  HeaderError::kTooLong},
        BadHeader{"LengthHuge", Header(kMagic, 1, 5, 0, 0xFFFFFFFF), HeaderError::kTooLong}),
    [](const auto& info) { return info.param.name; });

TEST(WireTest, MaximumLengthIsAcceptedAndWaitsForThePayload) {
  const auto h = Header(kMagic, 1, 7, 0, kMaxPayload);
  FrameDecoder d;
  d.Feed(h.data(), h.size());
  Frame f;
  EXPECT_EQ(FrameDecoder::Result::kNeedMore, d.Next(&f));
}

TEST(WireTest, UnknownTypeIsAWellFormedFrame) {
  const auto h = Header(kMagic, 1, 200, 0, 0);
  FrameDecoder d;
  d.Feed(h.data(), h.size());
  Frame f;
  ASSERT_EQ(FrameDecoder::Result::kFrame, d.Next(&f));
  EXPECT_FALSE(IsKnownType(f.header.type));
  EXPECT_TRUE(IsKnownType(static_cast<std::uint8_t>(MessageType::kError)));
  EXPECT_FALSE(IsKnownType(0));
}

TEST(WireTest, PayloadReaderChecksEveryBound) {
  const auto p = PayloadWriter().I32(-1).Text("admin").Take();
  {
    PayloadReader r(p);
    std::int32_t v = 0;
    std::string s;
    ASSERT_TRUE(r.I32(&v));
    EXPECT_EQ(-1, v);
    ASSERT_TRUE(r.Text(&s, 64));
    EXPECT_EQ("admin", s);
    EXPECT_TRUE(r.AtEnd());
  }
  {  // A text longer than allowed fails, and so does every read after it.
    PayloadReader r(p);
    std::int32_t v = 0;
    std::string s;
    ASSERT_TRUE(r.I32(&v));
    EXPECT_FALSE(r.Text(&s, 4));
    EXPECT_FALSE(r.I32(&v));
    EXPECT_FALSE(r.AtEnd());
  }
  {  // A length prefix that points past the end.
    std::vector<std::uint8_t> cut(p.begin(), p.end() - 1);
    PayloadReader r(cut);
    std::int32_t v = 0;
    std::string s;
    ASSERT_TRUE(r.I32(&v));
    EXPECT_FALSE(r.Text(&s, 64));
  }
  {
    PayloadReader r(p.data(), 3);
    std::uint32_t v = 0;
    EXPECT_FALSE(r.U32(&v));
  }
}

TEST(WireTest, LoginProofIsHmacSha256OfNonceAndUser) {
  // RFC 4231 test case 2: key "Jefe", data "what do ya want for nothing?".
  const std::string nonce = "what do ya want ";
  std::uint8_t proof[kProofSize];
  ASSERT_TRUE(ComputeLoginProof("Jefe", "for nothing?",
                                reinterpret_cast<const std::uint8_t*>(nonce.data()), nonce.size(),
                                proof));
  const std::uint8_t expected[] = {0x5b, 0xdc, 0xc1, 0x46, 0xbf, 0x60, 0x75, 0x4e, 0x6a, 0x04, 0x24,
                                   0x26, 0x08, 0x95, 0x75, 0xc7, 0x5a, 0x00, 0x3f, 0x08, 0x9d, 0x27,
                                   0x39, 0x83, 0x9d, 0xec, 0x58, 0xb9, 0x64, 0xec, 0x38, 0x43};
  EXPECT_EQ(0, std::memcmp(expected, proof, sizeof proof));
  EXPECT_TRUE(ProofsEqual(expected, proof, sizeof proof));
  proof[31] ^= 1;
  EXPECT_FALSE(ProofsEqual(expected, proof, sizeof proof));
  // An empty password still gives a proof.
  EXPECT_TRUE(ComputeLoginProof("", "admin", expected, sizeof expected, proof));
}

}  // namespace
