// One file raw-deflated on several cores. The file is cut into slices of
// kDeflateSlice bytes; each slice is deflated on its own (default level,
// 15-bit window, memory level 8), primed with the 32 KiB before it as the
// dictionary, and every slice but the last ends with a sync flush, so the
// slices joined in order are one deflate stream that any inflater reads.
// The bytes depend only on the file, never on the number of threads or on
// which finished first; a file of one slice gives exactly the stream one
// deflate call over the whole file gives. The slices go to their writer in
// order as they finish, while later ones are still being deflated; memory
// stays at a fixed number of slices in flight, whatever the file's size.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "common/platform/status.h"

namespace fsimage {

inline constexpr std::size_t kDeflateSlice = 128 * 1024;

struct SliceDeflateResult {
  std::uint32_t crc = 0;  // CRC-32 of the bytes read
  bool text = false;      // deflate judged the first slice text (Z_TEXT)
};

// Takes deflate data in order: `text` is whether deflate judged the first
// slice text, known with the first bytes. A failure (naming what could not
// be written) ends the deflating.
using DeflateSink = std::function<platform::Status(const unsigned char* data, std::size_t size, bool text)>;

// Deflates the `size` bytes of `in` (read at their offsets; `path` names it
// in messages) into `write`, which is called on the calling thread only.
// A file of one slice is deflated by the calling thread; a larger one on up
// to `threads` more threads (at least one), while the calling thread writes
// the finished slices in order. `read` (may be empty) hears the bytes of
// each slice once it is read, from any of those threads. Fails naming the
// file: a read error, a file that shrank or changed while it was read, a
// failure of `write`, or `stop` set.
platform::Status DeflateInSlices(int in, std::uint64_t size, const std::string& path, unsigned threads,
                                 const std::atomic<bool>& stop, const std::function<void(std::uint64_t)>& read,
                                 const DeflateSink& write, SliceDeflateResult* result);

}  // namespace fsimage
