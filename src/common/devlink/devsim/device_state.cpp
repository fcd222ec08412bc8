#include "common/devlink/devsim/device_state.h"

#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <time.h>
#include <memory>

#include "common/devlink/devlink.h"
#include "common/devlink/language_ids.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"

namespace devsim {
namespace {

constexpr char kRightConfig[] = "Config";
constexpr char kRightLanguage[] = "Language";

std::set<int> IntSet(const Json::Value& v) {
  std::set<int> out;
  if (v.isArray())
    for (const Json::Value& i : v)
      if (i.isInt()) out.insert(i.asInt());
  return out;
}

std::string StringMember(const Json::Value& v, const char* name) {
  const Json::Value& m = v[name];
  return m.isString() ? m.asString() : std::string();
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Regular files of a folder tree, as paths relative to `root`, in walk order.
void CollectFiles(const std::string& root, const std::string& relative,
                  std::vector<std::string>* out) {
  const std::string folder = relative.empty() ? root : platform::JoinPath(root, relative);
  std::vector<platform::FolderEntry> entries;
  platform::ListFolder(folder, &entries);
  for (const platform::FolderEntry& e : entries) {
    const std::string rel = relative.empty() ? e.name : relative + "/" + e.name;
    if (e.isDirectory) {
      CollectFiles(root, rel, out);
    } else {
      out->push_back(rel);
    }
  }
}

std::vector<std::uint8_t> StripBom(std::vector<std::uint8_t> bytes) {
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
    bytes.erase(bytes.begin(), bytes.begin() + 3);
  return bytes;
}

struct ZipCloser {
  void operator()(void* z) const { zipClose(z, nullptr); }
};

}  // namespace

bool DeviceState::Load(const std::string& folder, std::string* error) {
  folder_ = folder;
  std::string text;
  if (!platform::ReadFileText(platform::JoinPath(folder, "device.json"), &text)) {
    *error = "cannot read " + platform::JoinPath(folder, "device.json");
    return false;
  }
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string parseError;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &parseError) ||
      !root.isObject()) {
    *error = "device.json: " + (parseError.empty() ? "not a JSON object" : parseError);
    return false;
  }
  hardware_ = StringMember(root, "Hardware");
  serial_ = StringMember(root, "SerialNumber");
  version_ = StringMember(root, "SoftwareVersion");
  if (root["MaxSessions"].isInt()) maxSessions_ = std::max(0, root["MaxSessions"].asInt());
  if (root["MaxLoginFailures"].isInt())
    maxFailures_ = std::max(0, root["MaxLoginFailures"].asInt());
  if (root["LoginBackoffMs"].isInt()) backoffMs_ = std::max(1, root["LoginBackoffMs"].asInt());
  if (root["LoginBackoffMaxMs"].isInt())
    backoffMaxMs_ = std::max(backoffMs_, root["LoginBackoffMaxMs"].asInt());
  if (root["SessionIdleMs"].isInt())
    sessionIdleMs_ = std::max(100, root["SessionIdleMs"].asInt());
  if (!devlink::login::RandomBytes(unknownUserSecret_.data(), unknownUserSecret_.size())) {
    *error = "no random source";
    return false;
  }
  refused_ = IntSet(root["RefusedCommands"]);
  silent_ = IntSet(root["SilentCommands"]);
  users_.clear();
  for (const Json::Value& u : root["Users"]) {
    if (!u.isObject()) continue;
    User user;
    user.name = StringMember(u, "Name");
    if (u.isMember("Password")) {
      *error = "device.json: user \"" + user.name +
               "\" has a clear password; keep only its verifier (devsim set-password)";
      return false;
    }
    std::vector<std::uint8_t> stored, server;
    if (!devlink::login::FromHex(StringMember(u, "Salt"), &user.verifier.salt) ||
        !devlink::login::FromHex(StringMember(u, "StoredKey"), &stored) ||
        !devlink::login::FromHex(StringMember(u, "ServerKey"), &server) ||
        stored.size() != devlink::login::kKeySize || server.size() != devlink::login::kKeySize ||
        !u["Iterations"].isUInt() || user.verifier.salt.size() < devlink::login::kMinSaltSize ||
        user.verifier.salt.size() > devlink::login::kMaxSaltSize) {
      *error = "device.json: user \"" + user.name +
               "\" lacks a valid verifier (Salt, Iterations, StoredKey, ServerKey)";
      return false;
    }
    user.verifier.iterations = u["Iterations"].asUInt();
    std::copy(stored.begin(), stored.end(), user.verifier.storedKey.begin());
    std::copy(server.begin(), server.end(), user.verifier.serverKey.begin());
    if (u["FailedLogins"].isInt()) user.failures = std::max(0, u["FailedLogins"].asInt());
    if (u["RetryAfterMs"].isInt64()) user.retryAfterMs = u["RetryAfterMs"].asInt64();
    for (const Json::Value& r : u["Rights"])
      if (r.isString()) user.rights.insert(r.asString());
    user.locked = u["Locked"].isBool() && u["Locked"].asBool();
    if (!user.name.empty()) users_.push_back(std::move(user));
  }
  if (users_.empty()) {
    *error = "device.json: no users";
    return false;
  }
  return true;
}

