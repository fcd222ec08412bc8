// Feeds arbitrary bytes, in arbitrary read sizes, to the frame decoder and
// reads every frame's payload the ways the client and the device do.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/devlink/wire.h"

using namespace devlink::wire;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void ReadPayload(const Frame& f) {
  {
    PayloadReader r(f.payload);
    std::string user;
    r.Text(&user, kMaxNameSize);
    Check(user.size() <= kMaxNameSize);
  }
  {
    PayloadReader r(f.payload);
    std::int32_t command = 0, channel = 0;
    if (r.I32(&command) && r.I32(&channel)) {
      const auto rest = r.Rest();
      Check(rest.size() + 8 == f.payload.size());
    }
  }
  {
    PayloadReader r(f.payload);
    std::string a, b, c;
    std::uint32_t n = 0;
    r.Text(&a, 255) && r.Text(&b, 255) && r.Text(&c, 255) && r.U32(&n);
    std::vector<std::uint8_t> nonce;
    PayloadReader(f.payload).Bytes(kNonceSize, &nonce);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 64;
  ++data;
  --size;
  FrameDecoder decoder;
  std::size_t pos = 0;
  while (pos < size) {
    const std::size_t n = size - pos < chunk ? size - pos : chunk;
    decoder.Feed(data + pos, n);
    pos += n;
    Frame f;
    for (;;) {
      const FrameDecoder::Result r = decoder.Next(&f);
      if (r != FrameDecoder::Result::kFrame) break;
      Check(f.payload.size() == f.header.length && f.header.length <= kMaxPayload);
      ReadPayload(f);
      // What decodes re-encodes to a frame that decodes the same.
      if (IsKnownType(f.header.type)) {
        const auto again = EncodeFrame(f.type(), f.header.session, f.header.sequence,
                                       f.header.status, f.payload);
        FrameDecoder d2;
        d2.Feed(again.data(), again.size());
        Frame g;
        Check(d2.Next(&g) == FrameDecoder::Result::kFrame && g.payload == f.payload &&
              g.header.sequence == f.header.sequence && g.header.status == f.header.status);
      }
    }
    Check(decoder.buffered() <= kHeaderSize + kMaxPayload + chunk);
  }
  return 0;
}
