// The devlink client: one TCP connection per session, requests and replies
// matched by sequence number so a reply that arrives after its caller gave up
// is skipped instead of answering the next request.
#include "common/devlink/devlink.h"

#include <sys/socket.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/devlink/login_proof.h"
#include "common/devlink/socket_io.h"
#include "common/devlink/wire.h"

namespace {

using devlink::net::Deadline;
using devlink::net::IoResult;
using devlink::wire::Frame;
using devlink::wire::MessageType;

struct Session {
  std::mutex callMutex;  // one call at a time on a session, keep-alives included
  devlink::net::UniqueFd fd;
  devlink::wire::FrameDecoder decoder;
  std::uint32_t deviceSession = 0;
  std::uint32_t nextSequence = 1;
  bool broken = false;  // the stream can no longer be trusted
  devlink::wire::FrameAuth auth;  // active after login
  std::atomic<std::uint32_t> idleLimitMs{0};  // the device's idle limit, told at login
  devlink::net::Clock::time_point lastUse = devlink::net::Clock::now();
  // What a new login after a dropped session needs.
  std::int32_t handle = 0;
  sockaddr_in address{};
  std::string user, password;
  // While a login runs: the pipe that interrupts it (-1 otherwise).
  int cancelFd = -1;
  // The keep-alive thread and how to stop it.
  std::mutex keeperMutex;
  std::condition_variable keeperWake;
  bool stopping = false;
  std::thread keeper;
};

struct Library {
  std::mutex mutex;
  bool initialised = false;
  int connectWaitMs = 3000;
  int connectTries = 3;
  std::int32_t nextHandle = 1;
  std::map<std::int32_t, std::shared_ptr<Session>> sessions;
  DL_CallObserver observer = nullptr;
  void* observerContext = nullptr;
};

Library& Lib() {
  static Library lib;
  return lib;
}

void Notify(const char* call, std::int32_t handle, int command, int channel, std::int32_t result,
            int error = 0) {
  DL_CallObserver observer;
  void* context;
  {
    std::lock_guard<std::mutex> lock(Lib().mutex);
    observer = Lib().observer;
    context = Lib().observerContext;
  }
  if (observer) observer(DL_CallRecord{call, handle, command, channel, result, error}, context);
}

std::shared_ptr<Session> FindSession(std::int32_t handle) {
  std::lock_guard<std::mutex> lock(Lib().mutex);
  const auto it = Lib().sessions.find(handle);
  return it == Lib().sessions.end() ? nullptr : it->second;
}

// A reply status: 0 is success, negative codes pass through, anything else
// is not a code of ours and counts as a device failure.
std::int32_t StatusToResult(std::int32_t status) { return status < 0 ? status : DL_ERR_DEVICE; }

std::int32_t IoToResult(IoResult r) {
  switch (r) {
    case IoResult::kOk: return 0;
    case IoResult::kTimeout: return DL_ERR_TIMEOUT;
    case IoResult::kCancelled: return DL_ERR_CANCELLED;
    case IoResult::kMalformed: return DL_ERR_PROTOCOL;
    case IoResult::kClosed:
    case IoResult::kError: return DL_ERR_CONNECTION;
  }
  return DL_ERR_CONNECTION;
}

// Sends one request and waits for the reply of the same sequence number.
// Replies to earlier requests (their caller timed out) are skipped. Any
// failure but a time-out leaves the session broken.
std::int32_t Exchange(Session& s, MessageType type, MessageType replyType,
                      const std::vector<std::uint8_t>& payload, Deadline deadline, Frame* reply) {
  if (s.broken) return DL_ERR_CONNECTION;
  const std::uint32_t sequence = s.nextSequence++;
  s.lastUse = devlink::net::Clock::now();
  const IoResult sent = devlink::net::SendAll(
      s.fd.get(),
      s.auth.Seal(devlink::wire::EncodeFrame(type, s.deviceSession, sequence, 0, payload)),
      deadline, s.cancelFd);
  if (sent != IoResult::kOk) {
    s.broken = true;  // a partly sent frame would corrupt the stream
    return IoToResult(sent);
  }
  for (;;) {
    const IoResult r = devlink::net::ReceiveFrame(s.fd.get(), &s.decoder, reply, deadline, s.cancelFd);
    if (r == IoResult::kTimeout) return DL_ERR_TIMEOUT;
    if (r != IoResult::kOk) {
      s.broken = true;
      return IoToResult(r);
    }
    // Every frame after login, skipped ones included, must authenticate:
    // the frame counters of both sides stay in step only that way.
    if (!s.auth.Open(reply)) {
      s.broken = true;
      return DL_ERR_PROTOCOL;
    }
    if (reply->header.sequence != sequence) {
      // Sequence 0 is the device speaking for the whole connection (full,
      // or hanging up on a broken stream): the connection ends with it.
      if (reply->type() == MessageType::kError && reply->header.sequence == 0 &&
          reply->header.status != 0) {
        s.broken = true;
        return StatusToResult(reply->header.status);
      }
      continue;
    }
    if (reply->type() == MessageType::kError) {
      return StatusToResult(reply->header.status == 0 ? DL_ERR_DEVICE : reply->header.status);
    }
    if (reply->type() != replyType) {
      s.broken = true;
      return DL_ERR_PROTOCOL;
    }
    return reply->header.status == 0 ? 0 : StatusToResult(reply->header.status);
  }
}

void CloseConnection(const std::shared_ptr<Session>& s);

void CloseSession(const std::shared_ptr<Session>& s) {
  // The keep-alive thread stops at its next wake-up; one in the middle of
  // a keep-alive holds callMutex like a call and is woken the same way.
  {
    std::lock_guard<std::mutex> lock(s->keeperMutex);
    s->stopping = true;
  }
  s->keeperWake.notify_all();
  CloseConnection(s);
  if (s->keeper.joinable()) s->keeper.join();
}

void CloseConnection(const std::shared_ptr<Session>& s) {
  // A call still running on another thread holds callMutex: wake it by
  // shutting the socket, then wait for it to leave.
  std::unique_lock<std::mutex> lock(s->callMutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    ::shutdown(s->fd.get(), SHUT_RDWR);
    lock.lock();
  } else if (!s->broken && s->fd.valid()) {
    const auto bye = s->auth.Seal(devlink::wire::EncodeFrame(
        MessageType::kLogout, s->deviceSession, s->nextSequence++, 0, {}));
    devlink::net::SendAll(s->fd.get(), bye, devlink::net::DeadlineAfter(200));
  }
  s->fd.Reset();
  s->broken = true;
  std::fill(s->password.begin(), s->password.end(), '\0');
}

void CopyField(const std::string& text, char* field, std::size_t size) {
  std::memset(field, 0, size);
  std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

struct LoginOutcome {
  std::shared_ptr<Session> session;
  int error = DL_LOGIN_NET_ERROR;
};

LoginOutcome LoginExchange(std::shared_ptr<Session> s, const std::string& user,
                           const std::string& password, Deadline deadline,
                           DeviceInfoRecord* info) {
  namespace login = devlink::login;
  LoginOutcome out;
  Frame reply;
  std::vector<std::uint8_t> clientNonce(devlink::wire::kNonceSize);
  if (!login::RandomBytes(clientNonce.data(), clientNonce.size())) return out;
  std::int32_t r =
      Exchange(*s, MessageType::kLoginBegin, MessageType::kChallenge,
               devlink::wire::PayloadWriter().Text(user).Bytes(clientNonce.data(), clientNonce.size()).Take(),
               deadline, &reply);
  // Refusals during login carry the login error code as they are; transport
  // failures read as the callers' network error or time-out.
  auto loginError = [&](std::int32_t code) {
    if (code == DL_ERR_TIMEOUT || code == DL_ERR_CANCELLED) return static_cast<int>(code);
    if (code == DL_ERR_CONNECTION || code == DL_ERR_PROTOCOL) return DL_LOGIN_NET_ERROR;
    return reply.header.status != 0 ? static_cast<int>(reply.header.status) : DL_LOGIN_NET_ERROR;
  };
  if (r != 0) {
    out.error = loginError(r);
    return out;
  }
  std::vector<std::uint8_t> serverNonce;
  std::uint32_t iterations = 0;
  std::string saltText;
  devlink::wire::PayloadReader challenge(reply.payload);
  if (!challenge.Bytes(devlink::wire::kNonceSize, &serverNonce) || !challenge.U32(&iterations) ||
      !challenge.Text(&saltText, login::kMaxSaltSize) || !challenge.AtEnd())
    return out;
  // A device asking for fewer iterations would make a recorded exchange
  // cheap to guess from; one asking for very many would stall us.
  if (iterations < login::kMinIterations || iterations > login::kMaxIterations ||
      saltText.size() < login::kMinSaltSize)
    return out;
  const std::vector<std::uint8_t> salt(saltText.begin(), saltText.end());
  login::ClientKeys keys;
  if (!login::DeriveClientKeys(password, salt, iterations, &keys)) return out;
  const std::vector<std::uint8_t> authMessage =
      login::AuthMessage(user, clientNonce, serverNonce, salt, iterations);
  login::Key proof, sessionKey, expectedSignature;
  if (!login::ClientProof(keys, authMessage, &proof) ||
      !login::SessionKey(keys.clientKey, authMessage, &sessionKey) ||
      !login::ServerSignature(keys.serverKey, authMessage, &expectedSignature))
    return out;
  // The result of a good proof is the first frame sealed with the session
  // key; a refusal comes unsealed, as the device could not derive the key.
  s->auth.Start(sessionKey.data(), sessionKey.size(), devlink::wire::FrameAuth::Role::kClient);
  const std::uint32_t sequence = s->nextSequence++;
  IoResult io = devlink::net::SendAll(
      s->fd.get(),
      devlink::wire::EncodeFrame(MessageType::kLoginProof, 0, sequence, 0,
                                 std::vector<std::uint8_t>(proof.begin(), proof.end())),
      deadline, s->cancelFd);
  if (io == IoResult::kOk)
    io = devlink::net::ReceiveFrame(s->fd.get(), &s->decoder, &reply, deadline, s->cancelFd);
  if (io != IoResult::kOk) {
    s->broken = true;
    out.error = io == IoResult::kTimeout     ? DL_ERR_TIMEOUT
                : io == IoResult::kCancelled ? DL_ERR_CANCELLED
                                             : DL_LOGIN_NET_ERROR;
    return out;
  }
  if (reply.header.sequence != sequence ||
      (reply.type() != MessageType::kLoginResult && reply.type() != MessageType::kError))
    return out;
  if (reply.header.status != 0) {
    out.error = static_cast<int>(reply.header.status);
    return out;
  }
  if (reply.type() != MessageType::kLoginResult || !s->auth.Open(&reply)) return out;
  std::string hardware, serial, version;
  std::uint32_t maxSessions = 0, idleLimitMs = 0;
  std::vector<std::uint8_t> signature;
  devlink::wire::PayloadReader result(reply.payload);
  if (reply.header.session == 0 || !result.Text(&hardware, 255) || !result.Text(&serial, 255) ||
      !result.Text(&version, 255) || !result.U32(&maxSessions) || !result.U32(&idleLimitMs) ||
      !result.Bytes(devlink::wire::kProofSize, &signature) || !result.AtEnd())
    return out;
  // The device proves it knows the verifier: a device that does not is
  // refused like a broken exchange.
  if (!login::KeysEqual(signature.data(), expectedSignature.data(), expectedSignature.size()))
    return out;
  s->deviceSession = reply.header.session;
  s->idleLimitMs = idleLimitMs;
  s->lastUse = devlink::net::Clock::now();
  if (info) {
    std::memset(info, 0, sizeof *info);
    CopyField(hardware, info->hardware, sizeof info->hardware);
    CopyField(serial, info->serialNumber, sizeof info->serialNumber);
    CopyField(version, info->softwareVersion, sizeof info->softwareVersion);
    info->maxSessions = static_cast<std::int32_t>(std::min<std::uint32_t>(maxSessions, 0x7FFFFFFF));
  }
  out.session = std::move(s);
  out.error = 0;
  return out;
}

// Connects `s` to its address: `tries` attempts of `wait` each. 0 or the
// login error code.
int ConnectSession(Session& s, int wait, int tries) {
  for (int attempt = 0; attempt < tries; ++attempt) {
    const Deadline tryEnd = devlink::net::DeadlineAfter(wait);
    const auto r = devlink::net::ConnectBefore(s.address, tryEnd, &s.fd, s.cancelFd);
    if (r == devlink::net::ConnectResult::kConnected) return 0;
    if (r == devlink::net::ConnectResult::kCancelled) return DL_ERR_CANCELLED;
    if (r != devlink::net::ConnectResult::kTimeout && attempt + 1 < tries) {
      // Refused at once: give the device a moment, within this try's wait.
      if (devlink::net::PauseUnlessCancelled(
              devlink::net::DeadlineAfter(std::min(100, devlink::net::RemainingMs(tryEnd))),
              s.cancelFd))
        return DL_ERR_CANCELLED;
    }
  }
  return DL_LOGIN_NOT_FOUND;
}

void ConnectWait(int* wait, int* tries) {
  std::lock_guard<std::mutex> lock(Lib().mutex);
  *wait = Lib().connectWaitMs;
  *tries = Lib().connectTries;
}

void KeepAlive(Session* s);

// Starts the keep-alive thread once the device told its idle limit.
void StartKeeper(Session& s) {
  if (s.idleLimitMs == 0 || s.keeper.joinable()) return;
  s.keeper = std::thread(KeepAlive, &s);
}

// True when the device has closed its end: the next request would only
// find out after sending.
bool PeerHungUp(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR | POLLRDHUP)) return true;
  std::uint8_t byte;
  return (p.revents & POLLIN) && ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// Logs in again with the session's own credentials after the device dropped
// it; the handle stays the same. Caller holds callMutex.
bool Relogin(Session& s) {
  int wait, tries;
  ConnectWait(&wait, &tries);
  s.fd.Reset();
  s.decoder = devlink::wire::FrameDecoder();
  s.auth = devlink::wire::FrameAuth();
  s.deviceSession = 0;
  s.broken = false;
  bool ok = ConnectSession(s, wait, tries) == 0;
  if (ok) {
    // LoginExchange wants shared ownership only to hand it back; lend it.
    std::shared_ptr<Session> lent(&s, [](Session*) {});
    ok = LoginExchange(lent, s.user, s.password, devlink::net::DeadlineAfter(wait), nullptr)
             .session != nullptr;
  }
  if (!ok) {
    s.fd.Reset();
    s.broken = true;
  }
  Notify("DL_Relogin", s.handle, 0, 0, ok ? 1 : 0);
  return ok;
}

// Before a call: a session the device dropped is logged in again, once.
bool EnsureSession(Session& s, bool* relogged) {
  if (!s.broken && s.fd.valid() && !PeerHungUp(s.fd.get())) return true;
  if (s.user.empty() && s.password.empty() && s.handle == 0) return false;
  *relogged = true;
  return Relogin(s);
}

void KeepAlive(Session* s) {
  std::unique_lock<std::mutex> lock(s->keeperMutex);
  for (;;) {
    const auto period = std::chrono::milliseconds(std::max<std::uint32_t>(s->idleLimitMs / 3, 20));
    if (s->keeperWake.wait_for(lock, period, [s] { return s->stopping; })) return;
    lock.unlock();
    {
      // A call in progress keeps the session alive by itself; never wait for
      // it, so that closing the session never waits for this thread.
      std::unique_lock<std::mutex> call(s->callMutex, std::try_to_lock);
      if (call.owns_lock() && !s->broken && s->fd.valid() &&
          devlink::net::Clock::now() - s->lastUse >= period) {
        Frame reply;
        Exchange(*s, MessageType::kKeepAlive, MessageType::kKeepAliveReply, {},
                 devlink::net::DeadlineAfter(static_cast<int>(std::min<long>(period.count(), 5000))),
                 &reply);
      }
    }
    lock.lock();
  }
}

std::int32_t LoginImpl(const char* ip, std::uint16_t port, const char* user, const char* password,
                       DeviceInfoRecord* info, int* error, int cancelFd) {
  int wait, tries;
  {
    std::lock_guard<std::mutex> lock(Lib().mutex);
    if (!Lib().initialised) {
      *error = DL_ERR_NOT_INITIALIZED;
      return 0;
    }
    wait = Lib().connectWaitMs;
    tries = Lib().connectTries;
  }
  if (!ip || !user) {
    *error = DL_ERR_INVALID_ARG;
    return 0;
  }
  // The callers pass fixed fields of 16 and 64 bytes that may lack a
  // terminator when full: never read past them.
  const std::string ipText(ip, ::strnlen(ip, 16));
  auto s = std::make_shared<Session>();
  s->user.assign(user, ::strnlen(user, devlink::wire::kMaxNameSize));
  if (password) s->password.assign(password, ::strnlen(password, devlink::wire::kMaxNameSize));
  if (!devlink::net::MakeAddress(ipText, port, &s->address) || port == 0) {
    *error = DL_LOGIN_NOT_FOUND;
    return 0;
  }
  s->cancelFd = cancelFd;
  if (const int e = ConnectSession(*s, wait, tries); e != 0) {
    *error = e;
    return 0;
  }
  LoginOutcome outcome =
      LoginExchange(s, s->user, s->password, devlink::net::DeadlineAfter(wait), info);
  // The caller's pipe is watched only while the login runs.
  s->cancelFd = -1;
  if (!outcome.session) {
    *error = outcome.error;
    return 0;
  }
  std::lock_guard<std::mutex> lock(Lib().mutex);
  if (!Lib().initialised) {  // DL_Cleanup ran meanwhile
    *error = DL_ERR_NOT_INITIALIZED;
    return 0;
  }
  std::int32_t handle = Lib().nextHandle;
  while (Lib().sessions.count(handle)) handle = handle == 0x7FFFFFFF ? 1 : handle + 1;
  Lib().nextHandle = handle == 0x7FFFFFFF ? 1 : handle + 1;
  s->handle = handle;
  StartKeeper(*s);
  Lib().sessions[handle] = std::move(s);
  *error = 0;
  return handle;
}

std::int32_t GetConfigImpl(std::int32_t handle, int command, int channel, void* buffer,
                           std::uint32_t bufferSize, std::uint32_t* returned, int waitMs) {
  if (returned) *returned = 0;
  if ((!buffer && bufferSize > 0) || waitMs <= 0) return DL_ERR_INVALID_ARG;
  const std::shared_ptr<Session> s = FindSession(handle);
  if (!s) return DL_ERR_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(s->callMutex);
  Frame reply;
  bool relogged = false;
  if (!EnsureSession(*s, &relogged)) return DL_ERR_CONNECTION;
  const auto request = devlink::wire::PayloadWriter().I32(command).I32(channel).Take();
  std::int32_t r = Exchange(*s, MessageType::kGetConfig, MessageType::kGetConfigReply, request,
                            devlink::net::DeadlineAfter(waitMs), &reply);
  // Dropped between the check and the request: one new login, one retry.
  if (r == DL_ERR_CONNECTION && !relogged && Relogin(*s))
    r = Exchange(*s, MessageType::kGetConfig, MessageType::kGetConfigReply, request,
                 devlink::net::DeadlineAfter(waitMs), &reply);
  if (r != 0) return r;
  if (reply.payload.size() > bufferSize) return DL_ERR_BUFFER_TOO_SMALL;
  if (command == CMD_LANG_LIST) {
    // The record travels with a little-endian count; hand it over in host
    // order with every name terminated and the count within the table.
    if (reply.payload.size() != sizeof(LanguageListRecord)) return DL_ERR_PROTOCOL;
    LanguageListRecord record;
    std::memcpy(&record, reply.payload.data(), sizeof record);
    const std::uint8_t* c = reply.payload.data();
    const std::int32_t count = static_cast<std::int32_t>(
        std::uint32_t{c[0]} | (std::uint32_t{c[1]} << 8) | (std::uint32_t{c[2]} << 16) |
        (std::uint32_t{c[3]} << 24));
    record.count = std::clamp<std::int32_t>(count, 0, DL_MAX_LANGUAGES);
    for (auto& name : record.names) name[DL_LANGUAGE_NAME_SIZE - 1] = '\0';
    std::memcpy(buffer, &record, sizeof record);
  } else if (!reply.payload.empty()) {
    std::memcpy(buffer, reply.payload.data(), reply.payload.size());
  }
  if (returned) *returned = static_cast<std::uint32_t>(reply.payload.size());
  return 1;
}

std::int32_t SetConfigImpl(std::int32_t handle, int command, int channel, const void* data,
                           std::uint32_t size, int waitMs) {
  // Command, channel and the frame's tag share the payload with the data.
  if ((!data && size > 0) || waitMs <= 0 ||
      size > devlink::wire::kMaxPayload - 8 - devlink::wire::kTagSize)
    return DL_ERR_INVALID_ARG;
  const std::shared_ptr<Session> s = FindSession(handle);
  if (!s) return DL_ERR_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(s->callMutex);
  Frame reply;
  devlink::wire::PayloadWriter w;
  w.I32(command).I32(channel);
  if (size > 0) w.Bytes(static_cast<const std::uint8_t*>(data), size);
  const std::vector<std::uint8_t> request = w.Take();
  bool relogged = false;
  if (!EnsureSession(*s, &relogged)) return DL_ERR_CONNECTION;
  std::int32_t r = Exchange(*s, MessageType::kSetConfig, MessageType::kSetConfigReply, request,
                            devlink::net::DeadlineAfter(waitMs), &reply);
  if (r == DL_ERR_CONNECTION && !relogged && Relogin(*s))
    r = Exchange(*s, MessageType::kSetConfig, MessageType::kSetConfigReply, request,
                 devlink::net::DeadlineAfter(waitMs), &reply);
  return r;
}

}  // namespace