User* DeviceState::FindUser(const std::string& name) {
  for (User& u : users_)
    if (u.name == name) return &u;
  return nullptr;
}

bool DeviceState::SaveDeviceJson() {
  // Re-read the file so members we do not model survive; only the back-off
  // of each user changes.
  const std::string path = platform::JoinPath(folder_, "device.json");
  std::string text;
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  if (!platform::ReadFileText(path, &text) ||
      !reader->parse(text.data(), text.data() + text.size(), &root, nullptr))
    return false;
  for (Json::Value& u : root["Users"]) {
    if (!u.isObject()) continue;
    const User* user = FindUser(StringMember(u, "Name"));
    if (!user) continue;
    u["FailedLogins"] = user->failures;
    u["RetryAfterMs"] = static_cast<Json::Int64>(user->retryAfterMs);
  }
  return platform::WriteFileAtomic(path, root.toStyledString()).ok;
}

void DeviceState::LoginParameters(const std::string& name, std::vector<std::uint8_t>* salt,
                                  std::uint32_t* iterations) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const User* user = FindUser(name)) {
    *salt = user->verifier.salt;
    *iterations = user->verifier.iterations;
    return;
  }
  devlink::login::Key made;
  // HMAC of the name under a secret of this run: stable per name, unrelated
  // to any real user's salt.
  std::vector<std::uint8_t> message(name.begin(), name.end());
  devlink::login::ServerSignature(unknownUserSecret_, message, &made);
  salt->assign(made.begin(), made.begin() + devlink::login::kNewSaltSize);
  *iterations = devlink::login::kDefaultIterations;
}

namespace {
std::int64_t WallClockMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
}  // namespace

std::int32_t DeviceState::Authenticate(const std::string& name,
                                       const std::vector<std::uint8_t>& authMessage,
                                       const std::vector<std::uint8_t>& proof,
                                       devlink::login::Key* clientKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  User* user = FindUser(name);
  if (!user) return DL_LOGIN_NO_USER;
  if (user->locked) return DL_LOGIN_LOCKED;
  // During a back-off no proof is even looked at, so guessing costs time.
  if (WallClockMs() < user->retryAfterMs) return DL_LOGIN_LOCKED;
  if (!devlink::login::CheckClientProof(user->verifier, authMessage, proof, clientKey)) {
    ++user->failures;
    const int extra = user->failures - maxFailures_;
    if (extra > 0) {
      std::int64_t pause = backoffMs_;
      for (int i = 1; i < extra && pause < backoffMaxMs_; ++i) pause *= 2;
      user->retryAfterMs = WallClockMs() + std::min<std::int64_t>(pause, backoffMaxMs_);
      // The back-off must survive a restart before it is reported.
      if (!SaveDeviceJson()) return DL_ERR_DEVICE;
    }
    return DL_LOGIN_PASSWORD;
  }
  if (user->failures != 0 || user->retryAfterMs != 0) {
    user->failures = 0;
    user->retryAfterMs = 0;
    if (!SaveDeviceJson()) return DL_ERR_DEVICE;
  }
  if (user->rights.empty()) return DL_LOGIN_NO_RIGHTS;
  if (activeSessions_ >= maxSessions_) return DL_LOGIN_BUSY;
  ++activeSessions_;
  return 0;
}

