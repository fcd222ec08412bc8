// InstallDesc: the upgrade description at the top of every package, a JSON
// object whose `UpgradeCommand` array lists one {"Command": "Burn",
// "FileName": <image>} per image the device writes.
//
// Two kinds of edit exist side by side, as the devices have always seen them:
// text edits that splice a command in without re-serialising (so the rest of
// the file keeps its exact bytes), and JSON edits that parse the document and
// write it back pretty-printed. Nothing here throws; a missing file or one
// that is not a JSON object is reported and left alone.
#pragma once

#include <cstdint>
#include <string>

namespace package {

inline constexpr const char* kInstallDescName = "InstallDesc";
inline constexpr const char* kBootLoaderImage = "u-boot.bin.img";
inline constexpr const char* kBootEnvImage = "u-boot.env.img";
inline constexpr const char* kMtdImage = "mtd-x.img";

// Variants of the fresh writer: kFreshEmpty starts with an empty command
// array; 0..5 start with the command of the first partition, logo, user,
// romfs, custom or app image.
inline constexpr int kFreshEmpty = -1;

// The exact text of a fresh description. Hardware and vendor go in as they
// are, without JSON escaping, as the device's own tools write them.
std::string FreshInstallDescText(const std::string& hardware, const std::string& vendor,
                                 int variant = kFreshEmpty, const std::string& webName = "");
// Creates or truncates `path` with that text.
bool WriteFreshInstallDesc(const std::string& path, const std::string& hardware,
                           const std::string& vendor, int variant = kFreshEmpty,
                           const std::string& webName = "");

enum class DescResult {
  kOk,
  kUnchanged,    // text edits: the image was listed already
  kMissing,      // the file does not exist or cannot be read
  kInvalid,      // not a JSON object, or no "UpgradeCommand" array to edit
  kWriteFailed,
};

// The one-line reason beside a failed look at, or edit of, `descPath`, the
// InstallDesc unpacked from `package`: which package, and what is wrong with
// its description. Empty for kOk and kUnchanged.
std::string DescResultReason(const std::string& package, const std::string& descPath, DescResult r);

// Text edit while building a package from folders: the new command goes in
// first, followed by a line holding a tab and a comma when commands were
// there already. `*out` gets the edited text. kUnchanged when the text
// contains the name anywhere; kInvalid without "UpgradeCommand" and "[".
DescResult AppendBuildCommandText(const std::string& text, const std::string& imageName,
                                  std::string* out);

// Text edit while reworking: the command goes in first, with a trailing comma
// only when the array already holds something. `loose` selects the spacing
// used for ubootlogo-x, romfs2-x and param-x.
DescResult InsertReworkCommandText(const std::string& text, const std::string& imageName,
                                   bool loose, std::string* out);

// The same edits on a file (which must exist; it is rewritten only when the
// edit changed it).
DescResult AppendBuildCommand(const std::string& path, const std::string& imageName);
DescResult InsertReworkCommand(const std::string& path, const std::string& imageName, bool loose);

// True when the description's text mentions the image name.
bool InstallDescListsImage(const std::string& path, const std::string& imageName);

// kOk when the file exists and holds a JSON object.
DescResult CheckInstallDesc(const std::string& path);

// Restore-defaults edit: appends the `mtdImageName` command unless the text
// mentions it, drops every command of the boot loader and its environment and
// deletes their image files from `unpackedFolder`. Rewrites the file only when
// something changed (kUnchanged otherwise).
DescResult AddMtdCommand(const std::string& descPath, const std::string& unpackedFolder,
                         const std::string& mtdImageName = kMtdImage);

// Puts the two-character OEM device type at indices 22 and 23 of a `DevID`
// of 24 characters or more. The file is rewritten pretty-printed in any case.
DescResult ReplaceOemDevType(const std::string& path, const std::string& oemDevType);

// Partition bounds from an existing image header: start = load address,
// end = start + data size (logo: start + 0x10000).
enum class BoundsResult { kOk, kNotOpened, kShort };
// kNotOpened leaves *start as it was and sets *end = *start + 0x10000.
BoundsResult ReadImageBounds(const std::string& imagePath, bool logoPartition,
                             std::uint32_t* start, std::uint32_t* end);

}  // namespace package
