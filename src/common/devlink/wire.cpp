#include "common/devlink/wire.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

namespace devlink::wire {
namespace {

std::uint32_t GetU32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}
std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
void PutU32(std::uint32_t v, std::uint8_t* p) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
void PutU16(std::uint16_t v, std::uint8_t* p) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

}  // namespace

bool IsKnownType(std::uint8_t type) {
  return type >= static_cast<std::uint8_t>(MessageType::kLoginBegin) &&
         type <= static_cast<std::uint8_t>(MessageType::kKeepAliveReply);
}

const char* HeaderErrorText(HeaderError error) {
  switch (error) {
    case HeaderError::kNone: return "no error";
    case HeaderError::kBadMagic: return "bad magic";
    case HeaderError::kBadVersion: return "unsupported version";
    case HeaderError::kBadFlags: return "reserved flags set";
    case HeaderError::kTooLong: return "payload length above the maximum";
  }
  return "unknown";
}

HeaderError ParseHeader(const std::uint8_t* bytes, FrameHeader* header) {
  if (GetU32(bytes + kMagicOffset) != kMagic) return HeaderError::kBadMagic;
  header->version = bytes[kVersionOffset];
  header->type = bytes[kTypeOffset];
  header->flags = GetU16(bytes + kFlagsOffset);
  header->session = GetU32(bytes + kSessionOffset);
  header->sequence = GetU32(bytes + kSequenceOffset);
  header->status = static_cast<std::int32_t>(GetU32(bytes + kStatusOffset));
  header->length = GetU32(bytes + kLengthOffset);
  if (header->version != kVersion) return HeaderError::kBadVersion;
  if (header->flags != 0) return HeaderError::kBadFlags;
  if (header->length > kMaxPayload) return HeaderError::kTooLong;
  return HeaderError::kNone;
}

void WriteHeader(const FrameHeader& header, std::uint8_t* bytes) {
  PutU32(kMagic, bytes + kMagicOffset);
  bytes[kVersionOffset] = header.version;
  bytes[kTypeOffset] = header.type;
  PutU16(header.flags, bytes + kFlagsOffset);
  PutU32(header.session, bytes + kSessionOffset);
  PutU32(header.sequence, bytes + kSequenceOffset);
  PutU32(static_cast<std::uint32_t>(header.status), bytes + kStatusOffset);
  PutU32(header.length, bytes + kLengthOffset);
}

std::vector<std::uint8_t> EncodeFrame(MessageType type, std::uint32_t session,
                                      std::uint32_t sequence, std::int32_t status,
                                      const std::vector<std::uint8_t>& payload) {
  FrameHeader h;
  h.type = static_cast<std::uint8_t>(type);
  h.session = session;
  h.sequence = sequence;
  h.status = status;
  h.length = static_cast<std::uint32_t>(payload.size());
  std::vector<std::uint8_t> out(kHeaderSize + payload.size());
  WriteHeader(h, out.data());
  std::copy(payload.begin(), payload.end(), out.begin() + kHeaderSize);
  return out;
}

void FrameDecoder::Feed(const std::uint8_t* data, std::size_t size) {
  if (error_ != HeaderError::kNone || size == 0) return;
  // Drop what was consumed before growing, so the buffer stays bounded by
  // one frame plus one read.
  if (consumed_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

FrameDecoder::Result FrameDecoder::Next(Frame* frame) {
  if (error_ != HeaderError::kNone) return Result::kMalformed;
  const std::size_t available = buffer_.size() - consumed_;
  if (available < kHeaderSize) return Result::kNeedMore;
  FrameHeader h;
  const HeaderError e = ParseHeader(buffer_.data() + consumed_, &h);
  if (e != HeaderError::kNone) {
    error_ = e;
    buffer_.clear();
    consumed_ = 0;
    return Result::kMalformed;
  }
  if (available - kHeaderSize < h.length) return Result::kNeedMore;
  frame->header = h;
  const auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_ + kHeaderSize);
  frame->payload.assign(begin, begin + h.length);
  consumed_ += kHeaderSize + h.length;
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  }
  return Result::kFrame;
}

PayloadWriter& PayloadWriter::U32(std::uint32_t v) {
  std::uint8_t b[4];
  PutU32(v, b);
  bytes_.insert(bytes_.end(), b, b + 4);
  return *this;
}