bool DeviceState::ServerSignature(const std::string& name,
                                  const std::vector<std::uint8_t>& authMessage,
                                  devlink::login::Key* signature) {
  std::lock_guard<std::mutex> lock(mutex_);
  const User* user = FindUser(name);
  return user && devlink::login::ServerSignature(user->verifier.serverKey, authMessage, signature);
}

bool SetUserPassword(const std::string& password, std::uint32_t iterations, Json::Value* user) {
  devlink::login::PasswordVerifier v;
  if (!devlink::login::MakeVerifier(password, iterations, &v)) return false;
  (*user)["Salt"] = devlink::login::ToHex(v.salt.data(), v.salt.size());
  (*user)["Iterations"] = v.iterations;
  (*user)["StoredKey"] = devlink::login::ToHex(v.storedKey.data(), v.storedKey.size());
  (*user)["ServerKey"] = devlink::login::ToHex(v.serverKey.data(), v.serverKey.size());
  user->removeMember("Password");
  return true;
}

void DeviceState::EndSession() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (activeSessions_ > 0) --activeSessions_;
}

bool DeviceState::HasRight(const std::string& name, const std::string& right) {
  std::lock_guard<std::mutex> lock(mutex_);
  const User* user = FindUser(name);
  return user && user->rights.count(right) > 0;
}

bool DeviceState::IsSilent(int command) const { return silent_.count(command) > 0; }

Reply DeviceState::Get(const std::string& user, int command, int channel) {
  if (refused_.count(command)) return {DL_ERR_NOT_SUPPORTED, {}};
  switch (command) {
    case CMD_LANG_LIST:
      if (!HasRight(user, kRightLanguage)) return {DL_LOGIN_NO_RIGHTS, {}};
      return LanguageList();
    case CMD_LANG_EXPORT:
      if (!HasRight(user, kRightLanguage)) return {DL_LOGIN_NO_RIGHTS, {}};
      return ExportLanguage(channel);
    case CMD_LANG_DELETE:
      if (!HasRight(user, kRightLanguage)) return {DL_LOGIN_NO_RIGHTS, {}};
      return DeleteImported();
    case CMD_CONFIG_EXPORT:
      if (!HasRight(user, kRightConfig)) return {DL_LOGIN_NO_RIGHTS, {}};
      return ZipFolder("config");
    case CMD_CUSTOM_CONFIG:
      if (!HasRight(user, kRightConfig)) return {DL_LOGIN_NO_RIGHTS, {}};
      return ZipFolder("custom");
    default: return {DL_ERR_NOT_SUPPORTED, {}};
  }
}

Reply DeviceState::Set(const std::string& user, int command, int channel,
                       const std::vector<std::uint8_t>& data) {
  if (refused_.count(command) || command != CMD_LANG_IMPORT) return {DL_ERR_NOT_SUPPORTED, {}};
  if (!HasRight(user, kRightLanguage)) return {DL_LOGIN_NO_RIGHTS, {}};
  return ImportLanguage(channel, data);
}

std::vector<std::string> DeviceState::LanguageNames() {
  std::set<std::string> names;
  for (const char* sub : {"languages", "imported"}) {
    std::vector<platform::FolderEntry> entries;
    platform::ListFolder(platform::JoinPath(folder_, sub), &entries);
    for (const platform::FolderEntry& e : entries)
      if (!e.isDirectory && e.name.size() < DL_LANGUAGE_NAME_SIZE && e.name[0] != '.' &&
          e.name.find(".tmp-") == std::string::npos)
        names.insert(e.name);
  }
  return {names.begin(), names.end()};
}

