#include "transloom/workbook/sst.h"

#include <algorithm>
#include <cstdio>

#include "transloom/workbook/biff_records.h"
#include "transloom/workbook/utf.h"

namespace workbook::sst {
namespace {

bool IsHighSurrogate(const std::u16string& units, std::size_t i) {
  return i < units.size() && units[i] >= 0xD800 && units[i] <= 0xDBFF;
}

}  // namespace

bool ContinuedReader::Settle() {
  while (piece_ < pieces_.size() && pos_ >= pieces_[piece_].size) {
    ++piece_;
    pos_ = 0;
  }
  return piece_ < pieces_.size();
}

bool ContinuedReader::AtEnd() { return !Settle(); }

std::size_t ContinuedReader::Remaining() const {
  std::size_t n = 0;
  for (std::size_t i = piece_; i < pieces_.size(); ++i)
    n += pieces_[i].size - (i == piece_ ? std::min(pos_, pieces_[i].size) : 0);
  return n;
}

bool ContinuedReader::ReadBytes(std::size_t n, std::uint8_t* out) {
  while (n > 0) {
    if (!Settle()) return false;
    const Piece& p = pieces_[piece_];
    const std::size_t take = std::min(n, p.size - pos_);
    if (out != nullptr) {
      std::copy(p.data + pos_, p.data + pos_ + take, out);
      out += take;
    }
    pos_ += take;
    n -= take;
  }
  return true;
}

bool ContinuedReader::Skip(std::size_t n) { return ReadBytes(n, nullptr); }

bool ContinuedReader::ReadString(std::size_t countSize, std::u16string* out) {
  std::uint8_t field[4] = {0, 0, 0, 0};
  if (!ReadBytes(countSize, field)) return false;
  std::size_t remaining = countSize == 1 ? field[0] : bytes::Get16(field);
  std::uint8_t options;
  if (!ReadBytes(1, &options)) return false;
  std::size_t runs = 0;
  std::size_t phonetic = 0;
  if (options & biff::kStringRichSt) {
    if (!ReadBytes(2, field)) return false;
    runs = bytes::Get16(field);
  }
  if (options & biff::kStringExtSt) {
    if (!ReadBytes(4, field)) return false;
    phonetic = bytes::Get32(field);
  }
  out->clear();
  out->reserve(remaining);
  bool wide = options & biff::kStringHighByte;
  while (remaining > 0) {
    if (piece_ >= pieces_.size()) return false;
    if (pos_ >= pieces_[piece_].size) {
      // The characters go on in the next piece, which repeats the option
      // byte because the width may change there.
      ++piece_;
      pos_ = 0;
      if (piece_ >= pieces_.size() || pieces_[piece_].size == 0) return false;
      wide = pieces_[piece_].data[0] & biff::kStringHighByte;
      pos_ = 1;
      continue;
    }
    const Piece& p = pieces_[piece_];
    const std::size_t unit = wide ? 2 : 1;
    const std::size_t take = std::min(remaining, (p.size - pos_) / unit);
    if (take == 0) {  // half a character left: writers skip it
      pos_ = p.size;
      continue;
    }
    const std::uint8_t* c = p.data + pos_;
    for (std::size_t i = 0; i < take; ++i)
      out->push_back(wide ? static_cast<char16_t>(bytes::Get16(c + 2 * i)) : c[i]);
    pos_ += take * unit;
    remaining -= take;
  }
  return Skip(runs * biff::kRichRunSize) && Skip(phonetic);
}

Status ReadSst(ContinuedReader* reader, std::vector<std::string>* strings) {
  std::uint8_t header[biff::kSstHeaderSize];
  if (!reader->ReadBytes(sizeof header, header))
    return Status::Fail("shared string table is shorter than its header");
  const std::uint32_t unique = bytes::Get32(header + 4);
  strings->clear();
  // Each string takes at least three bytes, whatever the count claims.
  strings->reserve(std::min<std::size_t>(unique, reader->Remaining() / 3));
  std::u16string text;
  for (std::uint32_t i = 0; i < unique; ++i) {
    // Some writers declare more strings than they store: the table holds
    // what is there, and a cell naming a missing one is refused by index.
    if (reader->AtEnd()) break;
    if (!reader->ReadString(2, &text)) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "shared string %u runs past the end of its records", i);
      return Status::Fail(buf);
    }
    strings->push_back(utf::Utf16ToUtf8(text));
  }
  return Status::Ok();
}

