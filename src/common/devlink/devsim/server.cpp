#include "common/devlink/devsim/server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "common/devlink/devlink.h"
#include "common/devlink/login_proof.h"
#include "common/devlink/wire.h"

namespace devsim {
namespace {

using devlink::net::IoResult;
using devlink::wire::Frame;
using devlink::wire::MessageType;
using devlink::wire::PayloadReader;
using devlink::wire::PayloadWriter;

constexpr int kSendWaitMs = 10000;

std::atomic<std::uint32_t> g_nextSessionId{0x1000};

class Connection {
 public:
  Connection(int fd, DeviceState* state, devlink::net::Deadline loginDeadline)
      : fd_(fd), state_(state), loginDeadline_(loginDeadline) {}
  ~Connection() {
    if (loggedIn_) state_->EndSession();
  }
  void Serve();

 private:
  enum class Stage { kNew, kChallenged, kLoggedIn };
  bool Send(MessageType type, std::uint32_t sequence, std::int32_t status,
            const std::vector<std::uint8_t>& payload = {}, std::uint32_t session = 0) {
    return devlink::net::SendAll(
               fd_, auth_.Seal(devlink::wire::EncodeFrame(type, session ? session : sessionId_,
                                                          sequence, status, payload)),
               devlink::net::DeadlineAfter(kSendWaitMs)) == IoResult::kOk;
  }
  bool SendError(std::uint32_t sequence, std::int32_t status) {
    return Send(MessageType::kError, sequence, status);
  }
  // Each returns false when the connection must end.
  bool OnLoginBegin(const Frame& f);
  bool OnLoginProof(const Frame& f);
  bool OnConfig(const Frame& f);
  bool OnKeepAlive(const Frame& f);

