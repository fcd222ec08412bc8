// Generated partition data: the erased configuration partition ("mtd-x.data",
// which makes the device return to its defaults) and the boot-loader logo
// ("ULogo-x.data": header template, reserved zeros, the logo file, padding to
// whole 8 KiB pages). Both become partition images like any file system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace package {

inline constexpr const char* kMtdDataName = "mtd-x.data";
inline constexpr const char* kUbootLogoDataName = "ULogo-x.data";
inline constexpr const char* kHeaderTemplateName = "imgH.data";

// The header template describes at most this many bytes.
inline constexpr std::size_t kHeaderTemplateMax = 516;
// Zero bytes between the template and the logo.
inline constexpr std::size_t kUbootLogoReserved = 504 * 16;
// The padding arithmetic counts the logo as starting here (a 128-byte
// template plus the reserved zeros).
inline constexpr std::uint64_t kUbootLogoOffset = 8192;
inline constexpr std::uint64_t kUbootLogoPage = 8192;
inline constexpr std::uint64_t kUbootLogoMinimumTotal = 16384;
// The first refused logo size: the boot loader's logo area ends there.
inline constexpr std::uint64_t kUbootLogoRefusedSize = 1040385;

// Hex byte pairs; blanks between pairs are skipped; parsing stops at the first
// other character or at an odd last digit, and after kHeaderTemplateMax bytes.
std::vector<std::uint8_t> ParseHeaderTemplate(const std::string& text);

// floor((end - start) / 16) blocks of 16 bytes of 0xFF. False when the
// partition has no size (end <= start) or the file cannot be written.
bool WriteMtdData(const std::string& path, std::uint32_t start, std::uint32_t end);

// The padded total P for a logo of `logoSize` bytes: T = logoSize + 8192;
// 16,384 when T is smaller, else the next multiple of 8192 above T (a full
// page more when T is already a multiple).
std::uint64_t UbootLogoPaddedTotal(std::uint64_t logoSize);

enum class UbootLogoResult { kOk, kLogoUnreadable, kLogoTooBig, kCreateFailed };

// Writes "ULogo-x.data" at `path` from the template bytes and the logo file.
// Nothing is left at `path` unless the result is kOk.
UbootLogoResult WriteUbootLogoData(const std::string& path,
                                   const std::vector<std::uint8_t>& headerTemplate,
                                   const std::string& logoPath);

}  // namespace package