PayloadWriter& PayloadWriter::Text(const std::string& text) {
  const std::size_t n = std::min<std::size_t>(text.size(), 0xFFFF);
  std::uint8_t b[2];
  PutU16(static_cast<std::uint16_t>(n), b);
  bytes_.insert(bytes_.end(), b, b + 2);
  bytes_.insert(bytes_.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
  return *this;
}

PayloadWriter& PayloadWriter::Bytes(const std::uint8_t* data, std::size_t size) {
  bytes_.insert(bytes_.end(), data, data + size);
  return *this;
}

bool PayloadReader::U32(std::uint32_t* v) {
  if (!ok_ || size_ - pos_ < 4) return ok_ = false;
  *v = GetU32(data_ + pos_);
  pos_ += 4;
  return true;
}

bool PayloadReader::I32(std::int32_t* v) {
  std::uint32_t u = 0;
  if (!U32(&u)) return false;
  *v = static_cast<std::int32_t>(u);
  return true;
}

bool PayloadReader::Text(std::string* text, std::size_t maxSize) {
  if (!ok_ || size_ - pos_ < 2) return ok_ = false;
  const std::size_t n = GetU16(data_ + pos_);
  if (n > maxSize || size_ - pos_ - 2 < n) return ok_ = false;
  text->assign(reinterpret_cast<const char*>(data_ + pos_ + 2), n);
  pos_ += 2 + n;
  return true;
}

bool PayloadReader::Bytes(std::size_t size, std::vector<std::uint8_t>* out) {
  if (!ok_ || size_ - pos_ < size) return ok_ = false;
  out->assign(data_ + pos_, data_ + pos_ + size);
  pos_ += size;
  return true;
}

std::vector<std::uint8_t> PayloadReader::Rest() {
  if (!ok_) return {};
  std::vector<std::uint8_t> out(data_ + pos_, data_ + size_);
  pos_ = size_;
  return out;
}

void FrameAuth::Start(const std::uint8_t* key, std::size_t keySize, Role role) {
  std::memset(key_, 0, sizeof key_);
  std::memcpy(key_, key, std::min(keySize, sizeof key_));
  sendDirection_ = role == Role::kClient ? 'C' : 'D';
  receiveDirection_ = role == Role::kClient ? 'D' : 'C';
  sent_ = received_ = 0;
  active_ = true;
}

bool FrameAuth::Tag(std::uint8_t direction, std::uint64_t number, const FrameHeader& header,
                    const std::uint8_t* payload, std::size_t size, std::uint8_t* tag) const {
  std::vector<std::uint8_t> message(1 + 8 + kHeaderSize);
  message[0] = direction;
  for (int i = 0; i < 8; ++i) message[1 + i] = static_cast<std::uint8_t>(number >> (56 - 8 * i));
  WriteHeader(header, message.data() + 9);
  message.insert(message.end(), payload, payload + size);
  unsigned int len = 0;
  return HMAC(EVP_sha256(), key_, sizeof key_, message.data(), message.size(), tag, &len) !=
             nullptr &&
         len == kTagSize;
}

std::vector<std::uint8_t> FrameAuth::Seal(std::vector<std::uint8_t> encoded) {
  FrameHeader h;
  if (!active_ || encoded.size() < kHeaderSize ||
      ParseHeader(encoded.data(), &h) != HeaderError::kNone ||
      encoded.size() != kHeaderSize + h.length || h.length + kTagSize > kMaxPayload)
    return encoded;
  h.length += kTagSize;
  WriteHeader(h, encoded.data());
  std::uint8_t tag[kTagSize];
  if (!Tag(sendDirection_, sent_, h, encoded.data() + kHeaderSize, encoded.size() - kHeaderSize,
           tag))
    return encoded;  // unsealed: the peer refuses it
  ++sent_;
  encoded.insert(encoded.end(), tag, tag + kTagSize);
  return encoded;
}

bool FrameAuth::Open(Frame* frame) {
  if (!active_) return true;
  if (frame->payload.size() < kTagSize || frame->header.length != frame->payload.size())
    return false;
  const std::size_t body = frame->payload.size() - kTagSize;
  std::uint8_t tag[kTagSize];
  if (!Tag(receiveDirection_, received_, frame->header, frame->payload.data(), body, tag) ||
      CRYPTO_memcmp(tag, frame->payload.data() + body, kTagSize) != 0)
    return false;
  ++received_;
  frame->payload.resize(body);
  frame->header.length = static_cast<std::uint32_t>(body);
  return true;
}

}  // namespace devlink::wire
