// JSON files of packages and partitions (InstallDesc, ProductDefinition, the
// ".custom" files): bounded reads, parsing that never throws, and the one
// pretty-printer we write them back with (tab indentation, one member per
// line).
#pragma once

#include <json/value.h>

#include <string>

namespace package {

// Such files are a few kilobytes; anything past this is not one of them.
inline constexpr std::size_t kMaxJsonFileSize = 16 * 1024 * 1024;

// Reads a whole regular file of at most kMaxJsonFileSize bytes.
bool ReadDescriptionText(const std::string& path, std::string* text);

// True when `text` parses (comments allowed, nesting bounded) into an object.
bool ParseJsonObject(const std::string& text, Json::Value* root);

// The styled text of `root`, ending with a line feed.
std::string StyledJson(const Json::Value& root);
// Replaces `path` with StyledJson(root) through a temporary file.
bool WriteStyledJson(const std::string& path, const Json::Value& root);

}  // namespace package
