// The simulated device: its users, languages and configuration folders, read
// from and written back to a state folder. Every change is written through a
// temporary file and a rename before it is acknowledged, so a killed
// simulator loses nothing it answered for.
//
// State folder:
//   device.json   Hardware, SerialNumber, SoftwareVersion, MaxSessions,
//                 SessionIdleMs, MaxLoginFailures, LoginBackoffMs,
//                 LoginBackoffMaxMs, Users [{Name, Salt, Iterations,
//                 StoredKey, ServerKey, Rights, Locked, FailedLogins,
//                 RetryAfterMs}], optional RefusedCommands / SilentCommands
//                 (test behaviours). No password is kept, only its verifier.
//   languages/    <Name>: the device's own UTF-8 key=value texts
//   imported/     <Name>: languages received by CMD_LANG_IMPORT (override
//                 languages/; CMD_LANG_DELETE empties this folder)
//   config/       zipped for CMD_CONFIG_EXPORT
//   custom/       zipped for CMD_CUSTOM_CONFIG
#pragma once

#include <json/json.h>

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/devlink/login_proof.h"

namespace devsim {

struct User {
  std::string name;
  devlink::login::PasswordVerifier verifier;
  std::set<std::string> rights;  // "Config", "Language"
  bool locked = false;           // set by an administrator only
  int failures = 0;              // consecutive wrong proofs
  std::int64_t retryAfterMs = 0; // wall clock (ms since 1970) of the back-off's end
};

// Default pause after a wrong proof once the free failures are used up; it
// doubles with every further wrong proof up to the maximum.
inline constexpr int kDefaultLoginBackoffMs = 1000;
inline constexpr int kDefaultLoginBackoffMaxMs = 15 * 60 * 1000;
inline constexpr int kDefaultSessionIdleMs = 120000;

// Writes the verifier of `password` into a device.json user object (Salt,
// Iterations, StoredKey, ServerKey) and removes any clear password.
bool SetUserPassword(const std::string& password, std::uint32_t iterations, Json::Value* user);

// Result of a command: a devlink status (0 or negative) and the reply bytes.
struct Reply {
  std::int32_t status = 0;
  std::vector<std::uint8_t> data;
};

class DeviceState {
 public:
  // Reads device.json; false with a reason when it is missing or invalid.
  bool Load(const std::string& folder, std::string* error);

  const std::string& hardware() const { return hardware_; }
  const std::string& serialNumber() const { return serial_; }
  const std::string& softwareVersion() const { return version_; }
  int maxSessions() const { return maxSessions_; }
  int sessionIdleMs() const { return sessionIdleMs_; }

  // Salt and iteration count to challenge `user` with. An unknown user gets
  // a made-up salt that stays the same, so the challenge does not tell
  // which users exist.
  void LoginParameters(const std::string& user, std::vector<std::uint8_t>* salt,
                       std::uint32_t* iterations);
  // Checks a login proof over `authMessage`. On success *clientKey is the
  // key the proof carried and one of the device's session places is taken
  // (release with EndSession). Returns 0 or the login error code; a back-off
  // is stored before it is reported.
  std::int32_t Authenticate(const std::string& user, const std::vector<std::uint8_t>& authMessage,
                            const std::vector<std::uint8_t>& proof, devlink::login::Key* clientKey);
  void EndSession();
  // The server signature over `authMessage` with the user's ServerKey.
  bool ServerSignature(const std::string& user, const std::vector<std::uint8_t>& authMessage,
                       devlink::login::Key* signature);

  bool HasRight(const std::string& user, const std::string& right);
  // True for commands device.json lists as never answered.
  bool IsSilent(int command) const;

  Reply Get(const std::string& user, int command, int channel);
  Reply Set(const std::string& user, int command, int channel,
            const std::vector<std::uint8_t>& data);

 private:
  User* FindUser(const std::string& name);
  bool SaveDeviceJson();  // caller holds mutex_
  std::vector<std::string> LanguageNames();
  Reply LanguageList();
  Reply ExportLanguage(int channel);
  Reply ImportLanguage(int channel, const std::vector<std::uint8_t>& data);
  Reply DeleteImported();
  Reply ZipFolder(const std::string& subfolder);

  std::mutex mutex_;
  std::string folder_;
  std::string hardware_, serial_, version_;
  int maxSessions_ = 4;
  int maxFailures_ = 5;
  int backoffMs_ = kDefaultLoginBackoffMs;
  int backoffMaxMs_ = kDefaultLoginBackoffMaxMs;
  int sessionIdleMs_ = kDefaultSessionIdleMs;
  devlink::login::Key unknownUserSecret_{};
  int activeSessions_ = 0;
  std::vector<User> users_;
  std::set<int> refused_, silent_;
};

}  // namespace devsim
