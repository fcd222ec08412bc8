// Strings of a BIFF8 stream: reading Unicode strings from a record and the
// CONTINUE records after it, and writing the shared string table (SST) with
// its CONTINUE splitting and EXTSST index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "transloom/workbook/byte_io.h"
#include "transloom/workbook/workbook.h"

namespace workbook::sst {

// The payload of one record and of the CONTINUE records that follow it, read
// as one byte sequence. Character data is the exception: where it goes on in
// the next piece, that piece starts with a fresh option byte.
class ContinuedReader {
 public:
  void AddPiece(const std::uint8_t* data, std::size_t size) { pieces_.push_back({data, size}); }
  bool AtEnd();
  // Bytes left in this and the following pieces.
  std::size_t Remaining() const;
  bool ReadBytes(std::size_t n, std::uint8_t* out);
  bool Skip(std::size_t n);
  // A Unicode string whose character count is `countSize` (1 or 2) bytes
  // wide, with its rich-text runs and phonetic block skipped.
  bool ReadString(std::size_t countSize, std::u16string* out);

 private:
  struct Piece {
    const std::uint8_t* data;
    std::size_t size;
  };
  // Moves past exhausted pieces; false when none is left.
  bool Settle();
  std::vector<Piece> pieces_;
  std::size_t piece_ = 0;
  std::size_t pos_ = 0;
};

// Reads the SST: its counts and every unique string, as UTF-8. A table that
// promises more strings than it holds is an error.
Status ReadSst(ContinuedReader* reader, std::vector<std::string>* strings);

// Collects the distinct texts of a workbook and writes them as one SST.
class SstWriter {
 public:
  // The index of `utf8` in the table, adding it on first use. The text must
  // outlive the writer.
  std::uint32_t Add(std::string_view utf8);
  // Writes SST, its CONTINUE records and EXTSST at the writer's position,
  // which must be the position inside the workbook stream. Fails for a text
  // longer than a cell may hold.
  Status Write(bytes::Writer* out) const;

 private:
  std::unordered_map<std::string_view, std::uint32_t> index_;
  std::vector<std::string_view> texts_;
  std::uint32_t references_ = 0;
};

}  // namespace workbook::sst