bool DL_Init(std::intptr_t, std::intptr_t) {
  {
    std::lock_guard<std::mutex> lock(Lib().mutex);
    Lib().initialised = true;
  }
  Notify("DL_Init", 0, 0, 0, 1);
  return true;
}

void DL_Cleanup() {
  std::map<std::int32_t, std::shared_ptr<Session>> sessions;
  {
    std::lock_guard<std::mutex> lock(Lib().mutex);
    sessions.swap(Lib().sessions);
    Lib().initialised = false;
  }
  for (auto& [handle, s] : sessions) CloseSession(s);
  Notify("DL_Cleanup", 0, 0, 0, 0);
}

void DL_SetConnectTime(int waitMs, int tries) {
  {
    std::lock_guard<std::mutex> lock(Lib().mutex);
    Lib().connectWaitMs = std::max(1, waitMs);
    Lib().connectTries = std::max(1, tries);
  }
  Notify("DL_SetConnectTime", 0, 0, 0, 0);
}

std::int32_t DL_Login(const char* ip, std::uint16_t port, const char* user, const char* password,
                      DeviceInfoRecord* info, int* error, int mode) {
  return DL_LoginCancellable(ip, port, user, password, info, error, -1);
}

std::int32_t DL_LoginCancellable(const char* ip, std::uint16_t port, const char* user,
                                 const char* password, DeviceInfoRecord* info, int* error,
                                 int cancelFd) {
  int err = 0;
  const std::int32_t handle = LoginImpl(ip, port, user, password, info, &err, cancelFd);
  if (error) *error = err;
  Notify("DL_Login", handle, 0, 0, handle, err);
  return handle;
}

