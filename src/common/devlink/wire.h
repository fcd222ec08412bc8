// The devlink wire protocol: framed messages over one TCP connection per
// session. Shared by the client library, the device simulator and the fuzzer,
// so that there is exactly one frame encoder and one frame decoder.
// docs/devlink-protocol.md describes the same layout for people.
//
// Frame = 24-byte header (all fields big-endian) + payload:
//   offset 0  u32 magic "DLNK"
//   offset 4  u8  version (1)
//   offset 5  u8  message type
//   offset 6  u16 flags (0; anything else is a malformed frame)
//   offset 8  u32 session (0 before login, then the device's session id)
//   offset 12 u32 sequence (a reply repeats the sequence of its request)
//   offset 16 i32 status (0 in requests; 0 or a negative devlink code in replies)
//   offset 20 u32 payload length (at most kMaxPayload)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devlink::wire {

inline constexpr std::uint32_t kMagic = 0x444C4E4Bu;  // "DLNK"
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 24;
inline constexpr std::size_t kMagicOffset = 0;
inline constexpr std::size_t kVersionOffset = 4;
inline constexpr std::size_t kTypeOffset = 5;
inline constexpr std::size_t kFlagsOffset = 6;
inline constexpr std::size_t kSessionOffset = 8;
inline constexpr std::size_t kSequenceOffset = 12;
inline constexpr std::size_t kStatusOffset = 16;
inline constexpr std::size_t kLengthOffset = 20;
// Large enough for the biggest language text the tools handle (655360 bytes)
// with room to spare; a length above it is malformed, never an allocation.
inline constexpr std::uint32_t kMaxPayload = 1u << 20;

inline constexpr std::size_t kNonceSize = 32;   // each side's login nonce
inline constexpr std::size_t kProofSize = 32;   // client proof, server signature
inline constexpr std::size_t kTagSize = 32;     // frame tag after login
// User names and passwords: the callers' fields are 64 bytes, possibly
// without a terminator when full.
inline constexpr std::size_t kMaxNameSize = 64;

enum class MessageType : std::uint8_t {
  kLoginBegin = 1,    // client: user name, client nonce
  kChallenge = 2,     // device: device nonce, iterations, salt
  kLoginProof = 3,    // client: proof
  kLoginResult = 4,   // device: status, session id, device info, signature
  kGetConfig = 5,     // client: command, channel
  kGetConfigReply = 6,// device: status, reply bytes
  kSetConfig = 7,     // client: command, channel, data
  kSetConfigReply = 8,// device: status
  kLogout = 9,        // client: no reply; the device closes the connection
  kError = 10,        // device: status for a request it could not take
  kKeepAlive = 11,    // client: empty; keeps an idle session
  kKeepAliveReply = 12,  // device: empty
};
bool IsKnownType(std::uint8_t type);

struct FrameHeader {
  std::uint8_t version = kVersion;
  std::uint8_t type = 0;
  std::uint16_t flags = 0;
  std::uint32_t session = 0;
  std::uint32_t sequence = 0;
  std::int32_t status = 0;
  std::uint32_t length = 0;
};

struct Frame {
  FrameHeader header;
  std::vector<std::uint8_t> payload;
  MessageType type() const { return static_cast<MessageType>(header.type); }
};

// Why a header was refused.
enum class HeaderError { kNone, kBadMagic, kBadVersion, kBadFlags, kTooLong };
const char* HeaderErrorText(HeaderError error);

// Parses the 24 header bytes; checks magic, version, flags and length.
// The message type is not checked here: an unknown type is a well-formed
// frame that the receiver answers with an error.
HeaderError ParseHeader(const std::uint8_t* bytes, FrameHeader* header);
void WriteHeader(const FrameHeader& header, std::uint8_t* bytes);

std::vector<std::uint8_t> EncodeFrame(MessageType type, std::uint32_t session,
                                      std::uint32_t sequence, std::int32_t status,
                                      const std::vector<std::uint8_t>& payload);

// Incremental decoder for a byte stream: Feed() what arrived, then take
// frames with Next() until it gives kNeedMore. After kMalformed the stream
// cannot be resynchronised and the connection must be dropped. Memory held
// is bounded by one header plus kMaxPayload.
class FrameDecoder {
 public:
  enum class Result { kFrame, kNeedMore, kMalformed };
  void Feed(const std::uint8_t* data, std::size_t size);
  Result Next(Frame* frame);
  HeaderError error() const { return error_; }
  std::size_t buffered() const { return buffer_.size() - consumed_; }

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t consumed_ = 0;
  HeaderError error_ = HeaderError::kNone;
};

// --- payload fields: big-endian integers and length-prefixed byte strings ---

class PayloadWriter {
 public:
  PayloadWriter& U32(std::uint32_t v);
  PayloadWriter& I32(std::int32_t v) { return U32(static_cast<std::uint32_t>(v)); }
  // u16 length then the bytes.
  PayloadWriter& Text(const std::string& text);
  PayloadWriter& Bytes(const std::uint8_t* data, std::size_t size);
  std::vector<std::uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads fields with bounds checks; after the first failure every read fails.
class PayloadReader {
 public:
  PayloadReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  explicit PayloadReader(const std::vector<std::uint8_t>& v) : PayloadReader(v.data(), v.size()) {}
  bool U32(std::uint32_t* v);
  bool I32(std::int32_t* v);
  bool Text(std::string* text, std::size_t maxSize);
  bool Bytes(std::size_t size, std::vector<std::uint8_t>* out);
  // The rest of the payload, as is.
  std::vector<std::uint8_t> Rest();
  bool AtEnd() const { return ok_ && pos_ == size_; }
  bool ok() const { return ok_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// Authenticates every frame of a session after login. Each frame carries a
// tag of kTagSize bytes at the end of its payload (the header's length
// counts it): HMAC-SHA-256(session key, direction || frame number || header
// || payload before the tag). Frame numbers are not sent: each side counts
// the frames it sent and received, so a replayed, dropped, reordered or
// altered frame fails; the direction byte keeps a frame from being
// reflected back to its sender.
class FrameAuth {
 public:
  enum class Role { kClient, kDevice };
  void Start(const std::uint8_t* key, std::size_t keySize, Role role);
  bool active() const { return active_; }
  // Appends the tag to an encoded frame and fixes its length field; bytes
  // that are no whole frame are returned as they are.
  std::vector<std::uint8_t> Seal(std::vector<std::uint8_t> encoded);
  // Checks and removes the tag of a received frame. False when the frame
  // does not authenticate; the session must then end.
  bool Open(Frame* frame);

 private:
  bool Tag(std::uint8_t direction, std::uint64_t number, const FrameHeader& header,
           const std::uint8_t* payload, std::size_t size, std::uint8_t* tag) const;
  bool active_ = false;
  std::uint8_t key_[32] = {};
  std::uint8_t sendDirection_ = 0, receiveDirection_ = 0;
  std::uint64_t sent_ = 0, received_ = 0;
};

}  // namespace devlink::wire
