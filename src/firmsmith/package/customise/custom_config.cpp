#include "firmsmith/package/customise/custom_config.h"

#include <json/value.h>

#include <cstdlib>

#include "common/platform/files.h"
#include "common/platform/profile.h"
#include "firmsmith/package/customise/custom_rework.h"
#include "firmsmith/package/customise/custom_strings.h"
#include "firmsmith/package/customise/device_config.h"
#include "common/platform/file_ops.h"
#include "firmsmith/package/layout/json_file.h"

namespace package {
namespace {

Json::Value AppLinks(const MakeOptions& o, const std::string& programDirectory) {
  const std::string prefix = platform::ReadProfileString(
      programDirectory + "Config.ini", kAppStoreSection, kAppStoreKey, kDefaultAppStorePrefix, 1024);
  Json::Value links(Json::objectValue);
  links["IOSEnable"] = o.ios;
  links["AndroidEnable"] = o.android;
  links["SNEnable"] = o.sn;
  links["OtherEnable"] = o.other;
  if (!o.iosLink.empty()) links["IOSLink"] = prefix + o.iosLink;
  if (!o.androidLink.empty()) links["AndroidLink"] = o.androidLink;
  if (!o.otherName.empty()) links["OtherName"] = o.otherName;
  if (!o.otherContent.empty()) links["OtherLink"] = o.otherContent;
  return links;
}

// Reads `path` into *root: an absent file gives an empty object when
// `mayBeAbsent`; a file that cannot be read or is no JSON object fails.
bool LoadDocument(const std::string& path, bool mayBeAbsent, Json::Value* root) {
  if (mayBeAbsent && !platform::FileExists(path)) {
    *root = Json::Value(Json::objectValue);
    return true;
  }
  std::string text;
  return platform::IsRegularFile(path) && ReadDescriptionText(path, &text) && ParseJsonObject(text, root);
}

// Replaces the file through a temporary one; a link in its place is replaced,
// not followed.
bool Rewrite(const std::string& path, const Json::Value& root) {
  if (platform::FileExists(path) && !platform::IsRegularFile(path)) platform::RemoveTree(path);
  return WriteStyledJson(path, root);
}

}  // namespace

bool CheckAppLinks(const MakeOptions& o, const MakeEnvironment& environment) {
  if (!o.appDownloadLink) return true;
  if ((o.android && o.androidLink.empty()) || (o.ios && o.iosLink.empty())) {
    ShowMessageKey(environment, "InputLink");
    return false;
  }
  return true;
}

bool ApplyCustomConfigs(const CustomisationRequest& request, const std::string& tempFolder,
                        const std::string& partition, int* bits) {
  const MakeOptions& o = *request.options;
  const MakeEnvironment& env = *request.environment;
  const std::string customConfig = platform::JoinPath(partition, kCustomConfigFolder);
  *bits = 0;

  if (o.configs) {
    *bits |= kUpdateConfigs;
    const std::string& folder = o.slots[kSlotUbootLogo].sourcePath;
    if (!MakeRealFolder(partition, kCustomConfigFolder)) return FailAndDropWork(request, "create_error");
    if (!folder.empty()) {
      if (platform::Status copied = CopyFolderInto(folder, customConfig); !copied) {
        if (!request.workFolder.empty()) platform::RemoveTree(request.workFolder);
        ShowFailureKey(env, "create_error", "", copied.message);
        return false;
      }
    } else if (!FetchDeviceConfigs(request, tempFolder, customConfig)) {
      return false;
    }
  }
  // Only a real folder of the partition counts: a link could lead anywhere.
  const bool haveCustomConfig = platform::IsDirectory(customConfig);

  // Each bit is set once its file is written: the stamp records only that.
  if (o.appDownloadLink) {
    if (haveCustomConfig) {
      const std::string path = platform::JoinPath(customConfig, "AppDowloadLink.custom");
      platform::RemoveTree(path);
      if (!WriteStyledJson(path, AppLinks(o, env.programDirectory)))
        return FailAndDropWork(request, "create_error");
      *bits |= kUpdateAppLinks;
    } else {
      ShowMessageKey(env, kNoCustomConfigKey);
    }
  }

  struct NetworkEdit {
    bool wanted;
    const char* failureKey;
  };
  const NetworkEdit edits[] = {{o.cloudServer, "alarm_CloudServer"},
                               {o.closeOnlineUpgrade, "alarm_LineUpgrade"}};
  for (const NetworkEdit& edit : edits) {
    if (!edit.wanted) continue;
    if (!haveCustomConfig) {
      ShowMessageKey(env, kNoCustomConfigKey);
      continue;
    }
    const std::string path = platform::JoinPath(customConfig, "NetWork.custom");
    Json::Value root;
    if (!LoadDocument(path, true, &root)) return FailAndDropWork(request, edit.failureKey);
    if (&edit == &edits[0]) {
      Json::Value nat(Json::objectValue);
      if (!o.cloudAddress.empty()) nat["Addr"] = o.cloudAddress;
      if (!o.cloudPort.empty()) nat["Port"] = static_cast<int>(std::strtol(o.cloudPort.c_str(), nullptr, 10));
      root["Nat"] = nat;
    } else {
      Json::Value upgrade(Json::objectValue);
      upgrade["Enable"] = false;
      root["OnlineUpgrade"] = upgrade;
    }
    if (!Rewrite(path, root)) return FailAndDropWork(request, "create_error");
    *bits |= kUpdateConfigs;
  }

  if (o.deviceModel) {
    if (!haveCustomConfig) {
      ShowMessageKey(env, kNoCustomConfigKey);
    } else {
      const std::string path = platform::JoinPath(customConfig, "Ability.custom");
      Json::Value root;
      if (!LoadDocument(path, false, &root)) return FailAndDropWork(request, "alarm_readAbility");
      Json::Value serial;  // null unless there is a model to write
      if (!o.deviceModelText.empty()) serial["ProductType"] = o.deviceModelText;
      root["SerialNo"] = serial;
      if (!Rewrite(path, root)) return FailAndDropWork(request, "create_error");
      *bits |= kUpdateConfigs;
    }
  }
  return true;
}

}  // namespace package
