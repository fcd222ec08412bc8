// The simulated device: its users, languages and configuration folders, read
// from and written back to a state folder. Every change is written through a
// temporary file and a rename before it is acknowledged, so a killed
// simulator loses nothing it answered for.
//
// State folder:
//   device.json   Hardware, SerialNumber, SoftwareVersion, MaxSessions,
//                 MaxLoginFailures, Users [{Name, Password, Rights, Locked}],
//                 optional RefusedCommands / SilentCommands (test behaviours)
//   languages/    <Name>: the device's own UTF-8 key=value texts
//   imported/     <Name>: languages received by CMD_LANG_IMPORT (override
//                 languages/; CMD_LANG_DELETE empties this folder)
//   config/       zipped for CMD_CONFIG_EXPORT
//   custom/       zipped for CMD_CUSTOM_CONFIG
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace devsim {

struct User {
  std::string name;
  std::string password;
  std::set<std::string> rights;  // "Config", "Language"
  bool locked = false;
  int failures = 0;  // consecutive wrong passwords
};

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

  // Checks a login proof for `user` against `nonce`. On success takes one of
  // the device's session places (release with EndSession). Returns 0 or the
  // login error code.
  std::int32_t Authenticate(const std::string& user, const std::vector<std::uint8_t>& nonce,
                            const std::vector<std::uint8_t>& proof);
  void EndSession();

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
  int activeSessions_ = 0;
  std::vector<User> users_;
  std::set<int> refused_, silent_;
};

}  // namespace devsim
