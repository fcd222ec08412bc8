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
  Connection(int fd, DeviceState* state) : fd_(fd), state_(state) {}
  ~Connection() {
    if (loggedIn_) state_->EndSession();
  }
  void Serve();

 private:
  enum class Stage { kNew, kChallenged, kLoggedIn };
  bool Send(MessageType type, std::uint32_t sequence, std::int32_t status,
            const std::vector<std::uint8_t>& payload = {}, std::uint32_t session = 0) {
    return devlink::net::SendAll(
               fd_, devlink::wire::EncodeFrame(type, session ? session : sessionId_, sequence,
                                               status, payload),
               devlink::net::DeadlineAfter(kSendWaitMs)) == IoResult::kOk;
  }
  bool SendError(std::uint32_t sequence, std::int32_t status) {
    return Send(MessageType::kError, sequence, status);
  }
  // Each returns false when the connection must end.
  bool OnLoginBegin(const Frame& f);
  bool OnLoginProof(const Frame& f);
  bool OnConfig(const Frame& f);

  int fd_;
  DeviceState* state_;
  Stage stage_ = Stage::kNew;
  bool loggedIn_ = false;
  std::string user_;
  std::vector<std::uint8_t> nonce_;
  std::uint32_t sessionId_ = 0;
};

void Connection::Serve() {
  devlink::wire::FrameDecoder decoder;
  Frame f;
  for (;;) {
    const int idle = stage_ == Stage::kLoggedIn ? kSessionIdleMs : kLoginIdleMs;
    const IoResult r =
        devlink::net::ReceiveFrame(fd_, &decoder, &f, devlink::net::DeadlineAfter(idle));
    if (r == IoResult::kMalformed) {
      // The stream cannot be resynchronised: say why, then hang up.
      SendError(0, DL_ERR_PROTOCOL);
      return;
    }
    if (r != IoResult::kOk) return;
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
  if (stage_ != Stage::kNew || !in.Text(&user_, devlink::wire::kMaxNameSize) || !in.AtEnd()) {
    SendError(f.header.sequence, DL_ERR_PROTOCOL);
    return false;
  }
  nonce_.assign(devlink::wire::kNonceSize, 0);
  if (!devlink::wire::RandomBytes(nonce_.data(), nonce_.size())) {
    SendError(f.header.sequence, DL_ERR_DEVICE);
    return false;
  }
  stage_ = Stage::kChallenged;
  return Send(MessageType::kChallenge, f.header.sequence, 0, nonce_);
}

bool Connection::OnLoginProof(const Frame& f) {
  PayloadReader in(f.payload);
  std::vector<std::uint8_t> proof;
  if (stage_ != Stage::kChallenged || !in.Bytes(devlink::wire::kProofSize, &proof) ||
      !in.AtEnd()) {
    SendError(f.header.sequence, DL_ERR_PROTOCOL);
    return false;
  }
  const std::int32_t status = state_->Authenticate(user_, nonce_, proof);
  if (status != 0) {
    // One attempt per connection: a refused login hangs up.
    Send(MessageType::kLoginResult, f.header.sequence, status);
    return false;
  }
  loggedIn_ = true;
  stage_ = Stage::kLoggedIn;
  do {
    sessionId_ = g_nextSessionId.fetch_add(1);
  } while (sessionId_ == 0);
  const auto info = PayloadWriter()
                        .Text(state_->hardware())
                        .Text(state_->serialNumber())
                        .Text(state_->softwareVersion())
                        .U32(static_cast<std::uint32_t>(state_->maxSessions()))
                        .Take();
  return Send(MessageType::kLoginResult, f.header.sequence, 0, info);
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

void ServeConnection(int fd, DeviceState* state) {
  Connection(fd, state).Serve();
}

bool Server::Listen(const std::string& host, std::uint16_t port, std::string* error) {
  sockaddr_in addr;
  if (!devlink::net::MakeAddress(host, port, &addr)) {
    *error = "not a dotted IPv4 address: " + host;
    return false;
  }
  listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener_.valid()) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener_.get(), 64) != 0) {
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
  while (!*stop) {
    pollfd p{listener_.get(), POLLIN, 0};
    const int n = ::poll(&p, 1, 200);
    reap();
    if (n <= 0) continue;
    const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (workers.size() >= static_cast<std::size_t>(kMaxConnections)) {
      ::close(fd);  // bounded: the client sees the connection drop
      continue;
    }
    auto w = std::make_unique<Worker>();
    w->fd = fd;
    Worker* raw = w.get();
    w->thread = std::thread([raw, this] {
      ServeConnection(raw->fd, state_);
      raw->done = true;
    });
    workers.push_back(std::move(w));
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
