// UTF-8 (our interface) to UTF-16 (inside the file) and back.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace workbook::utf {

// False for malformed UTF-8 (bad sequences, overlong forms, surrogates,
// values past U+10FFFF); `out` is then unspecified.
bool Utf8ToUtf16(std::string_view utf8, std::u16string* out);

// Validates like Utf8ToUtf16 and counts the UTF-16 code units it would give.
bool Utf16Length(std::string_view utf8, std::size_t* units);

// Unpaired surrogates, which UTF-8 cannot carry, become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace workbook::utf
