// Little-endian field access for BIFF records: readers that never look past
// the bytes they were given, and a growing buffer for the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace workbook::bytes {

inline std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline double GetDouble(const std::uint8_t* p) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | p[i];
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Appends little-endian fields to a byte vector.
class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>* out) : out_(out) {}
  std::size_t Position() const { return out_->size(); }
  void U8(std::uint8_t v) { out_->push_back(v); }
  void U16(std::uint16_t v) {
    out_->push_back(static_cast<std::uint8_t>(v));
    out_->push_back(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
  }
  void Double(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i) out_->push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  }
  void Zeros(std::size_t n) { out_->insert(out_->end(), n, 0); }
  void Put16At(std::size_t pos, std::uint16_t v) {
    (*out_)[pos] = static_cast<std::uint8_t>(v);
    (*out_)[pos + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void Put32At(std::size_t pos, std::uint32_t v) {
    Put16At(pos, static_cast<std::uint16_t>(v));
    Put16At(pos + 2, static_cast<std::uint16_t>(v >> 16));
  }

  // Record framing: BeginRecord writes the header with a zero length and
  // EndRecord fills in the payload length.
  void BeginRecord(std::uint16_t id) {
    recordStart_ = Position();
    U16(id);
    U16(0);
  }
  void EndRecord() { Put16At(recordStart_ + 2, static_cast<std::uint16_t>(Position() - recordStart_ - 4)); }
  std::size_t RecordStart() const { return recordStart_; }
  std::size_t RecordPayloadSize() const { return Position() - recordStart_ - 4; }

 private:
  std::vector<std::uint8_t>* out_;
  std::size_t recordStart_ = 0;
};

}  // namespace workbook::bytes