  int fd_;
  DeviceState* state_;
  devlink::net::Deadline loginDeadline_;
  Stage stage_ = Stage::kNew;
  bool loggedIn_ = false;
  std::string user_;
  std::vector<std::uint8_t> authMessage_;
  std::uint32_t sessionId_ = 0;
  devlink::wire::FrameAuth auth_;
};

void Connection::Serve() {
  devlink::wire::FrameDecoder decoder;
  Frame f;
  for (;;) {
    // Before login the deadline runs from accept and is never moved, so a
    // connection cannot hold its place by sending frames; after login the
    // idle limit starts again with every frame.
    const devlink::net::Deadline deadline =
        stage_ == Stage::kLoggedIn ? devlink::net::DeadlineAfter(state_->sessionIdleMs())
                                   : loginDeadline_;
    const IoResult r = devlink::net::ReceiveFrame(fd_, &decoder, &f, deadline);
    if (r == IoResult::kMalformed) {
      // The stream cannot be resynchronised: say why, then hang up.
      SendError(0, DL_ERR_PROTOCOL);
      return;
    }
    if (r != IoResult::kOk) return;
    if (!auth_.Open(&f)) {
      // Altered, replayed or reordered after login: nothing more is trusted.
      SendError(0, DL_ERR_PROTOCOL);
      return;
    }
    if (!devlink::wire::IsKnownType(f.header.type)) {
      if (!SendError(f.header.sequence, DL_ERR_NOT_SUPPORTED)) return;
      continue;
    }
    bool goOn = true;
    switch (f.type()) {
      case MessageType::kLoginBegin: goOn = OnLoginBegin(f); break;
      case MessageType::kLoginProof: goOn = OnLoginProof(f); break;
      case MessageType::kGetConfig:
      case MessageType::kSetConfig: goOn = OnConfig(f); break;
      case MessageType::kKeepAlive: goOn = OnKeepAlive(f); break;
      case MessageType::kLogout: return;
      default:  // a device-to-client message sent to the device
        goOn = SendError(f.header.sequence, DL_ERR_PROTOCOL);
        break;
    }
    if (!goOn) return;
  }
}

bool Connection::OnLoginBegin(const Frame& f) {
  PayloadReader in(f.payload);
  std::vector<std::uint8_t> clientNonce;
  if (stage_ != Stage::kNew || !in.Text(&user_, devlink::wire::kMaxNameSize) ||
      !in.Bytes(devlink::wire::kNonceSize, &clientNonce) || !in.AtEnd()) {
    SendError(f.header.sequence, DL_ERR_PROTOCOL);
    return false;
  }
  std::vector<std::uint8_t> serverNonce(devlink::wire::kNonceSize);
  if (!devlink::login::RandomBytes(serverNonce.data(), serverNonce.size())) {
    SendError(f.header.sequence, DL_ERR_DEVICE);
    return false;
  }
  std::vector<std::uint8_t> salt;
  std::uint32_t iterations = 0;
  state_->LoginParameters(user_, &salt, &iterations);
  authMessage_ = devlink::login::AuthMessage(user_, clientNonce, serverNonce, salt, iterations);
  stage_ = Stage::kChallenged;
  return Send(MessageType::kChallenge, f.header.sequence, 0,
              PayloadWriter()
                  .Bytes(serverNonce.data(), serverNonce.size())
                  .U32(iterations)
                  .Text(std::string(salt.begin(), salt.end()))
                  .Take());
}

bool Connection::OnLoginProof(const Frame& f) {
  PayloadReader in(f.payload);
  std::vector<std::uint8_t> proof;
  if (stage_ != Stage::kChallenged || !in.Bytes(devlink::wire::kProofSize, &proof) ||
      !in.AtEnd()) {
    SendError(f.header.sequence, DL_ERR_PROTOCOL);
    return false;
  }
  devlink::login::Key clientKey{}, sessionKey{}, signature{};
  const std::int32_t status = state_->Authenticate(user_, authMessage_, proof, &clientKey);
  if (status != 0) {
    // One attempt per connection: a refused login hangs up.
    Send(MessageType::kLoginResult, f.header.sequence, status);
    return false;
  }
  loggedIn_ = true;
  stage_ = Stage::kLoggedIn;
  if (!devlink::login::SessionKey(clientKey, authMessage_, &sessionKey) ||
      !state_->ServerSignature(user_, authMessage_, &signature)) {
    Send(MessageType::kLoginResult, f.header.sequence, DL_ERR_DEVICE);
    return false;
  }
  do {
    sessionId_ = g_nextSessionId.fetch_add(1);
  } while (sessionId_ == 0);
  const auto info = PayloadWriter()
                        .Text(state_->hardware())
                        .Text(state_->serialNumber())
                        .Text(state_->softwareVersion())
                        .U32(static_cast<std::uint32_t>(state_->maxSessions()))
                        .U32(static_cast<std::uint32_t>(state_->sessionIdleMs()))
                        .Bytes(signature.data(), signature.size())
                        .Take();
  // From here on every frame in both directions is sealed.
  auth_.Start(sessionKey.data(), sessionKey.size(), devlink::wire::FrameAuth::Role::kDevice);
  return Send(MessageType::kLoginResult, f.header.sequence, 0, info);
}

bool Connection::OnKeepAlive(const Frame& f) {
  if (stage_ != Stage::kLoggedIn || f.header.session != sessionId_)
    return SendError(f.header.sequence, DL_ERR_INVALID_HANDLE);
  return Send(MessageType::kKeepAliveReply, f.header.sequence, 0);
}

bool Connection::OnConfig(const Frame& f) {
  if (stage_ != Stage::kLoggedIn || f.header.session != sessionId_)
    return SendError(f.header.sequence, DL_ERR_INVALID_HANDLE);
  PayloadReader in(f.payload);
  std::int32_t command = 0, channel = 0;
  if (!in.I32(&command) || !in.I32(&channel))
    return SendError(f.header.sequence, DL_ERR_PROTOCOL);
  if (state_->IsSilent(command)) return true;  // a device that never answers
  if (f.type() == MessageType::kGetConfig) {
    if (!in.AtEnd()) return SendError(f.header.sequence, DL_ERR_PROTOCOL);
    const Reply reply = state_->Get(user_, command, channel);
    return Send(MessageType::kGetConfigReply, f.header.sequence, reply.status,
                reply.status == 0 ? reply.data : std::vector<std::uint8_t>{});
  }
  const Reply reply = state_->Set(user_, command, channel, in.Rest());
  return Send(MessageType::kSetConfigReply, f.header.sequence, reply.status);
}

struct Worker {
  int fd;
  std::atomic<bool> done{false};
  std::thread thread;
};

}  // namespace

void ServeConnection(int fd, DeviceState* state, devlink::net::Deadline loginDeadline) {
  Connection(fd, state, loginDeadline).Serve();
}

bool Server::Listen(const std::string& host, std::uint16_t port, std::string* error) {
  sockaddr_in addr;
  if (!devlink::net::MakeAddress(host, port, &addr)) {
    *error = "not a dotted IPv4 address: " + host;
    return false;
  }
  listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener_.valid()) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener_.get(), 512) != 0) {
    *error = host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t len = sizeof addr;
  ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  return true;
}

