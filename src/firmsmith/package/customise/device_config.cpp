#include "firmsmith/package/customise/device_config.h"

#include <json/value.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/devlink/devlink.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/package/customise/custom_rework.h"
#include "firmsmith/package/customise/custom_strings.h"
#include "common/platform/file_ops.h"
#include "firmsmith/package/layout/json_file.h"

namespace package {
namespace {

constexpr std::uint32_t kReplyBufferSize = 131072;
constexpr int kConfigExportWaitMs = 8000;
constexpr int kCustomConfigWaitMs = 5000;

// Logs out on every way out of the step.
class DeviceLogin {
 public:
  explicit DeviceLogin(std::int32_t handle) : handle_(handle) {}
  ~DeviceLogin() { Logout(); }
  DeviceLogin(const DeviceLogin&) = delete;
  DeviceLogin& operator=(const DeviceLogin&) = delete;
  std::int32_t handle() const { return handle_; }
  void Logout() {
    if (handle_ > 0) DL_Logout(handle_);
    handle_ = 0;
  }

 private:
  std::int32_t handle_;
};

// Writes a reply into `folder`/`name` and unpacks it into `folder`/`unpacked`,
// at most the extraction budget of bytes: a device's word on how large its
// entries are is not trusted.
platform::Status StoreAndUnpack(const std::vector<std::uint8_t>& reply, const std::string& folder,
                                const std::string& name, const std::string& unpacked,
                                const MakeEnvironment& env) {
  // A reply of an earlier run in the same temporary folder must not mix in.
  platform::Status status = platform::RemoveTree(folder);
  if (status) status = platform::MakeFolders(folder);
  if (status) status = platform::WriteFileAtomic(platform::JoinPath(folder, name), reply);
  if (!status) return status;
  Pause(env, 1.0);
  const std::string destination = platform::JoinPath(folder, unpacked);
  if (status = platform::MakeFolders(destination); !status) return status;
  Pause(env, 0.2);
  if (fsimage::UnpackArchive(platform::JoinPath(folder, name), destination, &status,
                             fsimage::ReadExtractBudget(env.programDirectory)) != 0 &&
      status.ok)
    status = platform::Status::Fail("cannot unpack the device's reply " + platform::JoinPath(folder, name));
  Pause(env, 0.2);
  // A cut reply leaves nothing that could be taken for the device's files.
  if (!status) platform::RemoveTree(folder);
  return status;
}

// The device's accounts as Account.custom, every user marked NoMD5 so the
// device takes the stored passwords as they stand. Failures are silent.
void CopyUsers(const DeviceLogin& login, const std::string& tempFolder,
               const std::string& customConfig, const MakeEnvironment& env) {
  std::vector<std::uint8_t> reply;
  if (ReadConfigReply(login.handle(), CMD_CONFIG_EXPORT, &reply) < 1) return;
  const std::string folder = platform::JoinPath(tempFolder, "configExport");
  if (!StoreAndUnpack(reply, folder, "config.cfg", "cfg", env)) return;
  std::string text;
  Json::Value root;
  if (!ReadDescriptionText(platform::JoinPath(folder, "cfg/Account1"), &text) ||
      !ParseJsonObject(text, &root))
    return;
  Json::Value users = root["Users"];
  if (users.isNull()) return;
  if (users.isArray()) {
    for (Json::Value& user : users)
      if (user.isObject()) user["NoMD5"] = true;
  }
  root["Users"] = users;
  const std::string account = platform::JoinPath(customConfig, "Account.custom");
  platform::RemoveTree(account);
  WriteStyledJson(account, root);
}

// First line of a text file, without its line end; "" when unreadable.
std::string FirstLine(const std::string& path) {
  std::string text;
  if (!platform::IsRegularFile(path) || platform::FileSize(path) > kMaxJsonFileSize || !platform::ReadFileText(path, &text))
    return "";
  const std::size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}

}  // namespace

const char* DeviceLoginMessageKey(int error) {
  switch (error) {
    case DL_LOGIN_NOT_FOUND: return "alarm_device_notonline";
    case DL_LOGIN_NO_USER: return "alarm_usernotexist";
    case DL_LOGIN_PASSWORD: return "alarm_password_notvalid";
    case DL_LOGIN_NO_RIGHTS: return "alarm_nopower";
    default: return "alarm_loginerror";
  }
}

std::int32_t ReadConfigReply(std::int32_t handle, int command, std::vector<std::uint8_t>* reply) {
  reply->assign(kReplyBufferSize, 0);
  std::uint32_t size = 0;
  const int waitMs = command == CMD_CONFIG_EXPORT ? kConfigExportWaitMs : kCustomConfigWaitMs;
  const std::int32_t r =
      DL_GetConfig(handle, command, -1, reply->data(), kReplyBufferSize, &size, waitMs);
  reply->resize(r >= 1 ? std::min(size, kReplyBufferSize) : 0);
  return r;
}

bool FetchDeviceConfigs(const CustomisationRequest& request, const std::string& tempFolder,
                        const std::string& customConfig) {
  const MakeOptions& o = *request.options;
  const MakeEnvironment& env = *request.environment;

  // The library may already run for the dialog; a second start is harmless.
  DL_Init(0, 0);
  const long port = std::strtol(o.devicePort.c_str(), nullptr, 10);
  int error = 0;
  DeviceLogin login(DL_Login(o.deviceIp.c_str(),
                             static_cast<std::uint16_t>(port > 0 && port <= 65535 ? port : 0),
                             o.userName.c_str(), o.password.c_str(), nullptr, &error, 0));
  if (login.handle() < 1) return FailAndDropWork(request, DeviceLoginMessageKey(error));

  if (o.copyUsers) CopyUsers(login, tempFolder, customConfig, env);

  std::vector<std::uint8_t> reply;
  const std::int32_t result = ReadConfigReply(login.handle(), CMD_CUSTOM_CONFIG, &reply);
  if (result >= 1) {
    Pause(env, 0.2);
    login.Logout();
  }
  return TakeCustomConfigReply(request, result, reply, tempFolder, customConfig);
}

bool TakeCustomConfigReply(const CustomisationRequest& request, std::int32_t result,
                           const std::vector<std::uint8_t>& reply, const std::string& tempFolder,
                           const std::string& customConfig) {
  const MakeOptions& o = *request.options;
  const MakeEnvironment& env = *request.environment;
  const std::string customDevice = platform::JoinPath(tempFolder, "customDevice");
  const platform::Status unpacked = result >= 1 ? StoreAndUnpack(reply, customDevice, "CUSTOM.CFG", "config", env)
                                                 : platform::Status::Fail("");
  if (unpacked) {
    const std::string config = platform::JoinPath(customDevice, "config");
    if (FirstLine(platform::JoinPath(config, "ProductType.ini")) != o.selectedProduct.hardware) {
      platform::RemoveTree(customDevice);
      return FailAndDropWork(request, "alarm_logindevtype_diffrent");
    }
    platform::RemoveTree(platform::JoinPath(config, "ProductType.ini"));
    const bool copied = CopyFolderInto(config, customConfig).ok;
    platform::RemoveTree(customDevice);
    if (!copied) return FailAndDropWork(request, "alarm_getcfg_error");
    return true;
  }
  platform::RemoveTree(customDevice);
  if (result < 0 && result != DL_ERR_TIMEOUT) return FailAndDropWork(request, "alarm_devicenotsupport");
  return FailAndDropWork(request, "alarm_getcfg_error", unpacked.message);
}

}  // namespace package