std::uint32_t SstWriter::Add(std::string_view utf8) {
  ++references_;
  auto [it, added] = index_.try_emplace(utf8, static_cast<std::uint32_t>(texts_.size()));
  if (added) texts_.push_back(utf8);
  return it->second;
}

Status SstWriter::Write(bytes::Writer* out) const {
  const std::size_t count = texts_.size();
  std::size_t bucketStrings = std::max<std::size_t>(
      biff::kExtSstMinBucketStrings, (count + biff::kExtSstMaxBuckets - 1) / biff::kExtSstMaxBuckets);
  bucketStrings = std::min<std::size_t>(bucketStrings, 0xFFFF);
  struct BucketStart {
    std::uint32_t streamPos;
    std::uint16_t recordOffset;
  };
  std::vector<BucketStart> buckets;

  out->BeginRecord(biff::kRecordSst);
  out->U32(references_);
  out->U32(static_cast<std::uint32_t>(count));
  std::u16string units;
  for (std::size_t i = 0; i < count; ++i) {
    if (!utf::Utf8ToUtf16(texts_[i], &units))
      return Status::Fail("a text cell holds malformed UTF-8");
    if (units.size() > kMaxTextUnits) {
      char buf[128];
      std::snprintf(buf, sizeof buf, "a text of %zu UTF-16 units is longer than the %zu a cell holds",
                    units.size(), kMaxTextUnits);
      return Status::Fail(buf);
    }
    const bool wide = std::any_of(units.begin(), units.end(), [](char16_t u) { return u > 0xFF; });
    const std::size_t unit = wide ? 2 : 1;
    const std::uint8_t options = wide ? biff::kStringHighByte : 0;
    // The string header and its first character stay in one record, and
    // no record boundary falls inside a surrogate pair: readers decode each
    // piece on its own.
    const std::size_t head = 3 + unit * std::min<std::size_t>(units.size(), IsHighSurrogate(units, 0) ? 2 : 1);
    if (out->RecordPayloadSize() + head > biff::kMaxRecordPayload) {
      out->EndRecord();
      out->BeginRecord(biff::kRecordContinue);
    }
    if (i % bucketStrings == 0)
      buckets.push_back({static_cast<std::uint32_t>(out->Position()),
                         static_cast<std::uint16_t>(out->Position() - out->RecordStart())});
    out->U16(static_cast<std::uint16_t>(units.size()));
    out->U8(options);
    std::size_t done = 0;
    while (true) {
      const std::size_t room = (biff::kMaxRecordPayload - out->RecordPayloadSize()) / unit;
      std::size_t take = std::min(room, units.size() - done);
      if (take > 0 && done + take < units.size() && IsHighSurrogate(units, done + take - 1)) --take;
      for (std::size_t k = done; k < done + take; ++k) {
        if (wide)
          out->U16(units[k]);
        else
          out->U8(static_cast<std::uint8_t>(units[k]));
      }
      done += take;
      if (done == units.size()) break;
      out->EndRecord();
      out->BeginRecord(biff::kRecordContinue);
      out->U8(options);
    }
  }
  out->EndRecord();

  out->BeginRecord(biff::kRecordExtSst);
  out->U16(static_cast<std::uint16_t>(bucketStrings));
  for (const BucketStart& b : buckets) {
    out->U32(b.streamPos);
    out->U16(b.recordOffset);
    out->U16(0);
  }
  out->EndRecord();
  return Status::Ok();
}

}  // namespace workbook::sst
