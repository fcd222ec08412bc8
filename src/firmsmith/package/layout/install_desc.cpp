#include "firmsmith/package/layout/install_desc.h"

#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <memory>
#include <sstream>

#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/package/layout/json_file.h"

namespace package {
namespace {

// Whether the description's text names the image: the whole name as a JSON
// string, so "user-x.cramfs.img" is never found inside "360user-x.cramfs.img".
bool TextNamesImage(const std::string& text, const std::string& imageName) {
  return text.find("\"" + imageName + "\"") != std::string::npos;
}

constexpr std::uint32_t kLogoBoundsSpan = 0x10000;

const char* const kFreshFirstImages[] = {"-x.cramfs.img",      "logo-x.cramfs.img",
                                         "user-x.cramfs.img",  "romfs-x.cramfs.img",
                                         "custom-x.cramfs.img", "app-x.cramfs.img"};

// Position just past the first "[" after the first "UpgradeCommand", or npos.
std::size_t CommandArrayOpening(const std::string& text) {
  std::size_t key = text.find("UpgradeCommand");
  if (key == std::string::npos) return std::string::npos;
  std::size_t bracket = text.find('[', key);
  return bracket == std::string::npos ? std::string::npos : bracket + 1;
}

bool ArrayIsEmptyAt(const std::string& text, std::size_t afterBracket) {
  std::size_t next = text.find_first_not_of(" \t\r\n", afterBracket);
  return next != std::string::npos && text[next] == ']';
}

DescResult EditFile(const std::string& path,
                    DescResult (*edit)(const std::string&, const std::string&, bool, std::string*),
                    const std::string& imageName, bool loose) {
  std::string text;
  if (!ReadDescriptionText(path, &text)) return DescResult::kMissing;
  std::string edited;
  DescResult r = edit(text, imageName, loose, &edited);
  if (r != DescResult::kOk) return r;
  return platform::WriteFileAtomic(path, edited) ? DescResult::kOk : DescResult::kWriteFailed;
}

DescResult AppendAdapter(const std::string& text, const std::string& name, bool,
                         std::string* out) {
  return AppendBuildCommandText(text, name, out);
}


}  // namespace

std::string FreshInstallDescText(const std::string& hardware, const std::string& vendor,
                                 int variant, const std::string& webName) {
  std::string text;
  if (variant >= 0 && variant < static_cast<int>(std::size(kFreshFirstImages))) {
    std::string image = kFreshFirstImages[variant];
    if (variant == 0) image = webName + image;
    text = "{\n\t\"UpgradeCommand\" : [\n\t{\n\t\t\"Command\" : \"Burn\",\n\t\t\"FileName\" : \"" +
           image + "\"\n\t}\n\t],\n\t\"Hardware\" : ";
  } else {
    text = "{\n\t\"UpgradeCommand\" : [],\n\t\"Hardware\" : ";
  }
  text += "\"" + hardware + "\"";
  text += ",\n\t\"CompatibleVersion\" : -1";
  text += ",\n\t\"Vendor\" : ";
  text += "\"" + vendor + "\"\n}\n";
  return text;
}

bool WriteFreshInstallDesc(const std::string& path, const std::string& hardware,
                           const std::string& vendor, int variant, const std::string& webName) {
  return platform::WriteFileAtomic(path, FreshInstallDescText(hardware, vendor, variant, webName)).ok;
}

DescResult AppendBuildCommandText(const std::string& text, const std::string& imageName,
                                  std::string* out) {
  if (TextNamesImage(text, imageName)) return DescResult::kUnchanged;
  std::size_t at = CommandArrayOpening(text);
  if (at == std::string::npos) return DescResult::kInvalid;
  // The newest command goes first; a comma on a line of its own separates it
  // from the commands already there.
  std::string inserted =
      "\n\t{\n\t\"Command\" : \"Burn\",\n\t\"FileName\" : \"" + imageName + "\"\n\t}\n\t";
  if (text.find("FileName") != std::string::npos) inserted += ",";
  *out = text.substr(0, at) + inserted + text.substr(at);
  return DescResult::kOk;
}

DescResult InsertReworkCommandText(const std::string& text, const std::string& imageName,
                                   bool loose, std::string* out) {
  if (TextNamesImage(text, imageName)) return DescResult::kUnchanged;
  std::size_t at = CommandArrayOpening(text);
  if (at == std::string::npos) return DescResult::kInvalid;
  std::string inserted =
      loose ? "\n\t  {\n\t\t \"Command\" : \"Burn\",\n\t\t \"FileName\" : \"" + imageName + "\"\n\t  }"
            : "{\n\t\"Command\" : \"Burn\",\n\t\"FileName\" : \"" + imageName + "\"\n\t}";
  // The comma separates the new command from the first old one; an empty
  // array has none, and a comma there would make the text invalid JSON.
  if (!ArrayIsEmptyAt(text, at)) inserted += ",";
  *out = text.substr(0, at) + inserted + text.substr(at);
  return DescResult::kOk;
}

DescResult AppendBuildCommand(const std::string& path, const std::string& imageName) {
  return EditFile(path, AppendAdapter, imageName, false);
}

DescResult InsertReworkCommand(const std::string& path, const std::string& imageName, bool loose) {
  return EditFile(path, InsertReworkCommandText, imageName, loose);
}

bool InstallDescListsImage(const std::string& path, const std::string& imageName) {
  std::string text;
  return ReadDescriptionText(path, &text) && TextNamesImage(text, imageName);
}

DescResult CheckInstallDesc(const std::string& path) {
  std::string text;
  if (!ReadDescriptionText(path, &text)) return DescResult::kMissing;
  Json::Value root;
  return ParseJsonObject(text, &root) ? DescResult::kOk : DescResult::kInvalid;
}

DescResult AddMtdCommand(const std::string& descPath, const std::string& unpackedFolder,
                         const std::string& mtdImageName) {
  std::string text;
  if (!ReadDescriptionText(descPath, &text)) return DescResult::kMissing;
  Json::Value root;
  if (!ParseJsonObject(text, &root)) return DescResult::kInvalid;
  if (root.isMember("UpgradeCommand") && !root["UpgradeCommand"].isArray())
    return DescResult::kInvalid;

  bool changed = false;
  Json::Value& commands = root["UpgradeCommand"];
  if (commands.isNull()) commands = Json::Value(Json::arrayValue);
  if (!TextNamesImage(text, mtdImageName)) {
    Json::Value command(Json::objectValue);
    command["Command"] = "Burn";
    command["FileName"] = mtdImageName;
    commands.append(command);
    changed = true;
  }
  if (text.find(kBootLoaderImage) != std::string::npos ||
      text.find(kBootEnvImage) != std::string::npos) {
    // A package that restores defaults must not rewrite the boot loader.
    Json::Value kept(Json::arrayValue);
    for (const Json::Value& command : commands) {
      const Json::Value* name = command.isObject() ? command.find("FileName", "FileName" + 8) : nullptr;
      const bool bootImage = name && name->isString() &&
                             (name->asString() == kBootLoaderImage || name->asString() == kBootEnvImage);
      if (!bootImage) kept.append(command);
    }
    commands = kept;
    ::unlink(platform::JoinPath(unpackedFolder, kBootLoaderImage).c_str());
    ::unlink(platform::JoinPath(unpackedFolder, kBootEnvImage).c_str());
    changed = true;
  }
  if (!changed) return DescResult::kUnchanged;
  return WriteStyledJson(descPath, root) ? DescResult::kOk : DescResult::kWriteFailed;
}

DescResult ReplaceOemDevType(const std::string& path, const std::string& oemDevType) {
  std::string text;
  if (!ReadDescriptionText(path, &text)) return DescResult::kMissing;
  Json::Value root;
  if (!ParseJsonObject(text, &root)) return DescResult::kInvalid;
  const Json::Value* devId = root.find("DevID", "DevID" + 5);
  if (devId && devId->isString()) {
    std::string id = devId->asString();
    if (id.size() >= 24) {
      for (std::size_t i = 0; i < 2 && i < oemDevType.size(); ++i) id[22 + i] = oemDevType[i];
      root["DevID"] = id;
    }
  }
  return WriteStyledJson(path, root) ? DescResult::kOk : DescResult::kWriteFailed;
}

BoundsResult ReadImageBounds(const std::string& imagePath, bool logoPartition,
                             std::uint32_t* start, std::uint32_t* end) {
  if (!platform::IsRegularFile(imagePath)) {
    *end = *start + kLogoBoundsSpan;
    return BoundsResult::kNotOpened;
  }
  fsimage::ImageHeader header;
  if (!fsimage::ReadImageHeader(imagePath, &header)) return BoundsResult::kShort;
  *start = header.loadAddress;
  *end = logoPartition ? *start + kLogoBoundsSpan : *start + header.dataSize;
  return BoundsResult::kOk;
}

std::string DescResultReason(const std::string& package, const std::string& descPath, DescResult r) {
  switch (r) {
    case DescResult::kMissing: {
      std::string text;
      const platform::Status read = platform::ReadFileText(descPath, &text);
      return package + ": its InstallDesc " + (read ? "cannot be read" : "is missing or unreadable (" + read.message + ")");
    }
    case DescResult::kInvalid: return package + ": its InstallDesc is not a JSON object with a command list";
    case DescResult::kWriteFailed: return "cannot write " + descPath + ", the InstallDesc of " + package;
    default: return "";
  }
}

}  // namespace package