void Server::Run(const volatile std::sig_atomic_t* stop) {
  std::list<std::unique_ptr<Worker>> workers;
  struct Turned {
    devlink::net::UniqueFd fd;
    devlink::net::Deadline until;
  };
  std::list<Turned> turned;  // told "busy", read until they close
  auto reap = [&workers] {
    for (auto it = workers.begin(); it != workers.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        ::close((*it)->fd);
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
  };
  std::vector<pollfd> polled;
  while (!*stop) {
    polled.assign(1, pollfd{listener_.get(), POLLIN, 0});
    for (const Turned& t : turned) polled.push_back(pollfd{t.fd.get(), POLLIN, 0});
    const int n = ::poll(polled.data(), polled.size(), 200);
    reap();
    // Drop turned-away connections that closed, sent enough, or outstayed.
    std::size_t index = 1;
    for (auto it = turned.begin(); it != turned.end(); ++index) {
      bool drop = devlink::net::RemainingMs(it->until) == 0;
      if (!drop && index < polled.size() && (polled[index].revents & (POLLIN | POLLHUP | POLLERR))) {
        char sink[4096];
        const ssize_t got = ::recv(it->fd.get(), sink, sizeof sink, MSG_DONTWAIT);
        drop = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
      }
      it = drop ? turned.erase(it) : std::next(it);
    }
    if (n <= 0 || !(polled[0].revents & POLLIN)) continue;
    // Take every waiting connection, so a flood cannot stall the queue.
    for (int taken = 0; taken < 256; ++taken) {
      const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) break;
      const devlink::net::Deadline loginDeadline = devlink::net::DeadlineAfter(kLoginDeadlineMs);
      if (workers.size() >= static_cast<std::size_t>(kMaxConnections)) {
        // Full: say so, so that a client can tell "busy" from a broken network.
        devlink::net::UniqueFd owned(fd);
        if (turned.size() >= static_cast<std::size_t>(kMaxBusyConnections)) continue;
        const auto busy =
            devlink::wire::EncodeFrame(MessageType::kError, 0, 0, DL_LOGIN_BUSY, {});
        if (::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
            static_cast<ssize_t>(busy.size()))
          continue;
        ::shutdown(fd, SHUT_WR);
        turned.push_back({std::move(owned), devlink::net::DeadlineAfter(kBusyLingerMs)});
        continue;
      }
      auto w = std::make_unique<Worker>();
      w->fd = fd;
      Worker* raw = w.get();
      w->thread = std::thread([raw, this, loginDeadline] {
        ServeConnection(raw->fd, state_, loginDeadline);
        raw->done = true;
      });
      workers.push_back(std::move(w));
    }
  }
  // Wake every connection thread blocked in poll(), then wait for them.
  for (auto& w : workers) ::shutdown(w->fd, SHUT_RDWR);
  for (auto& w : workers) {
    w->thread.join();
    ::close(w->fd);
  }
  workers.clear();
}

}  // namespace devsim
