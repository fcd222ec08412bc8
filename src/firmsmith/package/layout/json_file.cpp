#include "firmsmith/package/layout/json_file.h"

#include <json/reader.h>
#include <json/writer.h>
#include <sys/stat.h>

#include <exception>
#include <memory>

#include "common/platform/files.h"

namespace package {

bool ReadDescriptionText(const std::string& path, std::string* text) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) > kMaxJsonFileSize)
    return false;
  return platform::ReadFileText(path, text) && text->size() <= kMaxJsonFileSize;
}

bool ParseJsonObject(const std::string& text, Json::Value* root) {
  try {
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 256;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    Json::Value value;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return false;
    if (!value.isObject()) return false;
    *root = std::move(value);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string StyledJson(const Json::Value& root) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "\t";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, root) + "\n";
}

bool WriteStyledJson(const std::string& path, const Json::Value& root) {
  try {
    return platform::WriteFileAtomic(path, StyledJson(root)).ok;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace package
