// The devlink client: one TCP connection per session, requests and replies
// matched by sequence number so a reply that arrives after its caller gave up
// is skipped instead of answering the next request.
#include "common/devlink/devlink.h"

#include <sys/socket.h>

#include <algorithm>
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
  std::mutex callMutex;  // one call at a time on a session
  devlink::net::UniqueFd fd;
  devlink::wire::FrameDecoder decoder;
  std::uint32_t deviceSession = 0;
  std::uint32_t nextSequence = 1;
  bool broken = false;  // the stream can no longer be trusted
  devlink::wire::FrameAuth auth;  // active after login
  std::uint32_t idleLimitMs = 0;  // the device's idle limit, told at login
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
  const IoResult sent = devlink::net::SendAll(
      s.fd.get(),
      s.auth.Seal(devlink::wire::EncodeFrame(type, s.deviceSession, sequence, 0, payload)),
      deadline);
  if (sent != IoResult::kOk) {
    s.broken = true;  // a partly sent frame would corrupt the stream
    return IoToResult(sent);
  }
  for (;;) {
    const IoResult r = devlink::net::ReceiveFrame(s.fd.get(), &s.decoder, reply, deadline);
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

void CloseSession(const std::shared_ptr<Session>& s) {
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
    if (code == DL_ERR_TIMEOUT) return DL_ERR_TIMEOUT;
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
      deadline);
  if (io == IoResult::kOk) io = devlink::net::ReceiveFrame(s->fd.get(), &s->decoder, &reply, deadline);
  if (io != IoResult::kOk) {
    s->broken = true;
    out.error = io == IoResult::kTimeout ? DL_ERR_TIMEOUT : DL_LOGIN_NET_ERROR;
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

std::int32_t LoginImpl(const char* ip, std::uint16_t port, const char* user, const char* password,
                       DeviceInfoRecord* info, int* error) {
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
  const std::string userText(user, ::strnlen(user, devlink::wire::kMaxNameSize));
  const std::string passwordText =
      password ? std::string(password, ::strnlen(password, devlink::wire::kMaxNameSize)) : "";
  sockaddr_in addr;
  if (!devlink::net::MakeAddress(ipText, port, &addr) || port == 0) {
    *error = DL_LOGIN_NOT_FOUND;
    return 0;
  }
  auto s = std::make_shared<Session>();
  bool connected = false;
  for (int attempt = 0; attempt < tries && !connected; ++attempt) {
    const Deadline tryEnd = devlink::net::DeadlineAfter(wait);
    const auto r = devlink::net::ConnectBefore(addr, tryEnd, &s->fd);
    if (r == devlink::net::ConnectResult::kConnected) {
      connected = true;
    } else if (r != devlink::net::ConnectResult::kTimeout && attempt + 1 < tries) {
      // Refused at once: give the device a moment, within this try's wait.
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::min(100, devlink::net::RemainingMs(tryEnd))));
    }
  }
  if (!connected) {
    *error = DL_LOGIN_NOT_FOUND;
    return 0;
  }
  LoginOutcome outcome =
      LoginExchange(s, userText, passwordText, devlink::net::DeadlineAfter(wait), info);
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
  Lib().sessions[handle] = std::move(outcome.session);
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
  const std::int32_t r =
      Exchange(*s, MessageType::kGetConfig, MessageType::kGetConfigReply,
               devlink::wire::PayloadWriter().I32(command).I32(channel).Take(),
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
  if ((!data && size > 0) || waitMs <= 0 || size > devlink::wire::kMaxPayload - 8)
    return DL_ERR_INVALID_ARG;
  const std::shared_ptr<Session> s = FindSession(handle);
  if (!s) return DL_ERR_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(s->callMutex);
  Frame reply;
  devlink::wire::PayloadWriter w;
  w.I32(command).I32(channel);
  if (size > 0) w.Bytes(static_cast<const std::uint8_t*>(data), size);
  return Exchange(*s, MessageType::kSetConfig, MessageType::kSetConfigReply, w.Take(),
                  devlink::net::DeadlineAfter(waitMs), &reply);
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
  int err = 0;
  const std::int32_t handle = LoginImpl(ip, port, user, password, info, &err);
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