Reply DeviceState::LanguageList() {
  Reply r;
  r.data.assign(sizeof(LanguageListRecord), 0);
  const std::vector<std::string> names = LanguageNames();
  const std::uint32_t count =
      static_cast<std::uint32_t>(std::min<std::size_t>(names.size(), DL_MAX_LANGUAGES));
  // The count travels little-endian, the byte order of the record as the
  // callers lay it out.
  for (int i = 0; i < 4; ++i) r.data[i] = static_cast<std::uint8_t>(count >> (8 * i));
  for (std::uint32_t i = 0; i < count; ++i)
    std::memcpy(r.data.data() + 4 + i * DL_LANGUAGE_NAME_SIZE, names[i].data(), names[i].size());
  return r;
}

Reply DeviceState::ExportLanguage(int channel) {
  const std::string name = devlink::LanguageIdToName(channel);
  if (name.empty()) return {DL_ERR_NO_DATA, {}};
  Reply r;
  for (const char* sub : {"imported", "languages"}) {
    const std::string path = platform::JoinPath(platform::JoinPath(folder_, sub), name);
    if (platform::ReadFileBytes(path, &r.data)) {
      r.data = StripBom(std::move(r.data));
      return r;
    }
  }
  return {DL_ERR_NO_DATA, {}};
}

Reply DeviceState::ImportLanguage(int channel, const std::vector<std::uint8_t>& data) {
  const std::string name = devlink::LanguageIdToName(channel);
  if (name.empty()) return {DL_ERR_NO_DATA, {}};
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string folder = platform::JoinPath(folder_, "imported");
  ::mkdir(folder.c_str(), 0755);
  if (!platform::WriteFileAtomic(platform::JoinPath(folder, name), data))
    return {DL_ERR_DEVICE, {}};
  return {};
}

Reply DeviceState::DeleteImported() {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string folder = platform::JoinPath(folder_, "imported");
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, &entries) && IsDirectory(folder))
    return {DL_ERR_DEVICE, {}};
  for (const platform::FolderEntry& e : entries)
    if (!e.isDirectory && ::unlink(platform::JoinPath(folder, e.name).c_str()) != 0)
      return {DL_ERR_DEVICE, {}};
  return {};
}

Reply DeviceState::ZipFolder(const std::string& subfolder) {
  const std::string root = platform::JoinPath(folder_, subfolder);
  if (!IsDirectory(root)) return {DL_ERR_NOT_SUPPORTED, {}};
  std::vector<std::string> files;
  CollectFiles(root, "", &files);

  // minizip writes to a path: build the archive in a private temporary folder.
  platform::TempFolder scratch;
  if (!scratch.Create(std::string(), "devsim-zip-")) return {DL_ERR_DEVICE, {}};
  const std::string path = platform::JoinPath(scratch.path(), "reply.zip");

  {
    std::unique_ptr<void, ZipCloser> zip(zipOpen64(path.c_str(), APPEND_STATUS_CREATE));
    if (!zip) return {DL_ERR_DEVICE, {}};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    for (const std::string& rel : files) {
      std::vector<std::uint8_t> content;
      if (!platform::ReadFileBytes(platform::JoinPath(root, rel), &content))
        return {DL_ERR_DEVICE, {}};
      zip_fileinfo info{};
      info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
      info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
      info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
      info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
      info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
      info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
      if (zipOpenNewFileInZip64(zip.get(), rel.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0) != ZIP_OK)
        return {DL_ERR_DEVICE, {}};
      const int w = content.empty() ? ZIP_OK
                                    : zipWriteInFileInZip(zip.get(), content.data(),
                                                          static_cast<unsigned>(content.size()));
      if (zipCloseFileInZip(zip.get()) != ZIP_OK || w != ZIP_OK) return {DL_ERR_DEVICE, {}};
    }
    if (zipClose(zip.release(), nullptr) != ZIP_OK) return {DL_ERR_DEVICE, {}};
  }
  Reply r;
  if (!platform::ReadFileBytes(path, &r.data)) return {DL_ERR_DEVICE, {}};
  return r;
}

}  // namespace devsim
