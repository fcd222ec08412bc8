// A client that speaks the devlink protocol byte by byte, for tests that
// send what the library never would: malformed frames, replayed or altered
// exchanges, floods of connections. Loopback only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/devlink/login_proof.h"
#include "common/devlink/wire.h"

namespace testsupport {

using RawBytes = std::vector<std::uint8_t>;

class RawConnection {
 public:
  explicit RawConnection(std::uint16_t port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  void Send(const RawBytes& b);
  void CloseWrite();
  // Reads frames until `count` arrived, the peer closed, or `ms` passed.
  std::vector<devlink::wire::Frame> Read(std::size_t count, int ms, bool* closed);
  bool PeerClosed(int ms);
  // After a login: tags a frame as the session's next one.
  RawBytes Seal(const RawBytes& b) { return auth_.Seal(b); }
  devlink::wire::FrameAuth& auth() { return auth_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  devlink::wire::FrameDecoder decoder_;
  devlink::wire::FrameAuth auth_;
};

// LoginBegin for `user` with a fixed client nonce of `nonceByte`.
RawBytes Begin(const std::string& user, std::uint32_t seq = 1, std::uint8_t nonceByte = 3);

// What a recorded login exchange holds.
struct RawLoginTrace {
  RawBytes begin, proof;       // the frames the client sent
  std::uint32_t iterations = 0;
  std::int32_t status = -1;    // of the LoginResult (or Error) received
  std::uint32_t session = 0;
};

// Logs in as `user` on `c`, deriving the proof with `iterations` (0: the
// device's count). On success c.Seal() tags later frames. Returns the
// session id or 0; *trace (optional) records the exchange.
std::uint32_t RawLogin(RawConnection& c, const std::string& user = "admin",
                       const std::string& password = "admin123", std::uint32_t iterations = 0,
                       RawLoginTrace* trace = nullptr);

}  // namespace testsupport
