// The strings, fonts and pictures of a custom partition reworked in place,
// and the folder copy every step of that rework uses.
#pragma once

#include <string>

#include "common/platform/status.h"
#include "firmsmith/package/make/make_options.h"

namespace package {

// Update-type bits stamped into ProductDefinition for what a run changed.
inline constexpr int kUpdateConfigs = 0x10;   // configs, cloud server, online upgrade, device model
inline constexpr int kUpdateStrings = 0x20;
inline constexpr int kUpdatePictures = 0x40;
inline constexpr int kUpdateAppLinks = 0x80;

// Where the Korean fonts of a strings folder are: a path holding
// "FullLanguage/Strings" loses its last 7 characters (the word Strings) and
// gets "/Fonts_Korean"; any other path gets "/Fonts_Korean" appended.
std::string KoreanFontsFolder(const std::string& stringsPath);

// Copies the tree `from` into `to`: files replace files of the same name,
// sub-folders are copied recursively; nothing happens when both name the same
// folder. A symbolic link or file in the way of a folder of `to` is replaced
// by a real folder, so a copy into an unpacked partition never lands outside
// it. Stops at the first entry that cannot be read or copied and fails,
// naming it; an empty path copies nothing and fails.
platform::Status CopyFolderInto(const std::string& from, const std::string& to);

// Makes `folder` (and its missing parents below `root`) a real folder inside
// `root`: links and files standing in its way are removed. False when it
// cannot be made or lies outside `root`.
bool MakeRealFolder(const std::string& root, const std::string& relative);

// The Strings and Pictures options applied to the unpacked partition
// `partition`; `programDirectory` holds the staged "TempStrings" (unless the
// options name their own staging folder). Returns the
// update bits of the steps that ran. A copy that fails ends the steps; its
// reason goes to *copied (when given), which is ok otherwise: a partition
// that silently lacks the operator's files must not be rebuilt.
int ApplyStringsAndPictures(const MakeOptions& options, const std::string& programDirectory,
                            const std::string& partition, platform::Status* copied = nullptr);

}  // namespace package