void DL_Logout(std::int32_t handle) {
  if (handle > 0) {
    std::shared_ptr<Session> s;
    {
      std::lock_guard<std::mutex> lock(Lib().mutex);
      const auto it = Lib().sessions.find(handle);
      if (it != Lib().sessions.end()) {
        s = it->second;
        Lib().sessions.erase(it);
      }
    }
    if (s) CloseSession(s);
  }
  Notify("DL_Logout", handle, 0, 0, 0);
}

std::int32_t DL_GetConfig(std::int32_t handle, int command, int channel, void* buffer,
                          std::uint32_t bufferSize, std::uint32_t* returned, int waitMs) {
  const std::int32_t r =
      GetConfigImpl(handle, command, channel, buffer, bufferSize, returned, waitMs);
  Notify("DL_GetConfig", handle, command, channel, r);
  return r;
}

std::int32_t DL_SetConfig(std::int32_t handle, int command, int channel, const void* data,
                          std::uint32_t size, int waitMs) {
  const std::int32_t r = SetConfigImpl(handle, command, channel, data, size, waitMs);
  Notify("DL_SetConfig", handle, command, channel, r);
  return r;
}

void DL_SetCallObserver(DL_CallObserver observer, void* context) {
  std::lock_guard<std::mutex> lock(Lib().mutex);
  Lib().observer = observer;
  Lib().observerContext = context;
}
