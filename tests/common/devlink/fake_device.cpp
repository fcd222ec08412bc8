#include "fake_device.h"

#include "common/devlink/login_proof.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

using devlink::wire::MessageType;

FakeDevice::FakeDevice(Script script) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listener_, 4);
  socklen_t len = sizeof addr;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this, script] {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    script(*this, fd);
    ::close(fd);
  });
}

FakeDevice::~FakeDevice() {
  if (thread_.joinable()) thread_.join();
  ::close(listener_);
}

bool FakeDevice::ReadFrame(int fd, devlink::wire::Frame* frame, int waitMs) {
  for (;;) {
    if (decoder_.Next(frame) == devlink::wire::FrameDecoder::Result::kFrame)
      return auth_.Open(frame);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return false;
    std::uint8_t buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    received_.insert(received_.end(), buf, buf + n);
    decoder_.Feed(buf, static_cast<std::size_t>(n));
  }
}

void FakeDevice::Send(int fd, const std::vector<std::uint8_t>& bytes) {
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void FakeDevice::HoldOpen(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  char buf[256];
  while (::poll(&p, 1, ms) > 0 && ::recv(fd, buf, sizeof buf, 0) > 0) {
  }
}

bool FakeDevice::AcceptLogin(int fd, std::uint32_t session, const std::string& password) {
  namespace login = devlink::login;
  using devlink::wire::PayloadReader;
  using devlink::wire::PayloadWriter;
  devlink::wire::Frame f;
  if (!ReadFrame(fd, &f) || f.type() != MessageType::kLoginBegin) return false;
  std::string user;
  std::vector<std::uint8_t> clientNonce;
  PayloadReader in(f.payload);
  if (!in.Text(&user, 64) || !in.Bytes(devlink::wire::kNonceSize, &clientNonce)) return false;
  login::PasswordVerifier verifier;
  if (!login::MakeVerifier(password, login::kMinIterations, &verifier)) return false;
  const std::vector<std::uint8_t> serverNonce(devlink::wire::kNonceSize, 7);
  Send(fd, devlink::wire::EncodeFrame(
               MessageType::kChallenge, 0, f.header.sequence, 0,
               PayloadWriter()
                   .Bytes(serverNonce.data(), serverNonce.size())
                   .U32(verifier.iterations)
                   .Text(std::string(verifier.salt.begin(), verifier.salt.end()))
                   .Take()));
  if (!ReadFrame(fd, &f) || f.type() != MessageType::kLoginProof) return false;
  const auto authMessage =
      login::AuthMessage(user, clientNonce, serverNonce, verifier.salt, verifier.iterations);
  login::Key clientKey, sessionKey, signature;
  if (!login::CheckClientProof(verifier, authMessage, f.payload, &clientKey) ||
      !login::SessionKey(clientKey, authMessage, &sessionKey) ||
      !login::ServerSignature(verifier.serverKey, authMessage, &signature))
    return false;
  auth_.Start(sessionKey.data(), sessionKey.size(), devlink::wire::FrameAuth::Role::kDevice);
  Send(fd, Seal(devlink::wire::EncodeFrame(MessageType::kLoginResult, session, f.header.sequence, 0,
                                           PayloadWriter()
                                               .Text("FAKE")
                                               .Text("1")
                                               .Text("2")
                                               .U32(1)
                                               .U32(120000)
                                               .Bytes(signature.data(), signature.size())
                                               .Take())));
  return true;
}

}  // namespace testsupport
