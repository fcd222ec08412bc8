#include "firmsmith/package/customise/custom_stamp.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/platform/fd.h"
#include "common/platform/files.h"
#include "common/uitext/language_table.h"
#include "firmsmith/package/layout/json_file.h"

namespace package {
namespace {

std::string LocalTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local {};
  ::localtime_r(&now, &local);
  char text[64];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %X", &local);
  return std::string(text, n);
}

}  // namespace

bool CheckProductDefinition(const std::string& partition, const std::string& hardware,
                            const MakeEnvironment& environment) {
  const std::string path = platform::JoinPath(partition, kProductDefinitionName);
  // Opened first on its own so the operator learns the system's reason.
  // Non-blocking: a FIFO of a hostile image must not hang the run.
  const platform::UniqueFd fd(platform::RetryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
  if (!fd.valid()) {
    const std::string reason = std::strerror(errno);
    SinkOf(environment).ShowMessage(reason + "\n" + uitext::GetString("alarm_readProduct"),
                                    kApplicationTitle, platform::MessageButtons::Ok);
    return false;
  }
  std::string text;
  Json::Value root;
  if (!ReadDescriptionText(path, &text)) {
    const platform::Status read = platform::ReadFileText(path, &text);
    ShowFailureKey(environment, kProductDefinitionNotJsonKey, "",
                   read ? kProductDefinitionName + std::string(" of the custom partition cannot be read")
                        : read.message);
    return false;
  }
  if (!ParseJsonObject(text, &root)) {
    ShowFailureKey(environment, kProductDefinitionNotJsonKey, "",
                   kProductDefinitionName + std::string(" of the custom partition: not a JSON object"));
    return false;
  }
  const Json::Value& value = root["Hardware"];
  if (!value.isString() || value.asString() != hardware) {
    ShowFailureKey(environment, kOtherHardwareKey, "",
                   kProductDefinitionName + std::string(" of the custom partition: Hardware ") +
                       (value.isString() ? "\"" + value.asString() + "\"" : std::string("is no text")) +
                       ", the product's is \"" + hardware + "\"");
    return false;
  }
  return true;
}

bool StampProductDefinition(const std::string& partition, int bits) {
  const std::string path = platform::JoinPath(partition, kProductDefinitionName);
  std::string text;
  Json::Value root;
  if (!ReadDescriptionText(path, &text) || !ParseJsonObject(text, &root)) return false;
  const Json::Value& old = root["UpdataType"];
  Json::Int64 type = 0;
  if (old.isIntegral()) type = old.asInt64();
  else if (old.isDouble() && old.asDouble() >= -9.2e18 && old.asDouble() <= 9.2e18)
    type = static_cast<Json::Int64>(old.asDouble());
  root["UpdataType"] = Json::Value(type | bits);
  root["UpdataTime"] = LocalTimeText();
  return WriteStyledJson(path, root);
}

}  // namespace package
