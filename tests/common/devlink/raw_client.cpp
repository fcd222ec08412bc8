#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {

using namespace devlink::wire;
using Clock = std::chrono::steady_clock;

RawConnection::RawConnection(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

RawConnection::~RawConnection() { ::close(fd_); }

void RawConnection::Send(const RawBytes& b) { ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL); }

void RawConnection::CloseWrite() { ::shutdown(fd_, SHUT_WR); }

std::vector<Frame> RawConnection::Read(std::size_t count, int ms, bool* closed) {
  std::vector<Frame> frames;
  *closed = false;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (frames.size() < count) {
    Frame f;
    if (decoder_.Next(&f) == FrameDecoder::Result::kFrame) {
      frames.push_back(f);
      continue;
    }
    const long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    std::uint8_t buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      *closed = true;
      break;
    }
    decoder_.Feed(buf, static_cast<std::size_t>(n));
  }
  return frames;
}

bool RawConnection::PeerClosed(int ms) {
  bool closed = false;
  Read(100, ms, &closed);
  return closed;
}

RawBytes Begin(const std::string& user, std::uint32_t seq, std::uint8_t nonceByte) {
  const RawBytes nonce(kNonceSize, nonceByte);
  return EncodeFrame(MessageType::kLoginBegin, 0, seq, 0,
                     PayloadWriter().Text(user).Bytes(nonce.data(), nonce.size()).Take());
}

std::uint32_t RawLogin(RawConnection& c, const std::string& user, const std::string& password,
                       std::uint32_t iterations, RawLoginTrace* trace) {
  namespace login = devlink::login;
  RawLoginTrace local;
  RawLoginTrace& t = trace ? *trace : local;
  t.begin = Begin(user);
  c.Send(t.begin);
  bool closed = false;
  auto frames = c.Read(1, 3000, &closed);
  if (frames.size() != 1) return 0;
  PayloadReader challenge(frames[0].payload);
  RawBytes serverNonce;
  std::uint32_t deviceIterations = 0;
  std::string salt;
  if (!challenge.Bytes(kNonceSize, &serverNonce) || !challenge.U32(&deviceIterations) ||
      !challenge.Text(&salt, login::kMaxSaltSize))
    return 0;
  t.iterations = deviceIterations;
  const RawBytes saltBytes(salt.begin(), salt.end());
  login::ClientKeys keys;
  login::Key proof, sessionKey;
  // The device's AuthMessage names its own count; a client that derived
  // with another count still signs that message.
  const RawBytes message =
      login::AuthMessage(user, RawBytes(kNonceSize, 3), serverNonce, saltBytes, deviceIterations);
  if (!login::DeriveClientKeys(password, saltBytes, iterations ? iterations : deviceIterations,
                               &keys) ||
      !login::ClientProof(keys, message, &proof) ||
      !login::SessionKey(keys.clientKey, message, &sessionKey))
    return 0;
  t.proof = EncodeFrame(MessageType::kLoginProof, 0, 2, 0, RawBytes(proof.begin(), proof.end()));
  c.Send(t.proof);
  frames = c.Read(1, 3000, &closed);
  if (frames.size() != 1) return 0;
  t.status = frames[0].header.status;
  if (t.status != 0) return 0;
  c.auth().Start(sessionKey.data(), sessionKey.size(), FrameAuth::Role::kClient);
  if (!c.auth().Open(&frames[0])) return 0;
  t.session = frames[0].header.session;
  return t.session;
}

}  // namespace testsupport
