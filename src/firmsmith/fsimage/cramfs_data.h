// Internal to the cramfs writer: the image buffer and the data area (file
// contents, duplicate sharing, block compression).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "firmsmith/fsimage/cramfs_tree.h"

namespace fsimage {

// The zero-filled buffer an image is assembled in. calloc, so that the pages
// of the upper bound that the image never reaches cost no memory.
class ImageBuffer {
 public:
  bool Allocate(std::uint32_t size) {
    data_.reset(static_cast<std::uint8_t*>(std::calloc(size > 0 ? size : 1, 1)));
    size_ = data_ ? size : 0;
    return data_ != nullptr;
  }
  std::uint8_t* data() { return data_.get(); }
  std::uint32_t size() const { return size_; }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<std::uint8_t, Free> data_;
  std::uint32_t size_ = 0;
};

// Lays out the data area from `start` on: every file or link with data in
// depth-first order, each either sharing the data of the earliest identical one or with
// its own pointer table and level-9 zlib blocks. Fills in the files' inode
// offsets in the directory area already written.
class CramfsDataWriter {
 public:
  CramfsDataWriter(std::uint8_t* image, std::uint32_t capacity, std::uint32_t start);
  ~CramfsDataWriter();
  CramfsDataWriter(const CramfsDataWriter&) = delete;
  CramfsDataWriter& operator=(const CramfsDataWriter&) = delete;

  bool WriteFiles(CramfsEntry& root, std::string* error);
  std::uint32_t end() const;     // just past the last file's padding
  std::uint32_t blocks() const;  // data blocks stored

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace fsimage
