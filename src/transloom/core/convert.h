// The device language file made from a workbook: named after the language
// alone (no extension) in the strings folder; bytes EF BB BF 0D 0A (byte
// order mark, then an empty first line), then "key=text\r\n" in UTF-8 in the
// workbook's row order.
#pragma once

#include <string>

namespace transloom {

// The whole file for an import text.
std::string DeviceLanguageFileBytes(const std::string& importText);

// Converts the workbook at `workbookPath` into <stringPath>/<language>, the
// language being the text between the path's last "_" and its first ".xls".
// False with a reason, and nothing written, when the workbook is unreadable,
// the path names no language, the name would leave `stringPath`,
// `stringPath` is empty or the file cannot be written. An existing file is
// replaced as a whole.
// When `backupFolder` is given, a file being replaced is first copied to
// <backupFolder>/<language> (one level: the previous backup goes). *refused
// (when given) tells a workbook whose cells were refused.
bool CreateLanguageFile(const std::string& workbookPath, const std::string& stringPath,
                        std::string* target, std::string* why,
                        const std::string& backupFolder = "", bool* refused = nullptr);

// Where Create Language keeps the file it replaces: LanguageBackup in the
// program folder, never the strings folder (which Firmsmith ships).
std::string LanguageBackupFolder(const std::string& configFolder);

// StringPath of section Path in the tool's Config.ini (at most 259 bytes).
std::string ReadStringPath(const std::string& configFolder);

}  // namespace transloom
