// LanguageMap and the device's language text: the reply of CMD_LANG_EXPORT
// is UTF-8 "key=text" lines; the map keeps one text per key, keys in plain
// byte order, which is also the row order of an exported workbook.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace transloom {

// std::string compares through char_traits<char>, i.e. as unsigned bytes:
// upper-case keys come before lower-case ones, a shorter prefix first.
using LanguageMap = std::map<std::string, std::string>;

// Valid UTF-8 of `bytes`, each malformed sequence replaced by U+FFFD, the way
// a UTF-8 to wide conversion without strict checking treats it. Text ends at
// the first NUL: devices pad their replies with zeros.
std::string RepairUtf8(std::string_view bytes);

// Empties `map`, then reads `text` line by line (line feed separated): each
// line is trimmed at both ends only (space, tab, CR, VT, FF) and split at its
// first "="; lines without one are skipped; a repeated key keeps its last text.
void ParseLanguageText(std::string_view text, LanguageMap* map);

}  // namespace transloom
