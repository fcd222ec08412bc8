// The frame decoder and payload reader: the one place every byte from the
// network passes first.
#include <gtest/gtest.h>

#include <cstring>

#include "common/devlink/login_proof.h"
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

std::vector<std::uint8_t> FromHexText(const std::string& hex) {
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(devlink::login::FromHex(hex, &out)) << hex;
  return out;
}

TEST(LoginProofTest, MatchesTheScramSha256ExampleOfRfc7677) {
  // RFC 7677 section 3: user "user", password "pencil", 4096 iterations. The
  // AuthMessage there is text; ours is binary, but the key schedule, proof
  // and signature are the same functions of it.
  namespace login = devlink::login;
  const std::string text =
      "n=user,r=rOprNGfwEbeRWgbNEkqO,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
      "s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096,c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0";
  const std::vector<std::uint8_t> authMessage(text.begin(), text.end());
  const auto salt = FromHexText("5b6d99689d12358eeca04b141236fa81");
  login::ClientKeys keys;
  ASSERT_TRUE(login::DeriveClientKeys("pencil", salt, 4096, &keys));
  login::Key proof, signature;
  ASSERT_TRUE(login::ClientProof(keys, authMessage, &proof));
  EXPECT_EQ(FromHexText("747cdb65aa56224e2352137e52d7bdcad6a0f738df30782caa69a2cfb0277554"),
            std::vector<std::uint8_t>(proof.begin(), proof.end()));
  ASSERT_TRUE(login::ServerSignature(keys.serverKey, authMessage, &signature));
  EXPECT_EQ(FromHexText("eabae24d1062db75a9451ff0b6ea7e98c8546549ff741e672d3251b2397de46e"),
            std::vector<std::uint8_t>(signature.begin(), signature.end()));

  // The device checks the proof against a verifier made from the same
  // salt; a proof over another message or with one bit changed fails.
  login::PasswordVerifier verifier;
  ASSERT_TRUE(login::MakeVerifier("pencil", 4096, &verifier, salt));
  const std::vector<std::uint8_t> sent(proof.begin(), proof.end());
  login::Key clientKey;
  EXPECT_TRUE(login::CheckClientProof(verifier, authMessage, sent, &clientKey));
  EXPECT_EQ(keys.clientKey, clientKey);
  std::vector<std::uint8_t> flipped = sent;
  flipped[31] ^= 1;
  EXPECT_FALSE(login::CheckClientProof(verifier, authMessage, flipped, &clientKey));
  std::vector<std::uint8_t> otherMessage = authMessage;
  otherMessage.back() ^= 1;
  EXPECT_FALSE(login::CheckClientProof(verifier, otherMessage, sent, &clientKey));
}

struct TamperCase {
  const char* name;
  void (*tamper)(std::vector<std::uint8_t>* first, std::vector<std::uint8_t>* second);
};

const TamperCase kTamperCases[] = {
    {"PayloadByte", [](std::vector<std::uint8_t>* a, std::vector<std::uint8_t>*) {
       (*a)[kHeaderSize] ^= 0x20;
     }},
    {"StatusField", [](std::vector<std::uint8_t>* a, std::vector<std::uint8_t>*) {
       (*a)[kStatusOffset + 3] ^= 1;
     }},
    {"SequenceField", [](std::vector<std::uint8_t>* a, std::vector<std::uint8_t>*) {
       (*a)[kSequenceOffset + 3] ^= 1;
     }},
    {"TagByte", [](std::vector<std::uint8_t>* a, std::vector<std::uint8_t>*) { a->back() ^= 1; }},
    {"Reordered", [](std::vector<std::uint8_t>* a, std::vector<std::uint8_t>* b) { a->swap(*b); }},
    {"Replayed", [](std::vector<std::uint8_t>* a, std::vector<std::uint8_t>* b) { *b = *a; }},
};

class FrameAuthTamper : public ::testing::TestWithParam<TamperCase> {};

TEST_P(FrameAuthTamper, IsRefusedWhereTheUntouchedStreamPasses) {
  const std::vector<std::uint8_t> key(32, 0x42);
  FrameAuth client, device;
  client.Start(key.data(), key.size(), FrameAuth::Role::kClient);
  device.Start(key.data(), key.size(), FrameAuth::Role::kDevice);
  auto first = device.Seal(EncodeFrame(MessageType::kGetConfigReply, 5, 1, 0, {'a', 'b', 'c'}));
  auto second = device.Seal(EncodeFrame(MessageType::kGetConfigReply, 5, 2, 0, {'d'}));
  GetParam().tamper(&first, &second);
  FrameDecoder decoder;
  decoder.Feed(first.data(), first.size());
  decoder.Feed(second.data(), second.size());
  Frame a, b;
  ASSERT_EQ(FrameDecoder::Result::kFrame, decoder.Next(&a));
  ASSERT_EQ(FrameDecoder::Result::kFrame, decoder.Next(&b));
  EXPECT_FALSE(client.Open(&a) && client.Open(&b));

  // Untouched, both frames pass in order and come out as sent.
  FrameAuth fresh;
  fresh.Start(key.data(), key.size(), FrameAuth::Role::kClient);
  FrameAuth sender;
  sender.Start(key.data(), key.size(), FrameAuth::Role::kDevice);
  Frame c;
  const auto sealed = sender.Seal(EncodeFrame(MessageType::kGetConfigReply, 5, 1, 0, {'a'}));
  FrameDecoder d2;
  d2.Feed(sealed.data(), sealed.size());
  ASSERT_EQ(FrameDecoder::Result::kFrame, d2.Next(&c));
  ASSERT_TRUE(fresh.Open(&c));
  EXPECT_EQ((std::vector<std::uint8_t>{'a'}), c.payload);
  // A frame the client sealed is not taken back by the client (reflected).
  FrameAuth reflector;
  reflector.Start(key.data(), key.size(), FrameAuth::Role::kClient);
  auto own = reflector.Seal(EncodeFrame(MessageType::kGetConfig, 5, 1, 0, {'x'}));
  FrameDecoder d3;
  d3.Feed(own.data(), own.size());
  Frame r;
  ASSERT_EQ(FrameDecoder::Result::kFrame, d3.Next(&r));
  FrameAuth sameSide;
  sameSide.Start(key.data(), key.size(), FrameAuth::Role::kClient);
  EXPECT_FALSE(sameSide.Open(&r));
}

INSTANTIATE_TEST_SUITE_P(Frames, FrameAuthTamper, ::testing::ValuesIn(kTamperCases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
